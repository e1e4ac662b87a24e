// The run sequence. The parser chooses one of three flows (compress; compress
// and test the packed file by extracting and comparing it; extract), and every
// error of any layer arrives here as an exception, is printed once on standard
// error and becomes the result -1. Every file a run writes appears under its
// name only when the run has succeeded: a failed run leaves the files that
// existed before it as they were (an extraction keeps the blocks before a
// damaged one only under a name that held nothing).
#include "app/RunSequence.h"

#include "app/Compare.h"
#include "app/Drivers.h"
#include "app/Options.h"
#include "app/OutputFiles.h"
#include "app/Settings.h"
#include "base/CpuFeatures.h"
#include "base/Exception.h"
#include "base/Platform.h"

#include <exception>
#include <filesystem>
#include <iostream>
#include <vector>

namespace {

void removeEmptyFile(const std::string& name) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(name, ec) && std::filesystem::file_size(name, ec) == 0 && !ec) {
        std::filesystem::remove(name, ec);
    }
}

// Every check that needs no file written, made before anything is.
void checkNamesBeforeWriting(const Settings& s) {
    if (s.outputNameDefaulted && isStreamName(s.inputFileName)) {
        // The default name would be made from a device's or a pipe's name.
        throw Exception("Output file name (-o) is required when the input is not a regular file: " +
                        s.inputFileName);
    }
    if (!s.compress) return;
    if (s.test) {
        // The test extraction must overwrite neither the input nor the
        // packed file it reads.
        if (fileExists(s.inputFileName)) {
            refuseSameFile(s.inputFileName, s.testFileName);
        }
        refuseSameFile(s.outputFileName, s.testFileName);
        if (isSpecialFile(s.testFileName)) {
            throw Exception("Test file must be a regular file: " + s.testFileName);
        }
    }
    // A dump must not take the place of a file the run reads or writes.
    std::vector<std::string> others = {s.inputFileName, s.outputFileName};
    if (s.test) others.push_back(s.testFileName);
    for (const Settings::DiagnosticFile& file : s.diagnosticFiles) {
        for (const std::string& other : others) {
            if (sameFile(file.name, other)) {
                // The empty file the parser made for it goes again: the name
                // held nothing before this run.
                if (file.createdByParser) removeEmptyFile(file.name);
                throw Exception("Diagnostic file is the same as another file: " + file.name);
            }
        }
        others.push_back(file.name);
    }
}

// The diagnostic files of a compression, written under temporary names,
// and the sink that hands their streams to the codecs.
class DiagnosticOutputs {
public:
    explicit DiagnosticOutputs(const Settings& s) : files_(s.diagnosticFiles.size()) {
        sink_.suffixesMaxSize = s.suffixesOutputMaxSize;
        for (std::size_t i = 0; i < files_.size(); ++i) {
            const Settings::DiagnosticFile& file = s.diagnosticFiles[i];
            files_[i].open(file.name, file.openFailure, true);
            if (std::ostream** stream = streamFor(file.kind)) *stream = &files_[i].stream();
        }
    }

    // The sink for the codecs; null when no diagnostic file was named.
    const DiagnosticsSink* sink() const { return files_.empty() ? nullptr : &sink_; }

    // Flushes every file; throws Exception("Unable to write output file: " +
    // name) for the first whose writes failed.
    void check() {
        for (OutputFile& file : files_) {
            std::ostream& stream = file.stream();
            stream.flush();
            if (!stream) throw Exception("Unable to write output file: " + file.name());
        }
    }

    // Checks that every dump was written whole; each keeps the permission
    // bits its name had (the parser made a missing one with the default).
    void finish() {
        check();
        for (OutputFile& file : files_) file.finish(FileAttributes{true, file.name(), false});
    }
    void commit() {
        for (OutputFile& file : files_) file.commit();
    }

private:
    // Where the codecs find the stream of a kind of dump; null for the two
    // files that stay empty.
    std::ostream** streamFor(Settings::DumpKind kind) {
        switch (kind) {
            case Settings::DumpKind::Bwt:
                return &sink_.bwt;
            case Settings::DumpKind::Mtf:
                return &sink_.mtf;
            case Settings::DumpKind::Rle0:
                return &sink_.rle0;
            case Settings::DumpKind::InputHistogram:
                return &sink_.inputHistogram;
            case Settings::DumpKind::MtfHistogram:
                return &sink_.mtfHistogram;
            case Settings::DumpKind::DcHistogram:
                return &sink_.dcHistogram;
            case Settings::DumpKind::Suffixes:
                return &sink_.suffixes;
            case Settings::DumpKind::SuffixArray:
                return &sink_.suffixArray;
            case Settings::DumpKind::Dc:
            case Settings::DumpKind::Rle0Histogram:
                return nullptr;
        }
        return nullptr;
    }

    std::vector<OutputFile> files_;
    DiagnosticsSink sink_;
};

// Extracts the packed file just written into the test file and compares it
// with the input. Returns false when they differ.
bool testPackedFile(const Settings& s, const BlockPlan& plan, const OutputFile& packed,
                    const std::string& original, OutputFile& test, const CpuFeatures& features) {
    std::cout << "Testing packed file correctness." << std::endl << std::endl;
    decompressFile(packed.writtenPath(), s.outputFileName, test, s.testFileName, features, plan, false);
    std::cout << std::endl;
    if (compareFiles(original, test.writtenPath())) {
        std::cout << "OK, Files are equal." << std::endl;
        return true;
    }
    std::cerr << "ERROR: Files are not equal!" << std::endl;
    return false;
}

// Compresses (and tests); the packed, test and diagnostic files take their
// names only when everything succeeded. Returns the process result.
int runCompression(const Settings& s, const BlockPlan& plan, const CpuFeatures& features) {
    DiagnosticOutputs dumps(s);
    OutputFile packed;
    SpooledInput spool;
    compressFile(s.inputFileName, packed, spool, s.outputFileName, plan, dumps.sink(),
                 [&dumps] { dumps.check(); });
    std::cout << std::endl;
    OutputFile test;
    bool equal = true;
    if (s.test) {
        equal = testPackedFile(s, plan, packed, spool.active() ? spool.path() : s.inputFileName, test,
                               features);
    }
    dumps.finish();
    if (!equal) {
        // A packed file that does not give the input back replaces nothing.
        return -1;
    }
    dumps.commit();
    if (s.test) test.commit();
    packed.commit();
    return 0;
}

// Runs the flow the settings chose; returns the process result.
int runFlow(const Settings& s) {
    // Asked once; the decoders are handed the answer.
    const CpuFeatures features = detectCpuFeatures();
    // Resolved once; every stage is handed the plan, none reads the settings.
    const BlockPlan plan = blockPlanOf(s, availableProcessors());
    checkNamesBeforeWriting(s);
    // A failed round-trip test is not an exception, but it must not end the
    // run as a success either.
    int result = 0;
    if (s.compress) {
        result = runCompression(s, plan, features);
    } else {
        OutputFile output;
        decompressFile(s.inputFileName, s.inputFileName, output, s.outputFileName, features, plan, true);
        output.commit();
    }
    std::cout << "End." << std::endl;
    pauseForOperator();
    return result;
}

// Puts standard output's buffer back when the run ends (the parser may point
// it at standard error's).
class ConsoleRestore {
public:
    ConsoleRestore() : saved_(std::cout.rdbuf()) {}
    ~ConsoleRestore() { std::cout.rdbuf(saved_); }
    ConsoleRestore(const ConsoleRestore&) = delete;
    ConsoleRestore& operator=(const ConsoleRestore&) = delete;

private:
    std::streambuf* saved_;
};

}  // namespace

int runProgram(int argc, char** argv) {
    installInterruptCleanup();
    const ConsoleRestore console;
    try {
        if (!parseCommandLine(argc, argv)) {
            return 0;
        }
        return runFlow(settings());
    } catch (const Exception& e) {
        std::cerr << "ERROR: " << e.what() << std::endl;
        pauseForOperator();
        return -1;
    } catch (const std::exception& e) {
        std::cerr << "ERROR: std::exception catched: " << e.what() << std::endl;
        pauseForOperator();
        return -1;
    } catch (...) {
        std::cerr << "ERROR: unknown error!" << std::endl;
        pauseForOperator();
        throw;
    }
}
