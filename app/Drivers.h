// The compression and extraction drivers. The cores work between byte
// streams (so tests and fuzzers run whole files in memory); compressFile and
// decompressFile open the named files around them and print the run's report.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

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

// Restores a packed stream into `out`, block by block; `in` must be seekable.
// Never writes more than the header's unpackedSize bytes. Throws Exception for
// every malformed header or payload and for a failed write. features: what
// the decoders' fast paths may use (detectCpuFeatures, or kPortableCpuFeatures
// for the portable paths alone); the result is the same for any value.
// threads: as for compressStream; the output, the printed lines and the
// error (after exactly the blocks before the damaged one have been written)
// are the same for any value.
void decompressStream(std::istream& in, std::ostream& out, const std::string& outputName,
                      const CpuFeatures& features, unsigned threads);

// Packs the file `inputName` into `packedName`, prints the size report and the
// time; returns the packed size (modulo 2^32).
uint32_t compressFile(const std::string& inputName, const std::string& packedName);

// Restores the file packed in `packedName` into `outputName` and prints the
// time. features as for decompressStream.
void decompressFile(const std::string& packedName, const std::string& outputName,
                    const CpuFeatures& features);

// Throws Exception "Output file is the same as input file: " + output when the
// two names denote the same file (by identity, not spelling), so that no run
// writes over a file it reads.
void refuseSameFile(const std::string& input, const std::string& output);
