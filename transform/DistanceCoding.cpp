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
