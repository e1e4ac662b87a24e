// The adaptive model's cold paths: building the initial table and halving it.
// The per-symbol work (update, search, encode, decode) lives inline in the
// header; halving happens only once per (limit / 2) symbols or so, so it is
// kept out of line to keep the inlined update small.
#include "coder/AdaptiveCoder.h"

AdaptiveModel::AdaptiveModel(uint32_t n) : symbolCount(n), cumulative(n + 1) {
    assert(n >= 1);
    for (uint32_t k = 0; k <= n; ++k) cumulative[k] = k;
}

void AdaptiveModel::rescale() { halveFrequencies(cumulative.data(), symbolCount); }
