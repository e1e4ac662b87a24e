// Seeded generators of test data shared by tests, fuzz seeds and benchmarks:
// the same seed always gives the same bytes on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testdata {

using Bytes = std::vector<uint8_t>;

// Small deterministic generator (xorshift64*), independent of the standard
// library's distributions so that data is identical everywhere.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t next();
    uint32_t below(uint32_t bound);  // uniform in [0, bound), bound > 0
    bool chance(uint32_t percent);   // true with the given probability
private:
    uint64_t state_;
};

Bytes randomBytes(uint64_t seed, size_t n);                     // all 256 values
Bytes skewedBytes(uint64_t seed, size_t n, uint32_t alphabet);  // geometric-ish over [0, alphabet)
Bytes runsBytes(uint64_t seed, size_t n, uint32_t alphabet, uint32_t maxRun);
Bytes repeatedPattern(const Bytes& pattern, size_t n);  // pattern repeated, cut to n
Bytes textLike(uint64_t seed, size_t n);                // words, spaces, line ends
Bytes fibonacciString(size_t n);                        // "ab" Fibonacci word cut to n
// A mixture of the above chosen by the seed: the usual source for round trips.
Bytes mixedBlock(uint64_t seed, size_t n);

// Folder of the real-file corpus: $MORV_CORPUS_DIR, else the build's default.
std::string corpusDir();
// The corpus files (full paths), sorted; empty when the folder is absent.
std::vector<std::string> corpusFiles();
Bytes readFile(const std::string& path);
void writeFile(const std::string& path, const Bytes& data);

}  // namespace testdata
