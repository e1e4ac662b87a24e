// Where the study dumps and histograms of a compression go: one text stream
// per kind, or none. A codec writes only to the streams it is handed here;
// nothing is written when no sink is given.
#pragma once

#include <cstdint>
#include <ostream>

struct DiagnosticsSink {
    std::ostream* bwt = nullptr;             // each block after the transform
    std::ostream* mtf = nullptr;             // the move-to-front indices
    std::ostream* rle0 = nullptr;            // the zero-run coded symbols
    std::ostream* inputHistogram = nullptr;  // histogram of the input bytes
    std::ostream* mtfHistogram = nullptr;    // histogram of the move-to-front indices
    std::ostream* dcHistogram = nullptr;     // histogram of the distance-coding values
    std::ostream* suffixes = nullptr;        // the sorted suffixes
    std::ostream* suffixArray = nullptr;     // the suffix array
    // Bytes of each suffix the listing shows; all bits set: whole suffixes.
    uint32_t suffixesMaxSize = 0xFFFFFFFFu;

    // True when a listing of the suffixes is wanted.
    bool wantsSuffixes() const { return suffixes != nullptr || suffixArray != nullptr; }
};
