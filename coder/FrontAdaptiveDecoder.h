// The adaptive decoder extraction takes for the move-to-front alphabets (256
// and 257 symbols): AdaptiveModel and ArithmeticDecoder in one, giving the
// same symbols, intervals, rescale points and code end for any code bits, with
// no division on the way from one symbol to the next.
//
// The plain pair divides the code value's place by the interval's width to
// get a target on the model's scale, searches the cumulative counts for it,
// then divides twice by the total to narrow. Here the search compares
// products instead: with C(k) the count below symbol k, the target is at or
// above C(k) exactly when width x C(k) <= (offset + 1) x total - 1, and with
// R(k) = total - C(k) (the count of symbols k and above, what AdaptiveModel
// keeps) that is width x R(k) > total x (width - offset - 1). The narrowing
// multiplies by a table of the totals' reciprocals. The counts of the 16
// smallest symbols, which after move-to-front are nearly all of them, sit
// in 64-bit lanes so that SSE2 multiplies and compares them all at once; the
// rest are searched the same way, among the tops of groups of 16 first.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>

#if defined(__SSE2__) && !defined(MORV_PLAIN_KERNELS)
#include <emmintrin.h>
#define MORV_HAVE_FRONT_DECODER 1
#else
#define MORV_HAVE_FRONT_DECODER 0
#endif

#include "base/Compiler.h"
#include "coder/AdaptiveCoder.h"
#include "io/BitStream.h"

#if MORV_HAVE_FRONT_DECODER

// x / t for x < 2^30 and t in 1..kMaxCodingTotal-1, as (x m) >> (30 +
// bit_width(t)) with m = ceil(2^(30 + bit_width t) / t) < 2^31: writing
// m t = 2^s + e with e < t < 2^bit_width(t), x m / 2^s = x / t + x e / (t
// 2^s) and x e < 2^s, so the excess stays below 1 / t and the floor is x / t.
struct TotalReciprocalTable {
    static constexpr uint32_t size = kMaxCodingTotal;
    uint32_t multiplier[size] = {};
    constexpr TotalReciprocalTable() {
        for (uint32_t t = 1; t < size; ++t) {
            const uint64_t scale = uint64_t{1} << (30 + std::bit_width(t));
            multiplier[t] = static_cast<uint32_t>((scale + t - 1) / t);
        }
    }
};
inline constexpr TotalReciprocalTable kTotalReciprocals{};

class FrontAdaptiveDecoder {
public:
    static constexpr uint32_t kFront = 16;

    // n symbols (kFront < n <= kFront + kRestSlots), each with frequency 1;
    // the model rescales when its total reaches limit (n < limit <=
    // kMaxCodingTotal), as AdaptiveModel::update(symbol, limit) does. The bit
    // stream is not owned.
    FrontAdaptiveDecoder(uint32_t n, uint32_t limit, InBitStream& in);

    // Reads the first code bits; call once before the first symbol.
    void start() { decoder.start(); }

    // The next symbol, with the model updated and the interval narrowed.
    MORV_FORCE_INLINE uint32_t decodeSymbol() {
        const uint32_t range = decoder.intervalWidth();
        const uint32_t offset = decoder.codeOffset();
        // Below 2^14 x 2^16, as width x R(k): both fit the 32-bit lanes.
        const uint32_t bound = total * (range - offset - 1);
        // width x m < 2^47, times a count below 2^14: below 2^61.
        const uint64_t scaled = uint64_t{range} * kTotalReciprocals.multiplier[total];
        const uint32_t shift = 30 + static_cast<uint32_t>(std::bit_width(total));
        const uint32_t countOf1 = static_cast<uint32_t>(slots[2]);
        if (range * countOf1 <= bound) {
            // Symbol 0, about three in four after move-to-front without
            // zero runs: its interval starts at 0 and its update is the
            // total's alone, so the next symbol waits on two products only.
            decoder.narrowTo(0, static_cast<uint32_t>((scaled * (total - countOf1)) >> shift));
            ++total;
            slots[1] = total;
            if (total == limit) rescale();
            return 0;
        }
        uint32_t symbol = countFront(range, bound);
        uint32_t countAt = 0;     // R(symbol)
        uint32_t countAbove = 0;  // R(symbol + 1)
        if (symbol < kFront) [[likely]] {
            countAt = static_cast<uint32_t>(slots[symbol + 1]);
            countAbove = static_cast<uint32_t>(slots[symbol + 2]);
        } else {
            // The first entry j of the table that passes is the symbol's,
            // n - j: the group from the tops, the entry within it.
            const uint32_t group = leadingFailing(tops + 2, range, bound);
            const uint32_t base = static_cast<uint32_t>(tops[group + 1]);
            const uint32_t j =
                kFront * group + leadingFailing(within + kFront * group, range, bound - range * base);
            symbol = symbolCount - j;
            countAt = symbol == kFront ? static_cast<uint32_t>(slots[kFront + 1]) : entry(j);
            countAbove = entry(j - 1);
        }
        const uint32_t from = static_cast<uint32_t>((scaled * (total - countAt)) >> shift);
        const uint32_t to = static_cast<uint32_t>((scaled * (total - countAbove)) >> shift);
        decoder.narrowTo(from, to);
        update(symbol);
        return symbol;
    }

    // As ArithmeticDecoder::codeEnd, after the last symbol.
    uint64_t codeEnd() const { return decoder.codeEnd(); }

private:
    // Bit 2i set where width x lanes[i] > bound, for the 16 64-bit lanes
    // from `lanes` on (each below 2^15, 16-byte aligned); odd bits clear.
    static uint32_t passingMask(const uint64_t* lanes, uint32_t range, uint32_t bound) {
        const __m128i width = _mm_set1_epi32(static_cast<int32_t>(range));
        const __m128i limitLanes = _mm_set1_epi64x(bound);
        const __m128i* vectors = reinterpret_cast<const __m128i*>(lanes);
        __m128i above[8];
        for (uint32_t i = 0; i < 8; ++i) {
            // Products below 2^31; the high half of each 64-bit lane
            // compares 0 with 0: false.
            above[i] = _mm_cmpgt_epi32(_mm_mul_epu32(_mm_load_si128(vectors + i), width), limitLanes);
        }
        const __m128i low =
            _mm_packs_epi16(_mm_packs_epi32(above[0], above[1]), _mm_packs_epi32(above[2], above[3]));
        const __m128i high =
            _mm_packs_epi16(_mm_packs_epi32(above[4], above[5]), _mm_packs_epi32(above[6], above[7]));
        return static_cast<uint32_t>(_mm_movemask_epi8(low)) |
               (static_cast<uint32_t>(_mm_movemask_epi8(high)) << 16);
    }

    // How many of R(1) .. R(16) pass: the symbol when below 16, else 16
    // (the symbol is 16 or above). They pass as a run from R(1), as R falls
    // with k.
    uint32_t countFront(uint32_t range, uint32_t bound) const {
        const uint32_t mask = passingMask(slots + 2, range, bound);
        return static_cast<uint32_t>(std::countr_zero(~(mask | 0xAAAAAAAAu))) / 2;
    }

    // How many of the 16 lanes from `lanes` on fail before the first that
    // passes: the lanes hold ascending counts, so the failing ones come
    // first; one of them always passes where the searches look.
    static uint32_t leadingFailing(const uint64_t* lanes, uint32_t range, uint32_t bound) {
        return static_cast<uint32_t>(std::countr_zero(passingMask(lanes, range, bound))) / 2;
    }

    // Entry j of the table (j <= n-17): R(n - j).
    uint32_t entry(uint32_t j) const { return static_cast<uint32_t>(tops[j / kFront + 1] + within[j]); }

    // Adds 1 to the frequency of s: to R(1) .. R(s) and the total.
    MORV_FORCE_INLINE void update(uint32_t s) {
        const uint32_t inFront = s < kFront ? s : kFront;
        // Lane i gets 1 when i < inFront.
        const __m128i* ones = reinterpret_cast<const __m128i*>(kPrefixOnes + (kFront - inFront));
        __m128i* lanes = reinterpret_cast<__m128i*>(slots + 2);
        for (uint32_t i = 0; i < 8; ++i) {
            _mm_store_si128(lanes + i,
                            _mm_add_epi64(_mm_load_si128(lanes + i), _mm_loadu_si128(ones + i)));
        }
        if (s > kFront) updateRest(s);
        ++total;
        slots[1] = total;
        if (total == limit) rescale();
    }

    // Adds 1 to R(17) .. R(s), s > 16: to table entries n-s .. n-17, that
    // is to the entries of their first group from n-s on and to the tops of
    // that group and every later one (entries past n-17 only ever pass).
    void updateRest(uint32_t s) {
        const uint32_t first = symbolCount - s;
        const uint32_t group = first / kFront;
        addFrom(within + kFront * group, first % kFront);
        addFrom(tops + 2, group);
    }

    // Adds 1 to lanes from..15 of the 16 from `lanes` on.
    static void addFrom(uint64_t* lanes, uint32_t from) {
        // Lane i gets kSteps[16 - from + i]: 1 when i >= from.
        const __m128i* ones = reinterpret_cast<const __m128i*>(kSteps + (kFront - from));
        __m128i* vectors = reinterpret_cast<__m128i*>(lanes);
        for (uint32_t i = 0; i < kFront / 2; ++i) {
            _mm_store_si128(vectors + i,
                            _mm_add_epi64(_mm_load_si128(vectors + i), _mm_loadu_si128(ones + i)));
        }
    }

    // Halves every frequency as AdaptiveModel does, over the whole table.
    void rescale();
    // Sets the tops and the entries within the groups from the table
    // cumulative[0..n] (AdaptiveModel's layout); cumulative[n - 16 .. n]
    // are taken from the front.
    void splitRest(const uint32_t* cumulative);

    // Above every total, so that width x it > bound for any code value: it
    // passes. The table entries past n-17 hold it (and grow by at most one
    // per symbol until the next rescale, to below 2^15).
    static constexpr uint32_t kPass = kMaxCodingTotal;
    static constexpr uint32_t kRestSlots = kFront * kFront;
    static constexpr uint64_t kSteps[2 * kFront] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

    static constexpr uint64_t kPrefixOnes[2 * kFront] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

    uint32_t symbolCount;
    uint32_t limit;
    uint32_t total;
    // slots[1] = R(0) = total, slots[k + 1] = R(k) for k = 1..16 (lanes from
    // slots + 2 on, 16-byte aligned); slots[0] unused.
    alignas(16) uint64_t slots[kFront + 2] = {};
    // The rest of the table, entries j = 0..n-17 (R(n - j), ascending from
    // R(n) = 0), in 16 groups of 16 entries: tops[g + 2] is the last entry
    // of group g, tops[1] = 0, and within[j] is entry j less the top of the
    // group before (tops[j / 16 + 1]). An update then touches one group and
    // the tops, whatever the symbol. Entries past n-17 are kPass.
    alignas(16) uint64_t tops[kFront + 2] = {};
    alignas(16) uint64_t within[kRestSlots] = {};
    ArithmeticDecoder decoder;
};

#endif
