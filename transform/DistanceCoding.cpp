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
// The decoder holds the same list of known starts. Its checks cost one
// comparison per run and keep damaged data from pushing it outside the block.
#include "transform/DistanceCoding.h"

#include <algorithm>
#include <cassert>
#include <limits>

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();  // no run start

}  // namespace

void DcEncoder::encode(const uint8_t* first, const uint8_t* last) {
    assert(last >= first);
    const size_t size = static_cast<size_t>(last - first);
    assert(size <= std::numeric_limits<uint32_t>::max() - alphabetSize);
    const uint32_t L = static_cast<uint32_t>(size);

    capacity = alphabetSize + L;
    values.assign(capacity, 0);

    std::array<uint32_t, alphabetSize> nextRunStart;
    nextRunStart.fill(kNone);
    std::array<uint32_t, alphabetSize> knownList;  // ascending
    uint32_t knownCount = 0;

    uint32_t o = capacity;  // run values go to values[o - 1], then downwards
    uint32_t i = L;         // the scan continues at i - 1
    while (i > 0) {
        const uint32_t e = i - 1;
        const uint8_t c = first[e];
        uint32_t s = e;
        while (s > 0 && first[s - 1] == c) --s;

        uint32_t value = 0;
        uint32_t slot;  // entries knownList[0..slot-1] move up one place
        const uint32_t m = nextRunStart[c];
        if (m == kNone) {
            slot = knownCount;
            ++knownCount;
        } else {
            uint32_t j = 0;
            while (knownList[j] != m) ++j;
            // Of the positions e+1..m, the j known starts below m are skipped.
            value = (m - e) - j;
            slot = j;
        }
        std::copy_backward(knownList.begin(), knownList.begin() + slot,
                           knownList.begin() + slot + 1);
        knownList[0] = s;
        nextRunStart[c] = s;

        values[--o] = value;
        i = s;
    }

    // Every run holds at least one byte, so there are at most L runs and the
    // 256 first-occurrence values fit in front of the run values.
    const uint32_t firstSlot = o - alphabetSize;
    for (uint32_t b = 0; b < alphabetSize; ++b) {
        const uint32_t f = nextRunStart[b];  // now the first occurrence of b
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

DcDecoder::DcDecoder(uint32_t L) : length(L) {}

void DcDecoder::addFirstOccurrence(uint32_t b, uint32_t v) {
    if (b >= alphabetSize) throw Exception(kInvalidDcDataMessage);
    if (v == 0) return;
    if (entryCount == alphabetSize) throw Exception(kInvalidDcDataMessage);

    // The v-th free position from the cursor: every entry at or below the
    // candidate pushes it one place on. 64 bits, so no value can wrap it.
    uint64_t p = static_cast<uint64_t>(cursor) + v - 1;
    uint32_t i = 0;
    while (i < entryCount && p >= entries[i].position) {
        ++p;
        ++i;
    }
    if (p >= length) throw Exception(kInvalidDcDataMessage);

    std::copy_backward(entries.begin() + i, entries.begin() + entryCount,
                       entries.begin() + entryCount + 1);
    entries[i] = DcEntry{static_cast<uint32_t>(p), static_cast<uint8_t>(b)};
    ++entryCount;
}

DcRun DcDecoder::nextRun(uint32_t d) {
    // Valid data always has the front run starting at the cursor: the first
    // run at position 0, every later one where the previous run ended.
    if (entryCount == 0 || entries[0].position != cursor) {
        throw Exception(kInvalidDcDataMessage);
    }
    const uint8_t c = entries[0].symbol;

    if (entryCount == 1) {
        entryCount = 0;
        return DcRun{c, length - cursor};  // cursor < length: entries lie below L
    }

    // Entries are strictly ascending, so P > cursor and the run is not empty.
    const uint32_t P = entries[1].position;
    assert(P > cursor);
    const DcRun run{c, P - cursor};
    cursor = P;

    if (d == 0) {
        std::copy(entries.begin() + 1, entries.begin() + entryCount, entries.begin());
        --entryCount;
        return run;
    }

    // The next run of c lies d unknown positions after P; P itself and every
    // known start passed on the way push it one place further.
    uint64_t x = static_cast<uint64_t>(P) + d;
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
