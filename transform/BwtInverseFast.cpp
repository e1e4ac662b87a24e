// The fast walks of the inverse Burrows–Wheeler transform (see Bwt.cpp for
// the plain kernel, the dispatch and the measurements: the word table 27 to
// 46% faster than the plain kernel, its lanes a further 13 to 38% from
// 100 KiB on, the packed table in lanes 9 times faster on 10 MiB blocks). The walk is bound by memory:
// one dependent random read per byte, and the first touch of the table's pages. The word table holds one
// word per row (the LF image and the row's byte), so each step is one read instead of the plain kernel's
// two. The packed table holds only each row's 3-byte LF image (rows below 2^24); the row's byte is the
// bucket that image falls in, found in tables that stay in the first-level cache. Larger blocks are
// walked in many interleaved segments so that dozens of reads are in flight at once.
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
#include "transform/BwtWalkCheck.h"

// Asking the system for large pages under the packed table (see
// adviseLargePages) is a Linux call.
#if defined(__linux__)
#include <sys/mman.h>
#define MORV_HAVE_LARGE_PAGE_ADVICE 1
#else
#define MORV_HAVE_LARGE_PAGE_ADVICE 0
#endif

#if MORV_HAVE_THREADS
#include <exception>
#include <system_error>
#include <thread>
#endif

namespace {

// Asks for the whole 2 MiB pages inside [p, p + size) to be backed by large
// pages: the walks read the packed table at random, and with 4 KiB pages
// nearly every read of a 10 MiB block's table also misses the address
// translation caches. Only a hint (where the system does not take it,
// nothing changes), and no memory is added: the ends stay on small pages.
// Measured against the walk without it (bench_bwt inverseBwt/<block>, the two
// builds alternated six times, median of the medians of 3, one processor):
// python_10MiB 118.5 -> 109 ms, cc1plus_10MiB 119.5 -> 110.5 (7 to 8% less);
// corpus_blk unchanged (20.1 ms).
void adviseLargePages(void* p, size_t size) {
#if MORV_HAVE_LARGE_PAGE_ADVICE
    constexpr uintptr_t kLargePage = uintptr_t{2} << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kLargePage - 1) & ~(kLargePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + size) & ~(kLargePage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)size;
#endif
}

// LF images of n < 2^24 rows, 3 bytes each, and the bucket bounds that give
// back a row's byte: in[j] is the byte c with starts[c] <= LF(j) < ends[c].
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
    void setBuckets(const uint32_t* ends) {
        std::memcpy(ends_, ends, sizeof(ends_));
        coarseShift_ = 0;
        while ((n_ >> coarseShift_) > 4096) ++coarseShift_;
        const uint32_t blocks = ((n_ - 1) >> coarseShift_) + 1;
        coarse_.assign(blocks, 0);
        uint8_t c = 0;
        for (uint32_t b = 0; b < blocks; ++b) {
            const uint32_t row = b << coarseShift_;
            while (ends_[c] <= row) ++c;
            coarse_[b] = c;
        }
    }

    // The byte of the row whose image is x (x < n).
    uint8_t byteOfImage(uint32_t x) const {
        uint32_t c = coarse_[x >> coarseShift_];
        while (ends_[c] <= x) ++c;
        return static_cast<uint8_t>(c);
    }

private:
    uint32_t n_;
    std::unique_ptr<uint8_t[]> bytes_;
    uint32_t ends_[256] = {};
    uint32_t coarseShift_ = 0;
    std::vector<uint8_t> coarse_;
};

// Serial walk: out[n-1] is the byte of the first suffix index's row, every
// further step moves to the LF image and takes its row's byte. Throws when
// the walk does not come back to the first suffix index after exactly n
// steps (see checkWalkEnd).
void walkSerial(uint8_t* out, const PackedRows& rows, uint32_t n, uint32_t firstIndex) {
    uint32_t j = firstIndex;
    uint32_t t = n;
    do {
        out[--t] = rows.step(j);
    } while (j != firstIndex && t != 0);
    checkWalkEnd(t, j, firstIndex);
}

// Both lane walks cut the cycle of the LF mapping at marker rows into
// segments, each running from one marker row to the next, and give every
// marker an id. lengths[id] is the number of rows of the segment that starts
// at marker id and links[id] the id of the marker it runs into; the segment
// of the first suffix index's marker, `start`, ends the block. Following the
// links from `start` gives the segments from the end of the block
// backwards; each one's end position in the block goes to ends[id]. True
// when the chain comes back to `start` after exactly n rows: then it is the
// one cycle through all rows and every segment has its place. False (ends
// partly written) when it closes early, runs past n rows or would go round
// more than `count` segments, which only a damaged column causes.
bool chainSegments(const uint32_t* lengths, const uint32_t* links, uint32_t count, uint32_t start,
                   uint32_t n, uint32_t* ends) {
    uint64_t placed = 0;
    uint32_t id = start;
    uint32_t steps = 0;
    do {
        ends[id] = static_cast<uint32_t>(n - placed);
        placed += lengths[id];
        id = links[id];
    } while (id != start && ++steps < count && placed < n);
    return id == start && placed == n;
}

// Lanes of the packed table's walk: many, since each step waits for one
// read from a table far larger than the caches.
constexpr uint32_t kPackedLanes = 64;

// Most threads one walk takes (their streams are numbered in 16 bits), and
// the fewest rows each thread walks: 2^18 rows a thread keep the chunks of
// every stream (n + 2^18 bytes per thread at most) within the table's 3n
// bytes, where placeSegments gathers them, and are worth a thread's start.
constexpr uint32_t kMaxWalkThreads = 64;
constexpr uint32_t kRowsPerWalkThread = 1u << 18;

// The marker rows of the packed table's walk: every multiple of 2^shift below
// n (ids 0 .. regular-1 in row order) and the first suffix index (id
// `regular`, when it is not such a multiple).
struct PackedMarkers {
    PackedMarkers(uint32_t n, uint32_t firstIndex, uint32_t shift)
        : shift(shift),
          mask((1u << shift) - 1),
          regular(((n - 1) >> shift) + 1),
          count(regular + ((firstIndex & mask) != 0 ? 1 : 0)),
          firstIndex(firstIndex) {}

    bool isMarker(uint32_t row) const { return (row & mask) == 0 || row == firstIndex; }
    uint32_t idOf(uint32_t row) const { return (row & mask) == 0 ? row >> shift : regular; }
    uint32_t rowOf(uint32_t id) const { return id < regular ? id << shift : firstIndex; }

    uint32_t shift;
    uint32_t mask;
    uint32_t regular;  // markers at rows m << shift
    uint32_t count;    // all markers
    uint32_t firstIndex;
};

// What the packed table's walk learns about each segment, by marker id.
struct PackedSegments {
    explicit PackedSegments(uint32_t count)
        : length(count, 0), link(count, 0), streamStart(count, 0), stream(count, 0), end(count, 0) {}

    std::vector<uint32_t> length;       // rows it covers
    std::vector<uint32_t> link;         // the marker it runs into
    std::vector<uint32_t> streamStart;  // where its bytes begin in their stream
    std::vector<uint16_t> stream;       // the stream that holds them
    std::vector<uint32_t> end;          // one past its last byte's place in the block
};

// The byte streams the lanes append to, one per lane (kPackedLanes for each
// thread of the walk), kept in fixed-size chunks handed out in turn: chunk k
// lies in `out` while it fits there, else in a side buffer. The walk covers
// at most n rows and each stream leaves at most one chunk part-filled, so
// streams + 2 side chunks always suffice; the count is still checked. Each
// stream is appended to by one thread only; the chunk numbers come from a
// counter they share.
class LaneStreams {
public:
    static constexpr uint32_t kChunk = 4096;

    LaneStreams(uint8_t* out, uint32_t n, uint32_t streams)
        : out_(out),
          fullChunks_(n / kChunk),
          capacity_(fullChunks_ + streams + 2),
          side_(static_cast<size_t>(streams + 2) * kChunk),
          chunks_(streams) {}

    // Gives stream `stream` its next chunk and returns where that begins.
    // Should the chunks run out (they cannot), marks the streams overflowed
    // and hands out `spare` (kChunk bytes of the caller's), so the walk ends
    // inside its buffers.
    uint8_t* take(uint32_t stream, uint8_t* spare) {
        const uint32_t k = next_.fetch_add(1, std::memory_order_relaxed);
        if (k >= capacity_) {
            overflowed_.store(true, std::memory_order_relaxed);
            return spare;
        }
        chunks_[stream].push_back(k);
        return chunkBase(k);
    }

    bool overflowed() const { return overflowed_.load(std::memory_order_relaxed); }

    // Bytes in the chunks handed out so far (once the walk is over).
    size_t size() const { return static_cast<size_t>(handedOut()) * kChunk; }

    // Copies the chunks handed out, in their order, to dst (size() bytes).
    void gather(uint8_t* dst) const {
        const uint32_t next = handedOut();
        const uint32_t inOut = std::min(next, fullChunks_);
        std::memcpy(dst, out_, static_cast<size_t>(inOut) * kChunk);
        if (next > fullChunks_) {
            std::memcpy(dst + static_cast<size_t>(fullChunks_) * kChunk, side_.data(),
                        static_cast<size_t>(next - fullChunks_) * kChunk);
        }
    }

    // Where byte v of stream `stream` lies in the gathered copy; the bytes
    // from there to the end of its chunk follow it in the stream.
    size_t gatheredOffset(uint32_t stream, uint32_t v) const {
        return static_cast<size_t>(chunks_[stream][v / kChunk]) * kChunk + v % kChunk;
    }

private:
    uint32_t handedOut() const { return std::min(next_.load(std::memory_order_relaxed), capacity_); }

    uint8_t* chunkBase(uint32_t k) {
        return k < fullChunks_ ? out_ + static_cast<size_t>(k) * kChunk
                               : side_.data() + static_cast<size_t>(k - fullChunks_) * kChunk;
    }

    uint8_t* out_;
    uint32_t fullChunks_;  // chunks that fit in out
    uint32_t capacity_;
    std::atomic<uint32_t> next_{0};
    std::atomic<bool> overflowed_{false};
    std::vector<uint8_t> side_;
    std::vector<std::vector<uint32_t>> chunks_;  // per stream, its chunks in order
};

// The segments not yet taken by a lane, handed out in marker order to the
// lanes of every thread of the walk. take() returns count or more when none
// is left.
struct MarkerQueue {
    explicit MarkerQueue(uint32_t count) : count(count) {}
    MORV_FORCE_INLINE uint32_t take() { return next.fetch_add(1, std::memory_order_relaxed); }

    std::atomic<uint32_t> next{0};
    uint32_t count;
};

// The walkers of the packed table on one thread, an entry per lane. Lane l
// walks segment id[l] and appends its bytes to stream slot[l] at cur[l].
// Kept on the stack of the walk, and touched only by the walk's inlined
// steps, so that the bytes it stores cannot alias them.
struct PackedLanes {
    uint32_t row[kPackedLanes];          // the row to read next
    uint32_t id[kPackedLanes];           // the segment being walked
    uint32_t count[kPackedLanes];        // its rows so far
    uint32_t slot[kPackedLanes];         // the stream appended to
    uint32_t written[kPackedLanes];      // bytes in that stream before the segment
    uint8_t* cur[kPackedLanes];          // next byte of the stream's current chunk
    uint8_t* limit[kPackedLanes];        // end of that chunk
    uint32_t active = 0;                 // lanes 0 .. active-1 are walking
    uint32_t pending = 0;                // a segment taken from the queue, not yet started
    uint8_t spare[LaneStreams::kChunk];  // written instead, should the chunks run out
};

// Gives lane l the next chunk of its stream.
MORV_FORCE_INLINE void takeChunk(PackedLanes& lanes, uint32_t l, LaneStreams& streams) {
    lanes.cur[l] = streams.take(lanes.slot[l], lanes.spare);
    lanes.limit[l] = lanes.cur[l] + LaneStreams::kChunk;
}

// Starts lane l on segment m, noting where in the lane's stream the
// segment's bytes begin.
MORV_FORCE_INLINE void startSegment(PackedLanes& lanes, uint32_t l, uint32_t m,
                                    const PackedMarkers& markers, PackedSegments& segments) {
    lanes.id[l] = m;
    lanes.row[l] = markers.rowOf(m);
    lanes.count[l] = 0;
    segments.streamStart[m] = lanes.written[l];
    segments.stream[m] = static_cast<uint16_t>(lanes.slot[l]);
}

// Sets the lanes' start rows: lane l takes stream firstStream + l, its first
// chunk and the next segment of the queue, for as many lanes as there are
// segments left.
MORV_FORCE_INLINE void startLanes(PackedLanes& lanes, uint32_t firstStream, const PackedMarkers& markers,
                                  MarkerQueue& queue, LaneStreams& streams, PackedSegments& segments) {
    while (lanes.active < kPackedLanes) {
        const uint32_t m = queue.take();
        if (m >= queue.count) break;
        const uint32_t l = lanes.active++;
        lanes.slot[l] = firstStream + l;
        lanes.written[l] = 0;
        takeChunk(lanes, l, streams);
        startSegment(lanes, l, m, markers, segments);
    }
}

// Lane l has stepped onto the marker row `row`: records its segment's length
// and the marker it ran into, then starts the lane on the next segment of the
// queue. With none left the lane retires and the last walking lane takes
// its place. Returns true when lane l walks on, false when it retired (a
// moved lane, not yet stepped this round, may now sit at l).
MORV_FORCE_INLINE bool endSegment(PackedLanes& lanes, uint32_t l, uint32_t row,
                                  const PackedMarkers& markers, MarkerQueue& queue,
                                  PackedSegments& segments) {
    segments.length[lanes.id[l]] = lanes.count[l];
    segments.link[lanes.id[l]] = markers.idOf(row);
    lanes.written[l] += lanes.count[l];
    const uint32_t m = queue.take();
    if (m < queue.count) {
        startSegment(lanes, l, m, markers, segments);
        return true;
    }
    const uint32_t last = --lanes.active;
    lanes.row[l] = lanes.row[last];
    lanes.id[l] = lanes.id[last];
    lanes.count[l] = lanes.count[last];
    lanes.slot[l] = lanes.slot[last];
    lanes.written[l] = lanes.written[last];
    lanes.cur[l] = lanes.cur[last];
    lanes.limit[l] = lanes.limit[last];
    return false;
}

// The lane walk of one thread: kPackedLanes lanes side by side, one step of
// each lane per round, each lane appending the bytes it passes to its stream
// and going on with the next segment of the queue when it reaches a marker.
// Fills in the length, link and stream place of every segment it walks.
// Several threads may run it at once on the same queue, streams and
// segments, each with its own range of streams; together they walk every
// segment once.
void walkSegments(const PackedRows& rows, const PackedMarkers markers, MarkerQueue& queue,
                  uint32_t firstStream, LaneStreams& streams, PackedSegments& segments) {
    PackedLanes lanes;
    startLanes(lanes, firstStream, markers, queue, streams, segments);
    while (lanes.active > 0 && !streams.overflowed()) {
        for (uint32_t l = 0; l < lanes.active;) {
            // Each lane asks for its next row as soon as it knows it and
            // reads it one round later, by when it has usually arrived.
            uint32_t row = lanes.row[l];
            *lanes.cur[l]++ = rows.step(row);
            if (lanes.cur[l] == lanes.limit[l]) takeChunk(lanes, l, streams);
            ++lanes.count[l];
            if (!markers.isMarker(row)) {
                lanes.row[l] = row;
                MORV_PREFETCH_READ(rows.address(row));
                ++l;
            } else if (endSegment(lanes, l, row, markers, queue, segments)) {
                ++l;
            }
        }
    }
}

// Runs task(0) .. task(count - 1), each on a thread of its own, the calling
// thread taking task 0 (and, should a thread fail to start, the tasks left
// for it). Returns when all are done; then rethrows the first exception a
// task threw. The tasks must not depend on each other's progress.
template <typename Task>
void runTasks(uint32_t count, const Task& task) {
#if MORV_HAVE_THREADS
    std::vector<std::exception_ptr> failures(count);
    auto guarded = [&task, &failures](uint32_t i) {
        try {
            task(i);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    uint32_t started = 1;
    try {
        helpers.reserve(count - 1);
        for (; started < count; ++started) helpers.emplace_back(guarded, started);
    } catch (const std::system_error&) {
        // The rest run on the calling thread.
    } catch (const std::bad_alloc&) {}
    guarded(0);
    for (uint32_t i = started; i < count; ++i) guarded(i);
    for (auto& helper : helpers) helper.join();
    for (const auto& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
#else
    for (uint32_t i = 0; i < count; ++i) task(i);
#endif
}

// Copies every segment's bytes, reversed, to its place in out (the lanes
// wrote them walking backwards through the block). The streams lie partly in
// out, so they are first gathered into the table's storage, which is no
// longer needed. Returns false, before touching anything, when the storage
// cannot hold them (which cannot happen from 2^16 rows on).
bool placeSegments(uint8_t* out, PackedRows& rows, const LaneStreams& streams,
                   const PackedSegments& segments) {
    constexpr uint32_t kChunk = LaneStreams::kChunk;
    if (streams.size() > rows.storageSize()) return false;
    uint8_t* gathered = rows.storage();
    streams.gather(gathered);
    const uint32_t count = static_cast<uint32_t>(segments.length.size());
    for (uint32_t m = 0; m < count; ++m) {
        uint32_t v = segments.streamStart[m];
        uint8_t* dst = out + segments.end[m];
        for (uint32_t left = segments.length[m]; left > 0;) {
            const uint8_t* src = gathered + streams.gatheredOffset(segments.stream[m], v);
            const uint32_t piece = std::min(left, kChunk - v % kChunk);
            for (uint32_t i = 0; i < piece; ++i) *--dst = src[i];
            v += piece;
            left -= piece;
        }
    }
    return true;
}

// The serial walk cut into segments that run side by side, so that many
// independent memory reads are in flight instead of one. Marker rows (every
// multiple of 2^shift, and the first suffix index) cut the cycle of the LF
// mapping into segments. Each lane walks one segment after another and
// appends the bytes to its own stream, kept in chunks handed out from `out`
// itself (the few chunks past its end come from a small side buffer). With
// several threads each walks its own lanes, taking segments from the same
// queue. The chain of segments from the first suffix index then gives every
// segment its place in the block, and each segment is copied there reversed.
// Returns false when the cycle through the first suffix index does not cover
// all n rows (a damaged column); out is then to be rewritten by the serial
// walk, and the table is still intact. The result does not depend on the
// number of threads or on which thread walks which segment. Measured (bench_bwt
// inverseBwtThreads/<block>/threads:1 and :2, median of 5, on a machine
// shared with other work, so wall time gives no figure): the calling
// thread's processor time falls from 173 to 98 ms on python_10MiB, 155 to 91
// on cc1plus_10MiB and 23 to 18 on corpus_all, the rest going to the second
// thread.
bool walkInLanes(uint8_t* out, PackedRows& rows, uint32_t n, uint32_t firstIndex, uint32_t shift,
                 uint32_t threads) {
    const PackedMarkers markers(n, firstIndex, shift);
    LaneStreams streams(out, n, threads * kPackedLanes);
    PackedSegments segments(markers.count);
    MarkerQueue queue(markers.count);
    runTasks(threads, [&](uint32_t t) {
        walkSegments(rows, markers, queue, t * kPackedLanes, streams, segments);
    });
    return !streams.overflowed() &&
           chainSegments(segments.length.data(), segments.link.data(), markers.count,
                         markers.idOf(firstIndex), n, segments.end.data()) &&
           placeSegments(out, rows, streams, segments);
}

// Walk over a table of one word per row: bits 0..22 the row's LF image,
// bit 23 set when that image is a marker row, bits 24..31 the row's byte.
// Marker rows (one at a scrambled offset inside every stretch of 2^shift
// rows, and the first suffix index) cut the cycle of the LF mapping into
// segments; kLanes segments are walked side by side so that as many
// independent reads are in flight. The offsets are scrambled because evenly
// spaced markers can line up with the structure of a repetitive block (a
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
        // bucket counters above.
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
    runTasks(parts, [&](uint32_t t) {
        // Four tables, so that a run of one byte does not make every count
        // wait for the one before.
        uint32_t c4[4][256] = {};
        const uint32_t begin = from(t);
        const uint32_t end = from(t + 1);
        uint32_t k = begin;
        for (; k + 4 <= end; k += 4) {
            ++c4[0][in[k]];
            ++c4[1][in[k + 1]];
            ++c4[2][in[k + 2]];
            ++c4[3][in[k + 3]];
        }
        for (; k < end; ++k) ++c4[0][in[k]];
        for (uint32_t c = 0; c < 256; ++c) counts[t][c] = c4[0][c] + c4[1][c] + c4[2][c] + c4[3][c];
    });
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

std::unique_ptr<uint8_t[]> allocatePackedRows(uint32_t n) {
    auto bytes = std::make_unique_for_overwrite<uint8_t[]>(packedRowsBytes(n));
    adviseLargePages(bytes.get(), packedRowsBytes(n));
    return bytes;
}

void inverseBwtPackedRows(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex,
                          unsigned threads, std::unique_ptr<uint8_t[]> storage) {
    assert(n >= 1 && n <= kPackedRowsLimit && firstIndex < n);
    // The lanes' streams fit the table's storage from 2^16 rows on; the
    // dispatch sends only blocks far above that here.
    constexpr uint32_t kLaneMinimum = 1u << 16;
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
        rows.set(firstIndex, starts[last]++);
        for (uint32_t k = 0; k < firstIndex; ++k) rows.set(k, starts[in[k]]++);
        for (uint32_t k = firstIndex + 1; k < n; ++k) rows.set(k, starts[in[k]]++);
    }
    if (n >= kLaneMinimum) {
        // About 4096 segments, at least 64 rows apart.
        uint32_t shift = 6;
        while (shift < 20 && (n >> (shift + 1)) >= 4096) ++shift;
        if (walkInLanes(out, rows, n, firstIndex, shift, walkers)) return;
        // Not one cycle through all n rows: the serial walk refuses it.
    }
    walkSerial(out, rows, n, firstIndex);
}
