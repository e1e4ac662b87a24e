// How the blocks of one run are coded, resolved once from the command line
// (or a library caller's parameters) before any block is read, and handed to
// every codec through its BlockContext. Nothing in it changes during a run.
#pragma once

#include <cstdint>

enum class CodingMethod : uint8_t {
    Dc,   // distance coding (the default)
    Mtf,  // move-to-front with optional zero-run coding
    Mtf1  // accepted by the parser, implemented by no codec
};

struct BlockPlan {
    CodingMethod method = CodingMethod::Dc;
    bool staticCoder = false;  // with Mtf: the static arithmetic coder
    bool rle0 = true;          // with Mtf: zero-run coding (read from each block header when extracting)
    bool prefixCode = false;   // with Dc: the fixed prefix code instead of the arithmetic coder
    bool verbose = false;      // per-block progress and timing lines
    uint32_t blockSize = 0;    // 0: the whole input, at most MaxBlockSize per block
    unsigned threads = 1;      // processors the run may use
};
