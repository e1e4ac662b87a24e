// Two-stage induced suffix sort and the transform read from its last scan.
//
// Types. With the end of the block below every byte, suffix i is of type A
// when it is larger than suffix i+1 and of type B when smaller; the last
// byte's suffix is type A. Among suffixes that start with the same byte c,
// every type-A one is smaller than every type-B one, and the type-B ones are
// ordered by their second byte (which is >= c). A B* suffix is a type-B
// suffix followed by a type-A one; consecutive B* positions are at least two
// apart, so there are at most N/2 of them, and p/2 is a unique index for a
// B* position p (used below to keep one value per B* suffix in half the
// array).
//
// Stage one sorts the B* suffixes. Their B* substrings, from the position to
// the next B* position plus one byte, are sorted by a multikey quicksort
// (a substring that is a proper prefix of another is the smaller suffix:
// the byte after its end is type A in the one, type B in the other). Equal
// substrings leave ties, which are resolved on the string of substring
// ranks (the reduced string): by the prefix doubling of SuffixSorter, or,
// when the reduced string has few distinct symbols (long repeats), by
// recursive induced sorting of it. Stage two places the sorted B* suffixes
// at the front of their (first byte, second byte) parts, where they precede
// every other type-B suffix of the part, and induces everything else: one
// scan from the right places the type-B suffixes, one from the left the
// type-A ones and reads off the transform.
//
// Layout of the one array of N+2 entries during stage one (m B* suffixes,
// H = N/2): [0, m+1) the B* suffixes in sorted order (place 0 for the end of
// the reduced string), [m+1, m+1+H) one value per B* position p at p/2
// (where its substring ends while sorting, then its group number), and from
// H+1 on the group numbers of the reduced string for the doubling. The
// induced sorting of the reduced string moves it to [m+1, 2m+2), behind its
// suffix array in [0, m+1), with its buckets from 2m+2 on when they fit.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "base/Compiler.h"

// Without threads (MORV_HAVE_THREADS 0) the substring sort runs on the
// calling thread alone.
#if MORV_HAVE_THREADS
#include <system_error>
#include <thread>
#endif
#include "transform/SuffixSorter.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

// An entry whose predecessor is not induced from it; in stage one, a B*
// suffix alone in its substring group.
constexpr uint32_t kMark = 0x80000000u;
constexpr uint32_t kRun = SuffixSorter::SortedRun;
constexpr uint32_t kPairs = 256 * 256;
constexpr uint32_t kNoPair = kPairs;

// Parts of the multikey quicksort up to this size are sorted by insertion.
constexpr uint32_t kInsertionMax = 12;
// The substring sort's own working copy, when the array's free end is
// shorter: 16 bytes per member, 256 KiB.
constexpr uint32_t kOwnItems = 1u << 14;
// Blocks from this size on may sort their substrings on several threads;
// each thread takes at least kStarsPerThread B* suffixes, and there are at
// most kMaxStarThreads. Below 1 MiB a second thread gains nothing: the
// substring sort is a quarter of the time there, and starting and joining
// the thread take what it saves. (bench_bwt forwardBwtThreads threads:2,
// medians of three interleaved runs, from 64 KiB on against from 1 MiB on:
// html 6.90 -> 3.47 ms, geo.protodata 5.68 -> 3.58, kppkn.gtb 8.20 ->
// 5.46, html_x_4 13.3 -> 12.4, urls.10K 26.3 -> 25.3; none slower.)
constexpr uint32_t kParallelMinBlock = 1u << 20;
constexpr uint32_t kStarsPerThread = 1u << 13;
constexpr uint64_t kMaxStarThreads = 64;
// The B* suffixes are handed out to the threads in this many chunks per
// thread. (bench_bwt forwardBwtThreads, wall time, one against two threads,
// median of three runs on a quiet machine: python_10MiB 507 -> 444 ms,
// cc1plus_10MiB 513 -> 427 ms, corpus_10MiB 560 -> 511 ms. One run per
// thread cut by B* count balanced worse: python_10MiB 491 -> 458 ms.)
constexpr uint32_t kStarChunksPerThread = 16;
// The reduced string's own bucket table, when the array has no room: 1 MiB.
constexpr uint32_t kOwnBuckets = 1u << 18;
// The reduced string is sorted by induced sorting when it has at most one
// distinct symbol per this many.
constexpr uint32_t kInducedReducedMinRepeat = 12;
// How far ahead the partitions of the multikey quicksort ask for the text
// and substring ends of the members.
constexpr uint32_t kSortPrefetchDistance = 32;

// The scans read the array all over; with small pages nearly every read also
// misses the address translation cache. Large arrays are therefore aligned to
// 2 MiB and, where the system offers it, marked for large pages. The hint
// changes no content and may be refused. (bench_bwt forwardBwt against plain
// allocation, four interleaved sessions, fastest run of each: corpus_10MiB
// and cc1plus_10MiB about 5% faster with it (sessions from -2% to +15%),
// python_10MiB about 3%.)
constexpr size_t kLargePage = size_t{1} << 21;
constexpr size_t kLargePageMinBytes = 4 * kLargePage;

struct ArrayFree {
    bool aligned;
    void operator()(uint32_t* p) const {
        if (aligned) {
            ::operator delete[](p, std::align_val_t{kLargePage});
        } else {
            ::operator delete[](p);
        }
    }
};
using Array = std::unique_ptr<uint32_t[], ArrayFree>;

Array allocateArray(size_t entries) {
    const size_t bytes = entries * sizeof(uint32_t);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kLargePageMinBytes) {
        void* p = ::operator new[](bytes, std::align_val_t{kLargePage});
        (void)madvise(p, bytes, MADV_HUGEPAGE);
        return Array(static_cast<uint32_t*>(p), ArrayFree{true});
    }
#endif
    return Array(static_cast<uint32_t*>(::operator new[](bytes)), ArrayFree{false});
}

// Blocks below this size look only at the pairs of the bytes that occur in
// them: clearing and walking all 65536 pairs would cost more than sorting a
// small block (-b 100 on 300 KB of text took 10 times as long as the block
// sort before). Larger blocks take every byte value, which costs them nothing.
constexpr uint32_t kAllBytesFrom = 1u << 16;

// Counts, then bucket pointers. Only the entries of pairs of bytes in `used`
// are cleared and read.
struct Buckets {
    uint32_t a[256];      // type-A suffixes per first byte; later the next free A place
    uint32_t start[257];  // first place of each first byte's bucket
    uint32_t b[kPairs];   // type-B suffixes (B* included) per (first, second) byte; later part ends
    uint32_t bs[kPairs];  // B* suffixes per pair; later where they go
    uint8_t used[256];    // the byte values that may occur, ascending
    uint32_t usedCount;

    // Calls f(x) for every pair x = c0 << 8 | c1 of used bytes with c0 < c1
    // (the pairs a B* suffix can start with), in increasing order.
    template <class F>
    void forEachStarPair(F&& f) const {
        for (uint32_t i = 0; i < usedCount; ++i) {
            for (uint32_t j = i + 1; j < usedCount; ++j) f(uint32_t{used[i]} << 8 | used[j]);
        }
    }
};

inline uint32_t pairOf(const uint8_t* t, uint32_t p) { return uint32_t{t[p]} << 8 | t[p + 1]; }

// Walks the types from the right end to the left, 64 positions at a time:
// onByte(c0, c1, isB) for every position i < n-1 (c0 = t[i], c1 = t[i+1]),
// then onStar(p) for the B* positions of the stretch, right to left. The
// type chain is computed without branches and the B* positions are taken
// from a bit mask, so the walk costs no mispredicted branch per position.
// The masks go to starWords[0..] in the order of the stretches, when given
// (see forEachBStarFromRight).
// (bench_bwt forwardBwt/python_10MiB, timed by stage: 650 -> 582 ms in
// all, cc1plus_10MiB 710 -> 655 ms, against a walk that branched on the
// types.)
template <class OnByte, class OnStar>
void walkTypesFromRight(const uint8_t* t, uint32_t n, uint64_t* starWords, OnByte&& onByte,
                        OnStar&& onStar) {
    uint32_t nextIsB = 0;  // the last byte's suffix is type A
    uint32_t c1 = t[n - 1];
    for (uint32_t hi = n - 1; hi > 0;) {
        const uint32_t lo = hi > 64 ? hi - 64 : 0;
        uint64_t stars = 0;
        for (uint32_t i = hi; i-- > lo;) {
            const uint32_t c0 = t[i];
            const uint32_t isB =
                static_cast<uint32_t>(c0 < c1) | (static_cast<uint32_t>(c0 == c1) & nextIsB);
            onByte(c0, c1, isB);
            stars |= uint64_t{isB & (nextIsB ^ 1u)} << (i - lo);
            nextIsB = isB;
            c1 = c0;
        }
        if (starWords != nullptr) *starWords++ = stars;
        while (stars != 0) {
            const int bit = 63 - std::countl_zero(stars);
            onStar(lo + static_cast<uint32_t>(bit));
            stars ^= uint64_t{1} << bit;
        }
        hi = lo;
    }
}

// The B* positions as the masks of the stretches of walkTypesFromRight:
// word w holds bit p - lo for the B* positions p of [lo, hi), where
// hi = n-1 - 64w and lo = max(hi - 64, 0). Taken once while the types are
// counted, so the later passes over the B* positions need not work out the
// types again; n/8 bytes. (bench_bwt forwardBwt, medians of three
// interleaved runs against a walk of the types per pass: html 3.81 -> 3.46
// ms, alice29.txt 6.11 -> 5.56, paper-100k.pdf 2.81 -> 2.48, python_10MiB
// 550 -> 472 ms, cc1plus_10MiB 553 -> 486.)
inline size_t starWordCount(uint32_t n) { return (size_t{n} - 1 + 63) / 64; }

// Calls f(p) for every B* position, from the right end to the left.
template <class F>
void forEachBStarFromRight(const uint64_t* starWords, uint32_t n, F&& f) {
    for (uint32_t hi = n - 1; hi > 0;) {
        const uint32_t lo = hi > 64 ? hi - 64 : 0;
        uint64_t stars = *starWords++;
        while (stars != 0) {
            const int bit = 63 - std::countl_zero(stars);
            f(lo + static_cast<uint32_t>(bit));
            stars ^= uint64_t{1} << bit;
        }
        hi = lo;
    }
}

// Counts the types; returns the number of B* suffixes.
// The B* positions go to starWords[0..starWordCount(n)).
uint32_t classify(const uint8_t* t, uint32_t n, Buckets& bk, uint64_t* starWords) {
    std::memset(bk.a, 0, sizeof bk.a);
    if (n >= kAllBytesFrom) {
        for (uint32_t c = 0; c < 256; ++c) bk.used[c] = static_cast<uint8_t>(c);
        bk.usedCount = 256;
        std::memset(bk.b, 0, sizeof bk.b);
        std::memset(bk.bs, 0, sizeof bk.bs);
    } else {
        bool seen[256] = {};
        for (uint32_t i = 0; i < n; ++i) seen[t[i]] = true;
        bk.usedCount = 0;
        for (uint32_t c = 0; c < 256; ++c) {
            if (seen[c]) bk.used[bk.usedCount++] = static_cast<uint8_t>(c);
        }
        for (uint32_t i = 0; i < bk.usedCount; ++i) {
            for (uint32_t j = i; j < bk.usedCount; ++j) {
                const uint32_t x = uint32_t{bk.used[i]} << 8 | bk.used[j];
                bk.b[x] = 0;
                bk.bs[x] = 0;
            }
        }
    }
    uint32_t m = 0;
    ++bk.a[t[n - 1]];
    walkTypesFromRight(
        t, n, starWords,
        [&bk](uint32_t c0, uint32_t c1, uint32_t isB) {
            bk.a[c0] += isB ^ 1u;
            bk.b[c0 << 8 | c1] += isB;
        },
        [&](uint32_t p) {
            ++bk.bs[pairOf(t, p)];
            ++m;
        });
    return m;
}

inline uint64_t loadBigEndian64(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
#if defined(__GNUC__) || defined(__clang__)
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    return w;
#else
    w = 0;
    for (int k = 0; k < 8; ++k) w = w << 8 | p[k];
    return w;
#endif
}

// Multikey quicksort of B* positions by their substrings, seven bytes per
// step. lim[p/2] is the end of p's substring in the text (exclusive).
// Finished groups get their number (the place just past them) in lim[p/2],
// which no longer is needed then.
class SubstringSort {
public:
    // A member of a part being sorted in the working copy: its key at the
    // part's depth and its position.
    struct Item {
        uint64_t key;
        uint32_t pos;
    };

    // items[0..capacity) is the working copy, capacity > kInsertionMax.
    SubstringSort(const uint8_t* t, uint32_t n, uint32_t* order, uint32_t* lim, Item* items,
                  uint32_t capacity)
        : t_(t), n_(n), order_(order), lim_(lim), items_(items), capacity_(capacity) {}

    // Sorts order[lo..hi), whose members share their first `depth` bytes.
    // Returns whether some substrings are equal.
    // Groups of equal substrings finished so far.
    uint32_t groups() const { return groups_; }
    bool sort(uint32_t lo, uint32_t hi, uint32_t depth);

private:
    struct Part {
        uint32_t lo, hi, depth;
        bool fresh;  // in the working copy: the keys at `depth` are still to be read
    };
    // The next seven bytes of p's substring from `depth` on, big-endian,
    // with the bytes past its end cleared, above how many of them it still
    // has (0 to 7). A substring that ends is below every one it is a prefix
    // of: its cleared bytes are at most the other's and its count smaller.
    uint64_t key(uint32_t p, uint32_t depth) const {
        const uint32_t at = p + depth;
        const uint32_t lim = lim_[p >> 1];
        const uint32_t left = at < lim ? lim - at : 0;
        uint64_t w;
        if (size_t{at} + 8 <= n_) {
            w = loadBigEndian64(t_ + at) >> 8;
        } else {
            w = 0;
            for (uint32_t k = 0; k < kStep; ++k) w = w << 8 | (at + k < n_ ? t_[at + k] : 0u);
        }
        if (left < kStep) {
            w = left == 0 ? 0 : w & (~uint64_t{0} << (8 * (kStep - left)));
            return w << 3 | left;
        }
        return w << 3 | kStep;
    }
    static bool ended(uint64_t key) { return (key & 7) < kStep; }
    static constexpr uint32_t kStep = 7;  // bytes per key
    // order[lo..hi) are equal substrings: each member gets the group number
    // hi. A member alone keeps its place with kMark on it, and kMark on its
    // number; the last place of a larger group gives way to its first place,
    // from where the reduced string's order is rebuilt.
    void finish(uint32_t lo, uint32_t hi) {
        ++groups_;
        if (hi - lo == 1) {
            const uint32_t p = order_[lo];
            lim_[p >> 1] = hi | kMark;
            order_[lo] = p | kMark;
            return;
        }
        for (uint32_t k = lo; k < hi; ++k) lim_[order_[k] >> 1] = hi;
        order_[hi - 1] = lo;
        ties_ = true;
    }
    void sortInCopy(uint32_t lo, uint32_t hi, uint32_t depth);
    template <class Elem, class KeyAt, class Hint, class FinishEqual>
    static bool partitionStep(Elem* a, Part& part, std::vector<Part>& stack, KeyAt keyAt, Hint hint,
                              FinishEqual finishEqual);
    void readKeys(uint32_t l, uint32_t h, uint32_t depth);

    const uint8_t* t_;
    uint32_t n_;
    uint32_t* order_;
    uint32_t* lim_;
    Item* items_;
    uint32_t capacity_;
    bool ties_ = false;
    uint32_t groups_ = 0;
    std::vector<Part> stack_;
    std::vector<Part> copyStack_;
};

// One step of the multikey quicksort on a[part.lo..part.hi): a three-way
// partition around the median of the keys at three places (keyAt(element,
// depth); hint(i, gt) before the element at i is read). The equal part goes
// on seven bytes deeper unless its substrings have all ended, in which case
// finishEqual(lt, gt) takes it. The smallest part left is returned in `part`
// and the others go on the stack, so that it stays logarithmic; false when
// no part is left.
template <class Elem, class KeyAt, class Hint, class FinishEqual>
bool SubstringSort::partitionStep(Elem* a, Part& part, std::vector<Part>& stack, KeyAt keyAt, Hint hint,
                                  FinishEqual finishEqual) {
    const uint32_t l = part.lo;
    const uint32_t h = part.hi;
    const uint32_t d = part.depth;
    uint64_t x = keyAt(a[l], d);
    uint64_t y = keyAt(a[l + (h - l) / 2], d);
    const uint64_t z = keyAt(a[h - 1], d);
    if (x > y) std::swap(x, y);
    if (y > z) y = std::max(x, z);
    const uint64_t pivot = y;
    // [l,lt) below, [lt,gt) equal, [gt,h) above.
    uint32_t lt = l;
    uint32_t gt = h;
    uint32_t i = l;
    while (i < gt) {
        hint(i, gt);
        const uint64_t k = keyAt(a[i], d);
        if (k < pivot) {
            std::swap(a[lt++], a[i++]);
        } else if (k > pivot) {
            std::swap(a[i], a[--gt]);
        } else {
            ++i;
        }
    }
    Part parts[3] = {{l, lt, d, false}, {lt, gt, d + kStep, true}, {gt, h, d, false}};
    if (ended(pivot)) {
        finishEqual(lt, gt);
        parts[1].hi = lt;
    }
    int next = -1;
    for (int k = 0; k < 3; ++k) {
        if (parts[k].hi == parts[k].lo) continue;
        if (next < 0 || parts[k].hi - parts[k].lo < parts[next].hi - parts[next].lo) next = k;
    }
    if (next < 0) return false;
    for (int k = 0; k < 3; ++k) {
        if (k != next && parts[k].hi != parts[k].lo) stack.push_back(parts[k]);
    }
    part = parts[next];
    return true;
}

// Keys of items[l..h) at `depth`, with the text and substring ends of the
// members a few places ahead asked for early.
void SubstringSort::readKeys(uint32_t l, uint32_t h, uint32_t depth) {
    Item* const a = items_;
    for (uint32_t k = l; k < h; ++k) {
        if (k + kSortPrefetchDistance < h) {
            const uint32_t ahead = a[k + kSortPrefetchDistance].pos;
            MORV_PREFETCH_READ(t_ + ahead + depth);
            MORV_PREFETCH_READ(lim_ + (ahead >> 1));
        }
        a[k].key = key(a[k].pos, depth);
    }
}

// Sorts order[lo..hi) (at most capacity_ members sharing `depth` bytes) in
// the working copy. Each member's key is read once per depth: the parts
// below and above a pivot keep the keys they have, only the equal part reads
// the next seven bytes. (bench_bwt, against partitions that read every key
// from the text: the substring sort on python_10MiB 217 -> 120 ms, on
// cc1plus_10MiB 296 -> about 180 ms; forwardBwt/cc1plus_10MiB 655 -> 530 ms.)
void SubstringSort::sortInCopy(uint32_t lo, uint32_t hi, uint32_t depth) {
    Item* const a = items_;
    for (uint32_t k = 0; k < hi - lo; ++k) a[k].pos = order_[lo + k];
    auto finishItems = [&](uint32_t i, uint32_t j) {
        for (uint32_t k = i; k < j; ++k) order_[lo + k] = a[k].pos;
        finish(lo + i, lo + j);
    };
    copyStack_.clear();
    copyStack_.push_back(Part{0, hi - lo, depth, true});
    while (!copyStack_.empty()) {
        Part part = copyStack_.back();
        copyStack_.pop_back();
        for (;;) {
            const uint32_t l = part.lo;
            const uint32_t h = part.hi;
            const uint32_t d = part.depth;
            if (h - l == 1) {
                finishItems(l, h);
                break;
            }
            if (part.fresh) readKeys(l, h, d);
            if (h - l <= kInsertionMax) {
                for (uint32_t i = l + 1; i < h; ++i) {
                    const Item x = a[i];
                    uint32_t j = i;
                    for (; j > l && a[j - 1].key > x.key; --j) a[j] = a[j - 1];
                    a[j] = x;
                }
                for (uint32_t i = l; i < h;) {
                    uint32_t j = i + 1;
                    while (j < h && a[j].key == a[i].key) ++j;
                    if (j - i == 1 || ended(a[i].key)) {
                        finishItems(i, j);
                    } else {
                        copyStack_.push_back(Part{i, j, d + kStep, true});
                    }
                    i = j;
                }
                break;
            }
            if (!partitionStep(
                    a, part, copyStack_, [](const Item& e, uint32_t) { return e.key; },
                    [](uint32_t, uint32_t) {}, finishItems)) {
                break;
            }
        }
    }
}

bool SubstringSort::sort(uint32_t lo, uint32_t hi, uint32_t depth) {
    ties_ = false;
    stack_.clear();
    stack_.push_back(Part{lo, hi, depth, false});
    while (!stack_.empty()) {
        Part part = stack_.back();
        stack_.pop_back();
        for (;;) {
            const uint32_t size = part.hi - part.lo;
            if (size <= capacity_) {
                sortInCopy(part.lo, part.hi, part.depth);
                break;
            }
            auto keyAt = [this](uint32_t p, uint32_t depth) { return key(p, depth); };
            const uint32_t d = part.depth;
            auto hint = [this, d](uint32_t i, uint32_t gt) {
                if (i + kSortPrefetchDistance < gt) {
                    const uint32_t ahead = order_[i + kSortPrefetchDistance];
                    MORV_PREFETCH_READ(t_ + ahead + d);
                    MORV_PREFETCH_READ(lim_ + (ahead >> 1));
                }
            };
            auto finishEqual = [this](uint32_t lt, uint32_t gt) { finish(lt, gt); };
            if (!partitionStep(order_, part, stack_, keyAt, hint, finishEqual)) break;
        }
    }
    return ties_;
}

// Enters member r into group g (whose last place is g-1) while an order is
// built group by group: order[g-1] holds the group's next place to fill (its
// first place to start with), and the last member takes place g-1 itself.
inline void enterGroupMember(uint32_t* order, uint32_t g, uint32_t r) {
    const uint32_t slot = order[g - 1];
    if (slot == g - 1) {
        order[g - 1] = r;
    } else {
        order[slot] = r;
        order[g - 1] = slot + 1;
    }
}

// Sorting the reduced string by induced sorting (SA-IS). The string
// s[0..len] ends with s[len] = 0, the unique smallest symbol; every symbol is
// below `alphabet`. Bit 31 of each symbol holds its suffix's type (set for
// type S, smaller than the next suffix) while the sort runs. The string of
// the next level (its LMS substrings named by rank) is at most half as long
// and is sorted the same way in the upper part of sa; its buckets go where
// they fit (the caller's table, then the gap in sa between the next level's
// suffix array and string), and where neither holds them the prefix
// doubling of SuffixSorter sorts that level instead. Each level keeps only
// a few locals, and there are at most log2(len) levels.
constexpr uint32_t kTypeS = 0x80000000u;
constexpr uint32_t kEmpty = 0xFFFFFFFFu;
// How far ahead the reduced string's induced scans ask for symbols.
constexpr uint32_t kReducedAhead = 16;

class ReducedSort {
public:
    // sa[0..len] receives the sorted suffixes of s; bkt[0..bktSize) is
    // scratch, bktSize >= alphabet.
    ReducedSort(uint32_t* s, uint32_t len, uint32_t alphabet, uint32_t* sa, uint32_t* bkt,
                size_t bktSize)
        : s_(s), len_(len), alphabet_(alphabet), sa_(sa), bkt_(bkt), bktSize_(bktSize) {}

    void run() {
        markTypes();
        // Unsorted LMS suffixes at their bucket ends, then both induced
        // scans: the LMS substrings come out sorted.
        fillTails();
        for (uint32_t i = 0; i <= len_; ++i) sa_[i] = kEmpty;
        for (uint32_t i = 1; i < len_; ++i) {
            if (isLms(i)) sa_[--bkt_[sym(i)]] = i;
        }
        sa_[0] = len_;
        induce();
        uint32_t n1 = 0;
        for (uint32_t i = 0; i <= len_; ++i) {
            const uint32_t j = sa_[i];
            if (isLms(j)) sa_[n1++] = j;
        }
        const bool distinct = nameSubstrings(n1);
        uint32_t* const s1 = sa_ + len_ + 1 - n1;
        uint32_t* const order = sa_;
        if (distinct) {
            for (uint32_t r = 0; r < n1; ++r) order[s1[r] - 1] = r;
        } else if (n1 + 1 <= bktSize_) {
            ReducedSort(s1, n1 - 1, n1 + 1, order, bkt_, bktSize_).run();
        } else if (n1 + 1 <= len_ + 1 - 2 * n1) {
            ReducedSort(s1, n1 - 1, n1 + 1, order, sa_ + n1, len_ + 1 - 2 * n1).run();
        } else {
            refineNames(s1, n1);
        }
        // The LMS positions in text order replace s1; the sorted reduced
        // suffixes become sorted LMS positions, placed at their bucket ends
        // from the largest down for the final induced scans.
        uint32_t j = 0;
        for (uint32_t i = 1; i <= len_; ++i) {
            if (isLms(i)) s1[j++] = i;
        }
        for (uint32_t i = 0; i < n1; ++i) sa_[i] = s1[sa_[i]];
        for (uint32_t i = n1; i <= len_; ++i) sa_[i] = kEmpty;
        fillTails();
        for (uint32_t i = n1; i-- > 1;) {
            const uint32_t p = sa_[i];
            sa_[i] = kEmpty;
            sa_[--bkt_[sym(p)]] = p;
        }
        induce();
        for (uint32_t i = 0; i <= len_; ++i) s_[i] &= ~kTypeS;
    }

private:
    uint32_t sym(uint32_t i) const { return s_[i] & ~kTypeS; }
    bool isS(uint32_t i) const { return (s_[i] & kTypeS) != 0; }
    bool isLms(uint32_t i) const { return i > 0 && i <= len_ && isS(i) && !isS(i - 1); }

    void markTypes() {
        s_[len_] |= kTypeS;
        uint32_t next = s_[len_];
        for (uint32_t i = len_; i-- > 0;) {
            const uint32_t c = s_[i];
            const uint32_t nextSym = next & ~kTypeS;
            const bool typeS = c < nextSym || (c == nextSym && (next & kTypeS) != 0);
            s_[i] = c | (typeS ? kTypeS : 0u);
            next = s_[i];
        }
    }
    void count() {
        std::fill(bkt_, bkt_ + alphabet_, 0u);
        for (uint32_t i = 0; i <= len_; ++i) ++bkt_[sym(i)];
    }
    void fillTails() {
        count();
        uint32_t sum = 0;
        for (uint32_t v = 0; v < alphabet_; ++v) {
            sum += bkt_[v];
            bkt_[v] = sum;
        }
    }
    void fillHeads() {
        count();
        uint32_t sum = 0;
        for (uint32_t v = 0; v < alphabet_; ++v) {
            const uint32_t c = bkt_[v];
            bkt_[v] = sum;
            sum += c;
        }
    }
    // From the seeds in place: type-L suffixes from the left, then type-S
    // ones from the right.
    void induce() {
        fillHeads();
        for (uint32_t i = 0; i <= len_; ++i) {
            hintAhead(i + 2 * kReducedAhead, i + kReducedAhead);
            const uint32_t j = sa_[i];
            if (j != kEmpty && j > 0 && !isS(j - 1)) sa_[bkt_[sym(j - 1)]++] = j - 1;
        }
        fillTails();
        for (uint32_t i = len_ + 1; i-- > 0;) {
            if (i >= 2 * kReducedAhead) hintAhead(i - 2 * kReducedAhead, i - kReducedAhead);
            const uint32_t j = sa_[i];
            if (j != kEmpty && j > 0 && isS(j - 1)) sa_[--bkt_[sym(j - 1)]] = j - 1;
        }
    }
    // Asks for the symbol before the suffix at place far, and for the bucket
    // of the one before the suffix at place near (whose symbol was asked for
    // earlier). Places past the end are skipped.
    void hintAhead(uint32_t far, uint32_t near) const {
        if (far <= len_) {
            const uint32_t j = sa_[far];
            MORV_PREFETCH_READ(s_ + (j - 1 < len_ ? j - 1 : 0));
        }
        if (near <= len_) {
            const uint32_t j = sa_[near];
            if (j - 1 < len_) MORV_PREFETCH_READ(bkt_ + sym(j - 1));
        }
    }
    // Whether the LMS substrings at a and b (up to and including the next
    // LMS position) are equal in symbols and types.
    bool sameSubstring(uint32_t a, uint32_t b) const {
        if (a == len_ || b == len_) return false;
        for (uint32_t d = 0;; ++d) {
            if (s_[a + d] != s_[b + d]) return false;
            if (d > 0 && (isLms(a + d) || isLms(b + d))) return true;
        }
    }
    // Names the n1 sorted LMS substrings in sa[0..n1) by the place just past
    // their run of equals (the end suffix gets 1) and leaves the string of
    // names at the end of sa[0..len] in text order. The last place of each
    // run gets the run's first place. True when all differ.
    bool nameSubstrings(uint32_t n1) {
        for (uint32_t i = n1; i <= len_; ++i) sa_[i] = kEmpty;
        uint32_t end = n1;
        uint32_t prev = sa_[n1 - 1];
        sa_[n1 + (prev >> 1)] = end;
        bool distinct = true;
        for (uint32_t i = n1 - 1; i-- > 0;) {
            const uint32_t p = sa_[i];
            if (!sameSubstring(p, prev)) {
                sa_[end - 1] = i + 1;
                end = i + 1;
            } else {
                distinct = false;
            }
            sa_[n1 + (p >> 1)] = end;
            prev = p;
        }
        sa_[end - 1] = 0;
        uint32_t j = len_ + 1;
        for (uint32_t i = len_ + 1; i-- > n1;) {
            if (sa_[i] != kEmpty) sa_[--j] = sa_[i];
        }
        return distinct;
    }
    // Sorts the string of names s1[0..n1) by prefix doubling into
    // sa[0..n1). sa[g-1] holds where group g's next member goes (its first
    // place to start with); the last member takes that place itself.
    void refineNames(uint32_t* s1, uint32_t n1) {
        uint32_t* const order = sa_;
        for (uint32_t r = 0; r < n1; ++r) enterGroupMember(order, s1[r], r);
        {
            SuffixSorter sorter;
            sorter.attach(order, s1, n1);
            sorter.refine(1);
        }
        for (uint32_t r = 0; r < n1; ++r) order[s1[r] - 1] = r;
    }

    uint32_t* s_;
    uint32_t len_;
    uint32_t alphabet_;
    uint32_t* sa_;
    uint32_t* bkt_;
    size_t bktSize_;
};

// What the substring sort of some pairs' parts found: whether substrings
// tie, and how many groups of equal substrings (single ones included) it
// finished.
struct StarTally {
    bool ties = false;
    uint32_t groups = 0;
};

// How many threads sort the substrings of a block of n bytes with m B*
// suffixes, when `threads` may run: one for small blocks, where starting
// a thread costs more than it can save.
uint32_t starSortThreads(uint32_t n, uint32_t m, unsigned threads) {
#if MORV_HAVE_THREADS
    if (n < kParallelMinBlock || threads <= 1) return 1;
    return static_cast<uint32_t>(
        std::min<uint64_t>({threads, kMaxStarThreads, m / kStarsPerThread + 1}));
#else
    (void)n;
    (void)m;
    (void)threads;
    return 1;
#endif
}

// The pairs' parts cut into chunks of about equal numbers of B* suffixes,
// handed out in order: chunk c is the parts [cuts[c], cuts[c+1]).
struct StarChunks {
    std::vector<size_t> cuts;
    std::atomic<size_t> next{0};
};

// Sorts the chunks it takes from `chunks` until none is left, part by part,
// each member's group number going to lim[p/2]. items[0..capacity) is its
// working copy; when that is short, it takes one of its own.
StarTally sortStarChunks(const uint8_t* t, uint32_t n, uint32_t* order, uint32_t* lim,
                         const std::vector<uint32_t>& bounds, StarChunks& chunks,
                         SubstringSort::Item* items, size_t capacity) {
    // No part has more than m members, so a small block takes no more than
    // it can use.
    const uint32_t m = bounds.back() - 1;
    const uint32_t wanted = std::max(std::min(kOwnItems, m), kInsertionMax + 1);
    std::unique_ptr<SubstringSort::Item[]> ownItems;
    if (items == nullptr || capacity < wanted) {
        ownItems = std::make_unique_for_overwrite<SubstringSort::Item[]>(wanted);
        items = ownItems.get();
        capacity = wanted;
    }
    SubstringSort substrings(t, n, order, lim, items,
                             static_cast<uint32_t>(std::min<size_t>(capacity, kMark)));
    StarTally tally;
    uint32_t singles = 0;  // substrings alone in their pair
    for (;;) {
        const size_t c = chunks.next.fetch_add(1, std::memory_order_relaxed);
        if (c + 1 >= chunks.cuts.size()) break;
        for (size_t k = chunks.cuts[c]; k < chunks.cuts[c + 1]; ++k) {
            const uint32_t lo = bounds[k];
            const uint32_t hi = bounds[k + 1];
            if (hi - lo == 1) {
                ++singles;
                lim[order[lo] >> 1] = hi | kMark;
                order[lo] |= kMark;
            } else if (hi - lo > 1) {
                tally.ties |= substrings.sort(lo, hi, 2);
            }
        }
    }
    tally.groups = substrings.groups() + singles;
    return tally;
}

// Sorts every pair's part by the substrings, on `workers` threads. The
// parts are independent: a part's sort reads the text and the substring
// ends of its own members and writes only its own places of `order` and
// its own members' entries of `lim`. So the pairs are cut into chunks of
// about equal numbers of B* suffixes, several per thread, which the threads
// take in turn as they finish the last (the work per B* suffix differs
// much between pairs); each thread has its own slice of the working copy
// (items, sliceItems per thread). The result does not depend on which
// thread sorts what. Where no thread can be started, the calling thread
// sorts what is left.
StarTally sortStarParts(const uint8_t* t, uint32_t n, uint32_t* order, uint32_t* lim,
                        const std::vector<uint32_t>& bounds, SubstringSort::Item* items,
                        size_t sliceItems, uint32_t workers) {
    const size_t parts = bounds.size() - 1;
    StarChunks chunks;
    if (workers <= 1) {
        chunks.cuts = {0, parts};
        return sortStarChunks(t, n, order, lim, bounds, chunks, items, sliceItems);
    }
#if MORV_HAVE_THREADS
    // Chunk c starts with the first part that starts at or past c/count of
    // the B* suffixes.
    const uint32_t m = bounds[parts] - 1;
    const uint32_t count = workers * kStarChunksPerThread;
    chunks.cuts.assign(count + 1, parts);
    chunks.cuts[0] = 0;
    for (uint32_t c = 1; c < count; ++c) {
        const uint32_t target = 1 + static_cast<uint32_t>(uint64_t{m} * c / count);
        chunks.cuts[c] = static_cast<size_t>(std::lower_bound(bounds.begin(), bounds.end() - 1, target) -
                                             bounds.begin());
    }
    std::vector<StarTally> tallies(workers);
    std::vector<std::exception_ptr> failures(workers);
    auto run = [&](uint32_t w) {
        try {
            SubstringSort::Item* slice = items != nullptr ? items + sliceItems * w : nullptr;
            tallies[w] = sortStarChunks(t, n, order, lim, bounds, chunks, slice, sliceItems);
        } catch (...) {
            failures[w] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(workers - 1);
    for (uint32_t w = 1; w < workers; ++w) {
        try {
            threads.emplace_back(run, w);
        } catch (const std::system_error&) {
            break;
        }
    }
    run(0);
    for (std::thread& thread : threads) thread.join();
    // A thread that failed left its chunk unsorted; the first failure passes on.
    StarTally tally;
    for (uint32_t w = 0; w < workers; ++w) {
        if (failures[w]) std::rethrow_exception(failures[w]);
        tally.ties |= tallies[w].ties;
        tally.groups += tallies[w].groups;
    }
    return tally;
#else
    chunks.cuts = {0, parts};
    return sortStarChunks(t, n, order, lim, bounds, chunks, items, sliceItems);
#endif
}

// Stage one: sorts the m >= 1 B* suffixes into sa[0..m), the substrings on
// up to `threads` threads. starWords: the B* positions from classify.
void sortBStar(const uint8_t* t, uint32_t n, uint32_t m, uint32_t* sa, Buckets& bk,
               const uint64_t* starWords, unsigned threads) {
    const uint32_t half = n / 2;
    uint32_t* const order = sa;        // places 1..m; place 0 is the reduced end
    uint32_t* const lim = sa + m + 1;  // indexed by p/2
    uint32_t* const group = sa + half + 1;

    // B* pair counts into part ends, in pair order (which is suffix order);
    // placing each suffix at the end of its part turns them into starts.
    uint32_t sum = 1;
    bk.forEachStarPair([&](uint32_t x) {
        sum += bk.bs[x];
        bk.bs[x] = sum;
    });
    uint32_t next = n;  // the next B* position to the right; n for the last
    forEachBStarFromRight(starWords, n, [&](uint32_t p) {
        order[--bk.bs[pairOf(t, p)]] = p;
        lim[p >> 1] = next == n ? n : next + 2;
        next = p;
    });

    // The pairs' parts in pair order: part k is order[bounds[k]..bounds[k+1]).
    std::vector<uint32_t> bounds;
    bk.forEachStarPair([&](uint32_t x) { bounds.push_back(bk.bs[x]); });
    bounds.push_back(m + 1);

    // The working copy of the substring sort: the array's free end past
    // `lim`, cut into one slice per thread.
    const uint32_t workers = starSortThreads(n, m, threads);
    const size_t freeBytes = (size_t{n} + 2 - (m + 1 + size_t{half})) * sizeof(uint32_t);
    void* freeEnd = lim + half;
    size_t space = freeBytes;
    auto* items = static_cast<SubstringSort::Item*>(
        std::align(alignof(SubstringSort::Item), sizeof(SubstringSort::Item), freeEnd, space));
    const size_t sliceItems = items != nullptr ? space / sizeof(SubstringSort::Item) / workers : 0;
    const StarTally tally = sortStarParts(t, n, order, lim, bounds, items, sliceItems, workers);

    if (!tally.ties) {
        // Every substring differs: the order is final.
        for (uint32_t i = 0; i < m; ++i) sa[i] = order[i + 1] & ~kMark;
        return;
    }

    // A reduced string of few distinct symbols (long repeats, periodic
    // blocks) is sorted by induced sorting: in linear time, where the
    // doubling would take a pass over nearly all of it per doubled depth.
    // Its buckets (one per distinct substring, plus the end) go in the
    // array's free end past the string, or in a table of at most 1 MiB.
    // (bench_bwt forwardBwt, two runs side by side with the doubling:
    // corpus_10MiB 793/906 -> 648/579 ms, ab_10MiB 545/493 -> 421/374 ms,
    // random1000_10MiB 717/630 -> 579/493 ms. Timed by stage, the induced
    // sort loses where many symbols differ: python_10MiB (11% distinct)
    // 274 -> 405 ms, cc1plus_10MiB (43%) 206 -> 414 ms; there the doubling
    // only touches the groups that tie.)
    const uint32_t alphabet = tally.groups + 1;
    const size_t tail = size_t{n} - 2 * size_t{m};
    if (alphabet <= m / kInducedReducedMinRepeat && (alphabet <= tail || alphabet <= kOwnBuckets)) {
        uint32_t k = m;
        forEachBStarFromRight(starWords, n, [&](uint32_t p) { group[--k] = lim[p >> 1] & ~kMark; });
        group[m] = 1;
        uint32_t* const s = sa + m + 1;
        std::memmove(s, group, (size_t{m} + 1) * sizeof(uint32_t));
        // Group numbers to ranks 0..alphabet-1, through a table of the
        // group ends in order[0..m].
        std::fill(order, order + m + 1, 0u);
        for (uint32_t i = 0; i <= m; ++i) order[s[i] - 1] = 1;
        uint32_t rank = 0;
        for (uint32_t i = 0; i <= m; ++i) {
            if (order[i] != 0) order[i] = rank++;
        }
        assert(rank == alphabet);
        for (uint32_t i = 0; i <= m; ++i) s[i] = order[s[i] - 1];
        std::unique_ptr<uint32_t[]> ownBuckets;
        uint32_t* bkt = s + m + 1;
        size_t bktSize = tail;
        if (alphabet > tail) {
            ownBuckets = std::make_unique_for_overwrite<uint32_t[]>(alphabet);
            bkt = ownBuckets.get();
            bktSize = alphabet;
        }
        ReducedSort(s, m, alphabet, order, bkt, bktSize).run();
        ownBuckets.reset();
        k = m;
        forEachBStarFromRight(starWords, n, [&](uint32_t p) { s[--k] = p; });
        for (uint32_t i = 0; i < m; ++i) sa[i] = s[order[i + 1]];
        return;
    }
    // The reduced string: suffix k (the k-th B* from the left) has the group
    // number of its substring. Places alone become sorted places; the
    // members of larger groups are entered as reduced indices, the last
    // place of each group holding the next place to fill until its turn.
    for (uint32_t i = 1; i <= m; ++i) {
        if (order[i] & kMark) order[i] = kRun + 1;
    }
    // From the right, so that group[k] (at or past lim[p/2]) is written
    // after every lim entry left of p is read.
    uint32_t k = m;
    forEachBStarFromRight(starWords, n, [&](uint32_t p) {
        --k;
        const uint32_t v = lim[p >> 1];
        const uint32_t g = v & ~kMark;
        group[k] = g;
        if ((v & kMark) == 0) enterGroupMember(order, g, k);
    });
    order[0] = m;
    group[m] = 1;
    {
        SuffixSorter sorter;
        sorter.attach(order, group, m + 1);
        sorter.refine(1);
    }
    k = m;
    forEachBStarFromRight(starWords, n, [&](uint32_t p) { sa[group[--k] - 2] = p; });
}

// Stage two, first scan: places the sorted B* suffixes and induces every
// type-B suffix from the right. Entries whose predecessor is type B (or
// which have none) are marked; the others are left for the second scan.
void induceTypeB(const uint8_t* t, uint32_t n, uint32_t m, uint32_t* sa, Buckets& bk) {
    // Bucket starts; type-B part ends (b) and B* part ends (bs) of each pair.
    // The group start of stage one of the star pair after (used[i], used[j]):
    // where that pair's group ends.
    const uint32_t used = bk.usedCount;
    auto groupEnd = [&](uint32_t i, uint32_t j) {
        if (j + 1 < used) return bk.bs[uint32_t{bk.used[i]} << 8 | bk.used[j + 1]];
        if (i + 2 < used) return bk.bs[uint32_t{bk.used[i + 1]} << 8 | bk.used[i + 2]];
        return m + 1;
    };
    uint32_t pos = 1;
    uint32_t i = 0;  // index of c0 in used, when it is there
    for (uint32_t c0 = 0; c0 < 256; ++c0) {
        bk.start[c0] = pos;
        pos += bk.a[c0];
        if (i == used || bk.used[i] != c0) continue;  // no pair starts with c0
        for (uint32_t j = i; j < used; ++j) {
            const uint32_t c1 = bk.used[j];
            const uint32_t x = c0 << 8 | c1;
            const uint32_t partStart = pos;
            pos += bk.b[x];
            bk.b[x] = pos;
            if (c1 > c0) {
                // B* counts come back from the group starts of stage one.
                bk.bs[x] = partStart + (m == 0 ? 0 : groupEnd(i, j) - bk.bs[x]);
            }
        }
        ++i;
    }
    bk.start[256] = pos;
    assert(pos == n + 1);
    for (uint32_t r = m; r-- > 0;) {
        const uint32_t p = sa[r];
        sa[--bk.bs[pairOf(t, p)]] = p;
    }
    sa[0] = n;

    for (uint32_t c0 = 256; c0-- > 0;) {
        const uint32_t lo = bk.start[c0] + bk.a[c0];
        for (uint32_t k = bk.start[c0 + 1]; k-- > lo;) {
            const uint32_t j = sa[k];
            if (j == 0) {
                sa[k] = ~0u;
                continue;
            }
            const uint32_t c = t[j - 1];
            if (c <= c0) {
                sa[--bk.b[c << 8 | c0]] = j - 1;
                sa[k] = ~j;
            }
        }
    }
}

// Stage two, second scan: induces every type-A suffix from the left and
// hands each place k >= 1 with its suffix j to emit(k, j).
template <class Emit>
void induceTypeA(const uint8_t* t, uint32_t n, uint32_t* sa, Buckets& bk, Emit&& emit) {
    for (uint32_t c = 0; c < 256; ++c) bk.a[c] = bk.start[c];
    auto place = [&](uint32_t i) {
        const uint32_t c = t[i];
        sa[bk.a[c]++] = i > 0 && t[i - 1] >= c ? i : ~i;
    };
    place(n - 1);  // induced by the end suffix at place 0
    for (uint32_t k = 1; k <= n; ++k) {
        const uint32_t x = sa[k];
        if (x & kMark) {
            emit(k, ~x);
        } else {
            emit(k, x);
            place(x - 1);
        }
    }
}

// Sorts and leaves the classified, B*-sorted and type-B-induced array.
void sortToTypeA(const uint8_t* t, uint32_t n, uint32_t* sa, Buckets& bk, unsigned threads) {
    const auto starWords = std::make_unique_for_overwrite<uint64_t[]>(starWordCount(n));
    const uint32_t m = classify(t, n, bk, starWords.get());
    if (m > 0) sortBStar(t, n, m, sa, bk, starWords.get(), threads);
    induceTypeB(t, n, m, sa, bk);
}

}  // namespace

std::vector<uint32_t> suffixArrayOf(const uint8_t* text, uint32_t n, unsigned threads) {
    assert(n >= 1 && n < kMark);
    const auto bk = std::make_unique_for_overwrite<Buckets>();
    std::vector<uint32_t> sa(size_t{n} + 2);
    sortToTypeA(text, n, sa.data(), *bk, threads);
    uint32_t* const out = sa.data();
    induceTypeA(text, n, out, *bk, [out](uint32_t k, uint32_t j) { out[k] = j; });
    sa.erase(sa.begin());
    sa.resize(n);
    return sa;
}

uint32_t bwtInPlace(uint8_t* text, uint32_t n, unsigned threads) {
    assert(n >= 1 && n < kMark);
    const auto bk = std::make_unique_for_overwrite<Buckets>();
    const Array sa = allocateArray(size_t{n} + 2);
    sortToTypeA(text, n, sa.get(), *bk, threads);
    // Place k of the transform holds the byte before the k-th suffix (the
    // last byte for the whole block). It is written into the array's own
    // bytes: byte k-1 lies in entry (k-1)/4, which the scan has passed.
    uint8_t* const column = reinterpret_cast<uint8_t*>(sa.get());
    uint32_t firstIndex = 0;
    const uint8_t last = text[n - 1];
    induceTypeA(text, n, sa.get(), *bk, [&](uint32_t k, uint32_t j) {
        if (j == 0) {
            column[k - 1] = last;
            firstIndex = k - 1;
        } else {
            column[k - 1] = text[j - 1];
        }
    });
    std::memcpy(text, column, n);
    return firstIndex;
}
