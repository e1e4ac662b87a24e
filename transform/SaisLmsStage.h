// The LMS stage of SA-IS on one string t[0..n) (bytes, or the names of a
// reduced string): the LMS substrings sorted by two induced scans, named,
// their names gathered into the reduced string, the reduced string's order
// turned back into the order of the LMS suffixes, and those placed at the
// ends of their buckets for the final scans.
//
// Layout in the working array sa[0..total), total >= n+1: the sorted LMS
// positions in sa[0..m); the reduced string (m names in text order) at the
// very end, sa[total-m..total), so that sa[m..total-m) is free for its sort.
// The LMS positions are kept as a bit per symbol beside the array: they
// give each substring's length and each position's index in text order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "base/Compiler.h"
#include "transform/SaisClassify.h"
#include "transform/SaisInducedScans.h"
#include "transform/SaisThreads.h"

namespace sais {

// How far ahead the passes over the sorted LMS positions (naming, turning
// the reduced order into positions, placing) ask for what they will read:
// their positions are all known beforehand, so the distance is limited only
// by how many reads can be under way. (Harness timing of forwardBwt, one
// thread, fastest of three runs in three interleaved sessions: without
// these prefetches text.10M 504-694 ms, binary.10M 646-743 ms; at 32
// places 473-560 and 516-662 ms; at 256 places 399-433 and 531-585 ms.)
constexpr uint32_t kGatherPrefetchDistance = 256;

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
// sa[0..m) and returns m. sa[0..n) is overwritten; `bits` gets
// the LMS positions.
template <class Sym>
uint32_t sortLmsSubstrings(const Sym* t, uint32_t* sa, uint32_t n, BucketTable<Sym>& b, LmsBits& bits) {
    std::memset(sa, 0, sizeof(uint32_t) * n);
    uint32_t* bkt = b.ends();
    const uint32_t m = findLmsPositions(t, n, bits);
    if (m <= 1) {
        sa[0] = m == 1 ? bits.next(0) : 0;
        return m;
    }
    bits.forEachFromRight([&](uint32_t p) { sa[--bkt[t[p]]] = p; });
    induceL<Scan::Lms>(t, sa, n, b.starts());
    induceS<Scan::Lms>(t, sa, n, b.ends());
    uint32_t k = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t v = sa[i];
        if (v & kMark) sa[k++] = v & ~kMark;
    }
    return m;
}

// Whether t[p..p+len) equals t[q..q+len), both inside t[0..n). Compared a
// word at a time: most LMS substrings are a few bytes long, and a call to
// memcmp costs more than the comparison itself.
template <class Sym>
MORV_FORCE_INLINE bool sameSymbols(const Sym* t, uint32_t n, uint32_t p, uint32_t q, uint32_t len) {
    constexpr uint32_t kPerWord = 8 / sizeof(Sym);
    const uint32_t far = p > q ? p : q;
    uint32_t k = 0;
    if (far + kPerWord <= n) {
        // Whole words while both stay inside t; the last one may reach past
        // the substrings, whose extra symbols are masked off.
        for (;;) {
            uint64_t x;
            uint64_t y;
            std::memcpy(&x, t + p + k, 8);
            std::memcpy(&y, t + q + k, 8);
            const uint64_t diff = x ^ y;
            if (len - k <= kPerWord) {
                const uint32_t bits = (len - k) * 8 * sizeof(Sym);
                if (bits == 64) return diff == 0;
                if constexpr (std::endian::native == std::endian::little)
                    return (diff << (64 - bits)) == 0;
                return (diff >> (64 - bits)) == 0;
            }
            if (diff != 0) return false;
            k += kPerWord;
            if (far + k + kPerWord > n) break;
        }
    }
    for (; k < len; ++k) {
        if (t[p + k] != t[q + k]) return false;
    }
    return true;
}

// Marks (kMark) each of the sorted LMS substrings in sa[0..m), m >= 2, that
// differs from the one before it (the first always): equal substrings (same
// length, same symbols; the types then agree too) will share a name. The
// substring of the last LMS position runs into the end of the string and
// equals no other. The lengths come from `bits`, the LMS positions. Shared
// among up to `threads` threads.
template <class Sym>
void markNewNames(const Sym* t, uint32_t* sa, uint32_t n, uint32_t m, const LmsBits& bits,
                  unsigned threads) {
    auto lengthAt = [&](uint32_t p) { return bits.next(p) - p + 1; };
    const unsigned parts = partsFor(threads, m);
    // The last position before each part, read before any part marks it.
    uint32_t before[kMaxPassThreads];
    for (unsigned k = 1; k < parts; ++k) before[k] = sa[partStart(m, parts, k) - 1];
    runParts(parts, m, [&](unsigned k, uint32_t lo, uint32_t hi) {
        uint32_t prevP = k == 0 ? 0 : before[k];
        uint32_t prevLen = k == 0 ? 0 : lengthAt(prevP);
        for (uint32_t i = lo; i < hi; ++i) {
            if (i + kGatherPrefetchDistance < hi) {
                const uint32_t ahead = sa[i + kGatherPrefetchDistance];
                MORV_PREFETCH_READ(t + ahead);
                MORV_PREFETCH_READ(bits.words + (ahead >> 6));
            }
            const uint32_t p = sa[i];
            const uint32_t len = lengthAt(p);
            const bool same =
                len == prevLen && p + len <= n && prevP + len <= n && sameSymbols(t, n, p, prevP, len);
            if (!same) sa[i] = p | kMark;
            prevP = p;
            prevLen = len;
        }
    });
}

// Writes the reduced string straight into s[0..m) (outside sa[0..m)) in
// text order, from the sorted LMS positions in sa[0..m), those with kMark
// starting a new name, which stay as they are: the text-order index of LMS
// position p is its rank among the bits. Each symbol is its name from 0
// or, with groupEnds (for the sort by doubling), the place just past its
// group when the sorted positions take places 1..m (place 0 is the end of
// the reduced string). Returns the number of names. The rank table (a
// 32-bit count per 64 positions) lives only while this runs, in the free
// part between sa[0..m) and s where it fits.
// Shared among up to `threads` threads.
inline uint32_t writeReducedStringByRank(uint32_t* sa, uint32_t m, uint32_t* s, const LmsBits& bits,
                                         bool groupEnds, unsigned threads) {
    const uint32_t words = (bits.n + 63) >> 6;
    // The rank table stands between sa[0..m) and s where there is room.
    std::unique_ptr<uint32_t[]> own;
    uint32_t* before = sa + m;
    if (static_cast<size_t>(s - before) < words) {
        own = std::make_unique_for_overwrite<uint32_t[]>(words);
        before = own.get();
    }
    uint32_t sum = 0;
    for (uint32_t w = 0; w < words; ++w) {
        before[w] = sum;
        sum += static_cast<uint32_t>(std::popcount(bits.words[w]));
    }
    auto rankOf = [&](uint32_t p) {
        const uint64_t below = bits.words[p >> 6] & ((uint64_t{1} << (p & 63)) - 1);
        return before[p >> 6] + static_cast<uint32_t>(std::popcount(below));
    };
    const unsigned parts = partsFor(threads, m);
    // Per part: the new names in it (from index 1, summed up to the part)
    // and where its first new name starts (hi when none does).
    uint32_t newNames[kMaxPassThreads + 1] = {};
    uint32_t firstStart[kMaxPassThreads + 1];
    runParts(parts, m, [&](unsigned k, uint32_t lo, uint32_t hi) {
        uint32_t count = 0;
        uint32_t first = hi;
        for (uint32_t i = lo; i < hi; ++i) {
            const uint32_t isNew = sa[i] >> 31;
            if (isNew && first == hi) first = i;
            count += isNew;
        }
        newNames[k + 1] = count;
        firstStart[k] = first;
    });
    for (unsigned k = 1; k <= parts; ++k) newNames[k] += newNames[k - 1];
    // The start of the group after each part's last one.
    uint32_t nextStart[kMaxPassThreads];
    uint32_t following = m;
    for (unsigned k = parts; k-- > 0;) {
        nextStart[k] = following;
        if (firstStart[k] != partStart(m, parts, k + 1)) following = firstStart[k];
    }
    runParts(parts, m, [&](unsigned k, uint32_t lo, uint32_t hi) {
        auto prefetchAhead = [&](uint32_t i) {
            const uint32_t ahead = sa[i] & ~kMark;
            MORV_PREFETCH_READ(bits.words + (ahead >> 6));
            MORV_PREFETCH_READ(&before[ahead >> 6]);
        };
        if (groupEnds) {
            uint32_t end = nextStart[k] + 1;  // the group's last place + 2
            for (uint32_t i = hi; i-- > lo;) {
                if (i >= lo + kGatherPrefetchDistance) prefetchAhead(i - kGatherPrefetchDistance);
                const uint32_t v = sa[i];
                s[rankOf(v & ~kMark)] = end;
                if (v & kMark) end = i + 1;
            }
        } else {
            uint32_t name = newNames[k];
            for (uint32_t i = lo; i < hi; ++i) {
                if (i + kGatherPrefetchDistance < hi) prefetchAhead(i + kGatherPrefetchDistance);
                const uint32_t v = sa[i];
                name += v >> 31;
                s[rankOf(v & ~kMark)] = name - 1;
            }
        }
    });
    return newNames[parts];
}

// Turns sa[0..m), the order of the reduced string's suffixes, into the
// order of the LMS suffixes, with list[0..m) (outside sa[0..m)) as room for
// the LMS positions in text order, read from `bits`. The lookups are shared
// among up to `threads` threads.
inline void reducedOrderToPositions(uint32_t* sa, uint32_t m, uint32_t* list, const LmsBits& bits,
                                    unsigned threads) {
    uint32_t j = 0;
    bits.forEachFromLeft([&](uint32_t p) { list[j++] = p; });
    runParts(partsFor(threads, m), m, [sa, list](unsigned, uint32_t lo, uint32_t hi) {
        for (uint32_t i = lo; i < hi; ++i) {
            if (i + kGatherPrefetchDistance < hi)
                MORV_PREFETCH_READ(list + sa[i + kGatherPrefetchDistance]);
            sa[i] = list[sa[i]];
        }
    });
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
        if (i >= kGatherPrefetchDistance) MORV_PREFETCH_READ(t + sa[i - kGatherPrefetchDistance]);
        const uint32_t p = sa[i];
        sa[i] = 0;
        sa[--bkt[t[p]]] = p;
    }
}

// The reduced problem: sorts sa[0..m) (LMS positions sorted by substring)
// into the order of their suffixes, using sa[0..total) (total >= n+1) and
// up to `threads` threads; `bits`, when given, holds the LMS positions of t.
// With namesMarked, each entry of sa[0..m) whose substring differs from the
// one before it already carries kMark.
void sortLmsSuffixes(const uint8_t* t, uint32_t* sa, uint32_t n, uint32_t total, uint32_t m,
                     unsigned threads, const LmsBits& bits, bool namesMarked);
void sortLmsSuffixes(const uint32_t* t, uint32_t* sa, uint32_t n, uint32_t total, uint32_t m,
                     unsigned threads, const LmsBits& bits);

}  // namespace sais
