// Table handling of the static coder. Scaling maps the counts onto 65535 - n
// rather than 65535 so that the symbols lifted from 0 to 1 (at most n of
// them) can never push the total past 65535, the largest total that stays
// below the first quarter of the 18-bit registers. The decoder refuses any
// stored table outside 1..65535 before reading a code bit, because such a
// table would divide by zero or give symbols empty intervals.
#include "coder/StaticCoder.h"

#include "base/DamageMessages.h"
#include "base/Exception.h"

StaticEncoder::StaticEncoder(uint32_t n, OutBitStream& out)
    : output(out), frequencies(static_cast<size_t>(n) + 1, 0), symbolCount(n) {
    assert(n >= 1);
}

void StaticEncoder::scale() {
    assert(!scaled);
    const uint32_t n = symbolCount;
    uint64_t counted = 0;
    for (uint32_t s = 0; s < n; ++s) counted += frequencies[s];
    if (counted != 0) {
        for (uint32_t s = 0; s < n; ++s) frequencies[s] = scaledFrequency(frequencies[s], counted, n);
    }
    uint32_t running = 0;
    for (uint32_t s = 0; s <= n; ++s) {
        const uint32_t f = s < n ? frequencies[s] : 0;
        frequencies[s] = running;
        running += f;
    }
    assert(frequencies[n] <= kMaxStaticTotal);
    scaled = true;
}

void StaticEncoder::writeTable() {
    assert(scaled);
    for (uint32_t s = 0; s < symbolCount; ++s) output.stream().writeBits(frequency(s), 16);
}

StaticDecoder::StaticDecoder(uint32_t n, InBitStream& in)
    : input(in), symbolCount(n), frequencies(static_cast<size_t>(n) + 1, 0) {
    assert(n >= 1);
}

void StaticDecoder::readTable() {
    const uint32_t n = symbolCount;
    uint32_t running = 0;
    for (uint32_t s = 0; s < n; ++s) {
        frequencies[s] = running;
        running += input.readBits(16);
        if (running > kMaxStaticTotal) {
            throw Exception(kInvalidTableMessage);
        }
    }
    if (running == 0) throw Exception(kInvalidTableMessage);
    frequencies[n] = running;
#if MORV_HAVE_STATIC_PRODUCTS
    prepareProducts();
#endif
}

bool StaticDecoder::isTableOf(const uint32_t* counts) const {
    const uint32_t n = symbolCount;
    uint64_t counted = 0;
    for (uint32_t s = 0; s < n; ++s) counted += counts[s];
    for (uint32_t s = 0; s < n; ++s) {
        if (frequency(s) != scaledFrequency(counts[s], counted, n)) return false;
    }
    return true;
}

#if MORV_HAVE_STATIC_PRODUCTS
void StaticDecoder::prepareProducts() {
    const uint32_t t = frequencies[symbolCount];
    for (uint32_t k = 1; k <= kFront; ++k) front[k - 1] = k <= symbolCount ? frequencies[k] : t;
    totalShift = 34 + static_cast<uint32_t>(std::bit_width(t));
    totalMultiplier =
        static_cast<uint64_t>(((static_cast<unsigned __int128>(1) << totalShift) + t - 1) / t);
}
#endif
