// Static arithmetic coder: symbol frequencies are counted in a first pass,
// scaled to a 16-bit total and stored ahead of the code; encoder and decoder
// then code against that fixed table. It is the coder of AdaptiveCoder.h
// widened to 18-bit registers, so a total of up to 65535 stays below the
// first quarter, with 64-bit products.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <vector>

#include "coder/PendingBitWriter.h"
#include "io/BitStream.h"

// The static decoder's search by products (StaticDecoder::decodeSymbolByProducts)
// takes SSE2 and 128-bit products.
#if defined(__SSE2__) && defined(__SIZEOF_INT128__) && !defined(MORV_PLAIN_KERNELS)
#include <emmintrin.h>
#define MORV_HAVE_STATIC_PRODUCTS 1
#else
#define MORV_HAVE_STATIC_PRODUCTS 0
#endif

// Largest total a stored frequency table may have.
inline constexpr uint32_t kMaxStaticTotal = 65535;

// The scaled frequency the encoder stores for a symbol counted `count` times
// among `counted` symbols of an alphabet of n: count x (65535 - n) / counted
// (64-bit product), 1 where that is 0 for a counted symbol, 0 for a symbol
// not counted.
inline uint32_t scaledFrequency(uint64_t count, uint64_t counted, uint32_t n) {
    if (count == 0) return 0;
    const uint32_t f = static_cast<uint32_t>(count * (kMaxStaticTotal - n) / counted);
    return f == 0 ? 1 : f;
}

// The code interval both sides keep: 18-bit registers, and the bounds of
// their top half and first quarter.
class StaticCodeInterval {
protected:
    static constexpr uint32_t kTop = 0x3FFFF;
    static constexpr uint32_t kHalf = 0x20000;
    static constexpr uint32_t kQuarter = 0x10000;

    uint32_t low = 0;
    uint32_t high = kTop;
};

// Counts symbols, scales the counts and codes symbols with the scaled table.
// Usage: count(s)++ for every symbol (or fill counts()), scale(),
// writeTable(), encodeSymbol(s) for every symbol, finish(), then flush the
// bit stream. The bit stream is not owned and must outlive this.
class StaticEncoder : private StaticCodeInterval {
public:
    // n symbols (n >= 1) with count 0; registers low = 0, high = 0x3FFFF.
    // Throws std::bad_alloc.
    StaticEncoder(uint32_t n, OutBitStream& out);

    uint32_t alphabetSize() const { return symbolCount; }

    // The count of symbol s (s < n), to be filled before scale().
    uint32_t& count(uint32_t s) {
        assert(s < symbolCount && !scaled);
        return frequencies[s];
    }
    // All n counts, to be filled before scale().
    uint32_t* counts() {
        assert(!scaled);
        return frequencies.data();
    }

    // Turns the counts into scaled frequencies f'(s) = count * (65535 - n) / N,
    // N the sum of the counts (64-bit product; 1 when that is 0 for a counted
    // symbol; 0 for an uncounted one) and then into ascending cumulative
    // counts. The total is at most 65535, and at least 1 when anything was
    // counted. Once only.
    void scale();

    // After scale(): the scaled frequency f'(s) of s < n, and their total.
    uint32_t frequency(uint32_t s) const {
        assert(scaled && s < symbolCount);
        return frequencies[s + 1] - frequencies[s];
    }
    uint32_t total() const {
        assert(scaled);
        return frequencies[symbolCount];
    }

    // After scale(): writes f'(0) .. f'(n-1), 16 bits each, least significant
    // bit first (n * 16 bits).
    void writeTable();

    // After scale(): codes symbol s, which must have f'(s) > 0.
    void encodeSymbol(uint32_t s) {
        assert(scaled && s < symbolCount);
        encode(frequencies[s], frequencies[s + 1], frequencies[symbolCount]);
    }

    // Narrows the code interval to [lowCount, highCount) of total and writes
    // the decided bits. Requires lowCount < highCount <= total <= 65535.
    void encode(uint32_t lowCount, uint32_t highCount, uint32_t total) {
        assert(lowCount < highCount && highCount <= total && total <= kMaxStaticTotal);
        const uint64_t range = high - low + 1;
        high = low + static_cast<uint32_t>(range * highCount / total) - 1;
        low = low + static_cast<uint32_t>(range * lowCount / total);
        for (;;) {
            if (((low ^ high) & kHalf) == 0) {
                output.writeDecided(low >> 17);
            } else if ((low & ~high & kQuarter) != 0) {
                // Straddling the middle: defer the bit, take off a quarter.
                output.defer(1);
                low &= kQuarter - 1;
                high |= kQuarter;
            } else {
                break;
            }
            low = (low & (kHalf - 1)) << 1;
            high = ((high << 1) | 1u) & kTop;
        }
    }

    // Writes the closing bits (the deferred ones + 2) that name a quarter
    // inside the final interval; the caller then flushes.
    void finish() { output.close((low >> 16) & 1u); }

private:
    PendingBitWriter output;            // with the count of deferred bits
    std::vector<uint32_t> frequencies;  // n + 1: counts, then cumulative counts
    uint32_t symbolCount;
    bool scaled = false;
};

// Reads a stored table and decodes symbols with it. Usage: readTable(),
// start(), then decodeSymbol() per symbol. The bit stream is not owned and
// must outlive this.
//
// A table that passed readTable has a total T in 1..65535, below the first
// quarter of the 18-bit scale, so every stored symbol keeps a non-empty
// interval and low <= value <= high holds for any code bits: the search never
// lands on a symbol with frequency 0 and no division sees 0.
class StaticDecoder : private StaticCodeInterval {
public:
    // n symbols (n >= 1); registers low = 0, high = 0x3FFFF. Throws
    // std::bad_alloc.
    StaticDecoder(uint32_t n, InBitStream& in);

    uint32_t alphabetSize() const { return symbolCount; }

    // Reads n 16-bit frequencies and builds the cumulative counts. Throws
    // Exception "Error in compressed file (invalid frequency table)" when
    // their total is 0 or above 65535.
    void readTable();

    // After readTable(): the stored frequency of s < n, and their total.
    uint32_t frequency(uint32_t s) const {
        assert(s < symbolCount);
        return frequencies[s + 1] - frequencies[s];
    }
    uint32_t total() const { return frequencies[symbolCount]; }

    // After readTable(): whether the stored table is the one the encoder
    // writes for a block whose symbols s were counted counts[s] times (n
    // counts). Once a block's symbols are all decoded, a table that is not
    // is damaged, even where every symbol decoded and the code ended as an
    // encoder ends it (a flipped bit that gives an unused symbol a frequency
    // may still decode, to other symbols).
    bool isTableOf(const uint32_t* counts) const;

    // Reads the first 18 code bits; call once, after readTable().
    void start() {
        bits.clear();
        bits.refill();
        value = bits.take(18);
    }

    // Decodes one symbol: always below n and with a non-zero frequency.
    // The plain kernel bisects all n + 1 cumulative counts; with FrontSearch
    // the kFront smallest symbols are looked at first: one comparison tells
    // whether the symbol is among them, and then it is the count of their
    // cumulative counts at or below the target, a loop without jumps (after
    // move-to-front nearly every symbol is a small one); otherwise the rest
    // are bisected. The same symbol either way.
    //
    // With CountedShifts the shifts that follow are counted and done at once
    // (as ArithmeticDecoder does): n top bits of low and high agree, then m
    // places where low has 1 and high 0 (the straddling steps), and low,
    // high and the code value all shift by n + m, the value taking that many
    // new bits in one read; the plain kernel shifts one bit at a time. The
    // same registers and the same bits read either way.
    template <bool FrontSearch, bool CountedShifts>
    uint32_t decodeSymbolWith() {
        const uint32_t t = frequencies[symbolCount];
        assert(t >= 1 && t <= kMaxStaticTotal);
        const uint64_t range = high - low + 1;
        const uint32_t target =
            static_cast<uint32_t>((static_cast<uint64_t>(value - low + 1) * t - 1) / range);
        uint32_t lo = 0;
        uint32_t hi = symbolCount;
        if (FrontSearch && symbolCount > kFront) {
            if (target < frequencies[kFront]) {
                uint32_t atOrBelow = 0;
                for (uint32_t k = 1; k < kFront; ++k) atOrBelow += frequencies[k] <= target ? 1u : 0u;
                lo = atOrBelow;
                hi = lo + 1;
            } else {
                lo = kFront;
            }
        }
        lo = lastAtOrBelow(target, lo, hi);
        high = low + static_cast<uint32_t>(range * frequencies[lo + 1] / t) - 1;
        low = low + static_cast<uint32_t>(range * frequencies[lo] / t);
        assert(low <= value && value <= high);
        shiftOut<CountedShifts>();
        return lo;
    }

#if MORV_HAVE_STATIC_PRODUCTS
    // decodeSymbolWith<true, true>() with one division fewer on the way to
    // the symbol and none after it. The target is at or above C(k), the
    // cumulative count below symbol k, exactly when range x C(k) <= (value -
    // low + 1) x total - 1, so the front's 16 counts are multiplied and
    // compared in SSE2 lanes (64-bit products, the comparison's sign read off
    // the difference) and the target is divided out only for the rest. The
    // narrowing divides by the total through its reciprocal, kept with the
    // table. The same symbol and registers.
    //
    // With ZeroFirst, symbol 0 is tried on its own before the search: its
    // interval is [0, C(1)), so one product tells, and its narrowing leaves
    // low as it is.
    template <bool ZeroFirst = false>
    uint32_t decodeSymbolByProducts() {
        const uint32_t range = high - low + 1;
        // Below 2^18 x 2^16; every product below 2^18 x 2^17.
        const uint64_t x = uint64_t{value - low + 1} * frequencies[symbolCount] - 1;
        if constexpr (ZeroFirst) {
            const uint64_t zeroTop = uint64_t{range} * front[0];
            if (zeroTop > x) {
                high = low + divideByTotal(zeroTop) - 1;
                assert(low <= value && value <= high);
                shiftOut<true>();
                return 0;
            }
        }
        const __m128i width = _mm_set1_epi32(static_cast<int32_t>(range));
        const __m128i limit = _mm_set1_epi64x(static_cast<int64_t>(x));
        const __m128i* lanes = reinterpret_cast<const __m128i*>(front);
        uint32_t above = 0;  // bit k - 1: range x C(k) > x
        for (uint32_t i = 0; i < kFront / 4; ++i) {
            const __m128i a = _mm_sub_epi64(limit, _mm_mul_epu32(_mm_load_si128(lanes + 2 * i), width));
            const __m128i b =
                _mm_sub_epi64(limit, _mm_mul_epu32(_mm_load_si128(lanes + 2 * i + 1), width));
            // The high halves, whose top bits are the differences' signs.
            const __m128 highs =
                _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(3, 1, 3, 1));
            above |= static_cast<uint32_t>(_mm_movemask_ps(highs)) << (4 * i);
        }
        // C rises with k, so the counts at or below the target come first.
        uint32_t lo = static_cast<uint32_t>(std::countr_zero(above | (1u << kFront)));
        if (lo >= kFront) {
            const uint32_t target = static_cast<uint32_t>(x / range);
            lo = lastAtOrBelow(target, lo, symbolCount);
        }
        high = low + divideByTotal(uint64_t{range} * frequencies[lo + 1]) - 1;
        low = low + divideByTotal(uint64_t{range} * frequencies[lo]);
        assert(low <= value && value <= high);
        shiftOut<true>();
        return lo;
    }
#endif

    // The steps extraction takes: the plain kernel where only those are
    // built. Measured side by side (bench_coders StaticDecodeMtfLike, median
    // of 3, one run, processor time): Plain 45.3 ms, FrontSearch 32.1 ms (29%
    // less), with CountedShifts as well 26.9 ms (a further 13%). By products
    // (StaticDecodeMtfLike/ByProducts, median of 5, interleaved) 26.8 ->
    // 22.8 ms (15%); the -m -s extraction of text.10M spends 0.111 -> 0.101 s
    // decoding. Symbol 0 tried first (ZeroFirst; bench_coders
    // StaticDecodeMtfNoRle0/ByProducts against /ZeroFirst, median of 3):
    // without zero runs, where most symbols are 0, html 2.38 -> 1.30 ms,
    // urls.10K 16.1 -> 11.4, lcet10.txt 8.68 -> 6.74, plrabn12.txt 10.7 ->
    // 8.91, alice29.txt 3.10 -> 2.82; with them (StaticDecodeMtf) from 2%
    // slower (plrabn12.txt 7.35 -> 7.49) to 32% faster (html_x_4 1.27 ->
    // 0.86). The -m -s --norle0 extraction of text.10M 384 -> 270 ms and
    // of corpus.blk 96 -> 80 ms (fastest of 7, builds alternated).
    uint32_t decodeSymbol() {
#if MORV_HAVE_STATIC_PRODUCTS
        return decodeSymbolByProducts<true>();
#elif !defined(MORV_PLAIN_KERNELS)
        return decodeSymbolWith<true, true>();
#else
        return decodeSymbolWith<false, false>();
#endif
    }

    // After the last symbol: the position, in bits from the start of the
    // stream, just past the closing bits StaticEncoder::finish wrote, or
    // kNoCodeEnd when the bits there are not what finish and the flush to a
    // byte write. As ArithmeticDecoder::codeEnd on the 18-bit scale: the
    // code ends 16 bits before what has been read, and the 18 bits in view
    // are the closing pair (01 when bit 16 of low is 0, else 10), then the
    // raw bits after it, zero up to the next byte boundary.
    uint64_t codeEnd() const {
        const uint64_t end = bits.bitsTaken() - 16;
        const uint32_t closing = ((low >> 16) & 1u) != 0 ? 2u : 1u;
        const uint32_t padding = static_cast<uint32_t>((8 - end % 8) % 8);
        if ((value >> 16) != closing || ((value & 0xFFFFu) >> (16 - padding)) != 0) return kNoCodeEnd;
        return end;
    }

private:
    static constexpr uint32_t kFront = 16;

    // The last symbol k in [lo, hi) whose cumulative count is at or below
    // target, given that frequencies[lo] <= target < frequencies[hi].
    uint32_t lastAtOrBelow(uint32_t target, uint32_t lo, uint32_t hi) const {
        while (hi - lo > 1) {
            const uint32_t mid = (lo + hi) / 2;
            if (target < frequencies[mid]) {
                hi = mid;
            } else {
                lo = mid;
            }
        }
        return lo;
    }

    // Shifts out the bits the narrowing decided and shifts in as many code
    // bits: counted and done at once with CountedShifts, else one at a time
    // (see decodeSymbolWith).
    template <bool CountedShifts>
    void shiftOut() {
        if constexpr (CountedShifts) {
            const uint32_t n =
                static_cast<uint32_t>(std::countl_zero(((low ^ high) << 14) | (1u << 13)));
            // low & ~high is below 2^(17 - n); shifted up in two steps, as
            // n may be 18.
            const uint32_t m = static_cast<uint32_t>(std::countl_one(((low & ~high) << 15) << n));
            const uint32_t shifts = n + m;
            const uint32_t range = high - low + 1;
            const uint32_t offset = value - low;
            bits.refill();
            low = (low << shifts) & (kHalf - 1);
            high = low + (range << shifts) - 1;
            value = low + ((offset << shifts) | bits.take(shifts));
            assert(low <= value && value <= high && high <= kTop);
            return;
        }
        for (;;) {
            if (((low ^ high) & kHalf) != 0) {
                if ((low & ~high & kQuarter) == 0) break;
                value ^= kQuarter;
                low &= kQuarter - 1;
                high |= kQuarter;
            }
            low = (low & (kHalf - 1)) << 1;
            high = ((high << 1) | 1u) & kTop;
            bits.refill();
            value = ((value << 1) | bits.take(1)) & kTop;
        }
    }

#if MORV_HAVE_STATIC_PRODUCTS
    // x / total for x < 2^34: (x m) >> shift with m = ceil(2^shift / total)
    // and shift = 34 + bit_width(total). m total = 2^shift + e with e <
    // total, so x m / 2^shift exceeds x / total by x e / (total 2^shift) <
    // 1 / total: the floor is the same.
    uint32_t divideByTotal(uint64_t x) const {
        assert(x < (uint64_t{1} << 34));
        return static_cast<uint32_t>((static_cast<unsigned __int128>(x) * totalMultiplier) >>
                                     totalShift);
    }

    // Sets what decodeSymbolByProducts needs from the table.
    void prepareProducts();

    alignas(16) uint64_t front[kFront] = {};  // C(1) .. C(16), the total past n
    uint64_t totalMultiplier = 0;
    uint32_t totalShift = 0;
#endif

    uint32_t value = 0;
    InBitStream& input;  // the table is read from it, then the code bits through `bits`
    // The code bits, reversed a word at a time rather than on every symbol's
    // shifts (bench_coders StaticDecodeMtfLike/ByProducts 21.8-23.9 ->
    // 18.2-20.4 ms, StaticDecodeMtf/ZeroFirst/lcet10.txt 5.3 -> 4.4 ms; the
    // -m -s extraction of text.10M 196 -> 180 ms, fastest of 9).
    MsbFirstBits bits{input};
    uint32_t symbolCount;
    std::vector<uint32_t> frequencies;  // n + 1 ascending cumulative counts
};
