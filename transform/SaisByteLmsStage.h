// The LMS stage of the block itself (bytes), for blocks under 2^30 bytes:
// the LMS positions found a word of 64 positions at a time, and the LMS
// substrings sorted by two induced scans that name them as they go, so that
// no pass has to compare substrings afterwards.
//
// Naming during the scans: the entries the scans place are grouped into
// classes of equal prefixes (an L-type suffix's symbols and types up to and
// including the next LMS position, an S-type suffix's likewise; the LMS
// suffix's class is then its LMS substring). Bit 30 of an entry (kNewClass)
// says that its class differs from the class of the entry on its left. A
// scan counts the classes it passes in d; two suffixes placed one after the
// other into the same bucket are of one class exactly when they were placed
// from suffixes of one class, which the last d seen per bucket tells. In the
// S scan the marks say the same of the entry on the right, so that no entry
// is written twice. The entries carry positions in bits 0..29, kNewClass,
// and, in the S scan's output, kMark on the LMS suffixes.
#pragma once

#include <cstdint>
#include <cstring>

#include "base/Compiler.h"
#include "transform/SaisClassify.h"
#include "transform/SaisInducedScans.h"

namespace sais {

constexpr uint32_t kNewClass = 0x40000000u;
constexpr uint32_t kPositionBits = 0x3fffffffu;
// The largest block whose positions leave bits 30 and 31 free.
constexpr uint32_t kNamedScanMaxLength = 1u << 30;

// Clears sa[0..n) and puts the LMS positions at the ends of their buckets
// (bkt[c] = the end of c's bucket, moved down), each bucket's first (leftmost)
// one with kNewClass: the LMS suffixes of one bucket share the class of
// their first byte.
inline void placeLmsSeeds(const uint8_t* t, uint32_t* sa, uint32_t n, const LmsBits& bits,
                          uint32_t* bkt) {
    std::memset(sa, 0, sizeof(uint32_t) * n);
    uint32_t ends[256];
    std::memcpy(ends, bkt, sizeof ends);
    bits.forEachFromRight([&](uint32_t p) { sa[--bkt[t[p]]] = p; });
    for (uint32_t c = 0; c < 256; ++c) {
        if (bkt[c] != ends[c]) sa[bkt[c]] |= kNewClass;
    }
}

// The L scan of the LMS stage with naming: sa as left by placeLmsSeeds,
// bkt[c] the start of each bucket. Suffix n-1 comes first, in a class of its
// own (the end of the string follows it). Each entry whose L-type
// predecessor is placed is cleared but for its kNewClass bit, which the S
// scan still counts.
inline void induceLNamed(const uint8_t* t, uint32_t* sa, uint32_t n, uint32_t* bkt) {
    uint32_t lastClass[256] = {};
    uint32_t d = 1;
    {
        const uint32_t c = t[n - 1];
        sa[bkt[c]++] = (n - 1) | kNewClass;
        lastClass[c] = d;
    }
    auto step = [&](uint32_t i) __attribute__((always_inline)) {
        const uint32_t v = sa[i];
        d += (v & kNewClass) >> 30;
        const uint32_t j = v & kPositionBits;
        if (j == 0) return;
        const uint32_t c = t[j - 1];
        if (c < t[j]) return;  // type-S predecessor: the S scan places it
        sa[bkt[c]++] = (j - 1) | (lastClass[c] != d ? kNewClass : 0u);
        lastClass[c] = d;
        sa[i] = v & kNewClass;
    };
    uint32_t i = 0;
    if (n > kPrefetchDistance) {
        for (; i < n - kPrefetchDistance; ++i) {
            prefetchSymbolBefore(t, sa[i + kPrefetchDistance] & kPositionBits);
            step(i);
        }
    }
    for (; i < n; ++i) step(i);
}

// Between the scans: the marks of the L parts say, from now on, whether an
// entry differs from the entry on its right, as the S scan's own marks do:
// each moves one place left within its L part, and the last entry of every
// L part differs from what follows it (an S-type suffix or the next
// bucket). starts[c] and lEnds[c] bound symbol c's L part.
inline void markRightBoundaries(uint32_t* sa, const uint32_t* starts, const uint32_t* lEnds) {
    for (uint32_t c = 0; c < 256; ++c) {
        const uint32_t lo = starts[c];
        const uint32_t hi = lEnds[c];
        if (lo == hi) continue;
        for (uint32_t k = lo; k + 1 < hi; ++k) sa[k] = (sa[k] & ~kNewClass) | (sa[k + 1] & kNewClass);
        sa[hi - 1] |= kNewClass;
    }
}

// The S scan of the LMS stage with naming, from the right, bkt[c] the end of
// each bucket. An entry's kNewClass now says that it differs from the entry
// on its right; an entry placed here differs from the one placed before it
// into the same bucket (its right neighbour) unless both came from one
// class. The LMS suffixes are placed with kMark; as the scan meets them,
// in their final places, it lists them from the right end of the array,
// where it has passed: each listed suffix gets kMark when a class boundary
// lies between it and the next one listed, which comes before it in order.
// Returns where the list starts: the LMS positions, sorted by their
// substrings, are in sa[top..n), marked but for the first. sa[n] is
// written (n+2 entries).
inline uint32_t induceSNamed(const uint8_t* t, uint32_t* sa, uint32_t n, uint32_t* bkt) {
    uint32_t lastClass[256] = {};
    uint32_t d = 1;
    uint32_t top = n;
    uint32_t pending = 0;
    auto step = [&](uint32_t i) __attribute__((always_inline)) {
        const uint32_t v = sa[i];
        d += (v & kNewClass) >> 30;
        pending |= v;
        if (v & kMark) {
            // An LMS suffix: its predecessor is type L. Listing it may
            // overwrite place i itself, never a place not yet scanned.
            sa[top] |= (pending & kNewClass) << 1;
            sa[--top] = v & kPositionBits;
            pending = 0;
            return;
        }
        const uint32_t j = v & kPositionBits;
        if (j == 0) return;
        const uint32_t c = t[j - 1];
        if (c > t[j]) return;  // type-L predecessor: placed by the L scan
        const uint32_t lms = (j > 1 && t[j - 2] > c) ? kMark : 0u;
        sa[--bkt[c]] = (j - 1) | (lastClass[c] != d ? kNewClass : 0u) | lms;
        lastClass[c] = d;
    };
    uint32_t i = n;
    for (; i > kPrefetchDistance; --i) {
        prefetchSymbolBefore(t, sa[i - 1 - kPrefetchDistance] & kPositionBits);
        step(i - 1);
    }
    for (; i > 0; --i) step(i - 1);
    return top;
}

// Stage one for the block: finds the LMS positions (into bits),
// sorts them by their substrings into sa[0..m) with kMark on each that
// starts a new name, and returns m. sa has n+2 entries; cnt holds the byte
// counts; bkt is room for 256 bucket bounds. Requires 2 <= n <
// kNamedScanMaxLength.
inline uint32_t sortAndMarkLmsSubstrings(const uint8_t* t, uint32_t* sa, uint32_t n, const uint32_t* cnt,
                                         uint32_t* bkt, LmsBits& bits) {
    const uint32_t m = findLmsPositions(t, n, bits);
    bucketEnds(cnt, bkt, 256);
    placeLmsSeeds(t, sa, n, bits, bkt);
    if (m <= 1) {
        if (m == 1) sa[0] = bits.next(0);
        return m;
    }
    uint32_t starts[256];
    bucketStarts(cnt, starts, 256);
    std::memcpy(bkt, starts, sizeof starts);
    induceLNamed(t, sa, n, bkt);
    markRightBoundaries(sa, starts, bkt);
    bucketEnds(cnt, bkt, 256);
    const uint32_t top = induceSNamed(t, sa, n, bkt);
    std::memmove(sa, sa + top, sizeof(uint32_t) * m);
    sa[0] |= kMark;
    return m;
}

}  // namespace sais
