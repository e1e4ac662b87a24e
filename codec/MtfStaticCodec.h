// The move-to-front pipeline with the static arithmetic coder: BWT, MTF,
// optional zero-run coding, a counting pass, the scaled frequency table stored
// in the payload, then the coding pass. Method 1/2 blocks with coder 0.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

// Writes the payload of block[0..L) at the output's current position.
// block is modified: it holds the MTF indices afterwards. L >= 1.
void compressMtfStatic(std::ostream& out, uint8_t* block, uint32_t L);

// Reads a payload and fills out[0..L); settings().rle0 says whether the block
// used zero-run coding. Throws Exception for damaged tables or zero-run data.
void decompressMtfStatic(std::istream& in, uint8_t* out, uint32_t L);
