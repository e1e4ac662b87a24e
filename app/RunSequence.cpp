// The run sequence. The parser chooses one of three flows (compress; compress
// and test the packed file by extracting and comparing it; extract), and every
// error of any layer arrives here as an exception, is printed once on standard
// error and becomes the result -1. Output already written by a failed flow
// stays on disk.
#include "app/RunSequence.h"

#include "app/Compare.h"
#include "app/CpuFeatures.h"
#include "app/Drivers.h"
#include "app/Options.h"
#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Settings.h"

#include <exception>
#include <filesystem>
#include <iostream>

namespace {

// Extracts the packed file just written into the test file and compares it
// with the input. Returns false when they differ.
bool testPackedFile(const Settings& s, const CpuFeatures& features) {
    std::cout << "Testing packed file correctness." << std::endl << std::endl;
    decompressFile(s.outputFileName, s.testFileName, features);
    std::cout << std::endl;
    if (compareFiles(s.inputFileName, s.testFileName)) {
        std::cout << "OK, Files are equal." << std::endl;
        return true;
    }
    std::cerr << "ERROR: Files are not equal!" << std::endl;
    return false;
}

// Runs the flow the settings chose; returns the process result.
int runFlow(const Settings& s) {
    // Asked once; the decoders are handed the answer.
    const CpuFeatures features = detectCpuFeatures();
    // A failed round-trip test is not an exception, but it must not end the
    // run as a success either.
    int result = 0;
    if (s.compress) {
        if (s.test) {
            // The test extraction must overwrite neither the input nor the
            // packed file it reads; refuse before anything is written.
            std::error_code ec;
            if (std::filesystem::exists(s.inputFileName, ec)) {
                refuseSameFile(s.inputFileName, s.testFileName);
            }
            refuseSameFile(s.outputFileName, s.testFileName);
        }
        compressFile(s.inputFileName, s.outputFileName);
        std::cout << std::endl;
        if (s.test && !testPackedFile(s, features)) {
            result = -1;
        }
    } else {
        decompressFile(s.inputFileName, s.outputFileName, features);
    }
    // The diagnostic files stay open to the end of the process; what is still
    // buffered must reach them before the run may report success.
    checkDiagnosticFiles();
    std::cout << "End." << std::endl;
    pauseForOperator();
    return result;
}

}  // namespace

int runProgram(int argc, char** argv) {
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
