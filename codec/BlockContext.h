// What a block codec is handed besides its data: the plan of the run, where
// its verbose lines and its dumps go, and what it may use of the machine.
// Blocks coded side by side each get their own, so no codec writes anything
// that another block's codec reads.
#pragma once

#include <ostream>

#include "base/CpuFeatures.h"
#include "codec/BlockPlan.h"
#include "diag/DiagnosticsSink.h"

struct BlockContext {
    // The block's verbose progress and timing lines: standard output when
    // blocks are coded one at a time, otherwise a buffer that the driver
    // prints when it writes the block.
    std::ostream& console;
    // The processor's fast paths the decoders may take (the result is the
    // same for any value).
    CpuFeatures features = kPortableCpuFeatures;
    // Threads the suffix sort of this block may use (the result is the same
    // for any number).
    unsigned sortThreads = 1;
    // How the block is coded. When extracting, `rle0` is the block header's
    // choice and `prefixCode` the caller's.
    BlockPlan plan = {};
    // The dumps and histograms to write while compressing; null: none. The
    // drivers code one block at a time while there is one.
    const DiagnosticsSink* diagnostics = nullptr;
    // Threads the inverse transform of this block may use when it is
    // extracted (the result is the same for any number).
    unsigned inverseThreads = 1;
};
