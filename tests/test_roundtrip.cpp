// Whole-file round trips through the stream drivers, for every method and
// coder, on generated data and on the real-file corpus; exact payload bytes of
// the small worked examples; and the container framing the compressor writes.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/Drivers.h"
#include "base/CpuFeatures.h"
#include "base/Exception.h"
#include "base/Platform.h"
#include "io/ByteOrder.h"
#include "io/PackedHeaders.h"
#include "tests/support/DataGen.h"

namespace {

using testdata::Bytes;

struct Method {
    const char* name;
    bool mtf;
    bool rle0;
    bool staticCoder;
    bool prefix;
};

const Method kMethods[] = {
    {"dc", false, false, false, false},      {"dc-prefix", false, false, false, true},
    {"mtf", true, true, false, false},       {"mtf-norle0", true, false, false, false},
    {"mtf-static", true, true, true, false}, {"mtf-static-norle0", true, false, true, false},
};

// The plan the option parser would give a compression run.
BlockPlan chooseMethod(const Method& m, uint32_t blockSize, unsigned threads) {
    BlockPlan plan;
    plan.blockSize = blockSize;
    plan.method = m.mtf ? CodingMethod::Mtf : CodingMethod::Dc;
    plan.rle0 = m.mtf ? m.rle0 : true;
    plan.staticCoder = m.staticCoder;
    plan.prefixCode = m.prefix;
    plan.threads = threads;
    return plan;
}

// The round trips run on a small pool, so that the sanitizer runs see blocks
// coded side by side; one test compares every thread count with one.
constexpr unsigned kThreads = 2;

std::string pack(const Bytes& data, const Method& m, uint32_t blockSize = 0,
                 unsigned threads = kThreads) {
    const BlockPlan plan = chooseMethod(m, blockSize, threads);
    std::istringstream in(std::string(data.begin(), data.end()));
    std::stringstream out;
    const uint64_t size = compressStream(in, data.size(), out, "in", "out", plan, std::cout);
    EXPECT_EQ(size, out.str().size());
    return out.str();
}

// features: those of this processor unless a test asks for others.
Bytes unpack(const std::string& packed, bool prefix, const CpuFeatures& features = detectCpuFeatures(),
             unsigned threads = kThreads) {
    BlockPlan plan;
    plan.prefixCode = prefix;
    plan.threads = threads;
    std::istringstream in(packed);
    std::ostringstream out;
    decompressStream(in, out, "out", features, plan, std::cout);
    const std::string s = out.str();
    return Bytes(s.begin(), s.end());
}

void expectRoundTrip(const Bytes& data, const Method& m, uint32_t blockSize, const std::string& what) {
    const std::string packed = pack(data, m, blockSize);
    const Bytes back = unpack(packed, m.prefix);
    ASSERT_EQ(back.size(), data.size()) << what << " " << m.name << " -b " << blockSize;
    EXPECT_TRUE(back == data) << what << " " << m.name << " -b " << blockSize;
}

std::string hex(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The payload of a single-block packed file.
std::string payloadOf(const std::string& packed) {
    return packed.substr(kFileHeaderSize + kBlockHeaderSize);
}

class RoundTrip : public ::testing::Test {
protected:
};

}  // namespace

TEST_F(RoundTrip, WorkedPayloadsAreExact) {
    const Bytes aaaa = {'a', 'a', 'a', 'a'};
    const Bytes banana = {'b', 'a', 'n', 'a', 'n', 'a'};
    EXPECT_EQ(hex(payloadOf(pack(aaaa, kMethods[2]))), "03 00 00 00 86 79 00 01");
    EXPECT_EQ(hex(payloadOf(pack(aaaa, kMethods[3]))), "03 00 00 00 86 00 00 40");
    EXPECT_EQ(hex(payloadOf(pack(banana, kMethods[2]))), "03 00 00 00 76 89 46 a5 7d");

    const std::string staticPayload = payloadOf(pack(aaaa, kMethods[4]));
    ASSERT_EQ(staticPayload.size(), 519u);
    const auto field = [&](uint32_t s) {
        const auto* p = reinterpret_cast<const uint8_t*>(staticPayload.data()) + 4 + 2 * s;
        return static_cast<uint32_t>(p[0] | (p[1] << 8));
    };
    EXPECT_EQ(field(0), 43518u);
    EXPECT_EQ(field(98), 21759u);
    uint32_t others = 0;
    for (uint32_t s = 0; s < 257; ++s)
        if (s != 0 && s != 98) others += field(s);
    EXPECT_EQ(others, 0u);
    EXPECT_EQ(static_cast<uint8_t>(staticPayload.back()), 0x0d);
}

TEST_F(RoundTrip, DcPayloadStartsWithIndexAndValueCount) {
    // L equal bytes b: n = b + 1 values.
    const Bytes block(1000, 'x');
    const std::string payload = payloadOf(pack(block, kMethods[0]));
    const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
    EXPECT_EQ(getLE32(p), 999u);          // first suffix index: the whole block sorts last
    EXPECT_EQ(getLE32(p + 4), 'x' + 1u);  // value count
    EXPECT_EQ(unpack(pack(block, kMethods[0]), false), block);
}

TEST_F(RoundTrip, BlocksAreFramedAndSized) {
    // 25 bytes in blocks of 10: three blocks of 10, 10 and 5, each header
    // carrying its payload size, length, method and coder.
    const Bytes data = testdata::textLike(7, 25);
    for (const Method& m : kMethods) {
        const std::string packed = pack(data, m, 10);
        const auto* p = reinterpret_cast<const uint8_t*>(packed.data());
        ASSERT_EQ(std::string(packed, 0, 8), "MORV_Q17");
        EXPECT_EQ(getLE32(p + 8), 25u);
        size_t pos = kFileHeaderSize;
        size_t payloads = 0;
        const uint32_t lengths[] = {10, 10, 5};
        for (uint32_t length : lengths) {
            ASSERT_LE(pos + kBlockHeaderSize, packed.size());
            EXPECT_EQ(packed.substr(pos, 4), "BLCK");
            const uint32_t payload = getLE32(p + pos + 4);
            EXPECT_EQ(getLE32(p + pos + 8), length);
            const uint8_t method = p[pos + 12];
            const uint8_t coder = p[pos + 13];
            EXPECT_EQ(method, m.mtf ? (m.rle0 ? 2 : 1) : 5) << m.name;
            EXPECT_EQ(coder, m.staticCoder ? 0 : 1) << m.name;
            EXPECT_EQ(getLE32(p + pos + 14), 0u);
            pos += kBlockHeaderSize + payload;
            payloads += payload;
        }
        EXPECT_EQ(packed.size(), 12u + 3u * 18u + payloads) << m.name;
        EXPECT_EQ(pos, packed.size());
        EXPECT_EQ(unpack(packed, m.prefix), data) << m.name;
    }
}

TEST_F(RoundTrip, GeneratedDataEveryMethodAndBlockSize) {
    const uint32_t blockSizes[] = {0, 1, 7, 4096, 100000};
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        const Bytes data = testdata::mixedBlock(seed, 3000 + seed * 7919);
        for (const Method& m : kMethods) {
            for (uint32_t b : blockSizes) {
                if (b == 1 && seed > 2) continue;  // one payload per byte: keep it short
                expectRoundTrip(data, m, b, "seed " + std::to_string(seed));
            }
        }
    }
}

TEST_F(RoundTrip, SmallAndDegenerateInputs) {
    const std::vector<Bytes> inputs = {
        {0},
        {255},
        {'a', 'b'},
        Bytes(5, 0),
        Bytes(300, 0xFF),
        Bytes(70000, 'z'),
        testdata::repeatedPattern({'a', 'b'}, 5001),
        testdata::fibonacciString(4000),
    };
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<uint8_t>(255 - i);
    for (const Method& m : kMethods) {
        for (const Bytes& data : inputs) expectRoundTrip(data, m, 0, "degenerate");
        expectRoundTrip(all, m, 0, "all byte values");
    }
}

TEST_F(RoundTrip, BlocksMixingPlainAndZeroRunMtfDecode) {
    // Each block says whether it used zero-run coding, so a file whose blocks
    // differ must decode: splice a method-1 block after a method-2 block.
    const Bytes first = testdata::textLike(11, 500);
    const Bytes second = testdata::runsBytes(12, 700, 4, 30);
    for (bool staticCoder : {false, true}) {
        const Method withRuns{"a", true, true, staticCoder, false};
        const Method plain{"b", true, false, staticCoder, false};
        const std::string a = pack(first, withRuns);
        const std::string b = pack(second, plain);
        std::string packed = std::string("MORV_Q17");
        uint8_t size[4];
        putLE32(size, static_cast<uint32_t>(first.size() + second.size()));
        packed.append(reinterpret_cast<const char*>(size), 4);
        packed += a.substr(kFileHeaderSize);
        packed += b.substr(kFileHeaderSize);
        Bytes expected = first;
        expected.insert(expected.end(), second.begin(), second.end());
        EXPECT_EQ(unpack(packed, false), expected);
    }
}

namespace {

// What a run printed on standard output, with the clock readings of the
// timing lines cut (they differ from run to run).
class CapturedOutput {
public:
    CapturedOutput() : saved_(std::cout.rdbuf(lines_.rdbuf())) {}
    ~CapturedOutput() { std::cout.rdbuf(saved_); }
    std::string withoutTimes() const {
        std::istringstream in(lines_.str());
        std::string line;
        std::string out;
        while (std::getline(in, line)) {
            const size_t at = line.find("time: ");
            out += (at == std::string::npos ? line : line.substr(0, at)) + "\n";
        }
        return out;
    }

private:
    std::ostringstream lines_;
    std::streambuf* saved_;
};

// The outcome of one run through a driver: the bytes it wrote (also when it
// failed), its printed lines and its error.
struct Outcome {
    std::string bytes;
    std::string lines;
    std::string error;
    bool operator==(const Outcome&) const = default;
};

Outcome packOn(unsigned threads, const Bytes& data, const Method& m, uint32_t blockSize,
               size_t readable) {
    BlockPlan plan = chooseMethod(m, blockSize, threads);
    plan.verbose = true;
    std::istringstream in(
        std::string(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(readable)));
    std::ostringstream out;
    Outcome o;
    {
        CapturedOutput captured;
        try {
            compressStream(in, data.size(), out, "in", "out", plan, std::cout);
        } catch (const Exception& e) {
            o.error = e.what();
        }
        o.lines = captured.withoutTimes();
    }
    o.bytes = out.str();
    return o;
}

Outcome unpackOn(unsigned threads, const std::string& packed, bool prefix) {
    BlockPlan plan;
    plan.verbose = true;
    plan.prefixCode = prefix;
    plan.threads = threads;
    std::istringstream in(packed);
    std::ostringstream out;
    Outcome o;
    {
        CapturedOutput captured;
        try {
            decompressStream(in, out, "out", detectCpuFeatures(), plan, std::cout);
        } catch (const Exception& e) {
            o.error = e.what();
        }
        o.lines = captured.withoutTimes();
    }
    o.bytes = out.str();
    return o;
}

// Where block k's header starts in a packed file.
size_t blockHeaderAt(const std::string& packed, uint32_t k) {
    size_t pos = kFileHeaderSize;
    for (uint32_t i = 0; i < k; ++i)
        pos += kBlockHeaderSize + getLE32(reinterpret_cast<const uint8_t*>(packed.data()) + pos + 4);
    return pos;
}

}  // namespace

TEST_F(RoundTrip, BlocksCodedSideBySideGiveTheSameBytesLinesAndErrors) {
    // Nine blocks of 2000 bytes and a short one; every outcome on 2 and 5
    // threads must be that of one thread: packed bytes and verbose lines,
    // extracted bytes and lines, and for damage in block 4 (its header, its
    // payload) or input that ends inside block 6, the same error after the
    // same output.
    Bytes data;
    for (uint64_t seed = 1; data.size() < 19000; ++seed) {
        const Bytes part = testdata::mixedBlock(seed, 1500 + seed * 97);
        data.insert(data.end(), part.begin(), part.end());
    }
    data.resize(19000);
    const uint32_t blockSize = 2000;
    for (const Method& m : kMethods) {
        const Outcome one = packOn(1, data, m, blockSize, data.size());
        ASSERT_TRUE(one.error.empty()) << m.name << one.error;
        ASSERT_NE(one.lines.find("Block size: 1000"), std::string::npos) << m.name;
        const Outcome cut = packOn(1, data, m, blockSize, 6 * blockSize + 10);
        EXPECT_EQ(cut.error, "Unable to read input file: in") << m.name;

        std::string damagedPayload = one.bytes;
        damagedPayload[blockHeaderAt(one.bytes, 4) + kBlockHeaderSize + 5] ^= 0x10;
        std::string damagedHeader = one.bytes;
        damagedHeader[blockHeaderAt(one.bytes, 4) + 12] = 3;  // no such method
        const std::string extracts[] = {one.bytes, damagedPayload, damagedHeader};
        std::vector<Outcome> extracted;
        for (const std::string& packed : extracts) extracted.push_back(unpackOn(1, packed, m.prefix));
        EXPECT_TRUE(extracted[0].bytes == std::string(data.begin(), data.end())) << m.name;
        EXPECT_EQ(extracted[2].error, "Unsupported compression method.") << m.name;
        for (size_t i = 1; i < 3; ++i) {
            EXPECT_FALSE(extracted[i].error.empty()) << m.name << " " << i;
            EXPECT_TRUE(extracted[i].bytes == std::string(data.begin(), data.begin() + 4 * blockSize))
                << m.name << " " << i;
        }

        for (unsigned threads : {2u, 5u}) {
            const std::string what = std::string(m.name) + " on " + std::to_string(threads) + " threads";
            EXPECT_TRUE(packOn(threads, data, m, blockSize, data.size()) == one) << what;
            EXPECT_TRUE(packOn(threads, data, m, blockSize, 6 * blockSize + 10) == cut) << what;
            for (size_t i = 0; i < 3; ++i)
                EXPECT_TRUE(unpackOn(threads, extracts[i], m.prefix) == extracted[i])
                    << what << " " << i;
        }
    }
}

TEST_F(RoundTrip, OneBlockOnTwoThreadsGivesTheSameBytesLinesAndErrors) {
    // One block of 1.5 MB: extraction may then spread its own stages over
    // both threads (the values decoded beside their inverse transform, the
    // inverse transform's table set up during the decoding). Intact and with
    // damage early, midway and late in the payload, every method must give
    // what one thread gives.
    const Bytes data = testdata::textLike(7, 1500000);
    for (const Method& m : kMethods) {
        const std::string packed = pack(data, m, 0, 1);
        const size_t payload = blockHeaderAt(packed, 0) + kBlockHeaderSize;
        std::vector<std::string> extracts{packed};
        for (const double at : {0.01, 0.5, 0.97}) {
            std::string damaged = packed;
            damaged[payload + static_cast<size_t>(at * static_cast<double>(packed.size() - payload))] ^=
                0x24;
            extracts.push_back(damaged);
        }
        for (size_t i = 0; i < extracts.size(); ++i) {
            const Outcome one = unpackOn(1, extracts[i], m.prefix);
            if (i == 0) {
                EXPECT_TRUE(one.bytes == std::string(data.begin(), data.end())) << m.name;
            }
            EXPECT_TRUE(unpackOn(2, extracts[i], m.prefix) == one) << m.name << " " << i;
        }
    }
}

TEST_F(RoundTrip, LargerThanOneBlockWithoutBlockSize) {
    // 10485760 + 12345 bytes: a full block and a short one.
    Bytes data = testdata::textLike(99, MaxBlockSize + 12345);
    for (size_t i = 0; i < data.size(); i += 4093) data[i] = static_cast<uint8_t>(i >> 7);
    const std::string packed = pack(data, kMethods[0]);
    const auto* p = reinterpret_cast<const uint8_t*>(packed.data());
    EXPECT_EQ(getLE32(p + kFileHeaderSize + 8), MaxBlockSize);
    EXPECT_TRUE(unpack(packed, false) == data);
}

TEST_F(RoundTrip, EveryCorpusFileEveryMethod) {
    const auto files = testdata::corpusFiles();
    if (files.empty()) GTEST_SKIP() << "corpus not found at " << testdata::corpusDir();
    for (const std::string& file : files) {
        const Bytes data = testdata::readFile(file);
        for (const Method& m : kMethods) expectRoundTrip(data, m, 0, file);
        expectRoundTrip(data, kMethods[0], 65536, file);
    }
}

TEST_F(RoundTrip, PrefixCodedFileNeedsThePrefixOptionToExtract) {
    const Bytes data = testdata::textLike(5, 2000);
    const std::string packed = pack(data, kMethods[1]);
    // The container does not say -p was used: without it the payload is read
    // as class-model code and yields other bytes or an error, never a crash.
    Bytes wrong;
    try {
        wrong = unpack(packed, false);
    } catch (const Exception&) {}
    EXPECT_NE(wrong, data);
    EXPECT_EQ(unpack(packed, true), data);
}

TEST_F(RoundTrip, PortableCodePathsExtractTheSame) {
    // Extraction takes faster paths where the processor allows (PDEP in the
    // bit map decoder); the portable paths must give the same
    // bytes, or fail with the same message, for sound and damaged files.
    std::vector<std::string> packed;
    for (uint64_t seed = 0; seed < 4; ++seed) {
        packed.push_back(pack(testdata::randomBytes(seed, 30000 + 7000 * seed), kMethods[0]));
        packed.push_back(pack(testdata::textLike(seed, 30000), kMethods[0]));
    }
    for (const std::string& file : testdata::corpusFiles())
        packed.push_back(pack(testdata::readFile(file), kMethods[0]));
    testdata::Rng rng(99);
    const size_t sound = packed.size();
    for (size_t i = 0; i < sound; ++i) {
        std::string damaged = packed[i];
        for (int hit = 0; hit < 3; ++hit) {
            const size_t at = kFileHeaderSize + kBlockHeaderSize + 8 +
                              rng.below(static_cast<uint32_t>(damaged.size() - kFileHeaderSize -
                                                              kBlockHeaderSize - 8));
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << rng.below(8)));
        }
        packed.push_back(damaged);
    }
    auto extractAll = [&](const CpuFeatures& features) {
        std::vector<std::string> results;
        for (const std::string& p : packed) {
            try {
                const Bytes b = unpack(p, false, features);
                results.emplace_back(b.begin(), b.end());
            } catch (const Exception& e) {
                results.push_back(std::string("error: ") + e.what());
            }
        }
        return results;
    };
    const std::vector<std::string> fast = extractAll(detectCpuFeatures());
    const std::vector<std::string> portable = extractAll(kPortableCpuFeatures);
    ASSERT_EQ(fast.size(), portable.size());
    for (size_t i = 0; i < fast.size(); ++i) {
        EXPECT_TRUE(fast[i] == portable[i]) << i;
        if (i < sound) {
            EXPECT_EQ(fast[i].rfind("error: ", 0), std::string::npos) << i;
        }
    }
}

TEST_F(RoundTrip, GoldenPackedFilesDecodeAndPackAgainExactly) {
    // Committed packed files of small originals for every method and coder,
    // one block and several: the format cannot drift unnoticed in either
    // direction, and packing the same input twice gives the same bytes.
    const std::string dir = std::string(MORV_SOURCE_DIR) + "/tests/golden/";
    struct Golden {
        const char* original;
        uint32_t blockSize;
    };
    const Golden goldens[] = {{"text.txt", 0}, {"binary.bin", 0}, {"runs.bin", 0}, {"text.txt", 1000}};
    for (const Golden& g : goldens) {
        const Bytes original = testdata::readFile(dir + g.original);
        ASSERT_FALSE(original.empty()) << g.original;
        for (const Method& m : kMethods) {
            const std::string name = std::string(g.original) +
                                     (g.blockSize ? ".b" + std::to_string(g.blockSize) : "") + "." +
                                     m.name;
            const Bytes golden = testdata::readFile(dir + "packed/" + name);
            ASSERT_FALSE(golden.empty()) << name;
            const std::string packedGolden(golden.begin(), golden.end());
            EXPECT_TRUE(unpack(packedGolden, m.prefix) == original) << name;
            const std::string packed = pack(original, m, g.blockSize);
            EXPECT_TRUE(packed == packedGolden) << name;
            EXPECT_TRUE(pack(original, m, g.blockSize) == packed) << name << " packed twice";
        }
    }
}
