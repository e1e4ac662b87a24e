// The distance-coding block pipeline (the default method): BWT, distance
// coding, then the values through an adaptive class model or, with -p, a
// fixed prefix code. Owns the payload layout of method 5 blocks.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

#include "codec/BlockContext.h"

// Writes the payload of block[0..L) at the output's current position.
// block is modified: it holds the BWT column afterwards. L >= 1.
void compressDc(std::ostream& out, uint8_t* block, uint32_t L, const BlockContext& context);

// Reads a payload from the input's current position and fills out[0..L).
// May leave the input anywhere. Returns the size in bytes of the payload it
// decoded (where the last value's code, the closing bits and the padding
// end), which the caller compares with the size the block header records.
// Throws Exception for payloads that cannot be decoded into exactly L bytes,
// for closing or padding bits no encoder writes, and for a column that is no
// transform of a block. The processor's fast paths it may use come with the
// context (the result is the same for any value).
uint64_t decompressDc(std::istream& in, uint8_t* out, uint32_t L, const BlockContext& context);
