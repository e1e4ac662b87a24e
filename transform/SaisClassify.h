// Classification of suffixes for induced sorting, and the symbol counts and
// bucket bounds it works with. With the end of the string below every symbol,
// suffix i is of type S when it is smaller than suffix i+1 and of type L when
// larger; the last symbol's suffix is type L. An LMS position is a type-S
// position right after a type-L one. Among suffixes that start with the same
// symbol every type-L one is smaller than every type-S one, so each symbol's
// bucket is an L part followed by an S part. LMS positions are at least two
// apart: there are at most (n-1)/2 of them, and p/2 is a unique slot for LMS
// position p.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "base/Compiler.h"

#if MORV_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace sais {

// Bit 31 of an array entry: a mark (the entry is finished, or an LMS suffix).
constexpr uint32_t kMark = 0x80000000u;

// cnt[0..k) = how often each symbol occurs in t[0..n).
template <class Sym>
void countSymbols(const Sym* t, uint32_t n, uint32_t* cnt, uint32_t k) {
    std::memset(cnt, 0, sizeof(uint32_t) * k);
    for (uint32_t i = 0; i < n; ++i) ++cnt[t[i]];
}

// bkt[c] = first place of symbol c's bucket.
inline void bucketStarts(const uint32_t* cnt, uint32_t* bkt, uint32_t k) {
    uint32_t sum = 0;
    for (uint32_t c = 0; c < k; ++c) {
        const uint32_t v = cnt[c];
        bkt[c] = sum;
        sum += v;
    }
}

// bkt[c] = place just past symbol c's bucket.
inline void bucketEnds(const uint32_t* cnt, uint32_t* bkt, uint32_t k) {
    uint32_t sum = 0;
    for (uint32_t c = 0; c < k; ++c) {
        sum += cnt[c];
        bkt[c] = sum;
    }
}

// The LMS positions of a string as one bit per position (words[p/64], bit
// p%64), so that the passes after the first find them, and the end of each
// LMS substring, without working out the types again.
// A word of the bits; it may stand in a free part of the sorter's 32-bit
// array.
typedef uint64_t LmsWord MORV_MAY_ALIAS;

struct LmsBits {
    LmsWord* words;  // (n + 63) / 64 words
    uint32_t n;

    // The first LMS position after p, or n when there is none.
    uint32_t next(uint32_t p) const {
        uint32_t w = (p + 1) >> 6;
        const uint32_t count = (n + 63) >> 6;
        if (w >= count) return n;
        uint64_t bits = (p + 1) & 63 ? words[w] & (~uint64_t{0} << ((p + 1) & 63)) : words[w];
        while (bits == 0) {
            if (++w == count) return n;
            bits = words[w];
        }
        return (w << 6) + static_cast<uint32_t>(std::countr_zero(bits));
    }

    // Calls f(p) for every LMS position p, from right to left.
    template <class F>
    void forEachFromRight(F&& f) const {
        for (uint32_t w = (n + 63) >> 6; w-- > 0;) {
            for (uint64_t bits = words[w]; bits != 0;) {
                const uint32_t top = 63u - static_cast<uint32_t>(std::countl_zero(bits));
                bits ^= uint64_t{1} << top;
                f((w << 6) + top);
            }
        }
    }

    // Calls f(p) for every LMS position p, from left to right.
    template <class F>
    void forEachFromLeft(F&& f) const {
        const uint32_t count = (n + 63) >> 6;
        for (uint32_t w = 0; w < count; ++w) {
            for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
                f((w << 6) + static_cast<uint32_t>(std::countr_zero(bits)));
            }
        }
    }
};

// The type-S positions among the 64 from `base`, given whether position
// base+64 is type S: position k is type S when t[k] < t[k+1], or when
// t[k] = t[k+1] and k+1 is type S. The comparisons are made for all 64 at
// once and the chains of equal symbols resolved in six doubling steps, so
// no step waits on the one before. Positions from n-1 on count as type L.
template <class Sym>
uint64_t typeSWord(const Sym* t, uint32_t n, uint32_t base, uint64_t nextIsS) {
    uint64_t less = 0;
    uint64_t equal = 0;
    const uint32_t count = n - 1 - base < 64 ? n - 1 - base : 64;
#if MORV_HAVE_SSE2
    // Sixteen bytes compared at a time. (findLmsPositions on text.10M, one
    // thread, fastest of five: 10.3 ms with the loop below, 2.7 ms so.)
    if (sizeof(Sym) == 1 && count == 64) {
        for (uint32_t q = 0; q < 64; q += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + base + q));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + base + q + 1));
            const __m128i eq = _mm_cmpeq_epi8(a, b);
            const __m128i le = _mm_cmpeq_epi8(_mm_min_epu8(a, b), a);
            less |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_andnot_si128(eq, le)))} << q;
            equal |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(eq))} << q;
        }
    } else
#endif
        for (uint32_t b = 0; b < count; ++b) {
            const Sym c0 = t[base + b];
            const Sym c1 = t[base + b + 1];
            less |= uint64_t{c0 < c1} << b;
            equal |= uint64_t{c0 == c1} << b;
        }
    // After the steps, less[k] says that a larger symbol follows the run of
    // equal ones from k within the word, equal[k] that the run reaches its
    // top.
    for (uint32_t step = 1; step < 64; step <<= 1) {
        less |= equal & (less >> step);
        equal &= (equal >> step) | ~(~uint64_t{0} >> step);
    }
    return less | (equal & (uint64_t{0} - nextIsS));
}

// Sets the bits of the LMS positions of t[0..n), n >= 2, and returns how
// many there are: the type-S positions, a word of 64 at a time from the
// right, then each that follows a type-L one.
template <class Sym>
uint32_t findLmsPositions(const Sym* t, uint32_t n, LmsBits& bits) {
    const uint32_t words = (n + 63) >> 6;
    uint64_t nextIsS = 0;  // position n-1 is type L, and so is all past it
    for (uint32_t w = words; w-- > 0;) {
        const uint64_t typeS = typeSWord(t, n, w << 6, nextIsS);
        bits.words[w] = typeS;
        nextIsS = typeS & 1;
    }
    uint32_t m = 0;
    uint64_t lastIsS = 1;  // position 0 has no predecessor: never LMS
    for (uint32_t w = 0; w < words; ++w) {
        const uint64_t typeS = bits.words[w];
        const uint64_t lms = typeS & ~((typeS << 1) | lastIsS);
        lastIsS = typeS >> 63;
        bits.words[w] = lms;
        m += static_cast<uint32_t>(std::popcount(lms));
    }
    return m;
}

}  // namespace sais
