// The LMS stage of SA-IS on one string t[0..n) (bytes, or the names of a
// reduced string): the LMS substrings sorted by two induced scans, named,
// their names gathered into the reduced string, the reduced string's order
// turned back into the order of the LMS suffixes, and those placed at the
// ends of their buckets for the final scans.
//
// Layout in the working array sa[0..total), total >= n+1: the sorted LMS
// positions in sa[0..m); while naming, one slot per LMS position p at
// sa[m + p/2]; the reduced string (m names in text order) at the very end,
// sa[total-m..total), so that sa[m..total-m) is free for its sort.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "base/Compiler.h"
#include "transform/SaisClassify.h"
#include "transform/SaisInducedScans.h"

namespace sais {

// The bucket bounds of one string: from counts kept in cnt[0..k), or, where
// there is no room for them (cnt null), counted again at each use.
template <class Sym>
struct BucketTable {
    const Sym* t;
    uint32_t n;
    uint32_t k;
    uint32_t* cnt;
    uint32_t* bkt;

    uint32_t* starts() {
        if (cnt != nullptr) {
            bucketStarts(cnt, bkt, k);
        } else {
            countSymbols(t, n, bkt, k);
            uint32_t sum = 0;
            for (uint32_t c = 0; c < k; ++c) sum += std::exchange(bkt[c], sum);
        }
        return bkt;
    }
    uint32_t* ends() {
        if (cnt != nullptr) {
            bucketEnds(cnt, bkt, k);
        } else {
            countSymbols(t, n, bkt, k);
            uint32_t sum = 0;
            for (uint32_t c = 0; c < k; ++c) bkt[c] = sum += bkt[c];
        }
        return bkt;
    }
};

// Stage one: leaves the LMS positions of t sorted by their LMS substrings in
// sa[0..m) and returns m. sa[0..n) is overwritten.
template <class Sym>
uint32_t sortLmsSubstrings(const Sym* t, uint32_t* sa, uint32_t n, BucketTable<Sym>& b) {
    std::memset(sa, 0, sizeof(uint32_t) * n);
    uint32_t* bkt = b.ends();
    uint32_t m = 0;
    uint32_t last = 0;
    forEachLmsFromRight(t, n, [&](uint32_t p) {
        sa[--bkt[t[p]]] = p;
        last = p;
        ++m;
    });
    if (m <= 1) {
        sa[0] = last;
        return m;
    }
    induceL<Scan::Lms>(t, sa, n, b.starts());
    induceS<Scan::Lms>(t, sa, n, b.ends());
    uint32_t k = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t v = sa[i];
        if (v & kMark) sa[k++] = v & ~kMark;
    }
    return m;
}

template <class Sym>
MORV_FORCE_INLINE bool sameSymbols(const Sym* a, const Sym* b, uint32_t len) {
    return std::memcmp(a, b, sizeof(Sym) * len) == 0;
}

// Names the sorted LMS substrings in sa[0..m), m >= 2: equal substrings
// (same length, same symbols; the types then agree too) get the same name,
// 1 for the smallest. Leaves the names in the slots sa[m + p/2] (the rest
// of sa[m..n) zero) and returns how many there are. The substring of the
// last LMS position runs into the end of the string and equals no other.
template <class Sym>
uint32_t nameLmsSubstrings(const Sym* t, uint32_t* sa, uint32_t n, uint32_t m) {
    uint32_t* slot = sa + m;
    std::memset(slot, 0, sizeof(uint32_t) * (n - m));
    uint32_t next = n;
    forEachLmsFromRight(t, n, [&](uint32_t p) {
        slot[p >> 1] = next - p + 1;
        next = p;
    });
    uint32_t names = 0;
    uint32_t prevP = 0;
    uint32_t prevLen = 0;
    for (uint32_t i = 0; i < m; ++i) {
        if (i + kPrefetchDistance < m) {
            const uint32_t ahead = sa[i + kPrefetchDistance];
            MORV_PREFETCH_READ(t + ahead);
            MORV_PREFETCH_WRITE(slot + (ahead >> 1));
        }
        const uint32_t p = sa[i];
        const uint32_t len = slot[p >> 1];
        const bool same =
            len == prevLen && p + len <= n && prevP + len <= n && sameSymbols(t + p, t + prevP, len);
        names += same ? 0u : 1u;
        slot[p >> 1] = names;
        prevP = p;
        prevLen = len;
    }
    return names;
}

// For the sort by doubling: turns the names in the slots into the place just
// past each name's group in the order 1..m (place 0 is the end of the
// reduced string), plus one.
inline void namesToGroupEnds(uint32_t* sa, uint32_t m) {
    uint32_t* slot = sa + m;
    uint32_t current = 0;
    uint32_t end = 0;
    for (uint32_t i = m; i-- > 0;) {
        const uint32_t p = sa[i];
        const uint32_t name = slot[p >> 1];
        if (name != current) {
            current = name;
            end = i + 2;
        }
        slot[p >> 1] = end + 1;
    }
}

// Gathers the names from the slots into the reduced string at
// sa[total-m..total), in text order and from 0.
inline void gatherReducedString(uint32_t* sa, uint32_t n, uint32_t m, uint32_t total) {
    uint32_t j = total;
    for (uint32_t i = m + (n >> 1); i-- > m;) {
        const uint32_t v = sa[i];
        if (v != 0) sa[--j] = v - 1;
    }
}

// Turns sa[0..m), the order of the reduced string's suffixes, into the
// order of the LMS suffixes of t, with list[0..m) (outside sa[0..m)) as room
// for the LMS positions in text order.
template <class Sym>
void reducedOrderToPositions(const Sym* t, uint32_t* sa, uint32_t n, uint32_t m, uint32_t* list) {
    uint32_t j = m;
    forEachLmsFromRight(t, n, [&](uint32_t p) { list[--j] = p; });
    for (uint32_t i = 0; i < m; ++i) {
        if (i + kPrefetchDistance < m) MORV_PREFETCH_READ(list + sa[i + kPrefetchDistance]);
        sa[i] = list[sa[i]];
    }
}

// Places the sorted LMS suffixes sa[0..m) at the ends of their buckets, the
// largest last, and clears every other place of sa[0..n).
template <class Sym>
void placeSortedLms(const Sym* t, uint32_t* sa, uint32_t n, uint32_t m, BucketTable<Sym>& b) {
    uint32_t* bkt = b.ends();
    std::memset(sa + m, 0, sizeof(uint32_t) * (n - m));
    // Each suffix's place is at least its index, so no suffix is overwritten
    // before it is moved.
    for (uint32_t i = m; i-- > 0;) {
        if (i >= kPrefetchDistance) MORV_PREFETCH_READ(t + sa[i - kPrefetchDistance]);
        const uint32_t p = sa[i];
        sa[i] = 0;
        sa[--bkt[t[p]]] = p;
    }
}

// The reduced problem: sorts sa[0..m) (LMS positions sorted by substring)
// into the order of their suffixes, using sa[0..total) (total >= n+1).
void sortLmsSuffixes(const uint8_t* t, uint32_t* sa, uint32_t n, uint32_t total, uint32_t m);
void sortLmsSuffixes(const uint32_t* t, uint32_t* sa, uint32_t n, uint32_t total, uint32_t m);

}  // namespace sais
