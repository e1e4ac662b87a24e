// Histogram sections: exact text for the worked examples, signed byte order
// with raw key bytes, sections appended per call and flushed line by line,
// and random blocks against an ordered map keyed by signed bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "diag/Histograms.h"
#include "tests/support/DataGen.h"
#include "tests/support/TempDir.h"

namespace {

using testdata::Bytes;

class Histograms : public ::testing::Test {
protected:
    void SetUp() override {
        input.open(dir.file("input.txt"));
        mtf.open(dir.file("mtf.txt"));
        dc.open(dir.file("dc.txt"));
    }

    // Read while the stream is still open: every line must already be flushed.
    std::string contents(const char* name) const {
        const Bytes bytes = testdata::readFile(dir.file(name));
        return std::string(bytes.begin(), bytes.end());
    }

    testdata::TempDir dir;
    std::ofstream input;
    std::ofstream mtf;
    std::ofstream dc;
};

std::string section(const std::string& size, const std::string& title, const std::string& table) {
    return "[Block] \nBlock size = " + size + "\n" + title + "\n" + table + "\n\n";
}

// Reference table: a map keyed by the byte read as signed, which orders
// 128..255 before 0..127.
std::string referenceByteTable(const Bytes& items, bool raw) {
    std::map<int8_t, uint32_t> counts;
    for (uint8_t b : items) ++counts[static_cast<int8_t>(b)];
    std::string out;
    uint32_t before = 0;
    for (const auto& [key, count] : counts) {
        const uint8_t b = static_cast<uint8_t>(key);
        out += raw ? std::string(1, static_cast<char>(b)) : std::to_string(b);
        const uint32_t after = static_cast<uint32_t>(items.size()) - before - count;
        out += " - " + std::to_string(count) + "     [" + std::to_string(before) + ", " +
               std::to_string(after) + "]\n";
        before += count;
    }
    return out;
}

}  // namespace

TEST_F(Histograms, InputExample) {
    const Bytes block = {'a', 'b', 'c', 'a'};
    recordInputHistogram(input, block.data(), 4);
    EXPECT_EQ(contents("input.txt"), section("4", "Data histogram:",
                                             "a - 2     [0, 2]\n"
                                             "b - 1     [2, 1]\n"
                                             "c - 1     [3, 0]\n"));
}

TEST_F(Histograms, InputKeysAreRawBytesInSignedOrder) {
    const Bytes block = {'\n', 0x00, 0xFF, 0x80, 0x7F, 0x00};
    recordInputHistogram(input, block.data(), static_cast<uint32_t>(block.size()));
    const std::string expected = section("6", "Data histogram:",
                                         std::string("\x80 - 1     [0, 5]\n"
                                                     "\xff - 1     [1, 4]\n") +
                                             std::string(1, '\0') + " - 2     [2, 2]\n" +
                                             "\n - 1     [4, 1]\n"
                                             "\x7f - 1     [5, 0]\n");
    EXPECT_EQ(contents("input.txt"), expected);
}

TEST_F(Histograms, MtfLargeIndexComesBeforeSmallOne) {
    const Bytes indices = {1, 200};
    recordMtfHistogram(mtf, indices.data(), 2);
    EXPECT_EQ(contents("mtf.txt"), section("2", "Data MTF histogram:",
                                           "200 - 1     [0, 1]\n"
                                           "1 - 1     [1, 0]\n"));
}

TEST_F(Histograms, DcValuesOfAbab) {
    // The distance coding of "abab": 97 zeros, 1, 1, 157 zeros, 1, 1.
    std::vector<uint32_t> values(258, 0);
    values[97] = values[98] = values[256] = values[257] = 1;
    recordDcHistogram(dc, values.data(), 258);
    EXPECT_EQ(contents("dc.txt"), section("258", "Data DC histogram:",
                                          "0 - 254     [0, 4]\n"
                                          "1 - 4     [254, 0]\n"));
}

TEST_F(Histograms, DcValuesAreInUnsignedOrder) {
    const std::vector<uint32_t> values = {0xFFFFFFFFu, 7, 0x80000000u, 7, 0};
    recordDcHistogram(dc, values.data(), 5);
    EXPECT_EQ(contents("dc.txt"), section("5", "Data DC histogram:",
                                          "0 - 1     [0, 4]\n"
                                          "7 - 2     [1, 2]\n"
                                          "2147483648 - 1     [3, 1]\n"
                                          "4294967295 - 1     [4, 0]\n"));
}

TEST_F(Histograms, EmptyListsPrintOnlyTheFrame) {
    recordInputHistogram(input, nullptr, 0);
    recordMtfHistogram(mtf, nullptr, 0);
    recordDcHistogram(dc, nullptr, 0);
    EXPECT_EQ(contents("input.txt"), "[Block] \nBlock size = 0\nData histogram:\n\n\n");
    EXPECT_EQ(contents("mtf.txt"), "[Block] \nBlock size = 0\nData MTF histogram:\n\n\n");
    EXPECT_EQ(contents("dc.txt"), "[Block] \nBlock size = 0\nData DC histogram:\n\n\n");
}

TEST_F(Histograms, KeyOfEveryItemHasNothingBeforeOrAfter) {
    const Bytes indices(1000, 0);
    recordMtfHistogram(mtf, indices.data(), 1000);
    EXPECT_EQ(contents("mtf.txt"), section("1000", "Data MTF histogram:", "0 - 1000     [0, 0]\n"));
}

TEST_F(Histograms, SectionsAccumulateInCallOrder) {
    const Bytes first = {5, 5};
    const Bytes second = {9};
    recordMtfHistogram(mtf, first.data(), 2);
    recordMtfHistogram(mtf, second.data(), 1);
    EXPECT_EQ(contents("mtf.txt"), section("2", "Data MTF histogram:", "5 - 2     [0, 0]\n") +
                                       section("1", "Data MTF histogram:", "9 - 1     [0, 0]\n"));
    // The other streams are untouched.
    EXPECT_EQ(contents("input.txt"), "");
    EXPECT_EQ(contents("dc.txt"), "");
}

TEST_F(Histograms, RandomBlocksMatchSignedMapReference) {
    std::string expectedInput, expectedMtf;
    for (uint64_t seed = 0; seed < 40; ++seed) {
        const Bytes block = seed % 2 ? testdata::randomBytes(seed, 3000)
                                     : testdata::skewedBytes(seed, 2000, 1 + seed * 6);
        const uint32_t L = static_cast<uint32_t>(block.size());
        recordInputHistogram(input, block.data(), L);
        recordMtfHistogram(mtf, block.data(), L);
        expectedInput += section(std::to_string(L), "Data histogram:", referenceByteTable(block, true));
        expectedMtf +=
            section(std::to_string(L), "Data MTF histogram:", referenceByteTable(block, false));
    }
    EXPECT_EQ(contents("input.txt"), expectedInput);
    EXPECT_EQ(contents("mtf.txt"), expectedMtf);
}

TEST(HistogramTable, UsesTheGivenKeyPrinter) {
    std::ostringstream out;
    const Bytes items = {3, 250, 3};
    printHistogramTable(out, items.data(), 3,
                        [](std::ostream& s, uint8_t key) { s << '<' << int(key) << '>'; });
    EXPECT_EQ(out.str(), "<250> - 1     [0, 2]\n<3> - 2     [1, 0]\n");

    std::ostringstream values;
    const std::vector<uint32_t> dc = {40, 2, 40};
    printHistogramTable(values, dc.data(), 3, [](std::ostream& s, uint32_t key) { s << 'v' << key; });
    EXPECT_EQ(values.str(), "v2 - 1     [0, 2]\nv40 - 2     [1, 0]\n");
}
