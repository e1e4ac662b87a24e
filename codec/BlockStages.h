// The stages every block codec starts compression and ends extraction with:
// the transform of the block, with the input histogram, the transform dump
// and the verbose lines around it, and its inverse.
#pragma once

#include <cstdint>
#include <ostream>

#include <new>
#include <system_error>
#include <vector>

#include "base/Compiler.h"
#include "base/Platform.h"
#include "codec/BlockContext.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "transform/Bwt.h"
#include "transform/SuffixSorter.h"

#if MORV_HAVE_THREADS
#include <thread>
#endif

// Clock readings around a stage, for its timing line.
struct StageClock {
    int32_t start = 0;
    int32_t end = 0;
};

// Records the input histogram when asked, transforms block[0..L) in place
// and writes the transform dump when asked. Returns the first suffix index
// and the clock readings around the transform. When a suffix listing is
// wanted the suffix array is built, listed, and the transform taken from it.
inline uint32_t transformBlock(uint8_t* block, uint32_t L, StageClock& clock,
                               const BlockContext& context) {
    const DiagnosticsSink* dumps = context.diagnostics;
    if (dumps && dumps->inputHistogram) recordInputHistogram(*dumps->inputHistogram, block, L);
    if (context.plan.verbose) context.console << "   Performing BWT..." << std::endl;
    clock.start = clockMs();
    uint32_t index = 0;
    if (dumps && dumps->wantsSuffixes()) {
        const std::vector<uint32_t> sa = suffixArrayOf(block, L, context.sortThreads);
        if (dumps->suffixes)
            writeSuffixListing(*dumps->suffixes, block, L, sa.data(), dumps->suffixesMaxSize);
        if (dumps->suffixArray) writeSuffixArrayListing(*dumps->suffixArray, sa.data(), L);
        index = bwtFromSuffixArray(block, L, sa.data());
    } else {
        index = forwardBwt(block, L, context.sortThreads);
    }
    clock.end = clockMs();
    if (context.plan.verbose) context.console << "      First suffix index: " << index << std::endl;
    if (dumps && dumps->bwt) dumpBwt(*dumps->bwt, block, L, index);
    return index;
}

// How every block compressor begins: a clock reading, the transform, then
// the verbose line that announces the next stage (nextStage, without its
// line end).
struct TransformedBlock {
    int32_t start = 0;   // clock reading before the transform
    StageClock bwt;      // clock readings around it
    uint32_t index = 0;  // first suffix index
};
inline TransformedBlock beginBlockCompression(uint8_t* block, uint32_t L, const char* nextStage,
                                              const BlockContext& context) {
    TransformedBlock t;
    t.start = clockMs();
    t.index = transformBlock(block, L, t.bwt, context);
    if (context.plan.verbose) context.console << nextStage << std::endl;
    return t;
}

// Rebuilds out[0..L) from the transform column[0..L) (which may be out
// itself) and first suffix index `index`, on as many threads as the context
// gives the inverse transform. Returns the clock readings
// around the inverse transform.
// table: the transform's working memory, set up ahead (may be empty).
inline StageClock untransformBlock(uint8_t* out, const uint8_t* column, uint32_t L, uint32_t index,
                                   const BlockContext& context, InverseBwtTable table = {}) {
    if (context.plan.verbose) context.console << "   Performing iBWT..." << std::endl;
    StageClock clock;
    clock.start = clockMs();
    inverseBwt(out, column, L, index, context.inverseThreads, table);
    clock.end = clockMs();
    return clock;
}

// The same from the table the column's runs filled (see RunWordTable).
inline StageClock untransformBlock(uint8_t* out, RunWordTable& table, const BlockContext& context) {
    if (context.plan.verbose) context.console << "   Performing iBWT..." << std::endl;
    StageClock clock;
    clock.start = clockMs();
    inverseBwt(out, table, context.inverseThreads);
    clock.end = clockMs();
    return clock;
}

// The inverse transform's working memory, set up on a thread of its own
// while the block's column is decoded, when the block has more than one
// thread and the transform takes such memory (InverseBwtTable::wanted):
// clearing the pages of a 10 MiB block's table is then off the way.
// Otherwise, or should the thread or the memory not be had, the table stays
// empty and the transform allocates its own as usual. The thread ends before
// take() returns and before the destructor does. Measured with two
// processors (the program's -v times, median of 7 to 11, both builds
// alternated, on a machine other work was using too): the iBWT time of a
// 10 MiB block falls 0.080 -> 0.061 s (text.10M, -m), 0.100 -> 0.077 and
// 0.143 -> 0.127 s (binary.10M), 0.165 -> 0.144 s (text.10M); clearing a
// fresh 30 MiB table's pages alone takes 14 to 17 ms.
class TableAhead {
public:
    TableAhead(uint32_t L, const BlockContext& context) {
#if MORV_HAVE_THREADS
        if (context.inverseThreads < 2 || !InverseBwtTable::wanted(L)) return;
        try {
            helper = std::thread([this, L] {
                try {
                    table = InverseBwtTable(L);
                } catch (const std::bad_alloc&) {
                    // The transform tries again, and reports it.
                }
            });
        } catch (const std::system_error&) {}
#else
        (void)L;
        (void)context;
#endif
    }
    TableAhead(const TableAhead&) = delete;
    TableAhead& operator=(const TableAhead&) = delete;
    ~TableAhead() { finish(); }

    InverseBwtTable take() {
        finish();
        return std::move(table);
    }

private:
    void finish() {
#if MORV_HAVE_THREADS
        if (helper.joinable()) helper.join();
#endif
    }

    InverseBwtTable table;
#if MORV_HAVE_THREADS
    std::thread helper;
#endif
};
