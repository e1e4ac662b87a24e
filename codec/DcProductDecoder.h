// The DC values' decoder for processors with AVX2: the same values, code end
// and behaviour on any code bits as DcValueModel<ArithmeticDecoder>, the
// plain kernel, with no division between one class and the next.
//
// The plain kernel divides the code value's place by the interval's width to
// get a target, then searches the class counts for it. Here every class is
// compared at once instead: with R(j) the model's running sums (counts of the
// classes n-j .. n-1, as SmallAlphabetModel keeps them) and t their total,
// class n-j's interval starts at or below the target exactly when width x
// R(j) > t x (width - offset - 1), so the passing sums are a run at the top
// and the first of them names the class. The 64 products fill eight 8-lane
// multiplies, and the same comparisons add the decoded class's 1 to the sums.
// The narrowing multiplies by a table of the totals' reciprocals, and the
// offset bits divide once each; the width's reciprocal, a 64-bit division
// after every narrowing, is never needed.
//
// Measured side by side with the plain kernel (bench_coders DcDecodeValues
// against DcDecodeValuesAvx2, fastest of 5 interleaved, AMD Zen 4): alice29.txt
// 1.41 -> 1.26 ms, lcet10.txt 3.50 -> 3.18, plrabn12.txt 5.15 -> 4.51,
// kppkn.gtb 1.33 -> 1.16, fireworks.jpeg 2.94 -> 2.74, urls.10K 4.53 -> 4.21
// (7 to 13% less); the program's iDC time on one processor, text.10M 84 ->
// 75 ms and binary.10M 195 -> 182 ms (medians of 11, builds alternated).
// Counting the passing sums from packed comparisons with POPCNT instead of
// finding the first was no faster; nor were BMI2's shifts in the
// renormalisation.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>

#include "base/Compiler.h"
#include "codec/DcValueCoding.h"
#include "coder/AdaptiveCoder.h"
#include "coder/FrontAdaptiveDecoder.h"

#if MORV_HAVE_AVX2 && MORV_HAVE_FRONT_DECODER
#define MORV_HAVE_DC_PRODUCT_DECODER 1
#else
#define MORV_HAVE_DC_PRODUCT_DECODER 0
#endif

#if MORV_HAVE_DC_PRODUCT_DECODER
#include <immintrin.h>

// Run only where CpuFeatures::avx2 holds. The bit stream is not owned.
class DcProductDecoder {
public:
    template <typename Bits>
    DcProductDecoder(uint32_t L, Bits& bits)
        : classCount(dcClassCount(L)), total(classCount), coder(bits) {
        for (uint32_t j = 0; j < kSlots; ++j)
            sums[j] = static_cast<int32_t>(j <= classCount ? j : kAbove);
    }

    void start() { coder.start(); }

    // Inlined where the caller is built for AVX2 as well (see
    // MORV_TARGET_AVX2); elsewhere it is not inlined and must not be called.
    MORV_TARGET_AVX2 uint32_t decodeValue() {
        const uint32_t t = total;
        const uint32_t width = coder.intervalWidth();
        // Below 2^12 x 2^16, and every product below 2^16 x (kAbove + 2^12):
        // both fit the signed 32-bit lanes.
        const uint32_t bound = t * (width - coder.codeOffset() - 1);
        // width x multiplier < 2^47, times a count below 2^12: below 2^59.
        const uint64_t scaled = uint64_t{width} * kTotalReciprocals.multiplier[t];
        const uint32_t shift = 30 + static_cast<uint32_t>(std::bit_width(t));
        // Sum 0 is 0 and never passes, sum n is t and always does, so
        // 1 <= j <= n and the class n - j is below n.
        uint32_t countAt = 0, countAbove = 0;
        const uint32_t j = firstPassing(width, bound, countAt, countAbove);
        coder.narrowTo(static_cast<uint32_t>((scaled * (t - countAt)) >> shift),
                       static_cast<uint32_t>((scaled * (t - countAbove)) >> shift));
        total = t + 1;
        if (total == DcValueModel<ArithmeticDecoder>::rescaleLimit) [[unlikely]]
            rescale();
        const uint32_t k = classCount - j;
        uint32_t u = 0, at = 0;
        uint32_t b = kDcBuckets.extraBits[k];
        for (; b >= 8; b -= 8, at += 8) u |= coder.decodeUniformDividing(8) << at;
        if (b > 0) u |= coder.decodeUniformDividing(b) << at;
        return kDcBuckets.base[k] + u;
    }

    // count values into out: the loop built for AVX2 with decodeValue inlined
    // into it. It works on a copy of the decoder that nothing else can
    // reach, so that the state stays in registers instead of being stored
    // for every value written (out could alias it otherwise).
    MORV_TARGET_AVX2 MORV_FLATTEN void decodeValues(uint32_t* out, uint32_t count) {
        DcProductDecoder work(*this);
        for (uint32_t i = 0; i < count; ++i) out[i] = work.decodeValue();
        *this = work;
    }

    uint64_t codeEnd() const { return coder.codeEnd(); }

private:
    static constexpr uint32_t kSlots = 64;
    // What the sums above n hold after construction and every rescale: above
    // every total (below 2^12 here), so that they always pass; each value
    // adds 1, fewer than 2^12 times between rescales.
    static constexpr int32_t kAbove = 1 << 14;
    static_assert(DcValueModel<ArithmeticDecoder>::rescaleLimit <= 4096);
    static_assert(DcBucketTable::classCount < kSlots);

    // Returns j, the first of the 64 sums with width x sums[j] > bound, and
    // adds 1 to it and every sum above it (those that passed).
    MORV_TARGET_AVX2 uint32_t firstPassing(uint32_t width, uint32_t bound, uint32_t& countAt,
                                           uint32_t& countAbove) {
        const __m256i w = _mm256_set1_epi32(static_cast<int32_t>(width));
        const __m256i limit = _mm256_set1_epi32(static_cast<int32_t>(bound));
        __m256i* vectors = reinterpret_cast<__m256i*>(sums);
        __m256i pass[kSlots / 8];
        uint64_t mask = 0;
        for (uint32_t i = 0; i < kSlots / 8; ++i) {
            pass[i] = _mm256_cmpgt_epi32(_mm256_mullo_epi32(_mm256_loadu_si256(vectors + i), w), limit);
            mask |= uint64_t{static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(pass[i])))}
                    << (8 * i);
        }
        const uint32_t j = static_cast<uint32_t>(std::countr_zero(mask));
        countAt = static_cast<uint32_t>(sums[j]);
        countAbove = static_cast<uint32_t>(sums[j - 1]);
        for (uint32_t i = 0; i < kSlots / 8; ++i)
            _mm256_storeu_si256(vectors + i, _mm256_sub_epi32(_mm256_loadu_si256(vectors + i), pass[i]));
        return j;
    }

    // Halves every frequency as the plain model does and puts the sums above
    // n back to kAbove.
    void rescale() {
        for (uint32_t j = classCount + 1; j < kSlots; ++j) sums[j] = kAbove;
        halveFrequencies(sums, classCount);
        total = static_cast<uint32_t>(sums[classCount]);
    }

    uint32_t classCount;
    uint32_t total;  // sums[classCount]
    alignas(16) int32_t sums[kSlots];
    ArithmeticDecoder coder;
};

#endif
