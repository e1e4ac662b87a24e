// Distance coding and its inverse.
//
// The encoder scans the block once from the end. For every byte value it
// remembers where the nearest run to the right starts (`nextRunStart`), and it
// keeps those starts in an ascending list (at most 256 entries), held as the
// list of their byte values. A run's value is its distance to the next run of its byte, less the known
// starts it jumps over: exactly what the decoder, which discovers runs from
// left to right with the same list, cannot predict. Because the scan runs
// backwards, a new start is always the smallest, so the list only ever
// grows at its front: it is a move-to-front list of byte values. Run values
// fill the value array from its back, so the first-occurrence values can be
// put in front of them afterwards without moving anything.
//
// The decoder holds the same list of known starts, and walks it as the
// encoder does; its checks cost one comparison per run and keep damaged data
// from pushing it outside the block.
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

namespace {

uint64_t load8(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

constexpr uint64_t kEveryByte = 0x0101010101010101ull;

// The start of the run that ends at e with byte c (c = x[e]). Eight bytes
// at a time below e: the bytes equal to c are the zero bytes of the word
// XOR c, and those next to the run are its top ones, so one count of
// leading zero bits ends most runs without a branch per byte.
uint32_t runStart(const uint8_t* x, uint32_t e, uint8_t c) {
    uint32_t s = e;
    if constexpr (std::endian::native == std::endian::little) {
        const uint64_t pattern = kEveryByte * c;
        while (s >= 8) {
            const uint64_t differ = load8(x + s - 8) ^ pattern;
            if (differ != 0) return s - static_cast<uint32_t>(std::countl_zero(differ)) / 8;
            s -= 8;
        }
    }
    while (s > 0 && x[s - 1] == c) --s;
    return s;
}

// The index of the first byte c in list (which holds c within its 256
// bytes). Eight bytes at a time: in the word XOR c the bytes equal to c are
// zero, and the lowest byte whose top bit (w - 1 per byte) AND NOT w marks
// is the first zero byte (a borrow only falsely marks bytes above a zero).
uint32_t findByte(const uint8_t* list, uint8_t c) {
    if constexpr (std::endian::native == std::endian::little) {
        const uint64_t pattern = kEveryByte * c;
        for (uint32_t j = 0;; j += 8) {
            assert(j < 256);
            const uint64_t w = load8(list + j) ^ pattern;
            const uint64_t zero = (w - kEveryByte) & ~w & (kEveryByte << 7);
            if (zero != 0) return j + static_cast<uint32_t>(std::countr_zero(zero)) / 8;
        }
    }
    uint32_t j = 0;
    while (list[j] != c) ++j;
    return j;
}

// Moves c, found at list[j], to the front: list[1..j] = the old
// list[0..j-1], list[0] = c. Below 8 in one word: its bytes 1..j from the
// word shifted up, c below them, the rest kept; and in one store, which the
// next search's load of the same word can take straight from the store.
void moveToFront(uint8_t* list, uint32_t j, uint8_t c) {
    if (std::endian::native == std::endian::little && j < 16) {
        const uint64_t w = load8(list);
        if (j < 8) {
            const uint64_t moved = ~uint64_t{0} >> (56 - 8 * j);  // bytes 0..j
            const uint64_t result = (((w << 8) | c) & moved) | (w & ~moved);
            std::memcpy(list, &result, 8);
            return;
        }
        // The first word moves whole; of the second, bytes 8..j.
        const uint64_t w1 = load8(list + 8);
        const uint64_t moved = ~uint64_t{0} >> (56 - 8 * (j - 8));
        const uint64_t result = (w << 8) | c;
        const uint64_t result1 = (((w1 << 8) | (w >> 56)) & moved) | (w1 & ~moved);
        std::memcpy(list, &result, 8);
        std::memcpy(list + 8, &result1, 8);
        return;
    }
    std::memmove(list + 1, list, j);
    list[0] = c;
}

}  // namespace

MORV_COLD void throwInvalidDcData() { throw Exception(kInvalidDcDataMessage); }

// Measured side by side with the list of 32-bit starts it replaced (bench_coders
// DcForward, median of 3, one run): lcet10.txt 4.9 -> 1.7 ms, plrabn12.txt
// 7.0 -> 2.3, kppkn.gtb 1.7 -> 0.4, fireworks.jpeg 7.9 -> 3.4, urls.10K
// 8.9 -> 3.8.
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
    // knownList holds the starts in nextRunStart ascending, and the start
    // just inserted is always the smallest, so the list is a move-to-front
    // list of the byte values seen: the index of c in it is the number of
    // known starts below c's. It is kept as those byte values
    // (`order[0..seen)`), which are searched and moved 8 at a time. The
    // bytes beyond `seen` are never matched: c, when seen, comes first.
    alignas(8) std::array<uint8_t, alphabetSize> order{};
    uint32_t seen = 0;

    uint32_t o = capacity;  // run values go to values[o - 1], then downwards
    uint32_t i = L;         // the scan continues at i - 1
    while (i > 0) {
        const uint32_t e = i - 1;
        const uint8_t c = first[e];
        const uint32_t s = runStart(first, e, c);

        uint32_t value = 0;
        const uint32_t m = nextRunStart[c];
        if (m == kNone) {
            // A new byte value: s is below every known start.
            moveToFront(order.data(), seen, c);
            ++seen;
        } else {
            // Of the positions e+1..m, the j known starts below m are skipped.
            const uint32_t j = findByte(order.data(), c);
            assert(j < seen);
            value = (m - e) - j;
            moveToFront(order.data(), j, c);
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

void DcDecoder::addFirstOccurrence(uint32_t b, uint32_t v) {
    if (b >= alphabetSize) throw Exception(kInvalidDcDataMessage);
    if (v == 0) return;
    if (entryCount == alphabetSize) throw Exception(kInvalidDcDataMessage);
    // The v-th free position from the cursor: every entry at or below the
    // candidate pushes it one place on. 64 bits, so no value can wrap it.
    uint64_t p = uint64_t{cursor} + v - 1;
    uint32_t i = 0;
    while (i < entryCount && p >= entries[i].position) {
        ++p;
        ++i;
    }
    if (p >= length) throw Exception(kInvalidDcDataMessage);
    for (uint32_t k = entryCount; k > i; --k) entries[k] = entries[k - 1];
    entries[i] = DcEntry{static_cast<uint32_t>(p), static_cast<uint8_t>(b)};
    ++entryCount;
}

DcRun DcDecoder::nextRun(uint32_t d) {
    // Valid data always has the front run starting at the cursor: the first
    // run at position 0, every later one where the previous run ended.
    if (entryCount == 0 || entries[0].position != cursor) throw Exception(kInvalidDcDataMessage);
    const uint8_t c = entries[0].symbol;
    if (entryCount == 1) {
        // No other byte occurs after this run, so no later run of c exists.
        if (d != 0) throwInvalidDcData();
        entryCount = 0;
        return DcRun{c, length - cursor};  // cursor < length: entries lie below L
    }
    // Entries are strictly ascending, so P > cursor and the run is not empty.
    const uint32_t P = entries[1].position;
    const DcRun run{c, P - cursor};
    cursor = P;
    if (d == 0) {
        for (uint32_t k = 1; k < entryCount; ++k) entries[k - 1] = entries[k];
        --entryCount;
        return run;
    }
    // The next run of c lies d unknown positions after P; P itself and every
    // known start at or below the candidate pushes it one place further. A
    // candidate that starts at or beyond L only moves further, which is
    // damage.
    if (d >= length - P) throw Exception(kInvalidDcDataMessage);
    uint64_t x = uint64_t{P} + d;
    entries[0] = entries[1];
    uint32_t i = 1;
    while (i + 1 < entryCount && x >= entries[i + 1].position) {
        entries[i] = entries[i + 1];
        ++x;
        ++i;
    }
    if (x >= length) throw Exception(kInvalidDcDataMessage);
    entries[i] = DcEntry{static_cast<uint32_t>(x), c};
    return run;
}
