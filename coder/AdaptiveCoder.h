// Adaptive order-0 arithmetic coder with 16-bit code registers: a frequency
// model that learns while coding (every symbol starts at 1, each coded symbol
// adds 1, everything is halved when the total reaches the caller's limit) and
// the integer encoder/decoder pair with bits-to-follow handling. The coding
// loops are inline so the block codecs' per-symbol loops can inline them.
#pragma once

#include <cassert>
#include <cstdint>
#include <vector>

#include "io/BitStream.h"

// One symbol's slice of the coding scale: [lowCount, highCount) of total.
struct SymbolInterval {
    uint32_t lowCount;
    uint32_t highCount;
    uint32_t total;
};

// Largest total the coders accept: the first quarter of the 16-bit scale, so
// every interval keeps a width of at least 1 after narrowing.
inline constexpr uint32_t kMaxCodingTotal = 16384;

// Frequencies of n symbols, kept as cumulative counts in reverse symbol order:
// cumulative[k] is the sum of the frequencies of symbols n-k .. n-1, so
// cumulative[0] = 0 and cumulative[n] is the total. Symbol 0 sits at the
// bottom of the scale; updating symbol s touches only s + 1 entries, which is
// cheap for the small symbols that dominate after move-to-front.
class AdaptiveModel {
public:
    // n symbols (n >= 1), each with frequency 1. Throws std::bad_alloc.
    explicit AdaptiveModel(uint32_t n);

    uint32_t alphabetSize() const { return symbolCount; }
    uint32_t total() const { return cumulative[symbolCount]; }
    // Current frequency of symbol s (s < n).
    uint32_t frequency(uint32_t s) const {
        assert(s < symbolCount);
        return cumulative[symbolCount - s] - cumulative[symbolCount - s - 1];
    }

    // Returns the interval of s (s < n) as it was before this call, then adds
    // 1 to the frequency of s and halves every frequency (keeping each at
    // least 1) when the total has become equal to `limit`. The limit must be
    // above n and at most kMaxCodingTotal for the result to be codable;
    // encoder and decoder must pass the same limit for the same symbol.
    SymbolInterval update(uint32_t s, uint32_t limit) {
        assert(s < symbolCount);
        const uint32_t n = symbolCount;
        const uint32_t t = cumulative[n];
        const SymbolInterval interval{t - cumulative[n - s], t - cumulative[n - s - 1], t};
        uint32_t* entry = cumulative.data();
        for (uint32_t k = n - s; k <= n; ++k) ++entry[k];
        if (t + 1 == limit) rescale();
        return interval;
    }

    // The symbol s with lowCount(s) <= target < highCount(s); always below n.
    // target must be below total() (as ArithmeticDecoder::target guarantees).
    uint32_t findSymbol(uint32_t target) const {
        assert(target < total());
        const uint32_t x = total() - target - 1;
        uint32_t lo = 0;
        uint32_t hi = symbolCount;
        while (hi - lo > 1) {
            const uint32_t mid = (lo + hi) / 2;
            if (x < cumulative[mid]) {
                hi = mid;
            } else {
                lo = mid;
            }
        }
        return symbolCount - lo - 1;
    }

private:
    // Halves every frequency (0 becomes 1) and rebuilds the running sums.
    void rescale();

    uint32_t symbolCount;
    std::vector<uint32_t> cumulative;  // n + 1 entries, reverse symbol order
};

// Writes the code of a sequence of intervals to a bit stream (not owned, must
// outlive the encoder). Registers start at low = 0, high = 0xFFFF.
class ArithmeticEncoder {
public:
    explicit ArithmeticEncoder(OutBitStream& out) : output(out) {}

    // Narrows the code interval to [lowCount, highCount) of total and writes
    // the bits that became certain. Requires lowCount < highCount <= total <=
    // kMaxCodingTotal; the interval need not come from an AdaptiveModel.
    void encode(uint32_t lowCount, uint32_t highCount, uint32_t total) {
        assert(lowCount < highCount && highCount <= total && total <= kMaxCodingTotal);
        const uint32_t range = high - low + 1;
        high = low + range * highCount / total - 1;
        low = low + range * lowCount / total;
        for (;;) {
            if (((low ^ high) & kHalf) == 0) {
                // Both ends agree on the top bit: it is decided.
                const uint32_t bit = low >> 15;
                output.putBit(bit);
                if (pendingBits != 0) {
                    output.writeRun(bit ^ 1u, pendingBits);
                    pendingBits = 0;
                }
            } else if ((low & ~high & kQuarter) != 0) {
                // low >= 0x4000 and high < 0xC000: straddling the middle, the
                // next bit is still open. Together with the shift below this
                // takes the first quarter off both ends.
                ++pendingBits;
                low &= ~kQuarter;
                high |= kQuarter;
            } else {
                break;
            }
            low = (low & (kHalf - 1)) << 1;
            high = ((high << 1) | 1u) & kTop;
        }
    }

    // Writes the closing bits (pendingBits + 2 of them) that name a quarter
    // lying wholly inside the final interval, so whatever bits a decoder
    // reads after them cannot change a decoded symbol. The caller then
    // flushes the bit stream.
    void finish() {
        const uint32_t bit = (low >> 14) & 1u;
        output.putBit(bit);
        output.writeRun(bit ^ 1u, pendingBits + 1);
        pendingBits = 0;
    }

private:
    static constexpr uint32_t kTop = 0xFFFF;
    static constexpr uint32_t kHalf = 0x8000;
    static constexpr uint32_t kQuarter = 0x4000;

    uint32_t low = 0;
    uint32_t high = kTop;
    uint32_t pendingBits = 0;
    OutBitStream& output;
};

// Reads back what ArithmeticEncoder wrote, given the same intervals in the
// same order. The bit stream is not owned and must outlive the decoder.
//
// For any input bits the decoder keeps low <= value <= high: it holds at the
// start (0, any 16 bits, 0xFFFF) and narrowing to an interval chosen from
// target() keeps value inside. Hence target(total) < total always, the
// divisions never see 0, and the renormalisation ends after at most 16 shifts.
class ArithmeticDecoder {
public:
    explicit ArithmeticDecoder(InBitStream& in) : input(in) {}

    // Reads the first 16 code bits; call once before the first symbol.
    void start() {
        value = 0;
        for (int i = 0; i < 16; ++i) value = (value << 1) | input.getBit();
    }

    // Position of the code value on a scale of `total` (1..kMaxCodingTotal):
    // a number in [0, total).
    uint32_t target(uint32_t total) const {
        assert(total >= 1 && total <= kMaxCodingTotal);
        return ((value - low + 1) * total - 1) / (high - low + 1);
    }

    // Narrows exactly as the encoder did for [lowCount, highCount) of total
    // and shifts in new code bits. The interval must contain target(total).
    void update(uint32_t lowCount, uint32_t highCount, uint32_t total) {
        assert(lowCount < highCount && highCount <= total && total <= kMaxCodingTotal);
        const uint32_t range = high - low + 1;
        high = low + range * highCount / total - 1;
        low = low + range * lowCount / total;
        assert(low <= value && value <= high);
        for (;;) {
            if (((low ^ high) & kHalf) != 0) {
                if ((low & ~high & kQuarter) == 0) break;
                // Flipping bit 14 takes the first quarter off value modulo
                // the half; the mask after the shift removes the half.
                value ^= kQuarter;
                low &= ~kQuarter;
                high |= kQuarter;
            }
            low = (low & (kHalf - 1)) << 1;
            high = ((high << 1) | 1u) & kTop;
            value = ((value << 1) | input.getBit()) & kTop;
        }
    }

private:
    static constexpr uint32_t kTop = 0xFFFF;
    static constexpr uint32_t kHalf = 0x8000;
    static constexpr uint32_t kQuarter = 0x4000;

    uint32_t low = 0;
    uint32_t high = kTop;
    uint32_t value = 0;
    InBitStream& input;
};
