// The C library against the program: the same packed bytes for every method
// and block size, the input back from extraction (also of packed files
// written one after another), independent calls on two threads, parameter
// checks, the size bound, and error codes (never a crash) for damaged data
// and destinations that are too small.
#include <morv/morv.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/DataGen.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempDir.h"

namespace {

using testdata::Bytes;

struct MethodCase {
    const char* name;
    int method;
    int staticCoder;
    int rle0;
    int prefixCode;
    std::vector<std::string> flags;  // the program's options for it
};

const MethodCase kMethods[] = {
    {"dc", MORV_DC, 0, 1, 0, {}},
    {"dc-prefix", MORV_DC, 0, 1, 1, {"-p"}},
    {"mtf", MORV_MTF, 0, 1, 0, {"-m"}},
    {"mtf-norle0", MORV_MTF, 0, 0, 0, {"-m", "--norle0"}},
    {"mtf-static", MORV_MTF, 1, 1, 0, {"-m", "-s"}},
    {"mtf-static-norle0", MORV_MTF, 1, 0, 0, {"-m", "-s", "--norle0"}},
};

morv_params paramsOf(const MethodCase& m, uint32_t blockSize, unsigned threads = 0) {
    morv_params p;
    morv_params_init(&p);
    p.method = m.method;
    p.static_coder = m.staticCoder;
    p.rle0 = m.rle0;
    p.prefix_code = m.prefixCode;
    p.block_size = blockSize;
    p.threads = threads;
    return p;
}

// Packs with the library; empty (after a test failure) when it fails.
Bytes pack(const Bytes& data, const morv_params& p) {
    Bytes packed(morv_compress_bound_params(data.size(), &p));
    size_t size = 0;
    const int result = morv_compress(data.data(), data.size(), packed.data(), packed.size(), &size, &p);
    EXPECT_EQ(result, MORV_OK) << morv_last_error();
    packed.resize(result == MORV_OK ? size : 0);
    return packed;
}

Bytes unpack(const Bytes& packed, int prefixCode, int* result = nullptr) {
    uint64_t declared = 0;
    Bytes out;
    if (morv_unpacked_size(packed.data(), packed.size(), &declared) == MORV_OK) out.resize(declared);
    size_t size = 0;
    const int r =
        morv_extract(packed.data(), packed.size(), out.data(), out.size(), &size, prefixCode, 0);
    if (result != nullptr) *result = r;
    out.resize(r == MORV_OK ? size : 0);
    return out;
}

}  // namespace

TEST(Library, PacksAsTheProgramDoesAndExtracts) {
    ASSERT_FALSE(testdata::exePath().empty()) << "MORV_EXE is not set";
    std::vector<Bytes> inputs = {testdata::textLike(1, 30000), testdata::mixedBlock(2, 25000)};
    for (const std::string& file : testdata::corpusFiles()) {
        if (std::filesystem::file_size(file) <= 200000) inputs.push_back(testdata::readFile(file));
    }
    testdata::TempDir dir;
    for (const Bytes& input : inputs) {
        testdata::writeFile(dir.file("in"), input);
        for (const MethodCase& m : kMethods) {
            for (uint32_t blockSize : {0u, 20000u}) {
                std::vector<std::string> args = {"-c",   "in", "-o",
                                                 "in.p", "-b", std::to_string(blockSize)};
                args.insert(args.end(), m.flags.begin(), m.flags.end());
                ASSERT_EQ(testdata::runMorv(args, dir.path()).status, 0);
                const Bytes packed = pack(input, paramsOf(m, blockSize));
                EXPECT_TRUE(packed == testdata::readFile(dir.file("in.p")))
                    << m.name << " -b " << blockSize << ", " << input.size() << " bytes";
                EXPECT_TRUE(unpack(packed, m.prefixCode) == input) << m.name;
            }
        }
    }
}

// `cat a.p b.p`: one buffer of two packed files gives both, in order.
TEST(Library, ConcatenatedPackedFiles) {
    const Bytes a = testdata::textLike(3, 9000);
    const Bytes b = testdata::mixedBlock(4, 7000);
    Bytes packed = pack(a, paramsOf(kMethods[0], 4000));
    const Bytes second = pack(b, paramsOf(kMethods[4], 0));
    packed.insert(packed.end(), second.begin(), second.end());
    uint64_t declared = 0;
    ASSERT_EQ(morv_unpacked_size(packed.data(), packed.size(), &declared), MORV_OK);
    EXPECT_EQ(declared, a.size() + b.size());
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_TRUE(unpack(packed, 0) == expected);
}

// Calls with different parameters on two threads at once give each what it
// gives alone.
TEST(Library, CallsOnTwoThreadsAreIndependent) {
    const Bytes data[2] = {testdata::textLike(5, 60000), testdata::mixedBlock(6, 50000)};
    const morv_params params[2] = {paramsOf(kMethods[1], 7000, 2), paramsOf(kMethods[5], 0, 1)};
    const Bytes alone[2] = {pack(data[0], params[0]), pack(data[1], params[1])};
    bool same[2] = {true, true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 4; ++round) {
                Bytes packed(morv_compress_bound_params(data[t].size(), &params[t]));
                size_t size = 0;
                if (morv_compress(data[t].data(), data[t].size(), packed.data(), packed.size(), &size,
                                  &params[t]) != MORV_OK) {
                    same[t] = false;
                    continue;
                }
                packed.resize(size);
                Bytes back(data[t].size());
                size_t backSize = 0;
                same[t] = same[t] && packed == alone[t] &&
                          morv_extract(packed.data(), packed.size(), back.data(), back.size(), &backSize,
                                       params[t].prefix_code, 2) == MORV_OK &&
                          back == data[t];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(same[0]);
    EXPECT_TRUE(same[1]);
}

TEST(Library, ParametersAreChecked) {
    const Bytes data = testdata::textLike(7, 100);
    Bytes out(100000);
    size_t size = 0;
    struct Case {
        const char* what;
        morv_params params;
    };
    morv_params defaults;
    morv_params_init(&defaults);
    Case cases[] = {{"unknown method", defaults},
                    {"static coder with DC", defaults},
                    {"prefix code with MTF", defaults}};
    cases[0].params.method = 7;
    cases[1].params.static_coder = 1;
    cases[2].params.method = MORV_MTF;
    cases[2].params.prefix_code = 1;
    for (const Case& c : cases) {
        EXPECT_EQ(morv_compress(data.data(), data.size(), out.data(), out.size(), &size, &c.params),
                  MORV_ERROR_PARAMS)
            << c.what;
        EXPECT_STRNE(morv_last_error(), "") << c.what;
        EXPECT_EQ(morv_compress_bound_params(data.size(), &c.params), 0u) << c.what;
    }
    EXPECT_EQ(morv_compress(data.data(), 0, out.data(), out.size(), &size, nullptr), MORV_ERROR_PARAMS);
    EXPECT_STREQ(morv_last_error(), "Cannot compress empty file (file size is 0)");
    EXPECT_EQ(morv_compress(nullptr, 5, out.data(), out.size(), &size, nullptr), MORV_ERROR_PARAMS);
    EXPECT_EQ(morv_extract(out.data(), 5, out.data(), out.size(), nullptr, 0, 0), MORV_ERROR_PARAMS);
    // rle0 means nothing to distance coding, as for the program.
    morv_params dc = defaults;
    dc.rle0 = 0;
    EXPECT_TRUE(pack(data, dc) == pack(data, defaults));
    EXPECT_STREQ(morv_error_text(MORV_ERROR_ROOM), "destination too small");
}

// Incompressible data stay within the bound for every method, with blocks
// of the bound's smallest size, whole inputs and (by the parameter bound)
// tiny blocks.
TEST(Library, PackedSizeStaysWithinTheBound) {
    const Bytes data = testdata::randomBytes(8, 50000);
    for (const MethodCase& m : kMethods) {
        for (uint32_t blockSize : {0u, 4096u, 100u}) {
            const morv_params p = paramsOf(m, blockSize);
            const Bytes packed = pack(data, p);
            EXPECT_LE(packed.size(), morv_compress_bound_params(data.size(), &p))
                << m.name << " " << blockSize;
            if (blockSize != 100) {
                EXPECT_LE(packed.size(), morv_compress_bound(data.size())) << m.name;
            }
        }
    }
}

// Damaged packed data and short destinations give error codes with a
// message; the sanitizer builds check that nothing is read or written
// outside the buffers.
TEST(Library, DamageAndShortBuffersGiveErrors) {
    const Bytes data = testdata::textLike(9, 6000);
    for (const MethodCase& m : kMethods) {
        const morv_params params = paramsOf(m, 1500);
        const Bytes packed = pack(data, params);
        Bytes out(data.size());
        size_t size = 0;
        EXPECT_EQ(morv_extract(packed.data(), packed.size(), out.data(), out.size() - 1, &size,
                               m.prefixCode, 1),
                  MORV_ERROR_ROOM)
            << m.name;
        Bytes small(packed.size() - 1);
        EXPECT_EQ(morv_compress(data.data(), data.size(), small.data(), small.size(), &size, &params),
                  MORV_ERROR_ROOM)
            << m.name;
        for (size_t cut = 0; cut < packed.size(); cut += 41) {
            const int r =
                morv_extract(packed.data(), cut, out.data(), out.size(), &size, m.prefixCode, 1);
            EXPECT_EQ(r, MORV_ERROR_DAMAGED) << m.name << " cut at " << cut;
            EXPECT_STRNE(morv_last_error(), "");
        }
        int silent = 0;
        for (size_t bit = 0; bit < packed.size() * 8; bit += 13) {
            Bytes damaged = packed;
            damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            const int r = morv_extract(damaged.data(), damaged.size(), out.data(), out.size(), &size,
                                       m.prefixCode, 1);
            EXPECT_TRUE(r == MORV_OK || r == MORV_ERROR_DAMAGED || r == MORV_ERROR_ROOM) << r;
            if (r == MORV_OK && !(size == data.size() && out == data)) ++silent;
        }
        EXPECT_LE(silent * 100, static_cast<int>(packed.size() * 8 / 13) + 100) << m.name;
    }
}

// The progress callbacks run on the caller's thread after every block, with
// the bytes done growing to the total.
TEST(Library, ProgressIsReportedAfterEveryBlock) {
    struct Seen {
        std::vector<std::pair<uint64_t, uint64_t>> calls;
        std::thread::id thread;
        bool otherThread = false;
    };
    const auto record = [](uint64_t done, uint64_t total, void* user) {
        Seen& seen = *static_cast<Seen*>(user);
        seen.calls.emplace_back(done, total);
        if (std::this_thread::get_id() != seen.thread) seen.otherThread = true;
    };
    const Bytes data = testdata::textLike(10, 10000);
    morv_params p = paramsOf(kMethods[0], 3000, 2);
    Bytes packed(morv_compress_bound_params(data.size(), &p));
    size_t size = 0;
    Seen compressing;
    compressing.thread = std::this_thread::get_id();
    ASSERT_EQ(morv_compress_progress(data.data(), data.size(), packed.data(), packed.size(), &size, &p,
                                     record, &compressing),
              MORV_OK);
    packed.resize(size);
    const std::vector<std::pair<uint64_t, uint64_t>> expected = {
        {3000, 10000}, {6000, 10000}, {9000, 10000}, {10000, 10000}};
    EXPECT_EQ(compressing.calls, expected);
    EXPECT_FALSE(compressing.otherThread);

    Bytes out(data.size());
    Seen extracting;
    extracting.thread = std::this_thread::get_id();
    ASSERT_EQ(morv_extract_progress(packed.data(), packed.size(), out.data(), out.size(), &size, 0, 2,
                                    record, &extracting),
              MORV_OK);
    EXPECT_EQ(extracting.calls, expected);
    EXPECT_FALSE(extracting.otherThread);
}
