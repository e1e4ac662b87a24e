// Recovery of damaged packed files: every block that still decodes is put
// back at its place in the original, every range that cannot be recovered is
// filled with zero bytes and reported, so that the output has the original's
// length. Works between streams, so tests and fuzzers run it in memory; the
// recover program opens the files around it.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

#include "base/CpuFeatures.h"

struct RecoverOptions {
    bool prefixCode = false;  // distance-coded blocks were packed with -p
    CpuFeatures features = kPortableCpuFeatures;
};

// What a recovery gave back.
struct RecoverSummary {
    uint64_t blocks = 0;           // blocks of the original, as placed
    uint64_t recoveredBlocks = 0;  // of them, written with their own bytes
    uint64_t bytes = 0;            // bytes written: the original's length as far as it can be told
    uint64_t recoveredBytes = 0;   // of them, the original's own bytes
    // A file header was damaged, or its unpacked size disagrees with the
    // blocks found (a damaged size, or a file cut short after a block): the
    // original's length is that of the blocks found.
    bool sizeUnsure = false;
};

// Reads the packed file `in` (it must be able to seek: the file is walked
// more than once) and writes the original to `out`: every block that passes
// every check the extractor makes at its place, zero bytes for every range
// that cannot be recovered. Blocks whose chain of headers is broken (a
// damaged payload size, bytes lost or added) are found again by their
// header's magic; a block whose only damage is its payload size, and whose
// payload decodes exactly up to the next header, is recovered. Prints one
// line per damaged block on `report` ("block K: bytes F-L lost (REASON)" or
// "... recovered (payload size damaged)"), then a summary line, and a hint
// when no distance-coded block decodes (-p given or missing).
//
// Throws Exception, before anything is written to `out`: "Invalid file
// (header id does not match)." when the input holds neither a file header at
// its start nor any block, and "No block could be recovered" when blocks
// exist but none decodes. A failed write throws "Unable to write output
// file: " + outputName.
RecoverSummary recoverPacked(std::istream& in, std::ostream& out, const std::string& outputName,
                             std::ostream& report, const RecoverOptions& options);
