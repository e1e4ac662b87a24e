// The recover program ($MORV_RECOVER_EXE) and its core, recoverPacked: a
// damaged packed file gives back every intact block at its place, zero bytes
// and one line for every block that cannot be recovered, and the exit status
// says which. The damaged files are made here from packed files of generated
// data; the expected reasons are what the extractor says of the same bytes.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/Drivers.h"
#include "app/Recover.h"
#include "base/Exception.h"
#include "io/ByteOrder.h"
#include "io/PackedHeaders.h"
#include "tests/fuzz/FuzzInputs.h"
#include "tests/support/DataGen.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using fuzzinput::Method;
using testdata::RunResult;

// Runs `exe` with `args` in `workDir`, standard input empty, and captures
// its streams and exit status (as runMorv does for the main program).
RunResult runProgram(const std::string& exe, const std::vector<std::string>& args,
                     const fs::path& workDir) {
    const auto quoted = [](const std::string& text) {
        std::string q = "'";
        for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    };
    testdata::TempDir captures;
    std::string command = "cd " + quoted(workDir.string()) + " && " + quoted(exe);
    for (const std::string& arg : args) command += " " + quoted(arg);
    command += " </dev/null >" + quoted((captures.path() / "out").string()) + " 2>" +
               quoted((captures.path() / "err").string());
    const int raw = std::system(command.c_str());
    RunResult result;
    result.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
    result.out = testdata::readText(captures.path() / "out");
    result.err = testdata::readText(captures.path() / "err");
    return result;
}

std::string recoverExe() {
    const char* exe = std::getenv("MORV_RECOVER_EXE");
    return exe != nullptr ? exe : "";
}

std::string pack(const std::string& data, Method method, uint32_t blockSize) {
    std::istringstream in(data);
    std::ostringstream out;
    compressStream(in, data.size(), out, "in", "out", fuzzinput::useForCompression(method, blockSize),
                   std::cout);
    return out.str();
}

// Where the blocks of an undamaged packed file of one part are: their header
// positions and payload sizes, read independently of the program's readers.
struct BlockSpot {
    size_t header;
    uint32_t payloadSize;
};
std::vector<BlockSpot> blocksOf(const std::string& packed) {
    std::vector<BlockSpot> spots;
    for (size_t pos = kFileHeaderSize; pos + kBlockHeaderSize <= packed.size();) {
        const uint32_t payload = getLE32(reinterpret_cast<const uint8_t*>(packed.data()) + pos + 4);
        spots.push_back({pos, payload});
        pos += kBlockHeaderSize + payload;
    }
    return spots;
}

// What the extractor says of the block whose header is at `header` in
// `damaged`: the block, with as many bytes as its payload size takes, alone
// in a packed file of its length.
std::string extractorMessage(const std::string& damaged, size_t header, bool prefixCode) {
    const uint8_t* h = reinterpret_cast<const uint8_t*>(damaged.data()) + header;
    const uint64_t end = std::min<uint64_t>(damaged.size(), header + kBlockHeaderSize + getLE32(h + 4));
    uint8_t fileHeader[kFileHeaderSize];
    std::copy(kFileMagic, kFileMagic + sizeof kFileMagic, fileHeader);
    putLE32(fileHeader + 8, getLE32(h + 8));
    std::istringstream in(std::string(reinterpret_cast<char*>(fileHeader), sizeof fileHeader) +
                          damaged.substr(header, end - header));
    std::ostringstream out;
    try {
        decompressStream(in, out, "out", kPortableCpuFeatures, fuzzinput::useForExtraction(prefixCode),
                         std::cout);
    } catch (const Exception& e) {
        return e.what();
    }
    return "(the extractor accepts it)";
}

bool allZero(const std::string& bytes) { return bytes.find_first_not_of('\0') == std::string::npos; }

// ---- The program, every method: three damaged blocks among twenty -------

constexpr uint32_t kBlock = 50000;
constexpr uint32_t kBlocks = 20;

struct MethodCase {
    const char* name;
    Method method;
    std::vector<std::string> recoverArgs;  // -p for a -p file
};

void PrintTo(const MethodCase& c, std::ostream* os) { *os << c.name; }

class RecoverProgramTest : public ::testing::TestWithParam<MethodCase> {
protected:
    void SetUp() override { ASSERT_FALSE(recoverExe().empty()) << "MORV_RECOVER_EXE is not set"; }

    RunResult recover(const std::string& packed, std::vector<std::string> extra = {}) {
        testdata::writeFile(work.file("in.p"), testdata::Bytes(packed.begin(), packed.end()));
        std::vector<std::string> args = {"in.p", "-o", "out"};
        for (const std::string& a : GetParam().recoverArgs) args.push_back(a);
        for (const std::string& a : extra) args.push_back(a);
        return runProgram(recoverExe(), args, work.path());
    }

    testdata::TempDir work;
};

TEST_P(RecoverProgramTest, IntactFileWholeAndDamagedBlocksAtTheirPlaces) {
    const testdata::Bytes source = testdata::mixedBlock(28, kBlock * kBlocks);
    const std::string original(source.begin(), source.end());
    const std::string packed = pack(original, GetParam().method, kBlock);
    const std::vector<BlockSpot> spots = blocksOf(packed);
    ASSERT_EQ(spots.size(), kBlocks);
    const bool prefixCode = GetParam().method == Method::DcPrefixCode;

    // Intact: the extractor's bytes, status 0, the summary alone.
    std::istringstream packedIn(packed);
    std::ostringstream extracted;
    decompressStream(packedIn, extracted, "out", kPortableCpuFeatures,
                     fuzzinput::useForExtraction(prefixCode), std::cout);
    RunResult intact = recover(packed);
    EXPECT_EQ(intact.status, 0) << intact;
    EXPECT_EQ(intact.err, "recovered 20 of 20 blocks, 1000000 of 1000000 bytes\n");
    EXPECT_TRUE(testdata::readText(work.file("out")) == extracted.str());

    // Flipped bits in block 3's payload, a damaged payload size in block
    // 9's header, 100 bytes cut out of block 15's payload (the last damage
    // first, so the positions before it stay).
    std::string damaged = packed;
    damaged.erase(spots[15].header + kBlockHeaderSize + spots[15].payloadSize / 2, 100);
    uint8_t size[4];
    putLE32(size, spots[9].payloadSize ^ 0x2400u);
    damaged.replace(spots[9].header + 4, 4, reinterpret_cast<char*>(size), 4);
    damaged[spots[3].header + kBlockHeaderSize + spots[3].payloadSize / 2] ^= 0x5A;

    const RunResult result = recover(damaged);
    EXPECT_EQ(result.status, 1) << result;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "block 3: bytes 150000-199999 lost (" +
                              extractorMessage(damaged, spots[3].header, prefixCode) +
                              ")\n"
                              "block 9: bytes 450000-499999 recovered (payload size damaged)\n"
                              "block 15: bytes 750000-799999 lost (" +
                              extractorMessage(damaged, spots[15].header, prefixCode) +
                              ")\n"
                              "recovered 18 of 20 blocks, 900000 of 1000000 bytes\n");
    const std::string out = testdata::readText(work.file("out"));
    ASSERT_EQ(out.size(), original.size());
    for (uint32_t k = 0; k < kBlocks; ++k) {
        const std::string got = out.substr(k * kBlock, kBlock);
        if (k == 3 || k == 15) {
            EXPECT_TRUE(allZero(got)) << "block " << k;
        } else {
            EXPECT_TRUE(got == original.substr(k * kBlock, kBlock)) << "block " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, RecoverProgramTest,
                         ::testing::Values(MethodCase{"dc", Method::Dc, {}},
                                           MethodCase{"dc_p", Method::DcPrefixCode, {"-p"}},
                                           MethodCase{"mtf", Method::MtfAdaptiveRle0, {}},
                                           MethodCase{"mtf_norle0", Method::MtfAdaptivePlain, {}},
                                           MethodCase{"mtf_static", Method::MtfStaticRle0, {}}),
                         [](const ::testing::TestParamInfo<MethodCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- The program: runs that recover nothing -----------------------------

struct FailureCase {
    const char* name;
    std::function<std::string()> input;  // the file given as in.p
    std::vector<std::string> args;
    std::string errEnd;  // the end of standard error
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class RecoverFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(RecoverFailureTest, Status255AndNoOutput) {
    ASSERT_FALSE(recoverExe().empty()) << "MORV_RECOVER_EXE is not set";
    testdata::TempDir work;
    const std::string input = GetParam().input();
    testdata::writeFile(work.file("in.p"), testdata::Bytes(input.begin(), input.end()));
    const RunResult result = runProgram(recoverExe(), GetParam().args, work.path());
    EXPECT_EQ(result.status, 255) << result;
    ASSERT_GE(result.err.size(), GetParam().errEnd.size()) << result;
    EXPECT_EQ(result.err.substr(result.err.size() - GetParam().errEnd.size()), GetParam().errEnd);
    // Nothing but the input is left, no temporary file either.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(work.path())) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::set<std::string>{"in.p"});
}

std::string smallText() {
    const testdata::Bytes b = testdata::textLike(3, 30000);
    return std::string(b.begin(), b.end());
}

INSTANTIATE_TEST_SUITE_P(
    NothingRecovered, RecoverFailureTest,
    ::testing::Values(
        FailureCase{"not_packed",
                    smallText,
                    {"in.p", "-o", "out"},
                    "ERROR: Invalid file (header id does not match).\n"},
        FailureCase{"empty_input",
                    [] { return std::string(); },
                    {"in.p", "-o", "out"},
                    "ERROR: Invalid file (header id does not match).\n"},
        FailureCase{"packed_with_p",
                    [] { return pack(smallText(), Method::DcPrefixCode, 10000); },
                    {"in.p", "-o", "out"},
                    "recovered 0 of 3 blocks, 0 of 30000 bytes\n"
                    "hint: no distance-coded block decodes; the file may have been packed with -p "
                    "(try again with -p)\n"
                    "ERROR: No block could be recovered\n"},
        FailureCase{"packed_without_p",
                    [] { return pack(smallText(), Method::Dc, 10000); },
                    {"in.p", "-p", "-o", "out"},
                    "hint: no distance-coded block decodes; the file may have been packed without -p "
                    "(try again without -p)\n"
                    "ERROR: No block could be recovered\n"},
        FailureCase{"no_output_name", smallText, {"in.p"}, "ERROR: Output file name (-o) is required\n"},
        FailureCase{
            "unknown_option", smallText, {"in.p", "-o", "out", "-m"}, "ERROR: Unknown option: -m\n"},
        FailureCase{"output_is_input",
                    smallText,
                    {"in.p", "-o", "./in.p"},
                    "ERROR: Output file is the same as input file: ./in.p\n"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// ---- recoverPacked: other damage ----------------------------------------

constexpr uint32_t kSmallBlock = 4000;
constexpr uint32_t kSmallBlocks = 12;

struct DamageCase {
    const char* name;
    // Damages the packed file, given where its blocks are.
    std::function<void(std::string&, const std::vector<BlockSpot>&)> damage;
    std::set<uint64_t> lost;  // the blocks reported lost
    uint64_t length;          // of the output
    bool sizeUnsure;
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class RecoverDamageTest : public ::testing::TestWithParam<DamageCase> {};

TEST_P(RecoverDamageTest, IntactBlocksAtTheirPlaces) {
    const testdata::Bytes source = testdata::mixedBlock(5, kSmallBlock * kSmallBlocks - 1234);
    const std::string original(source.begin(), source.end());
    const std::string packed = pack(original, Method::Dc, kSmallBlock);
    std::string damaged = packed;
    GetParam().damage(damaged, blocksOf(packed));

    std::istringstream in(damaged);
    std::ostringstream out;
    std::ostringstream report;
    const RecoverSummary summary = recoverPacked(in, out, "out", report, RecoverOptions{});
    EXPECT_EQ(summary.bytes, GetParam().length);
    EXPECT_EQ(summary.sizeUnsure, GetParam().sizeUnsure) << report.str();
    ASSERT_EQ(out.str().size(), GetParam().length);

    // Every lost line names a block by its place (parts of the concatenated
    // cases repeat the original); the others hold the original's bytes.
    const auto firstByte = [&](uint64_t k) {
        return (k / kSmallBlocks) * original.size() + (k % kSmallBlocks) * kSmallBlock;
    };
    const auto blockEnd = [&](uint64_t k) {
        return std::min<uint64_t>(firstByte(k) + kSmallBlock, (k / kSmallBlocks + 1) * original.size());
    };
    std::set<uint64_t> lost;
    std::istringstream lines(report.str());
    for (std::string line; std::getline(lines, line);) {
        unsigned long long k = 0, first = 0, last = 0;
        if (std::sscanf(line.c_str(), "block %llu: bytes %llu-%llu lost", &k, &first, &last) != 3)
            continue;
        lost.insert(k);
        EXPECT_EQ(first, firstByte(k)) << line;
        EXPECT_EQ(last, blockEnd(k) - 1) << line;
    }
    EXPECT_EQ(lost, GetParam().lost) << report.str();
    for (uint64_t k = 0; firstByte(k) < out.str().size(); ++k) {
        const std::string got = out.str().substr(firstByte(k), blockEnd(k) - firstByte(k));
        if (lost.count(k) != 0) {
            EXPECT_TRUE(allZero(got)) << "block " << k;
            continue;
        }
        const uint64_t inPart = firstByte(k) % original.size();
        EXPECT_TRUE(got == original.substr(inPart, got.size())) << "block " << k;
    }
}

void setLE32(std::string& bytes, size_t pos, uint32_t value) {
    uint8_t b[4];
    putLE32(b, value);
    bytes.replace(pos, 4, reinterpret_cast<char*>(b), 4);
}

const uint64_t kSmallLength = kSmallBlock * kSmallBlocks - 1234;

INSTANTIATE_TEST_SUITE_P(
    Damage, RecoverDamageTest,
    ::testing::Values(DamageCase{"intact",
                                 [](std::string&, const std::vector<BlockSpot>&) {},
                                 {},
                                 kSmallLength,
                                 false},
                      DamageCase{"block_magic",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     d[s[5].header + 1] ^= 0x20;
                                 },
                                 {5},
                                 kSmallLength,
                                 false},
                      DamageCase{"method_byte",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     d[s[4].header + 12] = 3;
                                 },
                                 {4},
                                 kSmallLength,
                                 false},
                      DamageCase{"block_length",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     d[s[6].header + 8] ^= 0x01;
                                 },
                                 {6},
                                 kSmallLength,
                                 false},
                      DamageCase{"last_block_length",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     d[s[11].header + 9] ^= 0x01;
                                 },
                                 {11},
                                 kSmallLength,
                                 false},
                      DamageCase{"cut_short_in_a_payload",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     d.resize(s[8].header + 40);
                                 },
                                 {8, 9, 10, 11},
                                 kSmallLength,
                                 false},
                      // More than four times what was found is lost: the size is not
                      // trusted, the blocks found are the file.
                      DamageCase{"cut_short_early",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     d.resize(s[1].header + 40);
                                 },
                                 {1},
                                 2 * kSmallBlock,
                                 true},
                      DamageCase{"cut_short_in_a_header",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     d.resize(s[8].header + 7);
                                 },
                                 {8, 9, 10, 11},
                                 kSmallLength,
                                 false},
                      DamageCase{
                          "cut_short_after_a_block",
                          [](std::string& d, const std::vector<BlockSpot>& s) { d.resize(s[8].header); },
                          {},
                          8 * kSmallBlock,
                          true},
                      DamageCase{"cut_across_a_header",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     d.erase(s[7].header - 30, 60);
                                 },
                                 {6, 7},
                                 kSmallLength,
                                 false},
                      DamageCase{"cuts_in_two_payloads",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     d.erase(s[9].header + 100, 50);
                                     d.erase(s[2].header + 100, 50);
                                 },
                                 {2, 9},
                                 kSmallLength,
                                 false},
                      DamageCase{"bytes_added_between_blocks",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     d.insert(s[4].header, "BLCK and other bytes");
                                 },
                                 {},
                                 kSmallLength,
                                 false},
                      DamageCase{"unpacked_size_larger",
                                 [](std::string& d, const std::vector<BlockSpot>&) {
                                     setLE32(d, 8, static_cast<uint32_t>(kSmallLength + (1u << 30)));
                                 },
                                 {},
                                 kSmallLength,
                                 true},
                      DamageCase{"unpacked_size_larger_and_a_block_header_lost",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     setLE32(d, 8, static_cast<uint32_t>(kSmallLength + (1u << 30)));
                                     d[s[3].header] = 'X';
                                 },
                                 {3},
                                 kSmallLength,
                                 true},
                      DamageCase{"unpacked_size_larger_and_a_cut",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     setLE32(d, 8,
                                             static_cast<uint32_t>(kSmallLength + 60 * kSmallBlock));
                                     d.erase(s[3].header + 100, 50);
                                 },
                                 {3},
                                 kSmallLength,
                                 true},
                      DamageCase{
                          "unpacked_size_smaller",
                          [](std::string& d, const std::vector<BlockSpot>&) { setLE32(d, 8, 5000); },
                          {},
                          kSmallLength,
                          true},
                      DamageCase{"file_magic",
                                 [](std::string& d, const std::vector<BlockSpot>&) { d[2] = 'X'; },
                                 {},
                                 kSmallLength,
                                 true},
                      DamageCase{
                          "trailing_bytes",
                          [](std::string& d, const std::vector<BlockSpot>&) { d += "trailing bytes"; },
                          {},
                          kSmallLength,
                          false},
                      DamageCase{"second_part_damaged",
                                 [](std::string& d, const std::vector<BlockSpot>& s) {
                                     std::string second = d;
                                     second[s[2].header + kBlockHeaderSize + s[2].payloadSize / 2] ^=
                                         0x11;
                                     d += second;
                                 },
                                 {kSmallBlocks + 2},
                                 2 * kSmallLength,
                                 false},
                      DamageCase{"second_part_header",
                                 [](std::string& d, const std::vector<BlockSpot>&) {
                                     std::string second = d;
                                     second[0] = 'X';
                                     d += second;
                                 },
                                 {},
                                 2 * kSmallLength,
                                 true}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

}  // namespace
