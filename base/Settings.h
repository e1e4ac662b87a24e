// The process-wide record of what the command line chose, with the open
// diagnostic streams. Written by the option parser before any block is coded;
// only read afterwards (by the drivers and by codecs on several threads).
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

struct Settings {
    std::string inputFileName;
    std::string outputFileName;
    std::string testFileName;
    bool outputNameDefaulted = false;  // no -o: the name was made from the input's

    bool compress = false;
    bool extract = false;
    bool test = false;
    bool help = false;
    bool verbose = false;

    bool adaptiveCoder = false;
    bool staticCoder = false;
    bool dcPrefixCode = false;
    bool mtf0 = false;
    bool mtf1 = false;
    bool dc = false;
    bool rle0 = false;
    bool noRle0 = false;

    bool inputHistogram = false;
    bool bwtOutput = false;
    bool mtfOutput = false;
    bool mtfHistogram = false;
    bool rle0Output = false;
    bool rle0Histogram = false;
    bool dcOutput = false;
    bool dcHistogram = false;
    bool suffixesOutput = false;
    bool suffixArrayOutput = false;

    uint32_t blockSize = 0;                        // 0: one block for the whole file
    uint32_t suffixesOutputMaxSize = 0xFFFFFFFFu;  // all bits set: whole suffixes

    // Diagnostic text streams. The parser only checks that each named file
    // can be written (creating a missing one, truncating none); a compression
    // points them at the files it writes.
    std::ofstream bwtOutputStream;
    std::ofstream mtfOutputStream;
    std::ofstream rle0OutputStream;
    std::ofstream dcOutputStream;
    std::ofstream inputHistogramStream;
    std::ofstream mtfHistogramStream;
    std::ofstream rle0HistogramStream;
    std::ofstream dcHistogramStream;
    std::ofstream suffixesStream;
    std::ofstream suffixArrayStream;

    // The diagnostic files named on the command line, each with its stream
    // and the message for a file that cannot be opened.
    struct DiagnosticFile {
        std::ofstream Settings::*stream;
        std::string name;
        std::string openFailure;
        bool createdByParser = false;  // the name held nothing before this run
    };
    std::vector<DiagnosticFile> diagnosticFiles;
};

// The one process-wide instance.
Settings& settings();

// Puts every field back to its default and closes the streams (tests use it
// between cases; the program itself parses once).
void resetSettings();
