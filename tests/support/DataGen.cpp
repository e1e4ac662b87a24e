// Seeded test data. Everything derives from one xorshift generator so a seed
// names the same data on every machine and in every program that uses it.
#include "tests/support/DataGen.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#ifndef MORV_CORPUS_DIR_DEFAULT
#define MORV_CORPUS_DIR_DEFAULT "../shared/corpus"
#endif

namespace testdata {

uint64_t Rng::next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
}

uint32_t Rng::below(uint32_t bound) { return static_cast<uint32_t>((next() >> 32) % bound); }

bool Rng::chance(uint32_t percent) { return below(100) < percent; }

Bytes randomBytes(uint64_t seed, size_t n) {
    Rng rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng.next() >> 56);
    return out;
}

Bytes skewedBytes(uint64_t seed, size_t n, uint32_t alphabet) {
    Rng rng(seed);
    Bytes out(n);
    if (alphabet == 0) alphabet = 1;
    for (auto& b : out) {
        uint32_t v = 0;
        while (v + 1 < alphabet && rng.chance(50)) ++v;
        b = static_cast<uint8_t>(v);
    }
    return out;
}

Bytes runsBytes(uint64_t seed, size_t n, uint32_t alphabet, uint32_t maxRun) {
    Rng rng(seed);
    Bytes out;
    out.reserve(n);
    if (alphabet == 0) alphabet = 1;
    if (maxRun == 0) maxRun = 1;
    while (out.size() < n) {
        const uint8_t b = static_cast<uint8_t>(rng.below(alphabet));
        const size_t run = std::min<size_t>(1 + rng.below(maxRun), n - out.size());
        out.insert(out.end(), run, b);
    }
    return out;
}

Bytes repeatedPattern(const Bytes& pattern, size_t n) {
    Bytes out(n);
    if (pattern.empty()) return out;
    for (size_t i = 0; i < n; ++i) out[i] = pattern[i % pattern.size()];
    return out;
}

Bytes textLike(uint64_t seed, size_t n) {
    static const char* const words[] = {
        "the",         "of",    "and",     "to",        "in",    "a",      "is",    "that", "for",
        "it",          "as",    "was",     "with",      "be",    "by",     "on",    "not",  "he",
        "this",        "are",   "or",      "his",       "from",  "at",     "which", "but",  "have",
        "an",          "had",   "they",    "you",       "were",  "their",  "one",   "all",  "we",
        "compression", "block", "sorting", "transform", "Alice", "rabbit", "queen"};
    constexpr uint32_t wordCount = sizeof(words) / sizeof(words[0]);
    Rng rng(seed);
    Bytes out;
    out.reserve(n + 16);
    while (out.size() < n) {
        const char* w = words[rng.below(wordCount)];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
        const uint32_t r = rng.below(20);
        out.push_back(r == 0 ? '\n' : (r == 1 ? ',' : ' '));
    }
    out.resize(n);
    return out;
}

Bytes fibonacciString(size_t n) {
    std::string a = "a", b = "ab";
    while (b.size() < n) {
        std::string c = b + a;
        a = std::move(b);
        b = std::move(c);
    }
    return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size())));
}

Bytes mixedBlock(uint64_t seed, size_t n) {
    Rng rng(seed);
    switch (rng.below(6)) {
        case 0:
            return randomBytes(seed + 1, n);
        case 1:
            return skewedBytes(seed + 1, n, 1 + rng.below(256));
        case 2:
            return runsBytes(seed + 1, n, 1 + rng.below(256), 1 + rng.below(64));
        case 3: {
            Bytes pattern = randomBytes(seed + 1, 1 + rng.below(40));
            return repeatedPattern(pattern, n);
        }
        case 4:
            return textLike(seed + 1, n);
        default: {
            Bytes out = textLike(seed + 1, n);
            Bytes noise = randomBytes(seed + 2, n);
            for (size_t i = 0; i < n; ++i)
                if (noise[i] < 8) out[i] = noise[(i + 1) % n];
            return out;
        }
    }
}

std::string corpusDir() {
    if (const char* env = std::getenv("MORV_CORPUS_DIR"); env && *env) return env;
    return MORV_CORPUS_DIR_DEFAULT;
}

std::vector<std::string> corpusFiles() {
    std::vector<std::string> files;
    std::error_code ec;
    const std::filesystem::path dir(corpusDir());
    if (!std::filesystem::is_directory(dir, ec)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file()) continue;
        if (entry.path().extension() == ".md") continue;
        files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace testdata
