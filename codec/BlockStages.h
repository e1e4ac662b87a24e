// The stages every block codec starts compression and ends extraction with:
// the transform of the block, with the input histogram, the transform dump
// and the verbose lines around it, and its inverse.
#pragma once

#include <cstdint>
#include <ostream>

#include "base/Platform.h"
#include "base/Settings.h"
#include "codec/BlockContext.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "transform/Bwt.h"

// Clock readings around a stage, for its timing line.
struct StageClock {
    int32_t start = 0;
    int32_t end = 0;
};

// Records the input histogram when asked, transforms block[0..L) in place
// and writes the transform dump when asked. Returns the first suffix index
// and the clock readings around the transform.
inline uint32_t transformBlock(uint8_t* block, uint32_t L, StageClock& clock,
                               const BlockContext& context) {
    const Settings& s = settings();
    if (s.inputHistogram) recordInputHistogram(block, L);
    if (s.verbose) context.console << "   Performing BWT..." << std::endl;
    clock.start = clockMs();
    const uint32_t index = forwardBwt(block, L, context.sortThreads);
    clock.end = clockMs();
    if (s.verbose) context.console << "      First suffix index: " << index << std::endl;
    if (s.bwtOutput) dumpBwt(block, L, index);
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
    if (settings().verbose) context.console << nextStage << std::endl;
    return t;
}

// Rebuilds out[0..L) from the transform column[0..L) (which may be out
// itself) and first suffix index `index`, on as many threads as the context
// gives the inverse transform. Returns the clock readings
// around the inverse transform.
inline StageClock untransformBlock(uint8_t* out, const uint8_t* column, uint32_t L, uint32_t index,
                                   const BlockContext& context) {
    if (settings().verbose) context.console << "   Performing iBWT..." << std::endl;
    StageClock clock;
    clock.start = clockMs();
    inverseBwt(out, column, L, index, context.inverseThreads);
    clock.end = clockMs();
    return clock;
}
