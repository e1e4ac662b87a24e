// Prefix doubling (Larsson–Sadakane) over arrays owned by the caller: the
// suffix sorter's way to sort a reduced string whose alphabet is too large
// for the bucket tables of induced sorting (nearly every symbol distinct, so
// few passes are needed).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// Prefix-doubling refinement over arrays owned by the caller: `order` lists
// the suffixes 0..count-1 of a string of count-1 symbols (count-1 is its end)
// grouped by their first symbol, and group[p] is the index just past the
// group of suffix p. refine sorts every group to single places; afterwards
// group[p] - 1 is the place of suffix p. Besides the caller's arrays it takes
// a working copy of at most 256 KiB for splitting one group and a stack of
// pending parts; no per-suffix objects. count must be below 2^31, since
// positions, group numbers and run lengths share the 32-bit entries.
class PrefixDoubling {
public:
    // Bit 31 of an `order` entry marks the start of a stretch of sorted places;
    // the low 31 bits hold the stretch length L >= 1 (0x80000001: one place).
    static constexpr uint32_t SortedRun = 0x80000000u;
    static constexpr uint32_t RunLengthMask = 0x7FFFFFFFu;

    PrefixDoubling() = default;
    PrefixDoubling(const PrefixDoubling&) = delete;
    PrefixDoubling& operator=(const PrefixDoubling&) = delete;

    // Works on order[0..count) and group[0..count) from here on. order[0] must
    // be count - 1 (the end, alone in its group) and group[count - 1] = 1.
    void attach(uint32_t* order, uint32_t* group, uint32_t count);

    // Doubling passes from depth `step` (the depth the groups are sorted by)
    // until every place is sorted, that is until one run marker covers the
    // array. Groups of one member may come without a marker.
    void refine(uint32_t step);

    // Sorts order[first..end) of one group by key (dispatch by size).
    void sortRange(uint32_t first, uint32_t end);

    // Ternary split quicksort of order[first..end), end - first >= 5. Works
    // with an explicit stack of pending work, so no input can exhaust the call
    // stack; the order of processing (part below the pivot, then the group
    // number of the equal part, then the part above) is kept exactly. Groups
    // of up to 16384 members are split in a working copy of their keys, read
    // once, and their new numbers written in one sweep in that same order.
    void splitGroup(uint32_t first, uint32_t end);

    // Fixed comparison networks for stretches of 2, 3 and 4 entries starting at
    // `first`; they set group numbers and run markers directly.
    void sortPair(uint32_t first);
    void sortTriple(uint32_t first);
    void sortQuad(uint32_t first);

    // Read access for checks: order[0..count) and group[0..count).
    uint32_t size() const { return count_; }
    const uint32_t* order() const { return order_; }
    const uint32_t* group() const { return group_; }

private:
    struct Pending {  // finish the equal group order[lt..eq), then sort order[eq..end)
        uint32_t lt, eq, end;
    };

    uint32_t key(uint32_t p) const { return group_[p + step_]; }
    // One doubling pass over `order` at the current step.
    void refinePass();
    // order[i] starts a sorted stretch: merges it with the stretches right
    // after it under one marker and returns the place past them.
    uint32_t mergeSortedRuns(uint32_t i);
    // Whether the members of the group order[first..end) have different keys
    // (for groups too large for the working copy: true, the split tests it).
    bool keysDiffer(uint32_t first, uint32_t end) const;
    // Refines the unsorted group whose first member stands at place i by one
    // doubling step; returns the place past the group.
    uint32_t refineGroup(uint32_t i);
    // Whether the members of a run whose first member is p already carry
    // `number`, so that the run needs no writes. Inside refine every member
    // of the group being sorted carries its number from before the pass
    // (knownNumber_) until it is finished, and no group entry has to be read.
    bool keepsNumber(uint32_t p, uint32_t number) const {
        return knownNumber_ != 0 ? knownNumber_ == number : group_[p] == number;
    }
    template <typename Partition, typename SortSmall, typename FinishEqual>
    void runSplits(uint32_t first, uint32_t end, Partition partition, SortSmall sortSmall,
                   FinishEqual finishEqual);
    void splitInScratch(uint32_t first, uint32_t end);
    void splitKeys(uint64_t* elems, uint32_t size);
    void finishFromScratch(uint32_t first, uint32_t size);
    void sortSmall(uint32_t first, uint32_t end);  // sizes 0..4
    template <uint32_t M>
    void sortNetworked(uint32_t first);  // sortPair, sortTriple, sortQuad
    void finishEqual(uint32_t lt, uint32_t eq);
    void finishSorted(uint32_t first, uint32_t m, const uint32_t* pos, const uint32_t* keys);

    uint32_t count_ = 0;
    uint32_t* order_ = nullptr;
    uint32_t* group_ = nullptr;
    uint32_t step_ = 0;  // current depth h: key(p) = group[p + h]
    // The group number all members of the group now being sorted carried
    // before it was taken up (its end), or 0 outside refine.
    uint32_t knownNumber_ = 0;
    std::vector<Pending> pending_;
    // Working copy of one group being split: (key << 32 | position) per
    // member, so that the partitions of the ternary split read contiguous
    // keys instead of scattered group numbers. Made on first use and grown
    // with the largest group met, up to 16384 members.
    std::unique_ptr<uint64_t[]> scratch_;
    uint32_t scratchEntries_ = 0;  // members it holds; as many again follow for the partitions
};
