// The file-level drivers: they open the named files around the stream
// pipeline, make an input that cannot be read twice into a copy, and print the
// run's report.
#include "app/Drivers.h"

#include "app/OutputFiles.h"
#include "app/Progress.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <vector>

#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Timing.h"

void refuseSameFile(const std::string& input, const std::string& output) {
    if (sameFile(input, output)) {
        throw Exception("Output file is the same as input file: " + output);
    }
}

namespace {

// Opens the input (a folder is no input), checks that the output is not the
// same file and prepares the output; prints the opening line when verbose.
// `shownName` is the input's name in every message.
void openFiles(const std::string& inputName, const std::string& shownName, std::ifstream& in,
               const std::string& outputName, OutputFile& out, bool verbose) {
    if (verbose) {
        std::cout << "Opening input file: " << shownName << std::endl;
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(inputName, ec)) {
        in.open(inputName, std::ios::binary);
    }
    if (!in.is_open()) {
        throw Exception("Unable to open input file: " + shownName);
    }
    refuseSameFile(inputName, outputName);
    out.open(outputName, "Unable to open output file: ");
}

}  // namespace

uint32_t compressFile(const std::string& inputName, OutputFile& packed, SpooledInput& spool,
                      const std::string& packedName, const BlockPlan& plan, const DiagnosticsSink* dumps,
                      const std::function<void()>& afterEachBlock) {
    const int32_t startClock = clockMs();
    std::ifstream in;
    openFiles(inputName, inputName, in, packedName, packed, plan.verbose);
    ProgressLine progress;
    // An input that cannot be measured or read twice (a pipe, a device) is
    // copied to its end first and compressed from the copy.
    const bool special = isSpecialFile(inputName);
    uint64_t inputSize = 0;
    if (special) {
        spool.spool(in, inputName, packedName, [&progress](uint64_t done) { progress.update(done, 0); });
        in.close();
        in.open(spool.path(), std::ios::binary);
        if (!in.is_open()) throw Exception("Unable to read input file: " + inputName);
        inputSize = spool.size();
    } else {
        in.seekg(0, std::ios::end);
        const std::streamoff end = in.tellg();
        in.seekg(0);
        inputSize = end < 0 ? 0 : static_cast<uint64_t>(end);
    }

    const uint64_t total =
        compressStream(in, inputSize, packed.stream(), inputName, packedName, plan, std::cout, dumps,
                       PipelineHooks{afterEachBlock, progress.hook()});
    in.close();
    progress.stop();
    // The packed file takes the input's permission bits and time, as other
    // compressors do; the copy of a pipe has neither, so it gets the
    // process's default mode and the current time.
    packed.finish(special ? FileAttributes{} : FileAttributes{true, inputName, true});
    const int32_t endClock = clockMs();

    const double S = static_cast<double>(inputSize);
    const double T = static_cast<double>(total);
    std::cout.precision(3);
    std::cout << "Compressed data size: " << total << " (" << (S - T) * 100.0 / S << "%, " << T * 8.0 / S
              << " bpc)" << std::endl;
    printTiming(std::cout, "Compression time: ", startClock, endClock);
    return static_cast<uint32_t>(total);
}

void decompressFile(const std::string& packedPath, const std::string& packedName, OutputFile& output,
                    const std::string& outputName, const CpuFeatures& features, const BlockPlan& plan,
                    bool keepPartial) {
    const int32_t startClock = clockMs();
    std::ifstream in;
    openFiles(packedPath, packedName, in, outputName, output, plan.verbose);
    ProgressLine progress;
    const FileAttributes attributes =
        isSpecialFile(packedPath) ? FileAttributes{} : FileAttributes{true, packedPath, true};
    try {
        decompressStream(in, output.stream(), outputName, features, plan, std::cout,
                         PipelineHooks{nullptr, progress.hook()});
    } catch (...) {
        // The blocks before a damaged one are kept under a name that held
        // nothing before; an existing file is never given up for a part.
        if (keepPartial && !output.existedBefore() && output.touched()) {
            try {
                output.finish(FileAttributes{attributes.fromFile, attributes.source, false});
                output.commit();
            } catch (const std::exception&) {}
        }
        throw;
    }
    const int32_t endClock = clockMs();
    progress.stop();
    in.close();
    output.finish(attributes);
    printTiming(std::cout, "Decompression time: ", startClock, endClock);
}
