// The recover program: `morv-Q17-recover PACKED -o OUTPUT [-p]`. It opens the
// packed file and the output the way extraction does (the output under a
// temporary name, renamed when complete; removed on failure and on signals)
// and hands both to recoverPacked.
#include "app/RecoverProgram.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "app/Drivers.h"
#include "app/OutputFiles.h"
#include "app/Recover.h"
#include "base/CpuFeatures.h"
#include "base/Exception.h"

namespace {

const char* const kUsage =
    "usage: morv-Q17-recover PACKED -o OUTPUT [-p]\n"
    "  Writes into OUTPUT every block of the damaged packed file PACKED that still\n"
    "  decodes, at its place, and zero bytes for every range that cannot be recovered.\n"
    "  -o OUTPUT  the file to write (required)\n"
    "  -p         the file was packed with -p (distance coding with the prefix code)\n"
    "  -h, --help this text\n"
    "Exit status: 0 every block recovered and the size confirmed, 1 some range lost or\n"
    "the size unsure, 255 nothing recovered or an error.\n";

struct RecoverArguments {
    std::string packed;
    std::string output;
    bool prefixCode = false;
};

// Reads the command line; false when only the help text was asked for.
bool parseArguments(int argc, char** argv, RecoverArguments& args) {
    if (argc <= 1) {
        std::cout << kUsage;
        return false;
    }
    bool haveOutput = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return false;
        }
        if (arg == "-o") {
            if (i + 1 == argc) throw Exception("Option -o needs a file name");
            args.output = argv[++i];
            haveOutput = true;
        } else if (arg == "-p") {
            args.prefixCode = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw Exception("Unknown option: " + arg);
        } else if (args.packed.empty()) {
            args.packed = arg;
        } else {
            throw Exception("More than one packed file given: " + arg);
        }
    }
    if (args.packed.empty()) throw Exception("No packed file given");
    if (!haveOutput || args.output.empty()) throw Exception("Output file name (-o) is required");
    return true;
}

int recover(const RecoverArguments& args) {
    // The walk reads the file more than once, so it must be a file.
    std::error_code ec;
    std::ifstream in;
    if (!std::filesystem::is_directory(args.packed, ec)) in.open(args.packed, std::ios::binary);
    if (!in.is_open()) throw Exception("Unable to open input file: " + args.packed);
    if (isSpecialFile(args.packed)) {
        throw Exception("The packed file must be a regular file (it is read more than once): " +
                        args.packed);
    }
    refuseSameFile(args.packed, args.output);
    OutputFile output;
    output.open(args.output, "Unable to open output file: ");
    RecoverOptions options;
    options.prefixCode = args.prefixCode;
    options.features = detectCpuFeatures();
    const RecoverSummary summary = recoverPacked(in, output.stream(), args.output, std::cerr, options);
    in.close();
    output.finish(FileAttributes{true, args.packed, true});
    output.commit();
    return summary.recoveredBytes == summary.bytes && !summary.sizeUnsure ? 0 : 1;
}

}  // namespace

int runRecoverProgram(int argc, char** argv) {
    installInterruptCleanup();
    try {
        RecoverArguments args;
        if (!parseArguments(argc, argv, args)) return 0;
        return recover(args);
    } catch (const Exception& e) {
        std::cerr << "ERROR: " << e.what() << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "ERROR: " << e.what() << std::endl;
    }
    return -1;
}
