// The front decoder's cold paths: the fresh table and the rescale, which
// gathers the counts into one table in AdaptiveModel's layout, halves them
// there as it does and hands them back.
#include "coder/FrontAdaptiveDecoder.h"

#if MORV_HAVE_FRONT_DECODER

FrontAdaptiveDecoder::FrontAdaptiveDecoder(uint32_t n, uint32_t limit, InBitStream& in)
    : symbolCount(n), limit(limit), total(n), decoder(in) {
    assert(n > kFront && n - kFront <= kRestSlots && n < limit && limit <= kMaxCodingTotal);
    // Every frequency 1: R(k) = n - k.
    for (uint32_t k = 0; k <= kFront; ++k) slots[k + 1] = n - k;
    uint32_t cumulative[kRestSlots + kFront + 1];
    for (uint32_t j = 0; j <= n; ++j) cumulative[j] = j;
    splitRest(cumulative);
}

void FrontAdaptiveDecoder::splitRest(const uint32_t* cumulative) {
    const uint32_t last = symbolCount - kFront - 1;
    uint32_t top = 0;
    tops[1] = 0;
    for (uint32_t j = 0; j < kRestSlots; ++j) {
        const uint32_t value = j <= last ? cumulative[j] : kPass;
        within[j] = value - top;
        if (j % kFront == kFront - 1) {
            top = value;
            tops[j / kFront + 2] = top;
        }
    }
}

void FrontAdaptiveDecoder::rescale() {
    const uint32_t n = symbolCount;
    uint32_t cumulative[kRestSlots + kFront + 1];
    for (uint32_t j = 0; j + kFront < n; ++j) cumulative[j] = entry(j);
    for (uint32_t k = 0; k <= kFront; ++k) cumulative[n - k] = static_cast<uint32_t>(slots[k + 1]);
    halveFrequencies(cumulative, n);
    for (uint32_t k = 0; k <= kFront; ++k) slots[k + 1] = cumulative[n - k];
    total = static_cast<uint32_t>(slots[1]);
    splitRest(cumulative);
}

#endif
