// The adaptive model's cold paths: building the initial table and halving it.
// The per-symbol work (update, search, encode, decode) lives inline in the
// header; halving happens only once per (limit / 2) symbols or so, so it is
// kept out of line to keep the inlined update small.
#include "coder/AdaptiveCoder.h"

AdaptiveModel::AdaptiveModel(uint32_t n) : symbolCount(n), cumulative(n + 1) {
    assert(n >= 1);
    for (uint32_t k = 0; k <= n; ++k) cumulative[k] = k;
}

void AdaptiveModel::rescale() {
    // Walk the entries in stored order, turning each difference (a frequency)
    // into its half, never below 1, and summing again from entry 0 = 0.
    uint32_t previous = cumulative[0];
    uint32_t running = 0;
    for (uint32_t k = 1; k <= symbolCount; ++k) {
        const uint32_t frequency = cumulative[k] - previous;
        previous = cumulative[k];
        const uint32_t halved = frequency / 2;
        running += halved == 0 ? 1 : halved;
        cumulative[k] = running;
    }
    cumulative[0] = 0;
}
