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

// Calls f(p) for every LMS position p of t[0..n), from right to left. The
// type chain is computed without branches; only LMS positions branch.
template <class Sym, class F>
void forEachLmsFromRight(const Sym* t, uint32_t n, F&& f) {
    uint32_t nextIsS = 0;  // the last symbol's suffix is type L
    Sym c1 = t[n - 1];
    for (uint32_t i = n - 1; i-- > 0;) {
        const Sym c0 = t[i];
        const uint32_t isS =
            static_cast<uint32_t>(c0 < c1) | (static_cast<uint32_t>(c0 == c1) & nextIsS);
        if (nextIsS & (isS ^ 1u)) f(i + 1);
        nextIsS = isS;
        c1 = c0;
    }
}

// The LMS positions of a string as one bit per position (words[p/64], bit
// p%64), so that the passes after the first find them, and the end of each
// LMS substring, without working out the types again.
// A word of the bits; it may stand in a free part of the sorter's 32-bit
// array.
typedef uint64_t LmsWord MORV_MAY_ALIAS;

struct LmsBits {
    LmsWord* words;  // (n + 63) / 64 words, zero before the first set()
    uint32_t n;

    void set(uint32_t p) { words[p >> 6] |= uint64_t{1} << (p & 63); }

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

}  // namespace sais
