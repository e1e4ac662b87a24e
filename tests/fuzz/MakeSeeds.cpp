// Writes the seed corpora of the fuzz targets: small packed files made by the
// program itself from the worked examples (banana, aaaa, abracadabra), from
// slices of the real-file corpus and from generated data, with every method.
// The output is the same on every run, so the committed seeds can be remade:
//
//   fuzz_make_seeds tests/fuzz/corpus
//
// Only files named seed-* are written; the regression inputs kept beside
// them (regress-*) are left alone.
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/Drivers.h"
#include "io/ByteOrder.h"
#include "io/PackedHeaders.h"
#include "tests/fuzz/FuzzInputs.h"
#include "tests/support/DataGen.h"

namespace {

namespace fs = std::filesystem;
using fuzzinput::Method;

struct Source {
    std::string name;
    std::string data;
};

std::string asString(const testdata::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string pack(const std::string& data, Method method, uint32_t blockSize) {
    const BlockPlan plan = fuzzinput::useForCompression(method, blockSize);
    std::istringstream in(data);
    std::stringstream out;
    compressStream(in, data.size(), out, "seed.in", "seed.packed", plan, std::cout);
    return out.str();
}

void put(const fs::path& dir, const std::string& name, const std::string& bytes) {
    fs::create_directories(dir);
    testdata::writeFile((dir / ("seed-" + name)).string(), testdata::Bytes(bytes.begin(), bytes.end()));
}

std::vector<Source> tinySources() {
    return {{"banana", "banana"}, {"aaaa", "aaaa"}, {"abracadabra", "abracadabra"}, {"a", "a"}};
}

// A slice of every corpus file, from a third of the way in, and generated data.
std::vector<Source> sliceSources(size_t length) {
    std::vector<Source> sources;
    for (const std::string& path : testdata::corpusFiles()) {
        const testdata::Bytes bytes = testdata::readFile(path);
        const size_t from = bytes.size() / 3;
        const size_t n = std::min(length, bytes.size() - from);
        if (n == 0) continue;
        sources.push_back({fs::path(path).filename().string(),
                           std::string(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                       bytes.begin() + static_cast<std::ptrdiff_t>(from + n))});
    }
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        sources.push_back(
            {"mixed" + std::to_string(seed), asString(testdata::mixedBlock(seed, length))});
    }
    return sources;
}

// fuzz_extract: the flag byte (-p) and a whole packed file.
void makeExtractSeeds(const fs::path& dir) {
    for (const Method m : fuzzinput::kAllMethods) {
        const std::string flag(1, m == Method::DcPrefixCode ? '\1' : '\0');
        for (const Source& s : tinySources()) {
            put(dir, s.name + "-" + fuzzinput::methodName(m), flag + pack(s.data, m, 0));
        }
        put(dir, "abracadabra-b4-" + std::string(fuzzinput::methodName(m)),
            flag + pack("abracadabra", m, 4));
        for (const Source& s : sliceSources(768)) {
            put(dir, s.name + "-b256-" + fuzzinput::methodName(m), flag + pack(s.data, m, 256));
        }
    }

    // No blocks at all: extracts to an empty file.
    std::string empty(kFileMagic, sizeof kFileMagic);
    empty.append(4, '\0');
    put(dir, "empty", std::string(1, '\0') + empty);

    // One file whose blocks use three different pipelines.
    const std::string parts[] = {"the first block ", "and the second block ", "then a third"};
    const Method methods[] = {Method::Dc, Method::MtfAdaptiveRle0, Method::MtfStaticPlain};
    std::string blocks;
    uint32_t total = 0;
    for (int i = 0; i < 3; ++i) {
        blocks += pack(parts[i], methods[i], 0).substr(kFileHeaderSize);
        total += static_cast<uint32_t>(parts[i].size());
    }
    uint8_t header[kFileHeaderSize];
    std::copy(kFileMagic, kFileMagic + sizeof kFileMagic, header);
    putLE32(header + 8, total);
    put(dir, "mixed-methods",
        std::string(1, '\0') + std::string(reinterpret_cast<char*>(header), sizeof header) + blocks);
}

// fuzz_recover: the flag byte (-p) and a damaged packed file of several
// blocks, one kind of damage each, and one intact file per method.
void makeRecoverSeeds(const fs::path& dir) {
    const std::string data = asString(testdata::mixedBlock(11, 2000));
    for (const Method m : fuzzinput::kAllMethods) {
        const std::string flag(1, m == Method::DcPrefixCode ? '\1' : '\0');
        const std::string packed = pack(data, m, 400);
        // The header positions and payload sizes of the five blocks.
        std::vector<size_t> headers;
        for (size_t pos = kFileHeaderSize; pos + kBlockHeaderSize <= packed.size();) {
            headers.push_back(pos);
            pos += kBlockHeaderSize + getLE32(reinterpret_cast<const uint8_t*>(packed.data()) + pos + 4);
        }
        const auto payloadMiddle = [&](size_t k) {
            return headers[k] + kBlockHeaderSize +
                   getLE32(reinterpret_cast<const uint8_t*>(packed.data()) + headers[k] + 4) / 2;
        };
        const std::string name = std::string("-") + fuzzinput::methodName(m);
        put(dir, "intact" + name, flag + packed);
        std::string d = packed;
        d[payloadMiddle(1)] ^= 0x5A;
        put(dir, "flipped" + name, flag + d);
        d = packed;
        d[headers[2] + 5] ^= 0x01;
        put(dir, "payload-size" + name, flag + d);
        d = packed;
        d.erase(payloadMiddle(3), 20);
        put(dir, "cut" + name, flag + d);
        d = packed;
        d[headers[2]] = 'X';
        put(dir, "block-magic" + name, flag + d);
        d = packed;
        d[10] ^= 0x40;
        put(dir, "unpacked-size" + name, flag + d);
        put(dir, "cut-short" + name, flag + packed.substr(0, payloadMiddle(3)));
        d = packed;
        d[payloadMiddle(4)] ^= 0x21;
        put(dir, "concatenated" + name, flag + packed + d);
    }
}

// fuzz_block_decoders: selector, L - 1, and the payload of a one-block file.
void makeBlockSeeds(const fs::path& dir) {
    std::vector<Source> sources = tinySources();
    for (Source& s : sliceSources(1024)) sources.push_back(std::move(s));
    for (const Method m : fuzzinput::kAllMethods) {
        using fuzzinput::Decoder;
        const bool rle0 = m == Method::MtfAdaptiveRle0 || m == Method::MtfStaticRle0;
        const Decoder decoder =
            m == Method::MtfAdaptiveRle0 || m == Method::MtfAdaptivePlain ? Decoder::MtfAdaptive
            : m == Method::MtfStaticRle0 || m == Method::MtfStaticPlain   ? Decoder::MtfStatic
                                                                          : Decoder::Dc;
        for (const Source& s : sources) {
            const std::string packed = pack(s.data, m, 0);
            const uint32_t lengthLess1 = static_cast<uint32_t>(s.data.size() - 1);
            std::string input(1, static_cast<char>(fuzzinput::decoderSelector(
                                     decoder, rle0, m == Method::DcPrefixCode)));
            input += static_cast<char>(lengthLess1 & 0xFF);
            input += static_cast<char>(lengthLess1 >> 8);
            input += packed.substr(kFileHeaderSize + kBlockHeaderSize);
            put(dir, s.name + "-" + fuzzinput::methodName(m), input);
        }
    }
}

// fuzz_roundtrip: block size selector and raw data.
void makeRoundTripSeeds(const fs::path& dir) {
    uint8_t selector = 0;
    for (const Source& s : tinySources()) put(dir, s.name, std::string(1, '\1') + s.data);
    for (const Source& s : sliceSources(384)) {
        put(dir, s.name, std::string(1, static_cast<char>(selector)) + s.data);
        selector = static_cast<uint8_t>(selector + 37);
    }
    put(dir, "fibonacci", std::string(1, '\7') + asString(testdata::fibonacciString(300)));
    put(dir, "runs", std::string(1, '\x40') + asString(testdata::runsBytes(9, 500, 3, 60)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: fuzz_make_seeds <corpus folder, e.g. tests/fuzz/corpus>" << std::endl;
        return 2;
    }
    if (testdata::corpusFiles().empty()) {
        std::cerr << "the real-file corpus is missing (" << testdata::corpusDir()
                  << "); set MORV_CORPUS_DIR" << std::endl;
        return 1;
    }
    const fs::path root(argv[1]);
    makeExtractSeeds(root / "fuzz_extract");
    makeBlockSeeds(root / "fuzz_block_decoders");
    makeRoundTripSeeds(root / "fuzz_roundtrip");
    makeRecoverSeeds(root / "fuzz_recover");
    std::cout << "seeds written under " << root.string() << std::endl;
    return 0;
}
