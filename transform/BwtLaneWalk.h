// The lane walk of the inverse Burrows–Wheeler transform's large tables: the
// cycle of the LF mapping cut at marker rows into segments, walked side by
// side in many lanes (and on several threads), chained from the first suffix
// index and copied into place. The table is a template parameter Rows with
//   uint8_t step(uint32_t& row) const   one LF step: moves row to its image
//                                       and returns the byte of the walk;
//   const void* address(uint32_t row) const   what step(row) reads first;
//   uint8_t* storage(); size_t storageSize() const   the table's memory,
//                                       reused once the walk is over.
// Shared by the transform's fast walks only (BwtInverseFast.cpp).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/Compiler.h"
#include "transform/BwtWalkCheck.h"

#if MORV_HAVE_THREADS
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#endif

namespace bwt_lanes {

// Serial walk: out[n-1] is the byte of the first suffix index's row, every
// further step moves to the LF image and takes its row's byte. Throws when
// the walk does not come back to the first suffix index after exactly n
// steps (see checkWalkEnd).
template <class Rows>
void walkSerial(uint8_t* out, const Rows& rows, uint32_t n, uint32_t firstIndex) {
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
inline bool chainSegments(const uint32_t* lengths, const uint32_t* links, uint32_t count, uint32_t start,
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

// Lane l has stepped onto the marker row of id `link`: records its
// segment's length and the marker it ran into, then starts the lane on the
// next segment of the queue. With none left the lane retires and the last
// walking lane takes its place. Returns true when lane l walks on, false
// when it retired (a moved lane, not yet stepped this round, may now sit at
// l).
MORV_FORCE_INLINE bool endSegment(PackedLanes& lanes, uint32_t l, uint32_t link,
                                  const PackedMarkers& markers, MarkerQueue& queue,
                                  PackedSegments& segments) {
    segments.length[lanes.id[l]] = lanes.count[l];
    segments.link[lanes.id[l]] = link;
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
template <class Rows>
void walkSegments(const Rows& rows, const PackedMarkers markers, MarkerQueue& queue,
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
            } else if (endSegment(lanes, l, markers.idOf(row), markers, queue, segments)) {
                ++l;
            }
        }
    }
}

// Appends byte b to lane l's stream.
MORV_FORCE_INLINE void appendByte(PackedLanes& lanes, uint32_t l, LaneStreams& streams, uint8_t b) {
    *lanes.cur[l]++ = b;
    if (lanes.cur[l] == lanes.limit[l]) takeChunk(lanes, l, streams);
}

// walkSegments over a table of two LF steps a row (Rows as above, with
//   uint32_t size() const                 n, the rows;
//   uint32_t word(uint32_t row) const     bits 0..23: the image two steps
//                                         on, or n + the id of the marker
//                                         row one step on; bits 24..31: the
//                                         byte of the first step;
//   uint8_t byteOfImage(uint32_t x) const the byte of the step onto x),
// so each random read takes a lane two bytes on: the same segments, lengths
// and links as walkSegments, with half the reads.
template <class Rows>
void walkPairSegments(const Rows& rows, const PackedMarkers markers, MarkerQueue& queue,
                      uint32_t firstStream, LaneStreams& streams, PackedSegments& segments) {
    const uint32_t n = rows.size();
    PackedLanes lanes;
    startLanes(lanes, firstStream, markers, queue, streams, segments);
    while (lanes.active > 0 && !streams.overflowed()) {
        for (uint32_t l = 0; l < lanes.active;) {
            const uint32_t w = rows.word(lanes.row[l]);
            appendByte(lanes, l, streams, static_cast<uint8_t>(w >> 24));
            const uint32_t image = w & 0xFFFFFFu;
            if (image >= n) [[unlikely]] {
                // The first step ends on a marker row.
                ++lanes.count[l];
                if (endSegment(lanes, l, image - n, markers, queue, segments)) ++l;
                continue;
            }
            appendByte(lanes, l, streams, rows.byteOfImage(image));
            lanes.count[l] += 2;
            if (!markers.isMarker(image)) {
                lanes.row[l] = image;
                MORV_PREFETCH_READ(rows.address(image));
                ++l;
            } else if (endSegment(lanes, l, markers.idOf(image), markers, queue, segments)) {
                ++l;
            }
        }
    }
}

// walkSerial over a table of two steps a row (see walkPairSegments), with
// the same bytes and the same check: a step onto a marker row goes on from
// that row's own word.
template <class Rows>
void walkPairsSerial(uint8_t* out, const Rows& rows, const PackedMarkers& markers) {
    const uint32_t n = rows.size();
    const uint32_t firstIndex = markers.firstIndex;
    uint32_t j = firstIndex;
    uint32_t t = n;
    do {
        const uint32_t w = rows.word(j);
        out[--t] = static_cast<uint8_t>(w >> 24);
        const uint32_t image = w & 0xFFFFFFu;
        if (image >= n) {
            j = markers.rowOf(image - n);
            continue;
        }
        // A walk of n steps that ends one step on, on a row that is not a
        // marker and so not the first suffix index, fails the check.
        if (t == 0) throw Exception(kInvalidBwtMessage);
        out[--t] = rows.byteOfImage(image);
        j = image;
    } while (j != firstIndex && t != 0);
    checkWalkEnd(t, j, firstIndex);
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

// Writes the 8 bytes from src to dst in reverse order: one load, one byte
// swap and one store instead of eight of each. placeSegments on a 10 MiB
// block (harness timing, fastest of 8): Python sources 4.7 -> 3.1 ms,
// cc1plus 5.5 -> 2.9 ms.
MORV_FORCE_INLINE void storeReversed8(uint8_t* dst, const uint8_t* src) {
    uint64_t w;
    std::memcpy(&w, src, 8);
#if defined(__GNUC__) || defined(__clang__)
    w = __builtin_bswap64(w);
#else
    w = ((w & 0x00000000FFFFFFFFull) << 32) | ((w & 0xFFFFFFFF00000000ull) >> 32);
    w = ((w & 0x0000FFFF0000FFFFull) << 16) | ((w & 0xFFFF0000FFFF0000ull) >> 16);
    w = ((w & 0x00FF00FF00FF00FFull) << 8) | ((w & 0xFF00FF00FF00FF00ull) >> 8);
#endif
    std::memcpy(dst, &w, 8);
}

// Copies every segment's bytes, reversed, to its place in out (the lanes
// wrote them walking backwards through the block). The streams lie partly in
// out, so they are first gathered into the table's storage, which is no
// longer needed. Returns false, before touching anything, when the storage
// cannot hold them (which cannot happen from 2^16 rows on).
template <class Rows>
bool placeSegments(uint8_t* out, Rows& rows, const LaneStreams& streams,
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
            uint32_t i = 0;
            for (; i + 8 <= piece; i += 8) {
                dst -= 8;
                storeReversed8(dst, src + i);
            }
            for (; i < piece; ++i) *--dst = src[i];
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
// walk, and the table is still intact. Pairs: the table takes two steps a
// row (walkPairSegments). The result does not depend on the
// number of threads or on which thread walks which segment. Measured (bench_bwt
// inverseBwtThreads/<block>/threads:1 and :2, median of 5, on a machine
// shared with other work, so wall time gives no figure): the calling
// thread's processor time falls from 173 to 98 ms on python_10MiB, 155 to 91
// on cc1plus_10MiB and 23 to 18 on corpus_all, the rest going to the second
// thread.
template <class Rows, bool Pairs = false>
bool walkInLanes(uint8_t* out, Rows& rows, uint32_t n, uint32_t firstIndex, uint32_t shift,
                 uint32_t threads) {
    const PackedMarkers markers(n, firstIndex, shift);
    LaneStreams streams(out, n, threads * kPackedLanes);
    PackedSegments segments(markers.count);
    MarkerQueue queue(markers.count);
    runTasks(threads, [&](uint32_t t) {
        if constexpr (Pairs) {
            walkPairSegments(rows, markers, queue, t * kPackedLanes, streams, segments);
        } else {
            walkSegments(rows, markers, queue, t * kPackedLanes, streams, segments);
        }
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

}  // namespace bwt_lanes
