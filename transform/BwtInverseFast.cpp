// The fast walks of the inverse Burrows–Wheeler transform (see Bwt.cpp for
// the plain kernel, the dispatch and the measurements: the word table 27 to
// 46% faster than the plain kernel, its lanes a further 13 to 38% from
// 100 KiB on, the packed table in lanes 9 times faster on 10 MiB blocks). The walk is bound by memory:
// one dependent random read per byte, and the first touch of the table's pages. The word table holds one
// word per row (the LF image and the row's byte), so each step is one read instead of the plain kernel's
// two. The packed table holds only each row's 3-byte LF image (rows below 2^24); the row's byte is the
// bucket that image falls in, found in tables that stay in the first-level cache. The run word table
// (RunWordTable, filled while the column is decoded) holds the row's byte and its rank among the
// rows of that byte; a step adds the byte's bucket start. The pair table holds each row's byte
// and its image two steps on, so one read takes a walk two bytes on. Larger blocks are walked in
// many interleaved segments so that dozens of reads are in flight at once (BwtLaneWalk.h).
#include "transform/BwtInverseFast.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstring>
#include <memory>
#include <vector>

#include "base/Compiler.h"
#include "transform/BwtLaneWalk.h"
#include "transform/BwtWalkCheck.h"
#include "transform/ByteCounts.h"

namespace {

using namespace bwt_lanes;

// The bucket bounds of the first column, which give back the byte of a
// step from the row it arrives at: in[j] is the byte c with starts[c] <=
// LF(j) < ends[c]. A coarse table gives the first bucket to look at.
// (Eight bucket ends compared at once with SSE2 in place of the loop, the
// first one above x found from the comparisons' mask: no gain, bench_bwt
// inverseBwtPairRows, medians of 3, two interleaved rounds: python_10MiB
// 74.8-75.4 -> 75.7-77.9 ms, corpus_blk 14.9-15.0 -> 14.5-14.6,
// random1000_10MiB 62.4-63.2 -> 62.6-69.4.)
class ImageBuckets {
public:
    // ends[c]: one past the last row whose image is in bucket c.
    void set(const uint32_t* ends, uint32_t n) {
        std::memcpy(ends_, ends, sizeof(ends_));
        coarseShift_ = 0;
        while ((n >> coarseShift_) > 4096) ++coarseShift_;
        const uint32_t blocks = ((n - 1) >> coarseShift_) + 1;
        coarse_.assign(blocks, 0);
        uint8_t c = 0;
        for (uint32_t b = 0; b < blocks; ++b) {
            const uint32_t row = b << coarseShift_;
            while (ends_[c] <= row) ++c;
            coarse_[b] = c;
        }
    }

    // The byte of the row whose image is x (x < n).
    MORV_FORCE_INLINE uint8_t byteOf(uint32_t x) const {
        uint32_t c = coarse_[x >> coarseShift_];
        while (ends_[c] <= x) ++c;
        return static_cast<uint8_t>(c);
    }

private:
    uint32_t ends_[256] = {};
    uint32_t coarseShift_ = 0;
    std::vector<uint8_t> coarse_;
};

// LF images of n < 2^24 rows, 3 bytes each, and the bucket bounds that give
// back a row's byte.
class PackedRows {
public:
    static constexpr uint32_t kLimit = 1u << 24;

    // storage: packedRowsBytes(n) bytes, or null to allocate them here.
    PackedRows(uint32_t n, std::unique_ptr<uint8_t[]> storage)
        : n_(n), bytes_(storage ? std::move(storage) : allocatePackedRows(n)) {
        bytes_[static_cast<size_t>(n) * 3] = 0;  // lets the last entry be read as 4 bytes
    }

    uint8_t* storage() { return bytes_.get(); }
    size_t storageSize() const { return static_cast<size_t>(n_) * 3 + 1; }

    void set(uint32_t row, uint32_t image) {
        uint8_t* p = bytes_.get() + static_cast<size_t>(row) * 3;
        p[0] = static_cast<uint8_t>(image);
        p[1] = static_cast<uint8_t>(image >> 8);
        p[2] = static_cast<uint8_t>(image >> 16);
    }

    // set() in one 4-byte store, whose last byte spills into the next row's
    // first: for rows set in ascending order (or the next one set again
    // after). The table's last byte is slack for row n-1. Filling a 10 MiB
    // block's table (harness timing of the serial fill, median of 6):
    // python sources 15.8 -> 13.4 ms, cc1plus 15.5 -> 12.4 ms.
    void setSpilling(uint32_t row, uint32_t image) {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(bytes_.get() + static_cast<size_t>(row) * 3, &image, 4);
        } else {
            set(row, image);
        }
    }

    uint32_t image(uint32_t row) const {
        const uint8_t* p = bytes_.get() + static_cast<size_t>(row) * 3;
        if constexpr (std::endian::native == std::endian::little) {
            uint32_t w;
            std::memcpy(&w, p, 4);
            return w & 0xFFFFFFu;
        } else {
            return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
        }
    }

    const uint8_t* address(uint32_t row) const { return bytes_.get() + static_cast<size_t>(row) * 3; }

    // One LF step: moves `row` on to its image and returns the byte of the
    // row it arrives at, the next byte of the walk (going backwards through
    // the block). Every walk over this table steps through here.
    MORV_FORCE_INLINE uint8_t step(uint32_t& row) const {
        row = image(row);
        return byteOfImage(row);
    }

    // ends[c]: one past the last row whose image is in bucket c.
    void setBuckets(const uint32_t* ends) { buckets_.set(ends, n_); }

    // The byte of the row whose image is x (x < n).
    uint8_t byteOfImage(uint32_t x) const { return buckets_.byteOf(x); }

private:
    uint32_t n_;
    std::unique_ptr<uint8_t[]> bytes_;
    ImageBuckets buckets_;
};

// Two LF steps a row, n < 2^24 rows of one word each: bits 24..31 hold the
// row's byte, bits 0..23 its image two steps on, whose bucket gives the
// second byte; where the first step lands on a marker row of the walk, n +
// that marker's id instead (see walkPairSegments). Each random read then
// yields two bytes.
class PairRows {
public:
    PairRows(uint32_t n, const uint32_t* ends)
        : n_(n), words_(std::make_unique_for_overwrite<uint32_t[]>(n)) {
        buckets_.set(ends, n);
    }

    uint32_t size() const { return n_; }
    void set(uint32_t row, uint32_t word) { words_[row] = word; }
    MORV_FORCE_INLINE uint32_t word(uint32_t row) const { return words_[row]; }
    MORV_FORCE_INLINE uint8_t byteOfImage(uint32_t x) const { return buckets_.byteOf(x); }
    const void* address(uint32_t row) const { return words_.get() + row; }
    uint8_t* storage() { return reinterpret_cast<uint8_t*>(words_.get()); }
    size_t storageSize() const { return sizeof(uint32_t) * size_t{n_}; }

private:
    uint32_t n_;
    std::unique_ptr<uint32_t[]> words_;
    ImageBuckets buckets_;
};

// text repeated four times makes every marker a row of the same copy, and
// one segment three quarters of the block long). A first round only
// measures every segment and notes the marker it runs into; the chain from
// the first suffix index then gives each segment its place in the block, and
// a second round walks them again writing the bytes straight into place.
// Returns false (out untouched) when that chain does not cover all n rows,
// which only a damaged column can cause.
class WordTableWalk {
public:
    static constexpr uint32_t kImageMask = (1u << 23) - 1;
    static constexpr uint32_t kMarkerFlag = 1u << 23;
    static constexpr uint32_t kLimit = 1u << 23;  // rows the index bits hold

    WordTableWalk(const uint32_t* rows, uint32_t n, uint32_t firstIndex, uint32_t shift)
        : rows_(rows),
          n_(n),
          firstIndex_(firstIndex),
          shift_(shift),
          mask_((1u << shift) - 1),
          regular_((n >> shift) + ((offset(n >> shift) < (n & mask_)) ? 1 : 0)),
          markers_(regular_ + (isRegular(firstIndex) ? 0 : 1)),
          length_(markers_),
          link_(markers_),
          end_(markers_) {}

    bool isMarker(uint32_t row) const { return isRegular(row) || row == firstIndex_; }

    // One LF step over the table: reads the word of `row` and moves `row` on
    // to its image. With Write it puts the row's byte at out[--t] (the walk
    // goes backwards through the block), else it counts the step in t.
    // Returns the image's marker flag (0 or kMarkerFlag). Every walk over
    // the table steps through here.
    template <bool Write>
    static MORV_FORCE_INLINE uint32_t step(const uint32_t* rows, uint32_t& row, uint32_t& t,
                                           uint8_t* out) {
        const uint32_t w = rows[row];
        if (Write)
            out[--t] = static_cast<uint8_t>(w >> 24);
        else
            ++t;
        row = w & kImageMask;
        return w & kMarkerFlag;
    }

    bool run(uint8_t* out) {
        walk<false>(nullptr);
        if (!chainSegments(length_.data(), link_.data(), markers_, idOf(firstIndex_), n_, end_.data()))
            return false;
        walk<true>(out);
        return true;
    }

private:
    // Segments walked side by side. (16 instead, bench_bwt
    // inverseBwtWordTableLanes, medians of 3, two interleaved rounds: html
    // 0.29 -> 0.33-0.35 ms, alice29.txt 0.45-0.46 -> 0.50, kppkn.gtb
    // 0.53-0.55 -> 0.63; faster only on urls.10K, 3.7-3.8 -> 3.3-3.6 ms,
    // a block the pair table takes.)
    static constexpr uint32_t kLanes = 8;

    // The marker of stretch m sits at row (m << shift) + offset(m).
    // Golden-ratio steps: well spread, and one multiplication per row when
    // the table is built.
    uint32_t offset(uint32_t m) const { return (m * 0x9E3779B1u) >> (32 - shift_); }
    bool isRegular(uint32_t row) const { return (row & mask_) == offset(row >> shift_); }
    uint32_t idOf(uint32_t row) const { return isRegular(row) ? row >> shift_ : regular_; }
    uint32_t rowOf(uint32_t id) const {
        return id < regular_ ? (id << shift_) + offset(id) : firstIndex_;
    }

    // Walks every segment once. Without output it records each segment's
    // length and the marker it runs into; with output it writes each
    // segment backwards from its end_ position.
    template <bool Write>
    void walk(uint8_t* out) {
        uint32_t row[kLanes];
        uint32_t id[kLanes];
        uint32_t t[kLanes];  // Write: next position to fill + 1; else the count
        uint32_t next = 0;
        auto begin = [&](uint32_t l) {
            id[l] = next;
            row[l] = rowOf(next);
            t[l] = Write ? end_[next] : 0;
            ++next;
        };
        auto finish = [&](uint32_t l) {
            if (!Write) {
                length_[id[l]] = t[l];
                link_[id[l]] = idOf(row[l]);
            }
        };
        uint32_t live = 0;
        while (live < kLanes && next < markers_) begin(live++);
        if (live == kLanes) {
            // All lanes busy while markers remain: one step of each per round.
            for (;;) {
                uint32_t flags = 0;
                for (uint32_t l = 0; l < kLanes; ++l) {
                    flags |= step<Write>(rows_, row[l], t[l], out) >> (23 - l);
                }
                if (flags == 0) continue;
                bool drained = false;
                for (uint32_t l = 0; l < kLanes; ++l) {
                    if ((flags >> l & 1u) == 0) continue;
                    finish(l);
                    if (next < markers_) {
                        begin(l);
                    } else {
                        // Lane l is done; the others finish below.
                        row[l] = kLimit;
                        drained = true;
                    }
                }
                if (drained) break;
            }
        }
        // The lanes still walking, one at a time: each to the end of its
        // segment, then through the markers no lane has taken yet.
        auto walkToMarker = [&](uint32_t l) {
            while (step<Write>(rows_, row[l], t[l], out) == 0) {}
            finish(l);
        };
        for (uint32_t l = 0; l < live; ++l) {
            if (row[l] == kLimit) continue;
            walkToMarker(l);
            while (next < markers_) {
                begin(l);
                walkToMarker(l);
            }
        }
    }

    const uint32_t* rows_;
    uint32_t n_;
    uint32_t firstIndex_;
    uint32_t shift_;
    uint32_t mask_;
    uint32_t regular_;  // stretches whose marker row lies below n
    uint32_t markers_;
    std::vector<uint32_t> length_;
    std::vector<uint32_t> link_;
    std::vector<uint32_t> end_;
};

// The column's byte counts, in four quarters (see countColumn), and the
// bucket bounds of the first column.
struct ColumnCounts {
    uint32_t counts[4][256] = {};
    uint32_t starts[256];  // number of bytes of the column below c
    uint32_t ends[256];    // one past the last row of bucket c
    uint8_t last = 0;      // in[firstIndex]
    uint32_t part = 0;     // n / 4
};

ColumnCounts countColumn(const uint8_t* in, uint32_t n, uint32_t firstIndex) {
    // starts[c]: number of bytes of the column below c, then the next row of
    // bucket c. Rows are handed out in the order in[I], in[0..I), in(I..n),
    // which gives every row j its LF image: the row of the suffix one
    // position earlier. The images form a permutation of 0..n-1, so every
    // walk below stays inside the column whatever bytes it holds.
    //
    // The column is counted in four quarters, each into a table of its own:
    // a column is full of runs, and one table would make every byte of a run
    // wait for the count of the byte before. Row I is then taken out of its
    // quarter's count, since it comes first. The quarters also let the word
    // table below be built as four independent chains of bucket counters.
    ColumnCounts cc;
    const uint32_t part = n / 4;
    auto& counts = cc.counts;
    for (uint32_t i = 0; i < part; ++i) {
        ++counts[0][in[i]];
        ++counts[1][in[part + i]];
        ++counts[2][in[2 * part + i]];
        ++counts[3][in[3 * part + i]];
    }
    for (uint32_t k = 4 * part; k < n; ++k) ++counts[3][in[k]];
    const uint8_t last = in[firstIndex];
    --counts[part == 0 ? 3 : std::min(firstIndex / part, 3u)][last];
    cc.last = last;
    cc.part = part;
    uint32_t* starts = cc.starts;
    uint32_t* ends = cc.ends;
    uint32_t sum = 0;
    for (uint32_t c = 0; c < 256; ++c) {
        starts[c] = sum;
        sum += counts[0][c] + counts[1][c] + counts[2][c] + counts[3][c] + (c == last ? 1 : 0);
        ends[c] = sum;
    }
    return cc;
}

}  // namespace

static_assert(kWordTableRowLimit <= WordTableWalk::kLimit);
static_assert(kPackedRowsLimit <= PackedRows::kLimit);

void inverseBwtWordTable(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex, bool lanes) {
    assert(n >= 1 && n <= kWordTableRowLimit && firstIndex < n);
    const ColumnCounts k = countColumn(in, n, firstIndex);
    const auto& counts = k.counts;
    const uint32_t* starts = k.starts;
    const uint8_t last = k.last;
    const uint32_t part = k.part;
    // One word per row: its LF image, whether that image is a marker
    // (lanes only) and the row's byte on top.
    const auto table = std::make_unique_for_overwrite<uint32_t[]>(n);
    uint32_t* rows = table.get();
    // next[q][c]: the next row of bucket c in quarter q of the order.
    // Row I draws from a bucket of its own (256), which nothing reads,
    // and gets its row afterwards.
    uint32_t next[4][257];
    for (uint32_t q = 0; q < 4; ++q) next[q][256] = 0;
    for (uint32_t c = 0; c < 256; ++c) {
        uint32_t row = starts[c] + (c == last ? 1 : 0);
        for (uint32_t q = 0; q < 4; ++q) {
            next[q][c] = row;
            row += counts[q][c];
        }
    }
    auto place = [&](uint32_t q, uint32_t k) {
        const uint32_t c = in[k];
        rows[k] = next[q][k == firstIndex ? 256u : c]++ | (c << 24);
    };
    for (uint32_t i = 0; i < part; ++i) {
        place(0, i);
        place(1, part + i);
        place(2, 2 * part + i);
        place(3, 3 * part + i);
    }
    for (uint32_t k = 4 * part; k < n; ++k) place(3, k);
    rows[firstIndex] = starts[last] | (uint32_t{last} << 24);
    if (lanes) {
        // About 2048 segments, at least 64 rows apart.
        uint32_t shift = 6;
        while (shift < 20 && (n >> (shift + 1)) >= 2048) ++shift;
        WordTableWalk lanes(rows, n, firstIndex, shift);
        // The marker flags in a pass of their own, free of the chains of
        // bucket counters above. (Set in the filling loop instead, bench_bwt
        // inverseBwtWordTableLanes, medians of 3, two interleaved rounds:
        // alice29.txt 0.45 -> 0.48-0.49 ms, fireworks.jpeg 0.32 -> 0.36-0.37,
        // kppkn.gtb 0.53-0.54 -> 0.57-0.63, urls.10K 3.53-3.59 -> 3.66-3.69.)
        // Walking these blocks with the 64 lanes and streams of the larger
        // tables (walkInLanes on this table, one walk instead of two) was
        // slower still: alice29.txt 0.52 -> 0.65-0.67 ms, kppkn.gtb 0.61-0.65
        // -> 0.96-0.99, lcet10.txt 1.88-1.92 -> 2.39-2.45, urls.10K 3.5 ->
        // 4.35.
        for (uint32_t k = 0; k < n; ++k) {
            rows[k] |=
                lanes.isMarker(rows[k] & WordTableWalk::kImageMask) ? WordTableWalk::kMarkerFlag : 0u;
        }
        if (lanes.run(out)) return;
        // The segments do not chain up into one cycle through all n
        // rows: the plain walk below refuses the column.
    }
    uint32_t j = firstIndex;
    uint32_t t = n;
    do {
        WordTableWalk::step<true>(rows, j, t, out);
    } while (j != firstIndex && t != 0);
    checkWalkEnd(t, j, firstIndex);
}

namespace {

// Fills the packed table as the serial loop in inverseBwtPackedRows does,
// the column cut into `parts` stretches counted and then filled on a thread
// each: row k of byte c gets starts[c], plus 1 when c is the first suffix
// index's byte (its row comes first), plus the occurrences of c before k
// other than the first suffix index's. Returns the bucket ends.
std::array<uint32_t, 256> fillRowsInParts(PackedRows& rows, const uint8_t* in, uint32_t n,
                                          uint32_t firstIndex, uint32_t parts) {
    std::vector<std::array<uint32_t, 256>> counts(parts);
    auto from = [n, parts](uint32_t t) { return static_cast<uint32_t>(uint64_t{n} * t / parts); };
    runTasks(parts, [&](uint32_t t) { counts[t] = countBytes(in, from(t), from(t + 1)); });
    const uint8_t last = in[firstIndex];
    uint32_t owner = 0;
    while (from(owner + 1) <= firstIndex) ++owner;
    --counts[owner][last];
    std::array<uint32_t, 256> ends{};
    std::vector<std::array<uint32_t, 256>> next(parts);
    uint32_t sum = 0;
    for (uint32_t c = 0; c < 256; ++c) {
        const uint32_t start = sum;
        uint32_t row = start + (c == last ? 1 : 0);
        for (uint32_t t = 0; t < parts; ++t) {
            next[t][c] = row;
            row += counts[t][c];
        }
        sum = row;
        ends[c] = sum;
        if (c == last) rows.set(firstIndex, start);
    }
    runTasks(parts, [&](uint32_t t) {
        std::array<uint32_t, 256>& mine = next[t];
        const uint32_t end = from(t + 1);
        for (uint32_t k = from(t); k < end; ++k) {
            if (k != firstIndex) rows.set(k, mine[in[k]]++);
        }
    });
    return ends;
}

}  // namespace

namespace {

// The lanes' streams fit the table's storage from 2^16 rows on; the
// dispatch sends only blocks far above that to the lane walks.
constexpr uint32_t kLaneMinimum = 1u << 16;

// The marker spacing of a lane walk over n rows: about 4096 segments, at
// least 64 rows apart.
uint32_t laneShift(uint32_t n) {
    uint32_t shift = 6;
    while (shift < 20 && (n >> (shift + 1)) >= 4096) ++shift;
    return shift;
}

}  // namespace

// On small pages: asking for large ones (madvise MADV_HUGEPAGE on the whole
// 2 MiB pages of the table) made the walk 7 to 8% faster in a process that
// had freed such pages a moment before (bench_bwt inverseBwt, python_10MiB
// 118.5 -> 109 ms), but a run of the program on its own slower, where the
// system has to find and clear fresh large pages for it: extraction of one
// 10 MiB block after 3 s idle, the builds alternated, median of 8 to 10:
// text.10M 284 -> 246 ms and binary.10M 362 -> 317 ms on one processor,
// text.10M 227 -> 160 ms on two (the run table, alike); run straight after
// one another, 2 to 8% the other way.
std::unique_ptr<uint8_t[]> allocatePackedRows(uint32_t n) {
    return std::make_unique_for_overwrite<uint8_t[]>(packedRowsBytes(n));
}

void inverseBwtPackedRows(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex,
                          unsigned threads, std::unique_ptr<uint8_t[]> storage) {
    assert(n >= 1 && n <= kPackedRowsLimit && firstIndex < n);
    const uint32_t walkers =
        std::clamp<uint32_t>(std::min<uint32_t>(threads, n / kRowsPerWalkThread), 1, kMaxWalkThreads);
    PackedRows rows(n, std::move(storage));
    if (walkers > 1) {
        rows.setBuckets(fillRowsInParts(rows, in, n, firstIndex, walkers).data());
    } else {
        ColumnCounts k = countColumn(in, n, firstIndex);
        uint32_t* starts = k.starts;
        const uint8_t last = k.last;
        rows.setBuckets(k.ends);
        const uint32_t firstImage = starts[last]++;
        for (uint32_t k = 0; k < firstIndex; ++k) rows.setSpilling(k, starts[in[k]]++);
        for (uint32_t k = firstIndex + 1; k < n; ++k) rows.setSpilling(k, starts[in[k]]++);
        rows.set(firstIndex, firstImage);  // after the spill of the row before it
    }
    if (n >= kLaneMinimum) {
        if (walkInLanes(out, rows, n, firstIndex, laneShift(n), walkers)) return;
        // Not one cycle through all n rows: the serial walk refuses it.
    }
    walkSerial(out, rows, n, firstIndex);
}

void inverseBwtPairRows(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex) {
    assert(n >= 1 && n <= kPairRowsLimit && firstIndex < n);
    if (n < kLaneMinimum) {
        inverseBwtPackedRows(out, in, n, firstIndex, 1);
        return;
    }
    const ColumnCounts k = countColumn(in, n, firstIndex);
    const uint8_t last = k.last;
    const PackedMarkers markers(n, firstIndex, laneShift(n));
    assert(uint64_t{n} + markers.count <= (1u << 24));
    // Two steps from row r: the first onto y = LF(r), whose byte in[y] = a
    // heads the second, onto LF(y). The rows y other than the first suffix
    // index with byte a come in bucket a in the order of their own rows,
    // which is the order of (the bucket y lies in, the row r before it), so
    // LF(y) is the start of bucket a (one further for a = in[firstIndex],
    // whose own image comes first), plus the rows of byte a in the buckets
    // before y's, plus those of byte a before y in its bucket.
    // pair[a << 8 | b] first counts the rows of byte a in bucket b, then
    // holds the next image of pair (a, b).
    std::vector<uint32_t> pair(size_t{1} << 16, 0);
    for (uint32_t b = 0; b < 256; ++b) {
        const uint32_t from = k.starts[b];
        const uint32_t to = k.ends[b];
        if (from == to) continue;
        const std::array<uint32_t, 256> counts = countBytes(in, from, to);
        for (uint32_t a = 0; a < 256; ++a) pair[(a << 8) | b] = counts[a];
        if (from <= firstIndex && firstIndex < to) --pair[(uint32_t{in[firstIndex]} << 8) | b];
    }
    for (uint32_t a = 0; a < 256; ++a) {
        uint32_t row = k.starts[a] + (a == last ? 1 : 0);
        for (uint32_t b = 0; b < 256; ++b) {
            const uint32_t count = pair[(a << 8) | b];
            pair[(a << 8) | b] = row;
            row += count;
        }
    }
    PairRows rows(n, k.ends);
    uint32_t next[256];
    for (uint32_t c = 0; c < 256; ++c) next[c] = k.starts[c] + (c == last ? 1 : 0);
    auto fill = [&](uint32_t r, uint32_t y) {
        const uint32_t b = in[r];
        uint32_t image = 0;
        // The rows y of each byte b are read in order, 256 streams at once,
        // too many for the processor to see ahead: filling a 10 MiB block's
        // table (harness, fastest of 8) cc1plus 27.7 -> 23.1 ms, Python
        // sources 21.1 -> 20.5 ms.
        MORV_PREFETCH_READ(in + std::min(y + 192, n));
        if (y != firstIndex) image = pair[(uint32_t{in[y]} << 8) | b]++;
        if (markers.isMarker(y)) image = n + markers.idOf(y);
        rows.set(r, image | (b << 24));
    };
    // Rows in the order of their images: the first suffix index, then the
    // others in row order.
    fill(firstIndex, k.starts[last]);
    for (uint32_t r = 0; r < firstIndex; ++r) fill(r, next[in[r]]++);
    for (uint32_t r = firstIndex + 1; r < n; ++r) fill(r, next[in[r]]++);
    if (walkInLanes<PairRows, true>(out, rows, n, firstIndex, markers.shift, 1)) return;
    // Not one cycle through all n rows: the serial walk refuses it.
    walkPairsSerial(out, rows, markers);
}

namespace {

// The run word table as the lane walk reads it (see RunWordTable).
class RunWordRows {
public:
    explicit RunWordRows(RunWordTable& table) : words_(table.words()), n_(table.size()) {
        table.bases(base_);
    }

    MORV_FORCE_INLINE uint8_t step(uint32_t& row) const {
        const uint32_t w = words_[row];
        row = (base_[w >> 24] + w) & 0xFFFFFFu;
        return static_cast<uint8_t>(w >> 24);
    }
    const void* address(uint32_t row) const { return words_ + row; }
    uint8_t* storage() { return reinterpret_cast<uint8_t*>(words_); }
    size_t storageSize() const { return sizeof(uint32_t) * size_t{n_}; }

private:
    uint32_t* words_;
    uint32_t n_;
    uint32_t base_[256];
};

}  // namespace

void inverseBwtRunWordsLanes(uint8_t* out, RunWordTable& table, unsigned threads) {
    const uint32_t n = table.size();
    const uint32_t firstIndex = table.firstIndex();
    assert(n <= kPackedRowsLimit && firstIndex < n);
    RunWordRows rows(table);
    const uint32_t walkers =
        std::clamp<uint32_t>(std::min<uint32_t>(threads, n / kRowsPerWalkThread), 1, kMaxWalkThreads);
    if (n >= kLaneMinimum && walkInLanes(out, rows, n, firstIndex, laneShift(n), walkers)) return;
    // A short block, or not one cycle through all n rows, which the serial
    // walk then refuses.
    walkSerial(out, rows, n, firstIndex);
}
