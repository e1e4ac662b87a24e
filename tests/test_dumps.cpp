// Transform, move-to-front and suffix dumps: exact file contents for the
// worked examples, raw bytes, the 20-character padding and the unsigned
// suffix length limit.
#include <gtest/gtest.h>

#include <fstream>

#include <sstream>
#include <string>
#include <vector>

#include "codec/BlockStages.h"
#include "diag/Dumps.h"
#include "tests/support/DataGen.h"
#include "transform/Bwt.h"

namespace {

using testdata::Bytes;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

const std::string kBananaLines =
    "0 suffix 5:         a\n"
    "1 suffix 3:         ana\n"
    "2 suffix 1:         anana\n"
    "3 suffix 0:         banana\n"
    "4 suffix 4:         na\n"
    "5 suffix 2:         nana\n";

class DumpTest : public ::testing::Test {
protected:
    // Runs the codecs' transform stage on each block with both listings on
    // and returns the two listings; `column` gets the last block's transform.
    std::pair<std::string, std::string> listings(const std::vector<std::string>& blocks,
                                                 Bytes* column = nullptr) {
        std::ostringstream suffixes;
        std::ostringstream sa;
        DiagnosticsSink sink;
        sink.suffixes = &suffixes;
        sink.suffixArray = &sa;
        sink.suffixesMaxSize = maxSize;
        std::ostringstream console;
        for (const auto& block : blocks) {
            Bytes b = bytesOf(block);
            StageClock clock;
            const uint32_t index =
                transformBlock(b.data(), static_cast<uint32_t>(b.size()), clock,
                               BlockContext{console, kPortableCpuFeatures, 1, {}, &sink});
            if (column) {
                *column = b;
                lastIndex = index;
            }
        }
        return {suffixes.str(), sa.str()};
    }

    uint32_t maxSize = 0xFFFFFFFFu;
    uint32_t lastIndex = 0;
};

}  // namespace

TEST_F(DumpTest, BananaListings) {
    const auto [suffixes, sa] = listings({"banana"});
    EXPECT_EQ(suffixes, kBananaLines);
    EXPECT_EQ(sa, "5 3 1 0 4 2");
}

TEST_F(DumpTest, BananaListingLimitedToTwoBytes) {
    maxSize = 2;
    const auto [suffixes, sa] = listings({"banana"});
    EXPECT_EQ(suffixes,
              "0 suffix 5:         a\n"
              "1 suffix 3:         an\n"
              "2 suffix 1:         an\n"
              "3 suffix 0:         ba\n"
              "4 suffix 4:         na\n"
              "5 suffix 2:         na\n");
    EXPECT_EQ(sa, "5 3 1 0 4 2");
}

TEST_F(DumpTest, LimitIsUnsigned) {
    // -1 as given on the command line: the largest unsigned value, no limit.
    maxSize = static_cast<uint32_t>(-1);
    EXPECT_EQ(listings({"banana"}).first, kBananaLines);
}

TEST_F(DumpTest, LimitZeroWritesNoSuffixBytes) {
    maxSize = 0;
    EXPECT_EQ(listings({"ab"}).first,
              "0 suffix 0:         \n"
              "1 suffix 1:         \n");
}

TEST_F(DumpTest, EachBlockNumbersItsLinesAgain) {
    const auto [suffixes, sa] = listings({"banana", "ba"});
    EXPECT_EQ(suffixes, kBananaLines +
                            "0 suffix 1:         a\n"
                            "1 suffix 0:         ba\n");
    // Consecutive suffix-array listings are kept apart by a line break.
    EXPECT_EQ(sa, "5 3 1 0 4 2\n1 0");
}

TEST_F(DumpTest, TransformStillWrittenWithListings) {
    Bytes column;
    const auto [suffixes, sa] = listings({"abracadabra"}, &column);
    EXPECT_EQ(sa, "10 7 0 3 5 8 1 4 6 9 2");
    EXPECT_EQ(lastIndex, 2u);
    EXPECT_EQ(column, bytesOf("rdarcaaaabb"));
}

TEST_F(DumpTest, SuffixLinePadding) {
    // Lines of 20 characters or more get no blanks, shorter ones are padded.
    const uint32_t n = 100000;
    const Bytes text(n, 'q');
    std::vector<uint32_t> sa(n);
    for (uint32_t k = 0; k < n; ++k) sa[k] = n - 1 - k;
    std::ostringstream out;
    writeSuffixListing(out, text.data(), n, sa.data(), 3);
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), n);
    EXPECT_EQ(lines[0], "0 suffix 99999:     q");
    EXPECT_EQ(lines[1000], "1000 suffix 98999:  qqq");   // 19 characters, one blank
    EXPECT_EQ(lines[10000], "10000 suffix 89999: qqq");  // 20 characters, no blank
    EXPECT_EQ(lines[99998], "99998 suffix 1:     qqq");
    EXPECT_EQ(lines[99999], "99999 suffix 0:     qqq");
}

TEST_F(DumpTest, SuffixBytesAreRaw) {
    const Bytes text{'a', '\n', 0x00, 0xFF};
    const std::vector<uint32_t> sa{2, 1, 0, 3};
    std::ostringstream out;
    writeSuffixListing(out, text.data(), 4, sa.data(), 0xFFFFFFFFu);
    EXPECT_EQ(out.str(), std::string("0 suffix 2:         \0\xFF\n", 23) + "1 suffix 1:         \n" +
                             std::string("\0\xFF\n", 3) + "2 suffix 0:         a\n" +
                             std::string("\0\xFF\n", 3) + "3 suffix 3:         \xFF\n");
}

TEST_F(DumpTest, SuffixArrayListingFormat) {
    std::ostringstream out;
    const std::vector<uint32_t> sa{0};
    writeSuffixArrayListing(out, sa.data(), 1);
    EXPECT_EQ(out.str(), "0");
    std::ostringstream empty;
    writeSuffixArrayListing(empty, nullptr, 0);
    EXPECT_EQ(empty.str(), "");
    std::ostringstream big;
    const std::vector<uint32_t> large{4294967295u, 10485759u};
    writeSuffixArrayListing(big, large.data(), 2);
    EXPECT_EQ(big.str(), "4294967295 10485759");
}

TEST_F(DumpTest, TransformDump) {
    std::ostringstream out;
    const Bytes column = bytesOf("nnbaaa");
    dumpBwt(out, column.data(), 6, 3);
    const Bytes raw{'x', '\n', 0x00, 0xFF, '\r'};
    dumpBwt(out, raw.data(), 5, 4);
    EXPECT_EQ(out.str(),
              "[Block] \nBlock size = 6\nFirst suffix position: 3\nData after BWT:\nnnbaaa\n\n"
              "[Block] \nBlock size = 5\nFirst suffix position: 4\nData after BWT:\n" +
                  std::string("x\n\0\xFF\r", 5) + "\n\n");
}

TEST_F(DumpTest, MoveToFrontDump) {
    std::ostringstream out;
    const Bytes values{0, 1, 9, 10, 99, 100, 255, 0};
    dumpMtf(out, values.data(), static_cast<uint32_t>(values.size()));
    dumpMtf(out, nullptr, 0);
    const Bytes one{7};
    dumpMtf(out, one.data(), 1);
    EXPECT_EQ(out.str(),
              "[Block] \nBlock size = 8\nData after MTF:\n0 1 9 10 99 100 255 0\n\n"
              "[Block] \nBlock size = 0\nData after MTF:\n\n\n"
              "[Block] \nBlock size = 1\nData after MTF:\n7\n\n");
}

TEST_F(DumpTest, MoveToFrontDumpOfALargeBlock) {
    std::ostringstream out;
    const Bytes values = testdata::randomBytes(3, 200000);
    dumpMtf(out, values.data(), static_cast<uint32_t>(values.size()));
    std::string expected = "[Block] \nBlock size = 200000\nData after MTF:\n";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) expected += ' ';
        expected += std::to_string(values[i]);
    }
    expected += "\n\n";
    EXPECT_EQ(out.str(), expected);
}

TEST_F(DumpTest, ClosedStreamIsIgnored) {
    // A stream that was never opened is in a failed state: writes do nothing
    // and throw nothing, and the stream stays failed for the driver to see.
    const Bytes column = bytesOf("abc");
    std::ofstream bwt;
    std::ofstream mtf;
    EXPECT_NO_THROW(dumpBwt(bwt, column.data(), 3, 0));
    EXPECT_NO_THROW(dumpMtf(mtf, column.data(), 3));
    EXPECT_TRUE(bwt.fail());
    EXPECT_TRUE(mtf.fail());
}
