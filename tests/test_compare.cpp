// File comparison of the round-trip test: verdicts, the reported position of
// the first difference around the 32 KiB chunk boundaries, and failures that
// must give false without a message.
#include "app/Compare.h"
#include "tests/support/DataGen.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

namespace {

using testdata::Bytes;

class CompareTest : public ::testing::Test {
protected:
    // Writes `a` and `b` to two files and compares them, keeping what the
    // comparison printed in `printed`.
    bool compare(const Bytes& a, const Bytes& b) {
        testdata::writeFile(dir.file("a"), a);
        testdata::writeFile(dir.file("b"), b);
        return compareNames(dir.file("a"), dir.file("b"));
    }

    bool compareNames(const std::string& a, const std::string& b) {
        std::ostringstream captured;
        std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
        const bool equal = compareFiles(a, b);
        std::cout.rdbuf(saved);
        printed = captured.str();
        return equal;
    }

    testdata::TempDir dir;
    std::string printed;
};

TEST_F(CompareTest, TwoEmptyFilesAreEqual) {
    EXPECT_TRUE(compare({}, {}));
    EXPECT_EQ(printed, "");
}

TEST_F(CompareTest, EqualFilesOfManyChunksAreEqual) {
    const Bytes data = testdata::randomBytes(1, 3 * 32768 + 17);
    EXPECT_TRUE(compare(data, data));
    EXPECT_EQ(printed, "");
}

TEST_F(CompareTest, AFileEqualsItself) {
    testdata::writeFile(dir.file("a"), testdata::textLike(2, 40000));
    EXPECT_TRUE(compareNames(dir.file("a"), dir.file("a")));
    EXPECT_EQ(printed, "");
}

TEST_F(CompareTest, DifferentLengthsAreUnequalWithoutPosition) {
    const Bytes longer = testdata::randomBytes(3, 1000);
    const Bytes prefix(longer.begin(), longer.end() - 1);
    EXPECT_FALSE(compare(longer, prefix));
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(compare(prefix, longer));
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(compare({}, Bytes{0}));
    EXPECT_EQ(printed, "");
}

struct DifferenceCase {
    size_t length;
    std::vector<size_t> changed;  // positions that differ; the first is reported
    uint64_t reported;
};

class DifferenceTest : public CompareTest, public ::testing::WithParamInterface<DifferenceCase> {};

TEST_P(DifferenceTest, ReportsFirstDifferingPosition) {
    const Bytes a = testdata::randomBytes(4, GetParam().length);
    Bytes b = a;
    for (size_t position : GetParam().changed) b[position] ^= 0x80;
    EXPECT_FALSE(compare(a, b));
    EXPECT_EQ(printed, "ERROR at position: " + std::to_string(GetParam().reported) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Positions, DifferenceTest,
    ::testing::Values(DifferenceCase{65536, {65535}, 65535},         // last byte, last full chunk
                      DifferenceCase{65536, {0}, 0},                 // first byte
                      DifferenceCase{1, {0}, 0},                     // one-byte files
                      DifferenceCase{32768, {32767}, 32767},         // exactly one chunk
                      DifferenceCase{32769, {32768}, 32768},         // one byte past a chunk
                      DifferenceCase{65537, {32768}, 32768},         // first byte of chunk two
                      DifferenceCase{65537, {65536}, 65536},         // short last chunk
                      DifferenceCase{100000, {70000, 99999, 5}, 5},  // earliest wins
                      DifferenceCase{100000, {99999, 70000}, 70000}));

TEST_F(CompareTest, MissingFileGivesFalseWithoutMessage) {
    testdata::writeFile(dir.file("a"), testdata::randomBytes(5, 10));
    EXPECT_FALSE(compareNames(dir.file("a"), dir.file("missing")));
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(compareNames(dir.file("missing"), dir.file("a")));
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(compareNames(dir.file("missing"), dir.file("missing")));
    EXPECT_EQ(printed, "");
}

TEST_F(CompareTest, FolderIsNotEqualToAnything) {
    std::filesystem::create_directory(dir.file("folder"));
    testdata::writeFile(dir.file("a"), {});
    EXPECT_FALSE(compareNames(dir.file("folder"), dir.file("a")));
    EXPECT_FALSE(compareNames(dir.file("folder"), dir.file("folder")));
    EXPECT_EQ(printed, "");
}

}  // namespace
