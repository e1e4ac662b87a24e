// Prefix-doubling refinement of a string whose suffixes are already grouped
// by their first symbol (the induced sort's reduced problem: one symbol per
// LMS substring). The doubling passes only touch what still ties, because
// every stretch of finished places is covered by one run marker that a pass
// skips in a single step. Group numbers are the index just past a group's
// end, so a number written during a pass stays between the numbers of the
// groups around it and can be used at once by later groups of the same pass:
// no copy of the group array is ever taken.
#include "transform/PrefixDoubling.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr uint32_t kRun = PrefixDoubling::SortedRun;
constexpr uint32_t kLengthMask = PrefixDoubling::RunLengthMask;

// Groups of up to this many members are split in a working copy of their
// keys and positions: 8 bytes per member, and as much again for the
// partitions, so 256 KiB at most.
constexpr uint32_t kScratchEntries = 1u << 14;
// The working copy starts with room for this many members.
constexpr uint32_t kScratchMinEntries = 1u << 10;
// Parts of a split in the working copy from this size on are partitioned
// without branches; shorter ones in place. (bench_bwt forwardBwt against the
// in-place split for every part, interleaved, fastest run of each:
// python_10MiB 537 -> 504 ms, cc1plus_10MiB 547 -> 496 ms; corpus_10MiB,
// whose reduced string is mostly sorted by induced sorting, unchanged.)
constexpr uint32_t kBranchFreeMin = 16;

// The fixed sorting networks for m = 2, 3 and 4 places: exchange(a, b)
// compare-exchanges places a < b of the stretch.
template <typename Exchange>
inline void runNetwork(uint32_t m, Exchange exchange) {
    switch (m) {
        case 2:
            exchange(0, 1);
            break;
        case 3:
            exchange(0, 1);
            exchange(1, 2);
            exchange(0, 1);
            break;
        case 4:
            exchange(0, 1);
            exchange(2, 3);
            exchange(0, 2);
            exchange(1, 3);
            exchange(1, 2);
            break;
        default:
            break;
    }
}

// The in-place three-way partition of a[lo..hi) around `pivot`, a key that
// occurs in it, with keyOf(element) giving an element's key. Returns (lt, eq):
// [lo, lt) below the pivot, [lt, eq) equal, [eq, hi) above.
template <typename Element, typename KeyOf>
std::pair<uint32_t, uint32_t> partitionAroundPivot(Element* a, uint32_t lo, uint32_t hi, uint32_t pivot,
                                                   KeyOf keyOf) {
    // Phase one: find the first element equal to the pivot, moving larger
    // ones to the back as they are met.
    uint32_t lt = lo;
    uint32_t gt = hi - 1;
    for (;;) {
        const uint32_t k = keyOf(a[lt]);
        if (k < pivot) {
            ++lt;
        } else if (k > pivot) {
            std::swap(a[lt], a[gt]);
            --gt;
        } else {
            break;
        }
    }
    uint32_t eq = lt + 1;
    // Phase two: [lo,lt) < pivot, [lt,eq) = pivot, [eq,gt] open, (gt,hi) > pivot.
    for (;;) {
        uint32_t k = keyOf(a[gt]);
        while (k > pivot) {
            --gt;
            k = keyOf(a[gt]);
        }
        if (k < pivot) {
            const Element small = a[gt];
            a[gt] = a[eq];
            a[eq] = a[lt];
            a[lt] = small;
            ++lt;
            ++eq;
        } else if (gt <= eq) {
            if (gt == eq) ++eq;
            break;
        } else {
            std::swap(a[eq], a[gt]);
            ++eq;
        }
    }
    return {lt, eq};
}

bool isRun(uint32_t entry) { return (entry & kRun) != 0; }

}  // namespace

void PrefixDoubling::attach(uint32_t* order, uint32_t* group, uint32_t count) {
    assert(count >= 1 && count < kRun);
    order_ = order;
    group_ = group;
    count_ = count;
}

void PrefixDoubling::refine(uint32_t step) {
    // Unsorted members p satisfy p + h <= N, so while any group is left
    // h < n; the last pass, which only merges markers, reads no keys.
    for (uint64_t h = step; order_[0] != kRun + count_; h *= 2) {
        step_ = static_cast<uint32_t>(h);
        refinePass();
    }
}

void PrefixDoubling::refinePass() {
    uint32_t i = 0;
    while (i < count_) i = isRun(order_[i]) ? mergeSortedRuns(i) : refineGroup(i);
}

uint32_t PrefixDoubling::mergeSortedRuns(uint32_t i) {
    const uint32_t n = count_;
    uint32_t j = i + (order_[i] & kLengthMask);
    while (j < n && isRun(order_[j])) j += order_[j] & kLengthMask;
    order_[i] = kRun + (j - i);
    return j;
}

bool PrefixDoubling::keysDiffer(uint32_t first, uint32_t end) const {
    const uint32_t k0 = key(order_[first]);
    if (end - first <= 4) {
        uint32_t differ = 0;
        for (uint32_t k = first + 1; k < end; ++k) differ |= key(order_[k]) ^ k0;
        return differ != 0;
    }
    // Groups too large for the working copy count as splitting: the split
    // makes this test.
    if (end - first > kScratchEntries) return true;
    uint32_t k = first + 1;
    while (k < end && key(order_[k]) == k0) ++k;
    return k != end;
}

uint32_t PrefixDoubling::refineGroup(uint32_t i) {
    const uint32_t first = order_[i];
    const uint32_t end = group_[first];
    assert(end > i && end <= count_);
    if (end - i == 1) {
        order_[i] = kRun + 1;
        return end;
    }
    // The common case in the later passes: the members all have the same
    // key, the group does not split and its number (end) stands; the
    // networks and the split would change nothing.
    if (!keysDiffer(i, end)) return end;
    if (end - i == 2) {
        // The pair network, written out: a pair that splits becomes two
        // sorted places under one marker.
        const uint32_t second = order_[i + 1];
        const bool inOrder = key(first) < key(second);
        group_[inOrder ? first : second] = i + 1;
        group_[inOrder ? second : first] = i + 2;
        order_[i] = kRun + 2;
        return end;
    }
    knownNumber_ = end;
    sortRange(i, end);
    knownNumber_ = 0;
    return end;
}

void PrefixDoubling::sortRange(uint32_t first, uint32_t end) {
    switch (end - first) {
        case 0:
            return;
        case 1:
            group_[order_[first]] = end;
            order_[first] = kRun + 1;
            return;
        case 2:
            sortPair(first);
            return;
        case 3:
            sortTriple(first);
            return;
        case 4:
            sortQuad(first);
            return;
        default:
            splitGroup(first, end);
            return;
    }
}

void PrefixDoubling::sortSmall(uint32_t first, uint32_t end) {
    assert(end - first < 5);
    sortRange(first, end);
}

void PrefixDoubling::finishEqual(uint32_t lt, uint32_t eq) {
    if (eq - lt == 1) {
        group_[order_[lt]] = eq;
        order_[lt] = kRun + 1;
        return;
    }
    // Members of one stretch still share their group number from before the
    // pass; when a whole group did not split, that number is already right
    // and rewriting it would only dirty cache lines.
    if (!keepsNumber(order_[lt], eq)) {
        for (uint32_t k = lt; k < eq; ++k) group_[order_[k]] = eq;
    }
}

// The order of work of the ternary split, on `order` or on the working
// copy: partition(first, end) splits a stretch of 5 or more around a pivot
// and returns (lt, eq); sortSmall(first, end) sorts a stretch of fewer than
// 5; finishEqual(lt, eq) takes an equal part. Pending work is kept in
// processing order on an explicit stack: the part below a pivot is handled
// first, then the equal part, then the part above. Parts of fewer than five
// entries are finished at once and the part above is taken by iteration, so
// only a large part below the pivot pushes an entry.
template <typename Partition, typename SortSmall, typename FinishEqual>
void PrefixDoubling::runSplits(uint32_t first, uint32_t end, Partition partition, SortSmall sortSmall,
                               FinishEqual finishEqual) {
    const size_t base = pending_.size();
    for (;;) {
        while (end - first >= 5) {
            const auto [lt, eq] = partition(first, end);
            if (lt - first >= 5) {
                pending_.push_back(Pending{lt, eq, end});
                end = lt;
            } else {
                sortSmall(first, lt);
                finishEqual(lt, eq);
                first = eq;
            }
        }
        sortSmall(first, end);
        if (pending_.size() == base) return;
        const Pending next = pending_.back();
        pending_.pop_back();
        finishEqual(next.lt, next.eq);
        first = next.eq;
        end = next.end;
    }
}

void PrefixDoubling::splitGroup(uint32_t first, uint32_t end) {
    assert(end - first >= 5);
    if (end - first <= kScratchEntries) {
        splitInScratch(first, end);
        return;
    }
    // Most large groups met in the later passes do not split at all. A scan
    // that stops at the first key differing from the first one finds those
    // and gives them the outcome the split would (one equal part, number
    // `end`) without moving entries.
    {
        const uint32_t k0 = key(order_[first]);
        uint32_t i = first + 1;
        while (i < end && key(order_[i]) == k0) ++i;
        if (i == end) {
            finishEqual(first, end);
            return;
        }
    }
    auto partition = [this](uint32_t lo, uint32_t hi) {
        const uint32_t pivot = key(order_[lo + (hi - lo) / 2]);
        return partitionAroundPivot(order_, lo, hi, pivot, [this](uint32_t p) { return key(p); });
    };
    runSplits(
        first, end, partition, [this](uint32_t lo, uint32_t hi) { sortSmall(lo, hi); },
        [this](uint32_t lt, uint32_t eq) { finishEqual(lt, eq); });
}

void PrefixDoubling::splitInScratch(uint32_t first, uint32_t end) {
    const uint32_t size = end - first;
    assert(size >= 5 && size <= kScratchEntries && size <= count_);
    if (size > scratchEntries_) {
        // Grown to the largest group met so far, in steps of powers of two,
        // so that blocks with small groups take little.
        scratchEntries_ = std::max(kScratchMinEntries, std::bit_ceil(size));
        scratch_.reset();
        scratch_ = std::make_unique_for_overwrite<uint64_t[]>(size_t{2} * scratchEntries_);
    }
    uint64_t* const elems = scratch_.get();
    // Every key is read once, in the order of the members. All keys of the group are
    // taken before any of its members gets a new number, so the split
    // compares one consistent set of group numbers: a key that points into
    // this very group reads the group's old number, which ranks it correctly
    // against every other group, and members whose keys tie stay together
    // for the next pass.
    const uint32_t* keys = group_ + step_;
    const uint32_t* members = order_ + first;
    // Also counted: places where the key rises or falls from one member to
    // the next. Blocks made of long repeats often give groups whose keys
    // already stand in order.
    uint32_t rises = 0;
    uint32_t falls = 0;
    uint32_t previous = keys[members[0]];
    for (uint32_t k = 0; k < size; ++k) {
        const uint32_t p = members[k];
        const uint32_t kk = keys[p];
        rises += kk > previous;
        falls += kk < previous;
        previous = kk;
        elems[k] = (uint64_t{kk} << 32) | p;
    }
    if (rises == 0 && falls == 0) {  // the group does not split
        finishEqual(first, end);
        return;
    }
    // The split brings the members into key order and nothing else (the
    // order among equal keys does not matter). Keys that already stand in
    // order, rising or falling, are taken as they are: the partitions would
    // give the same runs of keys, and the sweep then writes the same numbers
    // in the same order.
    if (falls == 0) {
        // in order
    } else if (rises == 0) {
        std::reverse(elems, elems + size);
    } else {
        splitKeys(elems, size);
    }
    finishFromScratch(first, size);
}

// The ternary split quicksort on the working copy, by key alone. Parts below
// a pivot come first, then the equal part, then the part above; parts of 2 to
// 4 members are sorted by the fixed networks. Nothing is written to `order`
// or `group` here: the outcome is taken over afterwards in one sweep from
// left to right, which is the order in which the split finishes its parts, so
// group numbers are written in the same order as by a split in place.
void PrefixDoubling::splitKeys(uint64_t* elems, uint32_t size) {
    auto keyAt = [elems](uint32_t i) { return static_cast<uint32_t>(elems[i] >> 32); };
    auto sortSmallPart = [elems](uint32_t lo, uint32_t hi) {
        runNetwork(hi - lo, [part = elems + lo](uint32_t a, uint32_t b) {
            if ((part[a] >> 32) > (part[b] >> 32)) std::swap(part[a], part[b]);
        });
    };
    auto partition = [&](uint32_t lo, uint32_t hi) {
        const uint32_t pivot = keyAt(lo + (hi - lo) / 2);
        uint32_t below;
        uint32_t equal;
        if (hi - lo >= kBranchFreeMin) {
            // Three-way partition in one pass: members below the pivot
            // close up at the front of the part itself, members above it
            // go to the front of the second half of the working copy and
            // equal members to its back; then the two are copied behind
            // the members below. Every member is written to all three
            // next free places and only the cursor of its own part moves
            // on, so the loop has no branch that keys of random order
            // would mispredict. The parts below and above keep the order
            // their members had (the equal part, which is not split
            // again, is reversed).
            const uint32_t m = hi - lo;
            uint64_t* const out = elems + scratchEntries_;
            uint64_t* const part = elems + lo;
            below = 0;
            uint32_t above = 0;
            equal = 0;
            for (uint32_t t = 0; t < m; ++t) {
                const uint64_t x = part[t];
                const uint32_t k = static_cast<uint32_t>(x >> 32);
                const uint32_t isBelow = k < pivot;
                const uint32_t isAbove = k > pivot;
                part[below] = x;
                out[above] = x;
                out[m - 1 - equal] = x;
                below += isBelow;
                above += isAbove;
                equal += 1 - isBelow - isAbove;
            }
            std::memcpy(part + below, out + (m - equal), size_t{equal} * sizeof(uint64_t));
            std::memcpy(part + below + equal, out, size_t{above} * sizeof(uint64_t));
        } else {
            // A short part: the in-place split, whose branches cost less
            // here than the copies of the other way.
            const auto [lt, eq] = partitionAroundPivot(
                elems, lo, hi, pivot, [](uint64_t e) { return static_cast<uint32_t>(e >> 32); });
            below = lt - lo;
            equal = eq - lt;
        }
        return std::pair<uint32_t, uint32_t>{lo + below, lo + below + equal};
    };
    runSplits(0, size, partition, sortSmallPart, [](uint32_t, uint32_t) {});
}

// Takes over a split group from the working copy, now ordered by key: runs
// of one key become sorted places, runs of several new groups, each maximal
// stretch of sorted places gets one marker. The group numbers are written
// from left to right.
void PrefixDoubling::finishFromScratch(uint32_t first, uint32_t size) {
    const uint64_t* elems = scratch_.get();
    auto posAt = [elems](uint32_t i) { return static_cast<uint32_t>(elems[i]); };
    auto keyAt = [elems](uint32_t i) { return static_cast<uint32_t>(elems[i] >> 32); };
    uint32_t sortedStart = size;  // size: not inside a stretch of sorted places
    uint32_t i = 0;
    while (i < size) {
        const uint32_t k = keyAt(i);
        uint32_t j = i + 1;
        while (j < size && keyAt(j) == k) ++j;
        if (j - i == 1) {
            group_[posAt(i)] = first + i + 1;
            if (sortedStart == size) sortedStart = i;
        } else {
            if (sortedStart != size) {
                order_[first + sortedStart] = kRun + (i - sortedStart);
                sortedStart = size;
            }
            const uint32_t number = first + j;
            for (uint32_t t = i; t < j; ++t) order_[first + t] = posAt(t);
            // A run that keeps the number its members had needs no writes.
            if (!keepsNumber(posAt(i), number)) {
                for (uint32_t t = i; t < j; ++t) group_[posAt(t)] = number;
            }
        }
        i = j;
    }
    if (sortedStart != size) order_[first + sortedStart] = kRun + (size - sortedStart);
}

// Members of a small stretch, already ordered by key, become sorted places
// (runs of one key) or new groups (runs of several), with one marker per
// maximal stretch of sorted places.
void PrefixDoubling::finishSorted(uint32_t first, uint32_t m, const uint32_t* pos,
                                  const uint32_t* keys) {
    if (keys[0] == keys[m - 1] && keepsNumber(pos[0], first + m)) return;  // unchanged group
    uint32_t sortedStart = m;  // m: not inside a sorted stretch
    uint32_t i = 0;
    while (i < m) {
        uint32_t j = i + 1;
        while (j < m && keys[j] == keys[i]) ++j;
        if (j - i == 1) {
            group_[pos[i]] = first + i + 1;
            if (sortedStart == m) sortedStart = i;
        } else {
            if (sortedStart != m) {
                order_[first + sortedStart] = kRun + (i - sortedStart);
                sortedStart = m;
            }
            for (uint32_t t = i; t < j; ++t) order_[first + t] = pos[t];
            if (!keepsNumber(pos[i], first + j)) {
                for (uint32_t t = i; t < j; ++t) group_[pos[t]] = first + j;
            }
        }
        i = j;
    }
    if (sortedStart != m) order_[first + sortedStart] = kRun + (m - sortedStart);
}

// In the later passes most small groups do not split: every key is the same
// and the group number stands. That case is settled before the network runs
// (the network would move nothing and finishSorted would return at once).
template <uint32_t M>
void PrefixDoubling::sortNetworked(uint32_t first) {
    uint32_t pos[M];
    uint32_t keys[M];
    uint32_t differ = 0;
    for (uint32_t k = 0; k < M; ++k) {
        pos[k] = order_[first + k];
        keys[k] = key(pos[k]);
        differ |= keys[k] ^ keys[0];
    }
    if (differ == 0 && keepsNumber(pos[0], first + M)) return;
    runNetwork(M, [&pos, &keys](uint32_t a, uint32_t b) {
        if (keys[a] > keys[b]) {
            std::swap(keys[a], keys[b]);
            std::swap(pos[a], pos[b]);
        }
    });
    finishSorted(first, M, pos, keys);
}

void PrefixDoubling::sortPair(uint32_t first) { sortNetworked<2>(first); }

void PrefixDoubling::sortTriple(uint32_t first) { sortNetworked<3>(first); }

void PrefixDoubling::sortQuad(uint32_t first) { sortNetworked<4>(first); }
