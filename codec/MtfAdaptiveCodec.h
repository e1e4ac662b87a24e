// The move-to-front pipeline with the adaptive arithmetic coder: BWT, MTF,
// optional zero-run coding (the plan's rle0), adaptive order-0 coding, fused
// into one pass. Owns the payload layout of method 1/2 blocks with coder 1.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

#include "codec/BlockContext.h"

// Writes the payload of block[0..L) at the output's current position, with
// zero-run coding when context.plan.rle0 is set. block is modified: it holds the MTF indices afterwards.
// L >= 1.
void compressMtfAdaptive(std::ostream& out, uint8_t* block, uint32_t L, const BlockContext& context);

// Reads a payload and fills out[0..L); context.plan.rle0 says whether the
// block used zero-run coding (method 2 in its header). Returns the size in bytes of the payload it
// decoded (where the code's closing bits and padding end), which the caller compares with the size the
// block header records. Throws Exception for damaged zero-run data, closing or padding bits, or a column
// that is no transform of a block.
uint64_t decompressMtfAdaptive(std::istream& in, uint8_t* out, uint32_t L, const BlockContext& context);
