// The compression and extraction drivers. The cores work between byte
// streams (so tests and fuzzers run whole files in memory); compressFile and
// decompressFile open the named files around them and print the run's report.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "app/OutputFiles.h"
#include "base/CpuFeatures.h"
#include "codec/Pipeline.h"

// Packs the file `inputName` into `packed`, which it opens on `packedName`,
// and prints the size report and the time; returns the packed size (modulo
// 2^32). The packed file is left finished under its temporary name with the
// input's permission bits and time; the caller commits it. An input that is
// not a regular file is first copied to its end into `spool`. `dumps` and
// afterEachBlock as for compressStream.
uint32_t compressFile(const std::string& inputName, OutputFile& packed, SpooledInput& spool,
                      const std::string& packedName, const BlockPlan& plan, const DiagnosticsSink* dumps,
                      const std::function<void()>& afterEachBlock);

// Restores the packed file read from `packedPath` (named `packedName` in
// every message) into `output`, which it opens on `outputName`, and prints
// the time; the output is left finished with the packed file's permission
// bits and time, for the caller to commit. When a block is damaged the
// blocks before it are kept under the output name if keepPartial is set and
// nothing of that name existed before; otherwise nothing is kept.
// features as for decompressStream.
void decompressFile(const std::string& packedPath, const std::string& packedName, OutputFile& output,
                    const std::string& outputName, const CpuFeatures& features, const BlockPlan& plan,
                    bool keepPartial);

// Throws Exception "Output file is the same as input file: " + output when the
// two names denote the same file (by identity, not spelling; for a name that
// does not exist yet, by where it would be made), so that no run writes over
// a file it reads.
void refuseSameFile(const std::string& input, const std::string& output);
