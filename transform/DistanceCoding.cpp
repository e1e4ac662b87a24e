// Distance coding and its inverse.
//
// The encoder scans the block once from the end. For every byte value it
// remembers where the nearest run to the right starts (`nextRunStart`), and it
// keeps those starts in an ascending list (`knownList`, at most 256 entries).
// A run's value is its distance to the next run of its byte, less the known
// starts it jumps over: exactly what the decoder, which discovers runs from
// left to right with the same list, cannot predict. Because the scan runs
// backwards, a new start is always the smallest, so the list only ever
// grows at its front. Run values fill the value array from its back, so the
// first-occurrence values can be put in front of them afterwards without
// moving anything.
//
// The list decoder holds the same list of known starts; the map decoder marks
// them in a bit per position instead. Their checks cost one comparison per
// run and keep damaged data from pushing them outside the block.
#include "transform/DistanceCoding.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();  // no run start

}  // namespace

void DcEncoder::encode(const uint8_t* first, const uint8_t* last) {
    assert(last >= first);
    const size_t size = static_cast<size_t>(last - first);
    assert(size <= std::numeric_limits<uint32_t>::max() - alphabetSize);
    const uint32_t L = static_cast<uint32_t>(size);

    capacity = alphabetSize + L;
    // Only the slots from `begin` on are ever written or read, so the array
    // is not cleared.
    values = std::make_unique_for_overwrite<uint32_t[]>(capacity);

    std::array<uint32_t, alphabetSize> nextRunStart;
    nextRunStart.fill(kNone);
    // knownList, ascending, lives in the window [head, head + knownCount) of
    // a larger buffer, so that a new front entry can be put either by moving
    // the entries below the removed one up (the usual, short case) or by
    // closing the gap from above and stepping `head` down. The window is
    // moved back to the end of the buffer when it reaches the start.
    constexpr uint32_t kBufferSize = 4 * alphabetSize;
    std::array<uint32_t, kBufferSize> buffer;
    uint32_t head = kBufferSize - alphabetSize;
    uint32_t knownCount = 0;

    uint32_t o = capacity;  // run values go to values[o - 1], then downwards
    uint32_t i = L;         // the scan continues at i - 1
    while (i > 0) {
        const uint32_t e = i - 1;
        const uint8_t c = first[e];
        uint32_t s = e;
        while (s > 0 && first[s - 1] == c) --s;

        uint32_t value = 0;
        const uint32_t m = nextRunStart[c];
        if (head == 0) {
            const uint32_t to = kBufferSize - alphabetSize;
            std::copy(buffer.begin(), buffer.begin() + knownCount, buffer.begin() + to);
            head = to;
        }
        uint32_t* known = buffer.data() + head;
        if (m == kNone) {
            // A new byte value: s is below every known start.
            --head;
            known[-1] = s;
            ++knownCount;
        } else {
            // j = the number of known starts below m. Mostly m is near the
            // front; else bisect the ascending list.
            uint32_t j = 0;
            const uint32_t linearEnd = std::min(knownCount, 8u);
            while (j < linearEnd && known[j] != m) ++j;
            if (j == linearEnd) {
                uint32_t lo = j;
                uint32_t size = knownCount - j;
                while (size > 0) {
                    const uint32_t half = size / 2;
                    const uint32_t mid = lo + half;
                    const bool below = known[mid] < m;
                    lo = below ? mid + 1 : lo;
                    size = below ? size - half - 1 : half;
                }
                j = lo;
            }
            assert(j < knownCount && known[j] == m);
            // Of the positions e+1..m, the j known starts below m are skipped.
            value = (m - e) - j;
            const uint32_t above = knownCount - j - 1;
            if (j <= above) {
                std::copy_backward(known, known + j, known + j + 1);
                known[0] = s;
            } else {
                std::copy(known + j + 1, known + knownCount, known + j);
                --head;
                known[-1] = s;
            }
        }
        nextRunStart[c] = s;

        values[--o] = value;
        i = s;
    }

    // Every run holds at least one byte, so there are at most L runs and the
    // 256 first-occurrence values fit in front of the run values.
    const uint32_t firstSlot = o - alphabetSize;
    for (uint32_t b = 0; b < alphabetSize; ++b) {
        const uint32_t f = nextRunStart[b];  // now the first occurrence of b
        values[firstSlot + b] = 0;
        if (f == kNone) continue;
        uint32_t earlier = 0;  // smaller byte values that occur before f
        for (uint32_t b2 = 0; b2 < b; ++b2) {
            if (nextRunStart[b2] < f) ++earlier;  // kNone is never below f
        }
        values[firstSlot + b] = f + 1 - earlier;
    }

    begin = firstSlot;
    end = capacity;
    while (end > begin && values[end - 1] == 0) --end;
}

template <typename Word>
BasicDcDecoder<Word>::BasicDcDecoder(uint32_t L) : length(L) {
    assert(L <= maxLength);
}

template <typename Word>
void BasicDcDecoder<Word>::compact() {
    std::copy(entries.begin() + head, entries.begin() + head + entryCount, entries.begin());
    head = 0;
}

template <typename Word>
void BasicDcDecoder<Word>::addFirstOccurrence(uint32_t b, uint32_t v) {
    if (b >= alphabetSize) throw Exception(kInvalidDcDataMessage);
    if (v == 0) return;
    if (entryCount == alphabetSize) throw Exception(kInvalidDcDataMessage);
    if (head + entryCount == bufferSize) compact();

    // The v-th free position from the cursor: every entry at or below the
    // candidate pushes it one place on. 64 bits, so no value can wrap it.
    Word* list = entries.data() + head;
    uint64_t p = static_cast<uint64_t>(cursor) + v - 1;
    uint32_t i = 0;
    while (i < entryCount && p >= positionOf(list[i])) {
        ++p;
        ++i;
    }
    if (p >= length) throw Exception(kInvalidDcDataMessage);

    std::copy_backward(list + i, list + entryCount, list + entryCount + 1);
    list[i] = entry(static_cast<uint32_t>(p), static_cast<uint8_t>(b));
    ++entryCount;
}

template <typename Word>
DcRun BasicDcDecoder<Word>::nextRun(uint32_t d) {
    Word* list = entries.data() + head;
    // Valid data always has the front run starting at the cursor: the first
    // run at position 0, every later one where the previous run ended.
    if (entryCount == 0 || positionOf(list[0]) != cursor) throw Exception(kInvalidDcDataMessage);
    const uint8_t c = symbolOf(list[0]);

    if (entryCount == 1) {
        entryCount = 0;
        return DcRun{c, length - cursor};  // cursor < length: entries lie below L
    }

    // Entries are strictly ascending, so P > cursor and the run is not empty.
    const uint32_t P = positionOf(list[1]);
    assert(P > cursor);
    const DcRun run{c, P - cursor};
    cursor = P;

    if (d == 0) {
        ++head;
        --entryCount;
        return run;
    }

    // The next run of c lies d unknown positions after P; P itself and every
    // known start at or below the candidate pushes it one place further. With
    // q the index of the first entry (from 2 on) that the candidate does not
    // reach, the candidate has been pushed q - 2 times, so entry q is the
    // first with position > P + d + (q - 2). Since positions rise by at least
    // 1 per entry, position - index never falls, and the entries passed form
    // a prefix found by a search. A candidate that starts at or beyond L only
    // moves further, which is damage.
    if (d >= length - P) throw Exception(kInvalidDcDataMessage);
    const uint32_t base = P + d - 2;   // P >= 1, d >= 1; below L
    const uint32_t count = entryCount;
    // Sums in the entry's width: with 32-bit entries L <= 2^24 leaves room,
    // with 64-bit ones any 32-bit length does.
    using Sum = std::conditional_t<(sizeof(Word) > 4), uint64_t, uint32_t>;
    auto passed = [list, base](uint32_t q) { return Sum{positionOf(list[q])} <= Sum{base} + q; };
    // Short jumps are the rule (in text most runs land within a dozen
    // entries): when entry kWalk + 1 is not passed, the entries are walked
    // one by one, each passed one sliding down a slot as it goes, since
    // entry 0 leaves. Otherwise the rest is bisected without jumps, where a
    // long jump lands being anyone's guess, and the shorter side of the
    // list slides.
    constexpr uint32_t kWalk = 12;
    if (count <= kWalk + 2 || !passed(kWalk + 1)) {
        list[0] = list[1];
        uint32_t q = 2;
        while (q < count && passed(q)) {
            list[q - 1] = list[q];
            ++q;
        }
        const Sum candidate = Sum{base} + q;   // after its q - 2 pushes
        if (candidate >= length) throw Exception(kInvalidDcDataMessage);
        list[q - 1] = entry(static_cast<uint32_t>(candidate), c);
        return run;
    }

    // Every entry in [2, kWalk + 2) passed; the first one in [kWalk + 2,
    // count) that does not (count if none) lies in [lo, lo + size].
    uint32_t lo = kWalk + 2;
    uint32_t size = count - lo;
    while (size > 1) {
        const uint32_t half = size / 2;
        lo = passed(lo + half - 1) ? lo + half : lo;
        size -= half;
    }
    const uint32_t q = lo + (passed(lo) ? 1 : 0);
    const Sum candidate = Sum{base} + q;   // after its q - 2 pushes
    if (candidate >= length) throw Exception(kInvalidDcDataMessage);
    const uint32_t x = static_cast<uint32_t>(candidate);

    // Entry 0 leaves; entries 1 .. q-1 stay before the new one, entries q ..
    // after it.
    if (q - 1 <= count - q || head + count == bufferSize) {
        std::copy(list + 1, list + q, list);
        list[q - 1] = entry(x, c);
    } else {
        std::copy_backward(list + q, list + count, list + count + 1);
        list[q] = entry(x, c);
        ++head;
    }
    return run;
}

template class BasicDcDecoder<uint32_t>;
template class BasicDcDecoder<uint64_t>;

namespace {

// Bit counting for the bit map, without relying on a population-count
// instruction (not part of the base x86-64 set): byte i of the running
// counts holds the number of set bits in bytes 0..i of w, so the top byte is
// the count of the whole word, and the byte holding the r-th set bit is the
// first whose running count exceeds r.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

inline uint64_t runningByteCounts(uint64_t w) {
    uint64_t counts = w - ((w >> 1) & 0x5555555555555555ull);
    counts = (counts & 0x3333333333333333ull) + ((counts >> 2) & 0x3333333333333333ull);
    counts = (counts + (counts >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return counts * kOnes;
}

// The bit inside a byte, from a table: at[r << 8 | byte] is the position of
// the set bit of `byte` with r set bits below it.
struct SelectInByte {
    std::array<uint8_t, 256 * 8> at{};
    constexpr SelectInByte() {
        for (uint32_t byte = 0; byte < 256; ++byte) {
            uint32_t r = 0;
            for (uint32_t bit = 0; bit < 8; ++bit) {
                if ((byte >> bit) & 1) at[(r++ << 8) | byte] = static_cast<uint8_t>(bit);
            }
        }
    }
};
constexpr SelectInByte kSelectInByte{};

// Position (0..63) of the set bit of w that has r set bits below it, given
// w's running byte counts; w must have more than r set bits.
inline uint32_t selectBit(uint64_t w, uint64_t running, uint32_t r) {
    // High bit of byte i set where the running count is at most r: the
    // bytes below the one that holds the bit, a run from byte 0 up.
    const uint64_t below = (((r * kOnes) | kHighs) - running) & kHighs;
    const uint32_t shift = static_cast<uint32_t>(std::countr_zero(below ^ kHighs)) - 7;
    const uint32_t before = static_cast<uint32_t>(((running << 8) >> shift) & 0xFF);
    return shift + kSelectInByte.at[((r - before) << 8) | ((w >> shift) & 0xFF)];
}

}  // namespace

DcMapDecoder::DcMapDecoder(uint32_t L, uint8_t* output) : symbols(output), length(L) {
    assert(L <= maxLength);
    // Words up to the one holding position L + alphabetSize, all clear
    // beyond L, where every search ends, and the eight after it that a
    // search may read past the word it ends in.
    const size_t words = (size_t{L} + alphabetSize) / 64 + 9;
    known.assign(words, 0);
    unknownInWord.assign(words, 64);
}

void DcMapDecoder::markKnown(uint32_t position, uint8_t symbol) {
    known[position >> 6] |= uint64_t{1} << (position & 63);
    --unknownInWord[position >> 6];
    symbols[position] = symbol;
}

void DcMapDecoder::markPassed(uint32_t first, uint32_t end) {
    while (first < end) {
        const uint32_t word = first >> 6;
        const uint32_t stop = std::min(end, (word + 1) << 6);
        const uint32_t count = stop - first;   // 1..64, all of them clear
        const uint64_t ones = count == 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
        known[word] |= ones << (first & 63);
        unknownInWord[word] = static_cast<uint16_t>(unknownInWord[word] - count);
        first = stop;
    }
}

uint32_t DcMapDecoder::nthUnknown(uint32_t from, uint32_t d) const {
    assert(d >= 1);
    // Every position below `from` is known, so from the word holding it on
    // the clear bits are exactly the unknown positions at or after it, and
    // the words' counts say how many each word holds. Four counts sit in
    // 16-bit lanes of one load, and one multiplication sums them up the
    // lanes; eight words a step, as two independent sets of four, so that
    // most jumps end in the first step and the loop is left the same way.
    constexpr uint64_t kLaneOnes = 0x0001000100010001ull;
    constexpr uint64_t kLaneHighs = 0x8000800080008000ull;
    auto upTo = [this](uint32_t first) {   // lane i: clear bits in words first .. first + i
        uint64_t lanes;
        std::memcpy(&lanes, unknownInWord.data() + first, sizeof lanes);
        return lanes * kLaneOnes;
    };
    uint32_t word = from >> 6;
    uint64_t low = upTo(word);
    uint64_t high = upTo(word + 4);
    uint32_t lowTotal = static_cast<uint32_t>(low >> 48);
    uint32_t both = lowTotal + static_cast<uint32_t>(high >> 48);
    while (d > both) {
        d -= both;
        word += 8;
        low = upTo(word);
        high = upTo(word + 4);
        lowTotal = static_cast<uint32_t>(low >> 48);
        both = lowTotal + static_cast<uint32_t>(high >> 48);
    }
    // The half that holds it, picked without a jump: the branch would go
    // either way at random.
    const uint64_t inHigh = uint64_t{0} - static_cast<uint64_t>(d > lowTotal);
    const uint64_t within = (high & inHigh) | (low & ~inHigh);
    d -= lowTotal & static_cast<uint32_t>(inHigh);
    word += 4 & static_cast<uint32_t>(inHigh);
    // High bit of lane i set where fewer than d clear bits lie up to it.
    const uint64_t shortOf = ((((d - 1) * kLaneOnes) | kLaneHighs) - within) & kLaneHighs;
    const uint32_t lane = static_cast<uint32_t>(std::countr_zero(shortOf ^ kLaneHighs)) >> 4;
    d -= static_cast<uint32_t>(((within << 16) >> (16 * lane)) & 0xFFFF);
    word += lane;
    const uint64_t unknown = ~known[word];
    return (word << 6) + selectBit(unknown, runningByteCounts(unknown), d - 1);
}

uint32_t DcMapDecoder::nextKnown(uint32_t position) const {
    const uint32_t from = position + 1;
    uint32_t word = from >> 6;
    const uint32_t shift = from & 63;
    const uint64_t bits = (known[word] >> shift) | ((known[word + 1] << 1) << (63 - shift));
    if (bits != 0) return from + static_cast<uint32_t>(std::countr_zero(bits));
    // Nothing in the next 64 positions: whole words from the second on.
    ++word;
    uint64_t rest = known[word] & (~uint64_t{0} << shift);
    while (rest == 0) rest = known[++word];
    return (word << 6) + static_cast<uint32_t>(std::countr_zero(rest));
}

void DcMapDecoder::addFirstOccurrence(uint32_t b, uint32_t v) {
    if (b >= alphabetSize) throw Exception(kInvalidDcDataMessage);
    if (v == 0) return;
    if (liveCount == alphabetSize) throw Exception(kInvalidDcDataMessage);
    // The answer is at least cursor + v - 1.
    if (v > length - cursor) throw Exception(kInvalidDcDataMessage);
    const uint32_t p = nthUnknown(cursor, v);
    if (p >= length) throw Exception(kInvalidDcDataMessage);
    markKnown(p, static_cast<uint8_t>(b));
    ++liveCount;
}

DcRun DcMapDecoder::nextRun(uint32_t d) {
    if (liveCount == 0 || !isKnown(cursor)) throw Exception(kInvalidDcDataMessage);
    const uint8_t c = symbols[cursor];
    if (liveCount == 1) {
        liveCount = 0;
        return DcRun{c, length - cursor};
    }
    // Live starts lie at or after the cursor, so with two of them the next
    // one exists and lies below L.
    const uint32_t P = nextKnown(cursor);
    const DcRun run{c, P - cursor};
    // The run's positions after its start become known too, so that every
    // position below the new cursor is.
    if (P - cursor > 1) markPassed(cursor + 1, P);
    cursor = P;
    if (d == 0) {
        --liveCount;
        return run;
    }
    // The next run of c is the d-th position after P that is not known.
    if (d >= length - P) throw Exception(kInvalidDcDataMessage);
    const uint32_t x = nthUnknown(P + 1, d);
    if (x >= length) throw Exception(kInvalidDcDataMessage);
    markKnown(x, c);
    return run;
}
