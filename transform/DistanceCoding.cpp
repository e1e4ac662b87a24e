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

MORV_COLD void throwInvalidDcData() { throw Exception(kInvalidDcDataMessage); }

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
        // No other byte occurs after this run, so no later run of c exists.
        if (d != 0) throwInvalidDcData();
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


DcMapDecoder::DcMapDecoder(uint32_t L, uint8_t* output, bool bitDeposit)
    : symbols(output), bitDeposit(bitDeposit), length(L) {
    assert(L <= maxLength);
    // Words up to the one holding position L + alphabetSize, all clear
    // beyond L, where every search ends, and the eight after it that a
    // search may read past the word it ends in.
    const size_t words = (size_t{L} + alphabetSize) / 64 + 9;
    known.assign(words, 0);
    unknownInWord.assign(words, 64);
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
