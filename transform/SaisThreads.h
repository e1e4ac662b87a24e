// Threads in the suffix sorter. The passes over the sorted LMS positions
// whose every step is independent of the others (comparing neighbouring LMS
// substrings, writing the names, turning the reduced order into positions)
// are cut into one contiguous part per thread, each part run to its end
// with one join: a handful of hand-overs per block, so a thread that the
// system puts aside for a while delays the sort by no more than that while.
// The induced scans stay on the calling thread: each of their steps depends
// on the bucket counters of the steps before it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/Compiler.h"

#if MORV_HAVE_THREADS
#include <system_error>
#include <thread>
#endif

namespace sais {

// Passes over fewer entries run on the calling thread alone: starting and
// joining a thread (some tens of microseconds) would cost more than it saves.
// (Not measured apart. The shared passes, naming and the mapping back, take
// a fifth of a 10 MiB block's sort; with the machine's two cores busy with
// other work, bench_bwt forwardBwtThreads/.../threads:2 timed within the
// noise of threads:1, so their gain is not yet shown.)
constexpr uint32_t kSharedPassMin = 1u << 16;
// At most this many threads share a pass.
constexpr unsigned kMaxPassThreads = 8;

// How many parts a pass over `count` entries is cut into on `threads`
// threads: 1 below kSharedPassMin entries, else min(threads, kMaxPassThreads).
inline unsigned partsFor(unsigned threads, uint32_t count) {
#if MORV_HAVE_THREADS
    return count < kSharedPassMin ? 1u : std::clamp(threads, 1u, kMaxPassThreads);
#else
    (void)threads;
    (void)count;
    return 1;
#endif
}

// The first entry of part k of `parts` over [0, count); part k is
// [partStart(k), partStart(k+1)).
inline uint32_t partStart(uint32_t count, unsigned parts, unsigned k) {
    return static_cast<uint32_t>(uint64_t{count} * k / parts);
}

// Runs part(k, lo, hi) for k = 0..parts-1 over the parts of [0, count), part 0
// on the calling thread and each other on a thread of its own, and returns
// when all are done. Where a thread cannot be started its part runs on the
// caller. Throws only std::bad_alloc, before any part has run.
template <class Part>
void runParts(unsigned parts, uint32_t count, Part part) {
#if MORV_HAVE_THREADS
    if (parts > 1) {
        std::vector<std::thread> helpers;
        helpers.reserve(parts - 1);
        unsigned k = 1;
        try {
            for (; k < parts; ++k) {
                helpers.emplace_back([&part, k, lo = partStart(count, parts, k),
                                      hi = partStart(count, parts, k + 1)] { part(k, lo, hi); });
            }
        } catch (const std::system_error&) {
            for (; k < parts; ++k) part(k, partStart(count, parts, k), partStart(count, parts, k + 1));
        }
        part(0, 0, partStart(count, parts, 1));
        for (std::thread& h : helpers) h.join();
        return;
    }
#endif
    (void)parts;
    part(0, 0, count);
}

}  // namespace sais
