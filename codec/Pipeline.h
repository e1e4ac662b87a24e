// Compression and extraction of whole packed streams, block by block, coding
// up to one block per processor side by side: the compressor holds at most
// one input block more than it codes at once, the extractor one payload and
// block more. The core the program and the library share; it works between
// byte streams, knows no file names but for its messages, and prints only to
// the console stream it is handed.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "base/CpuFeatures.h"
#include "codec/BlockContext.h"
#include "codec/BlockPlan.h"
#include "diag/DiagnosticsSink.h"
#include "io/PackedHeaders.h"

// One block coded in memory: its finished header and its payload. Coding a
// block and writing it are separate steps, so a block reaches the packed file
// in one piece, header first, and the output never has to seek.
struct PackedBlock {
    BlockHeader header;
    std::vector<char> payload;  // keeps its capacity when the object is reused
};

// Codes block[0..length) with the codec context.plan selects into `packed`
// (header and payload), reusing its payload buffer. The block is overwritten
// (it holds the BWT column afterwards). Writes the block's diagnostics, and
// its verbose lines to context.console, on the way. Throws Exception
// "Unsupported compression method" when no codec implements the plan's
// method; std::bad_alloc when the payload does not fit in memory.
void packBlock(uint8_t* block, uint32_t length, PackedBlock& packed, const BlockContext& context);

// Writes the block header and then the payload at the output's current
// position; returns the number of bytes handed to the stream. Write errors
// are left in the stream's state for the caller.
uint64_t writePackedBlock(std::ostream& out, const PackedBlock& packed);

// How many blocks are coded at once and how many threads each block's own
// work (its suffix sort) may use.
struct ThreadPlan {
    unsigned blocksAtOnce = 1;
    unsigned threadsPerBlock = 1;
};

// What the memory of this process allows.
struct MemoryLimits {
    uint64_t usable = 0;       // bytes of memory the run may plan with
    uint64_t addressLeft = 0;  // address space still free (UINT64_MAX: unlimited)
    uint64_t perThread = 0;    // address space one more thread takes
};
MemoryLimits currentMemoryLimits();

// Blocks coded at once: at most `threads` and the number of blocks, never so
// many that their working memory (about seven bytes per block byte: the
// block, its payload, the suffix sort's or the inverse transform's tables)
// passes a quarter of the usable memory, and, where the address space is
// limited, never more than it holds with every worker's stack and allocator
// arena and the block read ahead: a run that fits on one processor fits on
// many. One at a time when `oneAtATime` (diagnostic files are written) and
// for blocks under 64 bytes, which take less time to code than to hand over
// (-b 1 on 300 KB of text: 2.4 s on the caller, 3.6 s handed to two
// workers). The threads no block takes go to the blocks' own work, within
// the same limits.
ThreadPlan planThreads(unsigned threads, uint64_t blocks, uint64_t blockLength, bool oneAtATime,
                       const MemoryLimits& limits);

// What a caller may have done on its own thread while a stream is coded.
struct PipelineHooks {
    // After every block is written (the program checks its diagnostic files
    // there); what it throws ends the run like a coding error.
    std::function<void()> afterEachBlock;
    // After every block is written: the bytes of the original done so far
    // and the total (when extracting, the unpacked sizes of the parts read so
    // far, so it can grow with concatenated files).
    std::function<void(uint64_t done, uint64_t total)> progress;
};

// Packs inputSize bytes read from `in` into `out` (file header, then one block
// header and payload per block), as `plan` says. Returns the packed size in
// bytes. Throws Exception for an empty or over-large input, an unsupported
// method, a short read ("Unable to read input file: " + inputName) or a
// failed write ("Unable to write output file: " + outputName), and whatever
// a hook throws. `out` is written strictly in order and never sought, so it
// may be a pipe or a device.
//
// plan.threads: the processors the run may use. Up to that many blocks are
// coded side by side (fewer when memory is short or `dumps` are written; see
// planThreads); the threads no block takes go to the blocks' suffix sorts.
// Packed bytes, lines printed on `console` and dumps are the same for any
// value: a block's verbose lines are printed when it is written, and an
// error in block k is thrown after blocks 0..k-1 have been written.
uint64_t compressStream(std::istream& in, uint64_t inputSize, std::ostream& out,
                        const std::string& inputName, const std::string& outputName,
                        const BlockPlan& plan, std::ostream& console,
                        const DiagnosticsSink* dumps = nullptr, const PipelineHooks& hooks = {});

// Restores a packed stream into `out`, block by block. `in` is read in order
// and never needs to seek (a pipe works). Packed files written one after
// another are restored one after another, each checked as a file of its
// own. Never writes more than the headers' unpacked sizes. Throws Exception
// for every malformed header or payload and for a failed write. features:
// what the decoders' fast paths may use (detectCpuFeatures, or
// kPortableCpuFeatures for the portable paths alone); the result is the same
// for any value. From `plan` only prefixCode, verbose and threads are used
// (the rest comes from the block headers); the output, the lines printed on
// `console` and the error (after exactly the blocks before the damaged one
// have been written) are the same for any number of threads.
void decompressStream(std::istream& in, std::ostream& out, const std::string& outputName,
                      const CpuFeatures& features, const BlockPlan& plan, std::ostream& console,
                      const PipelineHooks& hooks = {});

// The unpacked size a packed stream declares, summed over the parts of
// packed files written one after another: the block headers are read and
// checked as decompressStream checks them (their sizes, methods and coders),
// the payloads stepped over unread. Throws Exception as decompressStream does
// for a malformed header.
uint64_t unpackedSizeOf(std::istream& in);
