// The induced scans of SA-IS. The L scan runs from left to right and places
// the predecessor j-1 of each suffix j it meets at the front of j-1's bucket
// when j-1 is type L; the S scan runs from right to left and places type-S
// predecessors at the back of their buckets. One pair sorts the LMS
// substrings (from LMS suffixes at the bucket ends in any order), another
// every suffix (from the LMS suffixes in sorted order).
//
// The type of j-1 is read from the two symbols alone: in the L scan every
// entry met is type L or an LMS suffix, and j-1 is type L exactly when
// t[j-1] >= t[j]; in the S scan, entries whose predecessor is type L are
// marked (or cleared) by the L scan, and for the rest j-1 is type S exactly
// when t[j-1] <= t[j]. An entry of 0 is an empty place or suffix 0; neither
// has a predecessor to place.
//
// The scans are bound by the reads of t[j-1] at scattered j; each asks for
// the symbol of the entry kPrefetchDistance places ahead, so that many of
// those reads are under way at once.
#pragma once

#include <cstdint>

#include "base/Compiler.h"
#include "transform/SaisClassify.h"

namespace sais {

// What the scans leave behind. Lms: the sort of the LMS substrings, where the
// S scan marks the LMS suffixes it places. Sa: the suffix array. Bwt: each
// entry replaced by kMark | t[j-1] (the transform's byte) once read, suffix
// 0's place left 0 and returned.
enum class Scan { Lms, Sa, Bwt };

// How far ahead of the entry being read the scans ask for the symbols of
// the suffix that will be read there. (Harness timing of forwardBwt, one
// thread, fastest of three runs in each of three interleaved sessions:
// without the prefetch text.10M 552-920 ms, binary.10M 596-1042 ms; at 32
// places 395-510 and 557-743 ms; at 64 places 368-514 and 473-590 ms;
// corpus.blk alike within the noise. Asking also for the bucket counters
// of the reduced levels, 32 places ahead of their symbols, gained nothing:
// binary.10M 497-511 ms without against 557-743 ms with.)
constexpr uint32_t kPrefetchDistance = 64;

template <class Sym>
MORV_FORCE_INLINE void prefetchSymbolBefore(const Sym* t, uint32_t j) {
    // The address of t[j-1] is formed as an integer: for j = 0 (an empty
    // place) it points before t, which a prefetch may name but a pointer may not.
    const uintptr_t at = reinterpret_cast<uintptr_t>(t) + (uintptr_t{j & ~kMark} - 1) * sizeof(Sym);
    MORV_PREFETCH_READ(reinterpret_cast<const void*>(at));
}

// Bit 30 of a symbol from symbolForS: the predecessor p = j-1 placed by the
// S scan is an LMS position (Lms mode). Symbols of every level are below 2^30.
constexpr uint32_t kLmsFlag = 0x40000000u;

// The symbol before suffix j > 0 for the L scan, with kMark set when that
// predecessor is type L (t[j-1] >= t[j]).
template <class Sym>
MORV_FORCE_INLINE uint32_t symbolForL(const Sym* t, uint32_t j) {
    const uint32_t c = t[j - 1];
    return c | (c >= static_cast<uint32_t>(t[j]) ? kMark : 0u);
}

// The symbol before suffix j > 0 for the S scan, with kMark set when that
// predecessor is type S (t[j-1] <= t[j]) and, in Lms mode, kLmsFlag when it
// is an LMS position (the symbol before it is larger).
template <Scan mode, class Sym>
MORV_FORCE_INLINE uint32_t symbolForS(const Sym* t, uint32_t j) {
    const uint32_t c = t[j - 1];
    uint32_t v = c | (c <= static_cast<uint32_t>(t[j]) ? kMark : 0u);
    if constexpr (mode == Scan::Lms) v |= (j > 1 && static_cast<uint32_t>(t[j - 2]) > c) ? kLmsFlag : 0u;
    return v;
}

// One entry of the L scan: suffix j > 0 at place i, whose predecessor's
// symbol and type are `sym` (symbolForL).
template <Scan mode>
MORV_FORCE_INLINE void placeL(uint32_t* sa, uint32_t* bkt, uint32_t i, uint32_t j, uint32_t sym,
                              uint32_t& primary) {
    if (!(sym & kMark)) return;  // type-S predecessor: the S scan places it
    const uint32_t c = sym & ~kMark;
    const uint32_t pos = bkt[c]++;
    sa[pos] = j - 1;
    if constexpr (mode == Scan::Bwt) {
        if (j == 1) primary = pos;
        sa[i] = kMark | c;
    } else if constexpr (mode == Scan::Sa) {
        sa[i] = j | kMark;
    } else {
        sa[i] = 0;
    }
}

// One entry of the S scan: suffix j > 0 at place i, with `sym` from symbolForS.
template <Scan mode>
MORV_FORCE_INLINE void placeS(uint32_t* sa, uint32_t* bkt, uint32_t i, uint32_t sym, uint32_t j,
                              uint32_t& primary) {
    const uint32_t c = sym & ~(kMark | kLmsFlag);
    if (sym & kMark) {
        const uint32_t p = j - 1;
        const uint32_t pos = --bkt[c];
        if constexpr (mode == Scan::Lms) {
            sa[pos] = p | ((sym & kLmsFlag) << 1);
        } else {
            sa[pos] = p;
            if (p == 0) primary = pos;
        }
    }
    if constexpr (mode == Scan::Bwt) sa[i] = kMark | c;
}

// The L scan over sa[0..n) with bkt[c] the first free place of each bucket's
// L part. Starts with suffix n-1, placed by the end of the string. Returns
// the place where suffix 0 was put (Bwt mode), or n.
template <Scan mode, class Sym>
uint32_t induceL(const Sym* t, uint32_t* sa, uint32_t n, uint32_t* bkt) {
    uint32_t primary = n;
    sa[bkt[t[n - 1]]++] = n - 1;
    auto step = [&](uint32_t i) __attribute__((always_inline)) {
        const uint32_t j = sa[i];
        if (static_cast<int32_t>(j) > 0) placeL<mode>(sa, bkt, i, j, symbolForL(t, j), primary);
    };
    uint32_t i = 0;
    if (n > kPrefetchDistance) {
        for (; i < n - kPrefetchDistance; ++i) {
            prefetchSymbolBefore(t, sa[i + kPrefetchDistance]);
            step(i);
        }
    }
    for (; i < n; ++i) step(i);
    return primary;
}

// The S scan over sa[0..n) from the right with bkt[c] just past the last free
// place of each bucket. Returns the place where suffix 0 was put, or n.
template <Scan mode, class Sym>
uint32_t induceS(const Sym* t, uint32_t* sa, uint32_t n, uint32_t* bkt) {
    uint32_t primary = n;
    auto step = [&](uint32_t i) __attribute__((always_inline)) {
        const uint32_t j = sa[i];
        if (static_cast<int32_t>(j) > 0) {
            placeS<mode>(sa, bkt, i, symbolForS<mode>(t, j), j, primary);
        } else if constexpr (mode == Scan::Sa) {
            sa[i] = j & ~kMark;
        }
    };
    uint32_t i = n;
    for (; i > kPrefetchDistance; --i) {
        prefetchSymbolBefore(t, sa[i - 1 - kPrefetchDistance]);
        step(i - 1);
    }
    for (; i > 0; --i) step(i - 1);
    return primary;
}

}  // namespace sais
