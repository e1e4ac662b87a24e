// The record of what the command line chose. Written by the option parser;
// the run sequence turns it into the block plan and the diagnostic files the
// stages are handed, and nothing below the program's own layer reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/BlockPlan.h"

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

    // The diagnostic files named on the command line, each with its kind and
    // the message for a file that cannot be opened. The parser only checks
    // that each can be written (creating a missing one, truncating none); a
    // compression writes them.
    enum class DumpKind {
        Bwt,
        Mtf,
        Rle0,
        Dc,
        InputHistogram,
        MtfHistogram,
        Rle0Histogram,
        DcHistogram,
        Suffixes,
        SuffixArray
    };
    struct DiagnosticFile {
        DumpKind kind;
        std::string name;
        std::string openFailure;
        bool createdByParser = false;  // the name held nothing before this run
    };
    std::vector<DiagnosticFile> diagnosticFiles;
};

// The one process-wide instance.
Settings& settings();

// How the blocks of the run are coded: the method, coder and zero-run
// choices the parser completed, -p, -v, -b, and `threads` processors.
BlockPlan blockPlanOf(const Settings& s, unsigned threads);

// Puts every field back to its default (tests use it between cases; the
// program itself parses once).
void resetSettings();
