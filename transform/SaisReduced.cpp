// The reduced problem of SA-IS: the LMS substrings, sorted and named, give a
// string of names whose suffix order is the order of the LMS suffixes. It is
// sorted in the same array, behind its own suffix array: directly when every
// name differs, by prefix doubling when at least half of them differ (few
// doubling passes are then needed) or when the names' bucket table fits
// neither in the free part of the array nor in a table of at most 2 MiB,
// and otherwise by SA-IS again (recursion; every level has at most half the
// symbols of the one above, so the depth stays below 32).
#include <cstdint>
#include <cstring>
#include <memory>

#include "transform/PrefixDoubling.h"
#include "transform/SaisLmsStage.h"

namespace sais {
namespace {

// The largest reduced alphabet whose bucket table the sorter allocates on its
// own when the array has no room for it: 256 KiB, so that with the block's
// bit per byte (1.25 MiB for 10 MiB) and the doubling's working copy (256
// KiB) the tables stay under 2 MiB.
constexpr uint32_t kOwnBucketEntries = 1u << 16;
// The reduced string is sorted by doubling when more than 1 in this many of
// its names are distinct.
constexpr uint64_t kDoublingMinDistinct = 2;

// Sorts the suffixes of s[0..n) (names 0..k-1) into sa[0..n), with
// sa[n..n+fs) free (fs >= 1) and s outside sa[0..n+fs), on up to `threads`
// threads. sa[0..n) comes in as the sorted positions of the level above,
// kMark on each that starts a new name, so the size of each name's group is
// the symbol's count.
void sortReducedString(const uint32_t* s, uint32_t* sa, uint32_t n, uint32_t k, uint32_t fs,
                       unsigned threads) {
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    // The LMS positions as a bit per symbol: at the end of the free part,
    // which the rest of this level then does without, when it leaves at
    // least one entry free (nearly always: the part is small only where the
    // string above has an LMS position at every other symbol); otherwise
    // allocated.
    const size_t words = (size_t{n} + 63) / 64;
    std::unique_ptr<uint64_t[]> ownBits;
    LmsWord* bitWords;
    if (fs > 2 * words + 2) {
        uint32_t* at = sa + n + fs - 2 * words;
        // Words of the bits start at an even entry (8-byte aligned).
        if (reinterpret_cast<uintptr_t>(at) % alignof(LmsWord) != 0) --at;
        fs = static_cast<uint32_t>(at - (sa + n));
        bitWords = reinterpret_cast<LmsWord*>(at);
    } else {
        ownBits = std::make_unique_for_overwrite<uint64_t[]>(words);
        bitWords = ownBits.get();
    }
    LmsBits bits{bitWords, n};
    std::unique_ptr<uint32_t[]> own;
    uint32_t* cnt = nullptr;
    uint32_t* bkt;
    // With room for both, the counts stay at the end of the free part while
    // the reduced problem of this level is sorted in the rest, so that they
    // are counted once (each count is a scattered access to a table that
    // can reach megabytes).
    const bool keepCounts = uint64_t{fs} >= uint64_t{2} * k;
    if (keepCounts) {
        cnt = sa + n + fs - k;
        bkt = cnt - k;
        // The counts from the groups: written in order, nothing scattered.
        std::memset(cnt, 0, sizeof(uint32_t) * k);
        uint32_t* c = cnt - 1;  // the first entry starts a name
        for (uint32_t i = 0; i < n; ++i) {
            c += sa[i] >> 31;
            ++*c;
        }
    }
    auto bucketRoom = [&] {
        if (keepCounts) return;
        if (fs >= k) {
            bkt = sa + n + fs - k;
        } else {
            own = std::make_unique_for_overwrite<uint32_t[]>(k);
            bkt = own.get();
        }
    };
    bucketRoom();
    BucketTable<uint32_t> b{s, n, k, cnt, bkt};
    const uint32_t m = sortLmsSubstrings(s, sa, n, b, bits);
    // The reduced problem of this level takes the free part but the counts,
    // the bucket table's room included; the table is made again afterwards.
    own.reset();
    sortLmsSuffixes(s, sa, n, n + fs - (keepCounts ? k : 0), m, threads, bits);
    bucketRoom();
    b = BucketTable<uint32_t>{s, n, k, cnt, bkt};
    placeSortedLms(s, sa, n, m, b);
    induceL<Scan::Sa>(s, sa, n, b.starts());
    induceS<Scan::Sa>(s, sa, n, b.ends());
}

// Sorts the reduced string s = sa[total-m..total), whose names are the
// places just past their groups (see writeReducedStringByRank), by prefix
// doubling: the order in sa[0..m+1) (place 0 for the end), the group numbers
// in sa[m+1..2m+2). Leaves the suffix array of s in sa[0..m).
void sortByDoubling(uint32_t* sa, uint32_t m, uint32_t total) {
    uint32_t* group = sa + m + 1;
    std::memmove(group, sa + total - m, sizeof(uint32_t) * m);
    group[m] = 1;
    uint32_t* order = sa;
    // Each group's members counted in its last place, then placed from its
    // first place on; the last member placed takes the counter's place.
    std::memset(order + 1, 0, sizeof(uint32_t) * m);
    for (uint32_t r = 0; r < m; ++r) ++order[group[r] - 1];
    // A group of one member is a sorted place already: it gets the marker
    // of one sorted place, which the doubling passes skip without reading
    // the member's group number.
    for (uint32_t i = 1; i <= m; ++i) {
        if (order[i] == 1) order[i] = PrefixDoubling::SortedRun + 1;
    }
    for (uint32_t r = 0; r < m; ++r) {
        const uint32_t end = group[r];
        const uint32_t left = order[end - 1];
        if (left & PrefixDoubling::SortedRun) continue;
        if (left > 1) {
            order[end - 1] = left - 1;
            order[end - left] = r;
        } else {
            order[end - 1] = r;
        }
    }
    order[0] = m;
    PrefixDoubling doubling;
    doubling.attach(order, group, m + 1);
    doubling.refine(1);
    for (uint32_t r = 0; r < m; ++r) sa[group[r] - 2] = r;
}

template <class Sym>
void sortLmsSuffixesOf(const Sym* t, uint32_t* sa, uint32_t n, uint32_t total, uint32_t m,
                       unsigned threads, const LmsBits& bits, bool namesMarked) {
    if (m <= 1) return;
    if (!namesMarked) markNewNames(t, sa, n, m, bits, threads);
    uint32_t names = 0;
    for (uint32_t i = 0; i < m; ++i) names += sa[i] >> 31;
    const uint32_t free = total - 2 * m;
    // Doubling where at least half the names differ (few passes then), and
    // where the names' bucket table would fit nowhere. (Harness timing of
    // forwardBwt against divbwt side by side, one thread, fastest of three
    // runs, three interleaved sessions, against recursion wherever the table
    // fits: binary.10M 594-645 -> 519-630 ms, text.10M and corpus.blk
    // unchanged within the noise; the level it changes is the second
    // reduced string, where half or more of the names are distinct.)
    const bool doubling = names < m && (uint64_t{names} * kDoublingMinDistinct > m ||
                                        (names > free && names > kOwnBucketEntries));
    uint32_t* const s = sa + total - m;
    writeReducedStringByRank(sa, m, s, bits, doubling, threads);
    if (names == m) {
        for (uint32_t r = 0; r < m; ++r) sa[s[r]] = r;
    } else if (doubling) {
        sortByDoubling(sa, m, total);
    } else {
        sortReducedString(s, sa, m, names, free, threads);
    }
    reducedOrderToPositions(sa, m, s, bits, threads);
}

}  // namespace

void sortLmsSuffixes(const uint8_t* t, uint32_t* sa, uint32_t n, uint32_t total, uint32_t m,
                     unsigned threads, const LmsBits& bits, bool namesMarked) {
    sortLmsSuffixesOf(t, sa, n, total, m, threads, bits, namesMarked);
}

void sortLmsSuffixes(const uint32_t* t, uint32_t* sa, uint32_t n, uint32_t total, uint32_t m,
                     unsigned threads, const LmsBits& bits) {
    sortLmsSuffixesOf(t, sa, n, total, m, threads, bits, false);
}

}  // namespace sais
