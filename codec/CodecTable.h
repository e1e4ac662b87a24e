// The one mapping between what a block header says (method and coder bytes)
// and the codec that writes and reads such a block. Compression looks a plan
// up in it, extraction a header; both directions use the same rows.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

#include "codec/BlockContext.h"
#include "codec/BlockPlan.h"

// Writes the payload of block[0..L) at the output's current position; the
// block holds the codec's intermediate data afterwards.
using BlockCompressor = void (*)(std::ostream& out, uint8_t* block, uint32_t L,
                                 const BlockContext& context);
// Reads a payload and fills out[0..L); returns the payload size the code
// takes up (the caller compares it with the header's).
using BlockDecompressor = uint64_t (*)(std::istream& in, uint8_t* out, uint32_t L,
                                       const BlockContext& context);

struct CodecEntry {
    uint8_t method;           // the header's method byte (a BlockMethod code)
    uint8_t coder;            // the header's coder byte (a CoderType code)
    CodingMethod planMethod;  // the plan that selects this row
    bool staticCoder;
    bool rle0;  // zero-run coding (the MTF rows); ignored for distance coding
    BlockCompressor compress;
    BlockDecompressor decompress;
};

// The row that codes blocks for `plan`. Throws Exception "Unsupported
// compression method" when no codec implements the plan's method.
const CodecEntry& codecForPlan(const BlockPlan& plan);

// The row that reads a block with these header bytes. Throws Exception
// "Unsupported compression method (DC can't use static coder)." for method 5
// with coder 0 and "Unsupported compression method." for a method byte no
// row has.
const CodecEntry& codecForHeader(uint8_t method, uint8_t coder);
