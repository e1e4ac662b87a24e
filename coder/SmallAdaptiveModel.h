// The adaptive model for small alphabets (at most 63 symbols, as the distance
// coder's value classes): the same intervals, rescale points and decoded
// symbols as AdaptiveModel, the plain kernel, with no data-dependent branch.
// SmallAlphabetModel is the one to use: this model, or AdaptiveModel in builds
// of the plain kernels only.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>

#if defined(__SSE2__) && !defined(MORV_PLAIN_KERNELS)
#include <emmintrin.h>
#define MORV_HAVE_SSE2_MODEL 1
#else
#define MORV_HAVE_SSE2_MODEL 0
#endif

#include "coder/AdaptiveCoder.h"

#ifndef MORV_PLAIN_KERNELS

// N zeros, then N ones: a window of N entries starting N - f in gives 1 to
// the entries from f on.
template <uint32_t N>
struct StepOfOnes {
    int16_t step[2 * N] = {};
    constexpr StepOfOnes() {
        for (uint32_t i = N; i < 2 * N; ++i) step[i] = 1;
    }
};

// The running sums fit 16 bits (totals stay below kMaxCodingTotal) and live
// in one fixed array of 64 slots (n + 1 used), so an update and a search are
// a fixed number of wide operations over the whole array: the update adds 1
// to the slots from n-s on, the search counts the slots at or below the
// target instead of bisecting them one dependent load at a time.
//
// Two bodies of the search: portable loops (Sse2 = false), which the
// compiler widens itself, and SSE2 (Sse2 = true), which takes the count from
// the comparisons' bit mask and reuses the comparisons for the update.
// Measured side by side (bench_coders DcDecodeValues, sum over the corpus,
// the DC value model built on each): the portable body is about 35% faster
// than AdaptiveModel, the SSE2 body about 11% faster than the portable one.
template <bool Sse2>
class BasicSmallAdaptiveModel {
    static_assert(!Sse2 || MORV_HAVE_SSE2_MODEL, "SSE2 body asked for where it is not built");

public:
    static constexpr uint32_t maxSymbols = 63;

    // n symbols, 1 <= n <= maxSymbols, each with frequency 1.
    explicit BasicSmallAdaptiveModel(uint32_t n) : symbolCount(n) {
        assert(n >= 1 && n <= maxSymbols);
        for (uint32_t k = 0; k < kSlots; ++k) {
            cumulative[k] = static_cast<int16_t>(k <= n ? k : kAbove);
        }
    }

    uint32_t alphabetSize() const { return symbolCount; }
    uint32_t total() const { return static_cast<uint32_t>(cumulative[symbolCount]); }
    uint32_t frequency(uint32_t s) const {
        assert(s < symbolCount);
        return static_cast<uint32_t>(cumulative[symbolCount - s] - cumulative[symbolCount - s - 1]);
    }

    // As AdaptiveModel::update; limit must be above n and at most
    // kMaxCodingTotal.
    SymbolInterval update(uint32_t s, uint32_t limit) {
        assert(s < symbolCount && limit <= kMaxCodingTotal);
        const uint32_t n = symbolCount;
        const uint32_t t = total();
        const SymbolInterval interval{t - static_cast<uint32_t>(cumulative[n - s]),
                                      t - static_cast<uint32_t>(cumulative[n - s - 1]), t};
        // Slots n-s .. n grow by 1, and so do the slots above n, which is
        // harmless (see kAbove): every slot from n-s on, adding a window of
        // kOnesFrom whose first 1 falls on slot n-s.
        const int16_t* ones = kOnesFrom.step + (kSlots - (n - s));
        for (uint32_t k = 0; k < kSlots; ++k) {
            cumulative[k] = static_cast<int16_t>(cumulative[k] + ones[k]);
        }
        if (t + 1 == limit) rescale();
        return interval;
    }

    // As AdaptiveModel::findSymbol: the entries are strictly ascending up to
    // slot n (the total) and the slots above it hold more than any total, so
    // the number of slots at or below x = total - target - 1 is one more than
    // the index the bisection would find.
    uint32_t findSymbol(uint32_t target) const {
        assert(target < total());
        const int16_t x = static_cast<int16_t>(total() - target - 1);
#if MORV_HAVE_SSE2_MODEL
        if constexpr (Sse2) {
            __m128i above[kVectors];
            return symbolCount - compareSlots(x, above);
        }
#endif
        // Counted in 16-bit lanes (at most 64), so the loop stays as wide
        // as the slots.
        uint16_t atOrBelow = 0;
        for (uint32_t k = 0; k < kSlots; ++k) {
            atOrBelow = static_cast<uint16_t>(atOrBelow + (cumulative[k] <= x ? 1 : 0));
        }
        return symbolCount - atOrBelow;
    }

    // The symbol findSymbol(target) gives, and its interval as update(symbol,
    // limit) gives it, with that update done.
    struct Decoded {
        uint32_t symbol;
        SymbolInterval interval;
    };
    Decoded decode(uint32_t target, uint32_t limit) {
        assert(target < total() && limit <= kMaxCodingTotal);
#if MORV_HAVE_SSE2_MODEL
        if constexpr (Sse2) {
            // The slots the update raises are exactly those above total -
            // target - 1, which the search has just compared, so the
            // comparisons serve both.
            const uint32_t t = total();
            __m128i above[kVectors];
            const uint32_t atOrBelow = compareSlots(static_cast<int16_t>(t - target - 1), above);
            __m128i* slots = reinterpret_cast<__m128i*>(cumulative);
            // Slot atOrBelow = n - s is the first one above total - target - 1.
            const SymbolInterval interval{t - static_cast<uint32_t>(cumulative[atOrBelow]),
                                          t - static_cast<uint32_t>(cumulative[atOrBelow - 1]), t};
            for (uint32_t i = 0; i < kVectors; ++i) {
                _mm_store_si128(slots + i, _mm_sub_epi16(_mm_load_si128(slots + i), above[i]));
            }
            if (t + 1 == limit) rescale();
            return {symbolCount - atOrBelow, interval};
        }
#endif
        const uint32_t symbol = findSymbol(target);
        return {symbol, update(symbol, limit)};
    }

private:
    static constexpr uint32_t kSlots = maxSymbols + 1;
    static constexpr uint32_t kVectors = kSlots / 8;

#if MORV_HAVE_SSE2_MODEL
    // Compares every slot with x: above[i] gets the mask of the slots of
    // vector i that are above x, and the result is the number of slots at
    // or below x. The slots above x form a suffix: one bit per slot from the
    // eight comparisons, and the lowest set bit is the count, which is
    // shorter from x to the symbol than adding the comparisons up.
    uint32_t compareSlots(int16_t x, __m128i (&above)[kVectors]) const {
        const __m128i limit = _mm_set1_epi16(x);
        const __m128i* slots = reinterpret_cast<const __m128i*>(cumulative);
        for (uint32_t i = 0; i < kVectors; ++i)
            above[i] = _mm_cmpgt_epi16(_mm_load_si128(slots + i), limit);
        const uint64_t low =
            static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(above[0], above[1]))) |
            (static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(above[2], above[3]))) << 16);
        const uint64_t high =
            static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(above[4], above[5]))) |
            (static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(above[6], above[7]))) << 16);
        return static_cast<uint32_t>(std::countr_zero(low | (high << 32)));
    }
#endif
    static_assert(kSlots == 64, "the search reads eight vectors of eight slots");
    // What the slots above n hold after construction and every rescale:
    // above every total (totals stay below kMaxCodingTotal). Each update adds
    // 1 to them, and fewer than kMaxCodingTotal updates come between two
    // rescales (the total grows by 1 each time and a rescale follows when it
    // reaches the limit), so they stay above every total and inside 16 bits.
    static constexpr int16_t kAbove = static_cast<int16_t>(kMaxCodingTotal);
    static_assert(int32_t{kAbove} + int32_t{kMaxCodingTotal} - 1 <= 0x7FFF);

    static constexpr StepOfOnes<kSlots> kOnesFrom{};

    // Halves every frequency (0 becomes 1), rebuilds the running sums and
    // puts the slots above n back to kAbove.
    void rescale() {
        for (uint32_t k = symbolCount + 1; k < kSlots; ++k) cumulative[k] = kAbove;
        halveFrequencies(cumulative, symbolCount);
    }

    uint32_t symbolCount;
    alignas(64) int16_t cumulative[kSlots];  // slots 0..n as AdaptiveModel, kAbove beyond
};

// The body this processor family builds best.
using SmallAdaptiveModel = BasicSmallAdaptiveModel<MORV_HAVE_SSE2_MODEL != 0>;
using SmallAlphabetModel = SmallAdaptiveModel;

#else

using SmallAlphabetModel = AdaptiveModel;

#endif

// Symbols any SmallAlphabetModel takes.
inline constexpr uint32_t kSmallAlphabetMaxSymbols = 63;
