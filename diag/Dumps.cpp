// Writers of the transform and suffix dumps. The layouts are plain text meant
// to be read by eye, but the block bytes are written raw so the dump shows
// exactly what the next stage receives. Every line end flushes (std::endl),
// so a dump is complete up to the last line even if the run stops early.
#include "diag/Dumps.h"

#include <algorithm>
#include <string>

namespace {

void writeRaw(std::ostream& out, const uint8_t* data, uint32_t n) {
    if (n > 0) out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
}

}  // namespace

void dumpBwt(std::ostream& out, const uint8_t* data, uint32_t n, uint32_t firstIndex) {
    out << "[Block] " << std::endl;
    out << "Block size = " << n << std::endl;
    out << "First suffix position: " << firstIndex << std::endl;
    out << "Data after BWT:" << std::endl;
    writeRaw(out, data, n);
    out << std::endl << std::endl;
}

void dumpMtf(std::ostream& out, const uint8_t* data, uint32_t n) {
    out << "[Block] " << std::endl;
    out << "Block size = " << n << std::endl;
    out << "Data after MTF:" << std::endl;
    // Numbers are gathered in a bounded text buffer rather than one stream
    // insertion each: a 10 MB block makes some 40 MB of text.
    constexpr size_t kChunk = 1 << 16;
    std::string text;
    text.reserve(kChunk + 4);
    for (uint32_t i = 0; i < n; ++i) {
        if (i > 0) text.push_back(' ');
        const uint8_t v = data[i];
        if (v >= 100) text.push_back(static_cast<char>('0' + v / 100));
        if (v >= 10) text.push_back(static_cast<char>('0' + v / 10 % 10));
        text.push_back(static_cast<char>('0' + v % 10));
        if (text.size() >= kChunk) {
            out << text;
            text.clear();
        }
    }
    out << text;
    out << std::endl << std::endl;
}

void writeSuffixListing(std::ostream& out, const uint8_t* text, uint32_t n, const uint32_t* sa,
                        uint32_t maxSize) {
    constexpr size_t kPrefixWidth = 20;
    std::string prefix;
    for (uint32_t k = 0; k < n; ++k) {
        prefix = std::to_string(k);
        prefix += " suffix ";
        prefix += std::to_string(sa[k]);
        prefix += ": ";
        if (prefix.size() < kPrefixWidth) prefix.append(kPrefixWidth - prefix.size(), ' ');
        out << prefix;
        writeRaw(out, text + sa[k], std::min(maxSize, n - sa[k]));
        out << std::endl;
    }
}

void writeSuffixArrayListing(std::ostream& out, const uint32_t* sa, uint32_t n) {
    // A listing has no closing separator, so when the stream already holds an
    // earlier block's listing a line break keeps the two from running together
    // ("... 4 2" and "3 1 ..." would otherwise read as "... 4 23 1 ...").
    const std::streamoff written = out.tellp();
    if (written > 0) out << std::endl;
    std::string text;
    for (uint32_t k = 0; k < n; ++k) {
        if (k > 0) text.push_back(' ');
        text += std::to_string(sa[k]);
        if (text.size() >= (1u << 16)) {
            out << text;
            text.clear();
        }
    }
    out << text;
}
