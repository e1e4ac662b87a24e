// Prefix-doubling suffix sort. The initial radix sort by a 4-byte prefix
// settles most of the order of ordinary data in four linear passes; the
// doubling passes then only touch what still ties, because every stretch of
// finished places is covered by one run marker that a pass skips in a single
// step. Group numbers are the index just past a group's end, so a number
// written during a pass stays between the numbers of the groups around it and
// can be used at once by later groups of the same pass: no copy of the group
// array is ever taken and the memory stays at two arrays of N+1 entries.
#include "transform/SuffixSorter.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

namespace {

constexpr uint32_t kRun = SuffixSorter::SortedRun;
constexpr uint32_t kLengthMask = SuffixSorter::RunLengthMask;

// How far (in entries of `order`) the refinement scan asks for data ahead.
// The scan cannot pass a group before its first member's group entry (the
// group's end) has arrived, so the reach has to cover many small groups.
constexpr uint32_t kPrefetchDistance = 96;
// Blocks up to this many entries are refined without the cursor.
constexpr uint32_t kRefinePrefetchMinBlock = 1u << 18;
// The same for the two moving ends of a ternary split.
constexpr int32_t kSplitPrefetchDistance = 16;
// Parts of a split larger than this still ask for their keys ahead after the
// first partition: their keys no longer fit in the second-level cache.
constexpr uint32_t kSplitPrefetchAlways = 1u << 15;
// In blocks up to this size the arrays mostly stay in the caches, and asking
// for keys ahead costs more than it saves.
constexpr uint32_t kSplitPrefetchMinBlock = 1u << 19;

// A hint to bring the cache line of p in; it never faults and changes nothing.
inline void prefetch(const uint32_t* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

bool isRun(uint32_t entry) {
    return (entry & kRun) != 0;
}

// Equality of the first `depth` bytes at a and b; depth 4, the one the
// program uses, is a single 32-bit compare.
bool samePrefix(const uint8_t* text, uint32_t a, uint32_t b, uint32_t depth) {
    if (depth == 4) {
        uint32_t x;
        uint32_t y;
        std::memcpy(&x, text + a, 4);
        std::memcpy(&y, text + b, 4);
        return x == y;
    }
    return std::memcmp(text + a, text + b, depth) == 0;
}

}  // namespace

void SuffixSorter::release() {
    bufferA_.reset();
    bufferB_.reset();
    order_ = nullptr;
    group_ = nullptr;
    pending_ = std::vector<Pending>();
}

void SuffixSorter::initByPrefix(const uint8_t* text, uint32_t n, uint32_t depth) {
    assert(n >= 1 && n < kRun && depth >= 1 && depth <= n);
    const uint32_t total = n + 1;
    bufferA_ = std::make_unique_for_overwrite<uint32_t[]>(total);
    bufferB_ = std::make_unique_for_overwrite<uint32_t[]>(total);
    uint32_t* src = bufferA_.get();
    uint32_t* dst = bufferB_.get();
    count_ = n;

    // table[c] holds the counts, then the next free slot of bucket c. Slots
    // start at index 1: index 0 is kept for the end suffix.
    uint32_t table[256] = {};
    const uint32_t firstOffset = depth - 1;
    for (uint32_t p = firstOffset; p < n; ++p) ++table[text[p]];
    auto toStarts = [&table]() {
        uint32_t sum = 1;
        for (uint32_t& t : table) {
            const uint32_t c = t;
            t = sum;
            sum += c;
        }
    };
    toStarts();
    uint32_t placed = n - firstOffset;
    for (uint32_t p = 0; p < placed; ++p) dst[table[text[p + firstOffset]]++] = p;

    for (uint32_t o = firstOffset; o-- > 0;) {
        std::swap(src, dst);
        // The bucket ends left by the last pass become counts again; the key
        // multiset grows by the byte at offset o.
        for (uint32_t c = 255; c > 0; --c) table[c] -= table[c - 1];
        table[0] -= 1;
        ++table[text[o]];
        toStarts();
        // The suffix that joins at this offset has the end of the block right
        // after its byte, so it comes first among suffixes with that byte.
        dst[table[text[n - 1]]++] = n - 1 - o;
        const uint8_t* keys = text + o;
        for (uint32_t i = 1; i <= placed; ++i) {
            const uint32_t p = src[i];
            dst[table[keys[p]]++] = p;
        }
        ++placed;
    }
    assert(placed == n);

    order_ = dst;
    group_ = src;
    order_[0] = n;
    count_ = total;
    groupByPrefix(text, depth);
}

void SuffixSorter::initByFirstByte(const uint8_t* text, uint32_t n) {
    assert(n >= 1 && n < kRun);
    const uint32_t total = n + 1;
    bufferA_ = std::make_unique_for_overwrite<uint32_t[]>(total);
    bufferB_ = std::make_unique_for_overwrite<uint32_t[]>(total);
    order_ = bufferA_.get();
    group_ = bufferB_.get();

    uint32_t table[256] = {};
    for (uint32_t p = 0; p < n; ++p) ++table[text[p]];
    uint32_t ends[256];
    uint32_t sum = 1;
    for (uint32_t c = 0; c < 256; ++c) {
        const uint32_t k = table[c];
        table[c] = sum;
        sum += k;
        ends[c] = sum;
    }
    for (uint32_t p = 0; p < n; ++p) {
        order_[table[text[p]]++] = p;
        group_[p] = ends[text[p]];
    }
    order_[0] = n;
    group_[n] = 1;
    count_ = total;
}

void SuffixSorter::groupByPrefix(const uint8_t* text, uint32_t depth) {
    if (depth == 0) return;
    const uint32_t n = count_;
    const uint32_t last = n - 1;   // N, the end suffix
    // Suffixes starting after N - depth hold the end symbol within their first
    // `depth` symbols: each is alone in its group.
    const uint32_t firstShort = last >= depth ? last - depth + 1 : 0;
    const uint32_t shortCount = last - firstShort + 1;
    auto isShort = [firstShort](uint32_t p) { return p >= firstShort; };

    uint32_t i = 0;
    uint32_t shortsSeen = 0;
    while (i < n && shortsSeen < shortCount) {
        const uint32_t p = order_[i];
        if (isShort(p)) {
            group_[p] = i + 1;
            order_[i] = kRun + 1;
            ++shortsSeen;
            ++i;
            continue;
        }
        uint32_t j = i + 1;
        while (j < n && !isShort(order_[j]) && samePrefix(text, order_[j], p, depth)) ++j;
        if (j == i + 1) {
            group_[p] = i + 1;
            order_[i] = kRun + 1;
        } else {
            for (uint32_t k = i; k < j; ++k) group_[order_[k]] = j;
        }
        i = j;
    }
    // Every suffix left has `depth` real bytes.
    while (i < n) {
        const uint32_t p = order_[i];
        uint32_t j = i + 1;
        while (j < n && samePrefix(text, order_[j], p, depth)) ++j;
        if (j == i + 1) {
            group_[p] = i + 1;
            order_[i] = kRun + 1;
        } else {
            for (uint32_t k = i; k < j; ++k) group_[order_[k]] = j;
        }
        i = j;
    }
}

void SuffixSorter::refine(uint32_t step) {
    const uint32_t n = count_;
    uint64_t h = step;
    while (order_[0] != kRun + n) {
        // Unsorted members p satisfy p + h <= N, so while any group is left
        // h < n; the last pass, which only merges markers, reads no keys.
        step_ = static_cast<uint32_t>(h);
        // The pass is bound by random reads of group numbers: a cursor runs
        // ahead of the scan and asks for the group entry and the key of every
        // member it meets, so the reads of the next groups overlap.
        uint32_t ahead = 0;
        // Small blocks stay in the caches, and there the cursor only costs.
        const uint32_t prefetchDistance = n > kRefinePrefetchMinBlock ? kPrefetchDistance : 0;
        const uint64_t keyLimit = n > h ? n - h : 0;
        uint32_t i = 0;
        while (i < n) {
            const uint32_t entry = order_[i];
            if (isRun(entry)) {
                // Merge this sorted stretch with the ones right after it.
                uint32_t j = i + (entry & kLengthMask);
                while (j < n && isRun(order_[j])) j += order_[j] & kLengthMask;
                order_[i] = kRun + (j - i);
                i = j;
                continue;
            }
            if (ahead < i) ahead = i;
            const uint32_t aheadLimit = std::min(n, i + prefetchDistance);
            while (ahead < aheadLimit) {
                const uint32_t e = order_[ahead];
                if (isRun(e)) {
                    ahead += e & kLengthMask;
                    continue;
                }
                prefetch(group_ + e);
                if (e < keyLimit) prefetch(group_ + e + h);
                ++ahead;
            }
            const uint32_t end = group_[entry];
            assert(end > i && end <= n);
            const uint32_t size = end - i;
            if (size == 1) {
                order_[i] = kRun + 1;
            } else if (size <= 4) {
                // The common case in the later passes: a small group whose
                // members all have the same key does not split, and its
                // number (end, just read) stands; the networks would change
                // nothing. Only a group that splits goes to them.
                const uint32_t* g = group_ + h;
                const uint32_t* members = order_ + i;
                const uint32_t k0 = g[entry];
                uint32_t differ = g[members[1]] ^ k0;
                if (size >= 3) differ |= g[members[2]] ^ k0;
                if (size == 4) differ |= g[members[3]] ^ k0;
                if (differ != 0) sortRange(i, end);
            } else {
                sortRange(i, end);
            }
            i = end;
        }
        h *= 2;
    }
}

void SuffixSorter::sortRange(uint32_t first, uint32_t end) {
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

void SuffixSorter::sortSmall(uint32_t first, uint32_t end) {
    assert(end - first < 5);
    sortRange(first, end);
}

void SuffixSorter::finishEqual(uint32_t lt, uint32_t eq) {
    if (eq - lt == 1) {
        group_[order_[lt]] = eq;
        order_[lt] = kRun + 1;
        return;
    }
    // Members of one stretch still share their group number from before the
    // pass; when a whole group did not split, that number is already right
    // and rewriting it would only dirty cache lines.
    if (group_[order_[lt]] == eq) return;
    for (uint32_t k = lt; k < eq; ++k) group_[order_[k]] = eq;
}

void SuffixSorter::splitGroup(uint32_t first, uint32_t end) {
    assert(end - first >= 5);
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
    // Pending work is kept in processing order on an explicit stack: the part
    // below a pivot is handled first, then the equal part gets its number,
    // then the part above. Parts of fewer than five entries are finished at
    // once and the part above is taken by iteration, so only a large part
    // below the pivot pushes an entry.
    const size_t base = pending_.size();
    bool firstPartition = true;
    for (;;) {
        while (end - first >= 5) {
            const uint32_t pivot = key(order_[first + (end - first) / 2]);

            // Keys are read in a scattered order; for large stretches the
            // entries a few steps ahead of both moving ends are asked for early.
            // The place asked for is clamped into the stretch, which costs
            // less than testing it and keeps every read inside `order`.
            // Once the first partition has read every key of the group, the
            // parts below it find their keys in the cache unless the group
            // is too large to stay there.
            const bool hinted = count_ > kSplitPrefetchMinBlock &&
                                end - first > 2 * kSplitPrefetchDistance &&
                                (firstPartition || end - first > kSplitPrefetchAlways);
            firstPartition = false;
            const uint32_t lastPlace = end - 1;
            auto hint = [this, first, lastPlace](uint32_t at, int32_t ahead) {
                uint32_t k;
                if (ahead >= 0) {
                    k = std::min(at + static_cast<uint32_t>(ahead), lastPlace);
                } else {
                    const uint32_t back = static_cast<uint32_t>(-ahead);
                    k = at >= first + back ? at - back : first;
                }
                prefetch(group_ + order_[k] + step_);
            };

            // Phase one: find the first entry equal to the pivot, moving larger
            // entries to the back as they are met.
            uint32_t lt = first;
            uint32_t gt = end - 1;
            for (;;) {
                if (hinted) {
                    hint(lt, kSplitPrefetchDistance);
                    hint(gt, -kSplitPrefetchDistance);
                }
                const uint32_t k = key(order_[lt]);
                if (k < pivot) {
                    ++lt;
                } else if (k > pivot) {
                    std::swap(order_[lt], order_[gt]);
                    --gt;
                } else {
                    break;
                }
            }
            uint32_t eq = lt + 1;
            // Phase two: [first,lt) < pivot, [lt,eq) = pivot, [eq,gt] open,
            // (gt,end) > pivot.
            for (;;) {
                if (hinted) hint(gt, -kSplitPrefetchDistance);
                uint32_t k = key(order_[gt]);
                while (k > pivot) {
                    --gt;
                    if (hinted) hint(gt, -kSplitPrefetchDistance);
                    k = key(order_[gt]);
                }
                if (k < pivot) {
                    const uint32_t small = order_[gt];
                    order_[gt] = order_[eq];
                    order_[eq] = order_[lt];
                    order_[lt] = small;
                    ++lt;
                    ++eq;
                } else if (gt <= eq) {
                    if (gt == eq) ++eq;
                    break;
                } else {
                    std::swap(order_[eq], order_[gt]);
                    ++eq;
                }
            }

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

// Members of a small stretch, already ordered by key, become sorted places
// (runs of one key) or new groups (runs of several), with one marker per
// maximal stretch of sorted places.
void SuffixSorter::finishSorted(uint32_t first, uint32_t m, const uint32_t* pos,
                                const uint32_t* keys) {
    if (keys[0] == keys[m - 1] && group_[pos[0]] == first + m) return;   // unchanged group
    uint32_t sortedStart = m;   // m: not inside a sorted stretch
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
            for (uint32_t t = i; t < j; ++t) {
                order_[first + t] = pos[t];
                group_[pos[t]] = first + j;
            }
        }
        i = j;
    }
    if (sortedStart != m) order_[first + sortedStart] = kRun + (m - sortedStart);
}

namespace {

inline void exchange(uint32_t* pos, uint32_t* keys, int a, int b) {
    if (keys[a] > keys[b]) {
        std::swap(keys[a], keys[b]);
        std::swap(pos[a], pos[b]);
    }
}

}  // namespace

// In the later passes most small groups do not split: every key is the same
// and the group number stands. That case is settled before the network runs
// (the network would move nothing and finishSorted would return at once).
void SuffixSorter::sortPair(uint32_t first) {
    uint32_t pos[2] = {order_[first], order_[first + 1]};
    uint32_t keys[2] = {key(pos[0]), key(pos[1])};
    if (keys[0] == keys[1] && group_[pos[0]] == first + 2) return;
    exchange(pos, keys, 0, 1);
    finishSorted(first, 2, pos, keys);
}

void SuffixSorter::sortTriple(uint32_t first) {
    uint32_t pos[3] = {order_[first], order_[first + 1], order_[first + 2]};
    uint32_t keys[3] = {key(pos[0]), key(pos[1]), key(pos[2])};
    if (((keys[0] ^ keys[1]) | (keys[1] ^ keys[2])) == 0 && group_[pos[0]] == first + 3) return;
    exchange(pos, keys, 0, 1);
    exchange(pos, keys, 1, 2);
    exchange(pos, keys, 0, 1);
    finishSorted(first, 3, pos, keys);
}

void SuffixSorter::sortQuad(uint32_t first) {
    uint32_t pos[4] = {order_[first], order_[first + 1], order_[first + 2], order_[first + 3]};
    uint32_t keys[4] = {key(pos[0]), key(pos[1]), key(pos[2]), key(pos[3])};
    if (((keys[0] ^ keys[1]) | (keys[1] ^ keys[2]) | (keys[2] ^ keys[3])) == 0 &&
        group_[pos[0]] == first + 4) {
        return;
    }
    exchange(pos, keys, 0, 1);
    exchange(pos, keys, 2, 3);
    exchange(pos, keys, 0, 2);
    exchange(pos, keys, 1, 3);
    exchange(pos, keys, 1, 2);
    finishSorted(first, 4, pos, keys);
}

std::vector<uint32_t> SuffixSorter::takeSuffixArray() {
    assert(count_ >= 2);
    const uint32_t n = count_ - 1;
    // Drop the order buffer first, so the result does not add to the peak.
    std::unique_ptr<uint32_t[]>& orderBuffer = order_ == bufferA_.get() ? bufferA_ : bufferB_;
    orderBuffer.reset();
    order_ = nullptr;
    count_ = n;
    std::vector<uint32_t> result(n);
    for (uint32_t p = 0; p < n; ++p) result[group_[p] - 2] = p;
    release();
    count_ = 0;
    return result;
}

uint32_t SuffixSorter::takeTransform(uint8_t* text) {
    assert(count_ >= 2);
    const uint32_t n = count_ - 1;
    std::unique_ptr<uint32_t[]>& orderBuffer = order_ == bufferA_.get() ? bufferA_ : bufferB_;
    orderBuffer.reset();
    order_ = nullptr;
    count_ = n;
    // Place k of the transform holds the byte before the k-th suffix; the
    // whole block (suffix 0) takes the last byte instead.
    const auto copy = std::make_unique_for_overwrite<uint8_t[]>(n);
    std::memcpy(copy.get(), text, n);
    const uint32_t firstIndex = group_[0] - 2;
    text[firstIndex] = copy[n - 1];
    for (uint32_t p = 1; p < n; ++p) text[group_[p] - 2] = copy[p - 1];
    release();
    count_ = 0;
    return firstIndex;
}

namespace {

void sortAll(SuffixSorter& sorter, const uint8_t* text, uint32_t n) {
    if (n > 4) {
        sorter.initByPrefix(text, n, 4);
        sorter.refine(4);
    } else {
        sorter.initByFirstByte(text, n);
        sorter.refine(1);
    }
}

}  // namespace

std::vector<uint32_t> suffixArrayOf(const uint8_t* text, uint32_t n) {
    assert(n >= 1 && n < kRun);
    SuffixSorter sorter;
    sortAll(sorter, text, n);
    return sorter.takeSuffixArray();
}

uint32_t bwtInPlace(uint8_t* text, uint32_t n) {
    assert(n >= 1 && n < kRun);
    SuffixSorter sorter;
    sortAll(sorter, text, n);
    return sorter.takeTransform(text);
}
