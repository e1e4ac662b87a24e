// The compression and extraction drivers. The cores work between byte
// streams (so tests and fuzzers run whole files in memory); compressFile and
// decompressFile open the named files around them and print the run's report.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

// Packs inputSize bytes read from `in` into `out` (file header, then one block
// header and payload per block), with the block size and method of
// settings(). Returns the packed size in bytes. Throws Exception for an empty
// or over-large input, an unsupported method, a short read ("Unable to read
// input file: " + inputName) or a failed write ("Unable to write output file: "
// + outputName). `out` must be seekable: each block header is rewritten in place.
uint64_t compressStream(std::istream& in, uint64_t inputSize, std::ostream& out,
                        const std::string& inputName, const std::string& outputName);

// Restores a packed stream into `out`, block by block; `in` must be seekable.
// Never writes more than the header's unpackedSize bytes. Throws Exception for
// every malformed header or payload and for a failed write.
void decompressStream(std::istream& in, std::ostream& out, const std::string& outputName);

// Packs the file `inputName` into `packedName`, prints the size report and the
// time; returns the packed size (modulo 2^32).
uint32_t compressFile(const std::string& inputName, const std::string& packedName);

// Restores the file packed in `packedName` into `outputName` and prints the time.
void decompressFile(const std::string& packedName, const std::string& outputName);

// Throws Exception "Output file is the same as input file: " + output when the
// two names denote the same file (by identity, not spelling), so that no run
// writes over a file it reads.
void refuseSameFile(const std::string& input, const std::string& output);
