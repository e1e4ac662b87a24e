// The compression and extraction drivers. The cores work between byte
// streams (so tests and fuzzers run whole files in memory); compressFile and
// decompressFile open the named files around them and print the run's report.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "app/OutputFiles.h"
#include "base/CpuFeatures.h"
#include "codec/BlockContext.h"
#include "io/PackedHeaders.h"

// One block coded in memory: its finished header and its payload. Coding a
// block and writing it are separate steps, so a block reaches the packed file
// in one piece, header first, and the output never has to seek.
struct PackedBlock {
    BlockHeader header;
    std::vector<char> payload;  // keeps its capacity when the object is reused
};

// Codes block[0..length) with the method and coder of settings() into `packed`
// (header and payload), reusing its payload buffer. The block is overwritten
// (it holds the BWT column afterwards). Writes the block's diagnostics, and
// its verbose lines to context.console, on the way. Throws Exception "Unsupported compression method"
// when no implemented method was chosen; std::bad_alloc when the payload does
// not fit in memory.
void packBlock(uint8_t* block, uint32_t length, PackedBlock& packed, const BlockContext& context);

// Writes the block header and then the payload at the output's current
// position; returns the number of bytes handed to the stream. Write errors
// are left in the stream's state for the caller.
uint64_t writePackedBlock(std::ostream& out, const PackedBlock& packed);

// Flushes every open diagnostic file and throws Exception "Unable to write
// output file: " + its name for the first one whose writes failed.
void checkDiagnosticFiles();

// Packs inputSize bytes read from `in` into `out` (file header, then one block
// header and payload per block), with the block size and method of
// settings(). Returns the packed size in bytes. Throws Exception for an empty
// or over-large input, an unsupported method, a short read ("Unable to read
// input file: " + inputName) or a failed write ("Unable to write output file: "
// + outputName), and for a diagnostic file that could not be written (checked
// after every block). `out` is written strictly in order and never sought, so
// it may be a pipe or a device.
//
// threads: the processors the run may use. Up to that many blocks are coded
// side by side (fewer when memory is short or a diagnostic file is written;
// see blocksAtOnce); the threads no block takes go to the blocks' suffix
// sorts (all of them for a one-block input).
// Packed bytes, printed lines and diagnostic files are the same for any
// value: a block's verbose lines are printed when it is written, and an
// error in block k is thrown after blocks 0..k-1 have been written.
uint64_t compressStream(std::istream& in, uint64_t inputSize, std::ostream& out,
                        const std::string& inputName, const std::string& outputName, unsigned threads);

// Restores a packed stream into `out`, block by block. `in` is read in order
// and never needs to seek (a pipe works). Packed files written one after
// another are restored one after another, each checked as a file of its
// own. Never writes more than the headers' unpacked sizes. Throws Exception for
// every malformed header or payload and for a failed write. features: what
// the decoders' fast paths may use (detectCpuFeatures, or kPortableCpuFeatures
// for the portable paths alone); the result is the same for any value.
// threads: as for compressStream; the output, the printed lines and the
// error (after exactly the blocks before the damaged one have been written)
// are the same for any value.
void decompressStream(std::istream& in, std::ostream& out, const std::string& outputName,
                      const CpuFeatures& features, unsigned threads);

// Packs the file `inputName` into `packed`, which it opens on `packedName`,
// and prints the size report and the time; returns the packed size (modulo
// 2^32). The packed file is left finished under its temporary name with the
// input's permission bits and time; the caller commits it. An input that is
// not a regular file is first copied to its end into `spool`.
uint32_t compressFile(const std::string& inputName, OutputFile& packed, SpooledInput& spool,
                      const std::string& packedName);

// Restores the packed file read from `packedPath` (named `packedName` in
// every message) into `output`, which it opens on `outputName`, and prints
// the time; the output is left finished with the packed file's permission
// bits and time, for the caller to commit. When a block is damaged the
// blocks before it are kept under the output name if keepPartial is set and
// nothing of that name existed before; otherwise nothing is kept.
// features as for decompressStream.
void decompressFile(const std::string& packedPath, const std::string& packedName, OutputFile& output,
                    const std::string& outputName, const CpuFeatures& features, bool keepPartial);

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

// Throws Exception "Output file is the same as input file: " + output when the
// two names denote the same file (by identity, not spelling; for a name that
// does not exist yet, by where it would be made), so that no run writes over
// a file it reads.
void refuseSameFile(const std::string& input, const std::string& output);
