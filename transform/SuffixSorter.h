// Suffix sorting by prefix doubling (Larsson–Sadakane): the work horse of the
// Burrows–Wheeler transform. Suffixes are bucketed by a short prefix, then the
// groups that still tie are refined in passes whose comparison depth doubles,
// each group split by a ternary quicksort on the group number of the suffix h
// places further on. The end of the block counts as one symbol below every
// byte, so all N+1 suffixes (the empty one included) are distinct.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// One suffix sort in progress. Lives for one block: constructed empty, filled
// by one initial sort, refined, then emptied by exactly one take operation.
// Memory while sorting: two arrays of N+1 32-bit entries, a 1 KB counting
// table and a working copy of at most 256 KiB for splitting one group; no
// per-suffix objects. Blocks must be shorter than 2^31 bytes, since
// positions, group numbers and run lengths share the 32-bit entries.
//
// Inside refine, from its second pass on, the first entry of every unsorted
// group in `order` also carries bit 30 (blocks below 2^30 entries), so that
// a pass finds group ends without reading group numbers. No flag is left
// once refine returns, and the initial sorts set none.
class SuffixSorter {
public:
    // Bit 31 of an `order` entry marks the start of a stretch of sorted places;
    // the low 31 bits hold the stretch length L >= 1 (0x80000001: one place).
    static constexpr uint32_t SortedRun = 0x80000000u;
    static constexpr uint32_t RunLengthMask = 0x7FFFFFFFu;

    SuffixSorter() = default;
    SuffixSorter(const SuffixSorter&) = delete;
    SuffixSorter& operator=(const SuffixSorter&) = delete;

    // Initial sort of text[0..n) by the first `depth` symbols (depth 4 is the
    // only value used; 1 <= depth <= n - 1 is required). An LSD radix sort of
    // `depth` counting passes followed by groupByPrefix(text, depth).
    // text must stay unchanged until a take operation. Needs 1 <= n < 2^31.
    void initByPrefix(const uint8_t* text, uint32_t n, uint32_t depth);

    // Initial sort of text[0..n) by the first byte alone, for short blocks
    // (1 <= n <= 4 is where it is used; any 1 <= n < 2^31 works). Sets no run
    // markers: groups of one member are marked by the first refinement pass,
    // whose step must then be 1.
    void initByFirstByte(const uint8_t* text, uint32_t n);

    // The grouping step after the radix sort: turns order[0..count), sorted by
    // the first `depth` symbols, into groups and sorted places. Depth 0 does
    // nothing.
    void groupByPrefix(const uint8_t* text, uint32_t depth);

    // Doubling passes from depth `step` (the depth of the initial sort) until
    // every place is sorted, that is until one run marker covers the array.
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

    // After refine: returns the N suffix positions in sorted order, the end
    // suffix left out (the caller owns the array). Releases the sorter's
    // buffers.
    std::vector<uint32_t> takeSuffixArray();

    // After refine: overwrites text[0..N) (the block that was sorted) with its
    // Burrows–Wheeler transform and returns the first suffix index, the place
    // of the whole block among its suffixes. Takes an N-byte copy of the block
    // after releasing `order`; releases all buffers.
    uint32_t takeTransform(uint8_t* text);

    // Read access for checks: order[0..count) and group[0..count).
    uint32_t size() const { return count_; }
    const uint32_t* order() const { return order_; }
    const uint32_t* group() const { return group_; }

private:
    // Frees a buffer from allocateBuffer; remembers whether it was taken with
    // the large alignment that lets the system back it with large pages.
    struct BufferFree {
        bool aligned;
        void operator()(uint32_t* p) const;
    };
    using Buffer = std::unique_ptr<uint32_t[], BufferFree>;
    static Buffer allocateBuffer(uint32_t entries);

    struct Pending {   // finish the equal group order[lt..eq), then sort order[eq..end)
        uint32_t lt, eq, end;
    };

    uint32_t key(uint32_t p) const { return group_[p + step_]; }
    // Whether the members of a run whose first member is p already carry
    // `number`, so that the run needs no writes. Inside refine every member
    // of the group being sorted carries its number from before the pass
    // (knownNumber_) until it is finished, and no group entry has to be read.
    bool keepsNumber(uint32_t p, uint32_t number) const {
        return knownNumber_ != 0 ? knownNumber_ == number : group_[p] == number;
    }
    void splitInScratch(uint32_t first, uint32_t end);
    void splitKeys(uint64_t* elems, uint32_t size);
    void finishFromScratch(uint32_t first, uint32_t size);
    void sortSmall(uint32_t first, uint32_t end);   // sizes 0..4
    void finishEqual(uint32_t lt, uint32_t eq);
    void finishSorted(uint32_t first, uint32_t m, const uint32_t* pos, const uint32_t* keys);
    void release();

    uint32_t count_ = 0;
    // The two raw buffers behind order_ and group_; the radix passes alternate
    // between them, so which one ends up as which array is not fixed.
    Buffer bufferA_;
    Buffer bufferB_;
    uint32_t* order_ = nullptr;
    uint32_t* group_ = nullptr;
    uint32_t step_ = 0;   // current depth h: key(p) = group[p + h]
    // During refinement, the flag that marks the first entry of each unsorted
    // group in `order` (0 outside refine and for very large blocks). Group
    // starts written by the networks and splits carry it.
    uint32_t startBit_ = 0;
    // The group number all members of the group now being sorted carried
    // before it was taken up (its end), or 0 outside refine.
    uint32_t knownNumber_ = 0;
    std::vector<Pending> pending_;
    // Working copy of one group being split: (key << 32 | position) per
    // member, so that the partitions of the ternary split read contiguous
    // keys instead of scattered group numbers. Made on first use and grown
    // with the largest group met, up to 16384 members.
    std::unique_ptr<uint64_t[]> scratch_;
    uint32_t scratchEntries_ = 0;   // members it holds; as many again follow for the partitions
};

// The sorted suffix positions of text[0..n), the end suffix left out: result[k]
// is the start of the k-th smallest suffix. Requires 1 <= n < 2^31. The caller
// owns the result; text is not changed. Throws only std::bad_alloc.
std::vector<uint32_t> suffixArrayOf(const uint8_t* text, uint32_t n);

// Replaces text[0..n) in place by its Burrows–Wheeler transform and returns
// the first suffix index (0 <= index < n). Requires 1 <= n < 2^31. No suffix
// array is built. Throws only std::bad_alloc.
uint32_t bwtInPlace(uint8_t* text, uint32_t n);
