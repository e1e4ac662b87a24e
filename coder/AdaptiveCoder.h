// Adaptive order-0 arithmetic coder with 16-bit code registers: a frequency
// model that learns while coding (every symbol starts at 1, each coded symbol
// adds 1, everything is halved when the total reaches the caller's limit) and
// the integer encoder/decoder pair with bits-to-follow handling. The coding
// loops are inline so the block codecs' per-symbol loops can inline them.
// AdaptiveModel is the model's plain kernel, the tests' reference; the faster
// model for small alphabets is in coder/SmallAdaptiveModel.h.
#pragma once

#include <bit>
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

// The rescale of both adaptive models: cumulative[1..count] are running
// sums of frequencies from cumulative[0] on; each frequency is halved (one
// that halves to 0 becomes 1) and the sums are rebuilt from cumulative[0] = 0.
template <typename Entry>
void halveFrequencies(Entry* cumulative, uint32_t count) {
    uint32_t previous = static_cast<uint32_t>(cumulative[0]);
    uint32_t running = 0;
    for (uint32_t k = 1; k <= count; ++k) {
        const uint32_t frequency = static_cast<uint32_t>(cumulative[k]) - previous;
        previous = static_cast<uint32_t>(cumulative[k]);
        const uint32_t halved = frequency / 2;
        running += halved == 0 ? 1 : halved;
        cumulative[k] = static_cast<Entry>(running);
    }
    cumulative[0] = 0;
}

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
        // Entries n-s .. n, counted from 0 so the loop's trip count is plain
        // and the compiler can widen it.
        uint32_t* entry = cumulative.data() + (n - s);
        for (uint32_t k = 0; k < s + 1; ++k) ++entry[k];
        if (t + 1 == limit) rescale();
        return interval;
    }

    // The symbol s with lowCount(s) <= target < highCount(s); always below n.
    // target must be below total() (as ArithmeticDecoder::target guarantees).
    // The plain kernel: a bisection of all n + 1 entries.
    uint32_t findSymbol(uint32_t target) const { return bisect(target, symbolCount); }

    // findSymbol(target), looking at the kFront smallest symbols first: one
    // comparison tells whether the symbol is among them, and then it is the
    // count of their entries at or below the target's place, a loop without
    // jumps over adjacent entries. Otherwise the bisection runs over the
    // rest. After move-to-front nearly every symbol is a small one.
    static constexpr uint32_t kFront = 16;
    uint32_t findSymbolFront(uint32_t target) const {
        assert(target < total());
        const uint32_t n = symbolCount;
        if (n <= kFront) return bisect(target, n);
        const uint32_t* entry = cumulative.data() + (n - kFront);
        const uint32_t x = cumulative[n] - target - 1;
        if (entry[0] > x) return bisect(target, n - kFront);
        uint32_t atOrBelow = 0;
        for (uint32_t k = 1; k < kFront; ++k) atOrBelow += entry[k] <= x ? 1u : 0u;
        return kFront - 1 - atOrBelow;
    }

    // The symbol findSymbol(target) gives, and its interval as
    // update(symbol, limit) gives it, with that update done.
    struct Decoded {
        uint32_t symbol;
        SymbolInterval interval;
    };
    Decoded decode(uint32_t target, uint32_t limit) {
        const uint32_t symbol = findSymbol(target);
        return {symbol, update(symbol, limit)};
    }

private:
    // The symbol of target, found by bisecting entries 0 .. hi, where hi is n
    // or an entry above the target's place (entry[0] = 0 is never above it).
    uint32_t bisect(uint32_t target, uint32_t hi) const {
        assert(target < total());
        const uint32_t* entry = cumulative.data();
        const uint32_t x = entry[symbolCount] - target - 1;
        uint32_t lo = 0;
        // The steps depend on hi alone; the halves are picked without a jump.
        while (hi - lo > 1) {
            const uint32_t mid = (lo + hi) / 2;
            const bool below = x < entry[mid];
            hi = below ? mid : hi;
            lo = below ? lo : mid;
        }
        return symbolCount - lo - 1;
    }

    // Halves every frequency (0 becomes 1) and rebuilds the running sums.
    void rescale();

    uint32_t symbolCount;
    std::vector<uint32_t> cumulative;  // n + 1 entries, reverse symbol order
};

// Division by a fixed divisor d (1..2^16) as a multiplication:
// for every x <= 2^30, x / d = x * m >> shift with shift = 32 + ceil(log2 d)
// and m = 2^shift / d + 1 (rounded down, then one more). Writing
// x = q d + r, x m / 2^shift = x / d + x e / 2^shift with 0 < e <= 1, and
// x e / 2^shift <= 2^30 / 2^shift < 1 / d while r / d <= 1 - 1 / d, so the
// floor is q. m <= 2^33, so the product stays within 2^63. The coders'
// numerators are range x count and (offset + 1) x total, at most 2^16 x 2^14.
struct Reciprocal {
    uint64_t multiplier = 0;
    uint32_t shift = 0;
    uint32_t divisor = 0;

    constexpr Reciprocal() = default;
    constexpr explicit Reciprocal(uint32_t d)
        : multiplier(((uint64_t{1} << (32 + std::bit_width(d - 1))) / d) + 1),
          shift(32 + static_cast<uint32_t>(std::bit_width(d - 1))),
          divisor(d) {}

    constexpr uint32_t divide(uint32_t x) const {
        return static_cast<uint32_t>((x * multiplier) >> shift);
    }
};

// Writes the code of a sequence of intervals to a bit stream (not owned, must
// outlive the encoder). Registers start at low = 0, high = 0xFFFF. The code
// bits are gathered in a word of the encoder's own and handed to the stream
// 32 at a time, so the stream holds all of them only after finish(): nothing
// else may be written to it in between. Gathering the bits, renormalising
// without branches and in one shift each took 12 to 20% off bench_coders
// DcEncodeValues (measured side by side, one step at a time).
class ArithmeticEncoder {
public:
    explicit ArithmeticEncoder(OutBitStream& out) : output(&out) {}

    // Narrows the code interval to [lowCount, highCount) of total and writes
    // the bits that became certain. Requires lowCount < highCount <= total <=
    // kMaxCodingTotal; the interval need not come from an AdaptiveModel.
    void encode(uint32_t lowCount, uint32_t highCount, uint32_t total) {
        assert(lowCount < highCount && highCount <= total && total <= kMaxCodingTotal);
        const uint32_t range = high - low + 1;
        high = low + range * highCount / total - 1;
        low = low + range * lowCount / total;
        renormalize();
    }

    // encode() with the two divisions by total done as multiplications by
    // its reciprocal (see Reciprocal); the same narrowing.
    void encode(uint32_t lowCount, uint32_t highCount, const Reciprocal& total) {
        assert(lowCount < highCount && highCount <= total.divisor && total.divisor <= kMaxCodingTotal);
        // range x count < 2^16 x 2^14, within the reciprocal's exact range;
        // range x multiplier x count < 2^16 x 2^33 x 2^14 fits 64 bits.
        const uint64_t scaledRange = uint64_t{high - low + 1} * total.multiplier;
        high = low + static_cast<uint32_t>((scaledRange * highCount) >> total.shift) - 1;
        low = low + static_cast<uint32_t>((scaledRange * lowCount) >> total.shift);
        renormalize();
    }

    // encode(symbol, symbol + 1, 2^bits) for bits in 1..14: the same
    // narrowing, the divisions by a power of two done as shifts.
    void encodeUniform(uint32_t symbol, uint32_t bits) {
        assert(bits >= 1 && bits <= 14 && symbol < (1u << bits));
        const uint32_t range = high - low + 1;
        high = low + ((range * (symbol + 1)) >> bits) - 1;
        low = low + ((range * symbol) >> bits);
        renormalize();
    }

    // Writes the closing bits (the deferred ones + 2) that name a quarter
    // lying wholly inside the final interval, so whatever bits a decoder
    // reads after them cannot change a decoded symbol, and hands every bit
    // still held to the stream. The caller then flushes the bit stream.
    void finish() {
        const uint32_t bit = (low >> 14) & 1u;
        // bit, then pendingBits + 1 copies of its opposite.
        gather(bit, 1);
        output->writeBits(static_cast<uint32_t>(gathered), gatheredBits);
        output->writeRun(bit ^ 1u, pendingBits + 1);
        gathered = 0;
        gatheredBits = 0;
        pendingBits = 0;
    }

private:
    static constexpr uint32_t kTop = 0xFFFF;
    static constexpr uint32_t kHalf = 0x8000;

    // Writes the bits that became certain, all shifts of one narrowing at
    // once. One shift at a time the rule is: while bit 15 of low and high
    // agree, write it (the first such bit followed by the pending opposite
    // bits) and shift; then, while low >= 0x4000 and high < 0xC000, count a
    // pending bit, take the first quarter off both ends and shift. Once bit
    // 15 differs it stays different through the second kind of step, so the
    // steps come as one stretch of each kind: n agreeing top bits, then m
    // steps, m being how far low has ones and high zeros from bit 14 down.
    //
    // Neither stretch is branched on: shifting by 0 leaves the registers as
    // they are (after the first stretch bit 15 of low is 0 and of high 1),
    // and no decided bit writes nothing. Whether a narrowing decides bits
    // follows the data, so a branch on it would often be mispredicted.
    void renormalize() {
        const uint32_t n = static_cast<uint32_t>(std::countl_zero(((low ^ high) << 16) | 0x8000u));
        // The n decided bits in writing order: the top of low, reversed.
        const uint32_t decided = reverseLowBits(low, 16) & ((1u << n) - 1u);
        if (pendingBits <= 16) [[likely]] {
            // The first decided bit, the pending bits (its opposite), the
            // other decided bits: pendingBits + n <= 32 bits; none if n = 0.
            const uint32_t first = decided & 1u;
            const uint64_t run = ((uint64_t{1} << pendingBits) - 1) & (uint64_t{0} - (first ^ 1u));
            const uint64_t bits = first | (run << 1) | (uint64_t{decided >> 1} << (pendingBits + 1));
            const uint32_t count = (pendingBits + n) & (0u - (n != 0 ? 1u : 0u));
            gather(bits & ((uint64_t{1} << count) - 1), count);
            pendingBits &= 0u - (n == 0 ? 1u : 0u);
        } else if (n > 0) {
            gather(decided & 1u, 1);
            output->writeBits(static_cast<uint32_t>(gathered), gatheredBits);
            gathered = 0;
            gatheredBits = 0;
            output->writeRun((decided & 1u) ^ 1u, pendingBits);
            gather(decided >> 1, n - 1);
            pendingBits = 0;
        }
        // The m steps of the second kind are the leading ones of low & ~high
        // below the first bit that differs (see ArithmeticDecoder), so both
        // stretches are one shift by n + m. Afterwards bit 15 of low is 0
        // and of high 1, the bits below are the old ones shifted up (ones
        // shifted into high).
        const uint32_t m = static_cast<uint32_t>(std::countl_one(((low & ~high) << 17) << n));
        pendingBits += m;
        const uint32_t shifts = n + m;
        low = (low << shifts) & (kHalf - 1);
        high = (((high << shifts) | ((1u << shifts) - 1u)) & (kHalf - 1)) | kHalf;
    }

    // Appends count bits (count <= 32), the first in bit 0; a full word goes
    // to the stream.
    void gather(uint64_t bits, uint32_t count) {
        gathered |= bits << gatheredBits;
        gatheredBits += count;
        if (gatheredBits >= 32) {
            output->writeBits(static_cast<uint32_t>(gathered), 32);
            gathered >>= 32;
            gatheredBits -= 32;
        }
    }

    uint32_t low = 0;
    uint32_t high = kTop;
    uint32_t pendingBits = 0;   // deferred bits: the interval straddled the middle
    uint64_t gathered = 0;      // code bits not yet in the stream, the first in bit 0
    uint32_t gatheredBits = 0;  // how many, 0..31 between calls
    OutBitStream* output;       // not owned; a pointer, so that the encoder can be copied
};

// Reads back what ArithmeticEncoder wrote, given the same intervals in the
// same order. The bit stream is not owned and must outlive the decoder.
//
// The decoder does not keep high and the code value themselves but the
// width of the interval, range = high - low + 1, and the code value's place
// in it, offset = value - low. Every shift of the encoder's renormalisation
// moves low, high and the code value alike (the first kind of step drops
// the top bit the three share, the second subtracts the same quarter from
// each), so range and offset simply shift, and low is wanted only to tell
// how many shifts come.
//
// For any input bits 0 <= offset < range: it holds at the start (low = 0,
// range = 2^16) and narrowing to an interval chosen from target() keeps it.
// Hence target(total) < total always, the divisions never see 0, and the
// renormalisation ends after at most 16 shifts.
class ArithmeticDecoder {
public:
    explicit ArithmeticDecoder(InBitStream& in) : bits(in) {}

    // Reads the first 16 code bits; call once before the first symbol.
    void start() {
        bits.clear();
        bits.refill();
        low = 0;
        range = kTop + 1;
        width = Reciprocal(range);
        widthShifts = 0;
        offset = bits.take(16);
    }

    // Position of the code value on a scale of `total` (1..kMaxCodingTotal):
    // a number in [0, total).
    uint32_t target(uint32_t total) const {
        assert(total >= 1 && total <= kMaxCodingTotal);
        return divideByRange((offset + 1) * total - 1);
    }

    // target(2^bits), bits in 1..14.
    uint32_t targetUniform(uint32_t bits) const {
        assert(bits >= 1 && bits <= 14);
        return divideByRange(((offset + 1) << bits) - 1);
    }

    // Narrows exactly as the encoder did for [lowCount, highCount) of total
    // and shifts in new code bits. The interval must contain target(total).
    void update(uint32_t lowCount, uint32_t highCount, uint32_t total) {
        assert(lowCount < highCount && highCount <= total && total <= kMaxCodingTotal);
        narrow(range * lowCount / total, range * highCount / total);
    }

    // update() with the two divisions by total done as multiplications by
    // its reciprocal (see Reciprocal); the same narrowing.
    void update(uint32_t lowCount, uint32_t highCount, const Reciprocal& total) {
        assert(lowCount < highCount && highCount <= total.divisor);
        // The products range x count x multiplier, grouped so that range x
        // multiplier can be formed while the symbol is still being looked
        // for; below 2^16 x 2^33 x 2^14, so they fit.
        const uint64_t scaledRange = uint64_t{range} * total.multiplier;
        narrow(static_cast<uint32_t>((scaledRange * lowCount) >> total.shift),
               static_cast<uint32_t>((scaledRange * highCount) >> total.shift));
    }

    // update(symbol, symbol + 1, 2^bits) for bits in 1..14, as
    // ArithmeticEncoder::encodeUniform narrows.
    void updateUniform(uint32_t symbol, uint32_t bits) {
        assert(bits >= 1 && bits <= 14 && symbol < (1u << bits));
        narrow((range * symbol) >> bits, (range * (symbol + 1)) >> bits);
    }

    // The width of the code interval and the code value's place in it
    // (0 <= offset < width), for decoders that find the symbol by comparing
    // products with them instead of dividing (coder/FrontAdaptiveDecoder.h).
    uint32_t intervalWidth() const { return range; }
    uint32_t codeOffset() const { return offset; }

    // Narrows to [low + from, low + to - 1] and shifts in new code bits, as
    // update() does once it has divided: from < to <= width, and from <=
    // offset < to. The reciprocal target() needs is not worked out, so
    // target() and targetUniform() may not follow, only more of these.
    void narrowTo(uint32_t from, uint32_t to) {
        assert(from <= offset && offset < to && to <= range);
        low += from;
        range = to - from;
        offset -= from;
        renormalize();
    }

    // targetUniform(bits) and updateUniform of it in one, for bits in 1..14,
    // with the target found by one division by the width instead of by the
    // width's reciprocal: it may follow narrowTo (and be followed by it).
    uint32_t decodeUniformDividing(uint32_t bits) {
        assert(bits >= 1 && bits <= 14);
        const uint32_t symbol = (((offset + 1) << bits) - 1) / range;
        narrowTo((range * symbol) >> bits, (range * (symbol + 1)) >> bits);
        return symbol;
    }

    // After the last symbol: the position, in bits from the start of the
    // stream, just past the closing bits ArithmeticEncoder::finish wrote, or
    // kNoCodeEnd when the bits there are not what finish and the flush to a
    // byte write. The decoder reads 16 bits beyond its shifts, and finish
    // writes 2 bits beyond the encoder's (its pending bits are shifts here
    // already), so the code ends 14 bits before what has been read. The 16
    // bits in view are then, in the coordinates the shifts left, the two
    // closing bits (the quarter inside the final interval: 01 when bit 14 of
    // low is 0, else 10), then the raw bits that follow, of which those up
    // to the next byte boundary are the flush's zeros.
    uint64_t codeEnd() const {
        const uint64_t end = bits.bitsTaken() - 14;
        const uint32_t value = low + offset;
        const uint32_t closing = ((low >> 14) & 1u) != 0 ? 2u : 1u;
        const uint32_t padding = static_cast<uint32_t>((8 - end % 8) % 8);
        if ((value >> 14) != closing || ((value & 0x3FFFu) >> (14 - padding)) != 0) return kNoCodeEnd;
        return end;
    }

private:
    static constexpr uint32_t kTop = 0xFFFF;

    // The interval becomes [low + from, low + to - 1], as the encoder's
    // high = low + to - 1, low = low + from; then renormalises.
    void narrow(uint32_t from, uint32_t to) {
        low += from;
        range = to - from;
        offset -= from;
        assert(offset < range);
        // The reciprocal of the width, worked out while the renormalisation
        // runs: the next target divides by it shifted, without waiting for a
        // division of its own.
        width = Reciprocal(range);
        renormalize();
    }

    // x / range for x < 2^30. range is the narrowed width shifted up by the
    // renormalisation, and x / (w 2^s) = (x / 2^s) / w in whole numbers; the
    // reciprocal is exact for any width (1..2^16) and x below 2^30 (see
    // Reciprocal), and (offset + 1) times a total stays below 2^16 x 2^14.
    uint32_t divideByRange(uint32_t x) const {
        assert(x < (1u << 30));
        assert(x / range == width.divide(x >> widthShifts));
        return width.divide(x >> widthShifts);
    }

    // The encoder's shifts, all at once (see ArithmeticEncoder). With high =
    // low + range - 1: n top bits of low and high agree; below them low has
    // 0 and high 1; then come the m places where low has 1 and high 0, the
    // steps of the second kind, which are the leading ones of low & ~high
    // below the first bit that differs (the bits above it are 0 there). After
    // the n + m shifts bit 15 of low is 0, and the bits of low below it are
    // its old bits shifted up.
    void renormalize() {
        bits.refill();
        const uint32_t high = low + range - 1;
        const uint32_t n = static_cast<uint32_t>(std::countl_zero(((low ^ high) << 16) | 0x8000u));
        // low & ~high is below 2^(15 - n), so shifting it up by 17 + n in two
        // steps (n may be 16) keeps every bit that matters.
        const uint32_t m = static_cast<uint32_t>(std::countl_one(((low & ~high) << 17) << n));
        const uint32_t shifts = n + m;
        low = (low << shifts) & (kTop >> 1);
        range <<= shifts;
        widthShifts = shifts;
        offset = (offset << shifts) | bits.take(shifts);
    }

    uint32_t low = 0;           // below 2^15 between symbols
    uint32_t range = kTop + 1;  // high - low + 1, 1..2^16
    uint32_t offset = 0;        // code value - low, below range
    Reciprocal width{1};        // of the width before the last renormalisation
    uint32_t widthShifts = 0;   // that renormalisation's shifts: range = width << widthShifts
    MsbFirstBits bits;          // the code bits
};

// One symbol through an adaptive model and the arithmetic decoder: finds it
// (with AdaptiveModel::findSymbolFront when FrontSearch, else the plain
// bisection), updates the model (rescaling at `limit`) and narrows the code
// interval.
template <bool FrontSearch>
inline uint32_t decodeAdaptiveSymbolWith(AdaptiveModel& model, ArithmeticDecoder& decoder,
                                         uint32_t limit) {
    const uint32_t target = decoder.target(model.total());
    const uint32_t symbol = FrontSearch ? model.findSymbolFront(target) : model.findSymbol(target);
    const SymbolInterval i = model.update(symbol, limit);
    decoder.update(i.lowCount, i.highCount, i.total);
    return symbol;
}

// The search extraction takes: the plain kernel where only those are built.
// Measured side by side (bench_coders AdaptiveDecodeMtfLike/Plain against
// /FrontSearch, median of 3, one run, processor time): 46.1 -> 26.7 ms (42%
// less) on move-to-front-like symbols; uniform bytes, which the front misses
// nearly always, 59.5 -> 58.2 ms. Narrowing through the reciprocal of the
// total, worked out while the search runs, instead of two divisions after
// it, gained nothing there (46.1 -> 45.4 ms, and 59.5 -> 68.9 ms on uniform
// bytes) and was left out, and so was finding the target with one division
// by the range instead of keeping the width's reciprocal (26.5 -> 28.5 ms),
// or narrowing through a table of the totals' reciprocals (26.5 -> 28.4 ms).
inline uint32_t decodeAdaptiveSymbol(AdaptiveModel& model, ArithmeticDecoder& decoder, uint32_t limit) {
#ifndef MORV_PLAIN_KERNELS
    return decodeAdaptiveSymbolWith<true>(model, decoder, limit);
#else
    return decodeAdaptiveSymbolWith<false>(model, decoder, limit);
#endif
}
