// The bit-map decoder's out-of-line steps: building the map, marking the
// positions a run passes, and placing first occurrences.
//
// Its gain over the plain list is measured beside kDcMapFromPresentBytes
// (DistanceCoding.h).
#include "transform/DcMapDecoder.h"

#include <algorithm>

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
        const uint32_t count = stop - first;  // 1..64, all of them clear
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
