// The drivers over in-memory streams: every container check of the extractor
// with its message, in the order the checks are made, and the compressor's
// framing (block count, header fields, written in order without seeking).
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "app/CpuFeatures.h"
#include "app/Drivers.h"
#include "base/Exception.h"
#include "base/Settings.h"
#include "io/ByteOrder.h"
#include "io/PackedHeaders.h"
#include "tests/fuzz/FuzzInputs.h"
#include "tests/support/DataGen.h"
#include "tests/support/TempDir.h"

namespace {

std::string le32(uint32_t v) {
    uint8_t b[4];
    putLE32(b, v);
    return std::string(reinterpret_cast<const char*>(b), 4);
}

std::string fileHeader(uint32_t unpacked) { return std::string("MORV_Q17") + le32(unpacked); }

std::string blockHeader(uint32_t payload, uint32_t length, uint8_t method, uint8_t coder) {
    return std::string("BLCK") + le32(payload) + le32(length) + static_cast<char>(method) +
           static_cast<char>(coder) + le32(0);
}

std::string extractError(const std::string& packed, std::string* output = nullptr) {
    std::istringstream in(packed);
    std::ostringstream out;
    try {
        decompressStream(in, out, "out", detectCpuFeatures(), 1);
    } catch (const Exception& e) {
        if (output) *output = out.str();
        return e.what();
    }
    if (output) *output = out.str();
    return "";
}

// An output that takes bytes only at its end, like a pipe: every seek and
// every position query fails.
class AppendOnlySink : public std::streambuf {
public:
    const std::string& contents() const { return data_; }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        data_.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) data_ += traits_type::to_char_type(c);
        return traits_type::not_eof(c);
    }
    pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
        return pos_type(off_type(-1));
    }
    pos_type seekpos(pos_type, std::ios_base::openmode) override { return pos_type(off_type(-1)); }

private:
    std::string data_;
};

class DriversTest : public ::testing::Test {
protected:
    void SetUp() override { resetSettings(); }
    void TearDown() override { resetSettings(); }
};

}  // namespace

TEST_F(DriversTest, EmptyPackedFileExtractsToNothing) {
    std::string out = "x";
    EXPECT_EQ(extractError(fileHeader(0), &out), "");
    EXPECT_EQ(out, "");
}

TEST_F(DriversTest, ContainerChecksAndTheirMessages) {
    struct Case {
        const char* what;
        std::string packed;
        const char* message;
    };
    const Case cases[] = {
        {"not a packed file", "MORV_Q18" + le32(1), "Invalid file (header id does not match)."},
        {"too short for a file header", "MORV", "Invalid file (header id does not match)."},
        {"no block where one is due", fileHeader(5), "Invalid block (header id does not match)."},
        {"bad block magic", fileHeader(5) + "BLOK" + std::string(14, '\0'),
         "Invalid block (header id does not match)."},
        {"coder byte 2", fileHeader(5) + blockHeader(0, 5, 5, 2),
         "Invalid arithmetic coder type (maybe block is corrupted?)"},
        {"zero block length", fileHeader(5) + blockHeader(0, 0, 9, 1),
         "Wrong block size in packed size. Block cannot have size of 0."},
        {"block longer than the file", fileHeader(5) + blockHeader(0, 6, 9, 1),
         "Wrong block size in packed file (this may also mean some other error)."},
        {"block above the largest block size",
         fileHeader(0xFFFFFFFFu) + blockHeader(0, MaxBlockSize + 1, 5, 1),
         "Wrong block size in packed file (this may also mean some other error)."},
        {"DC with the static coder", fileHeader(5) + blockHeader(0, 5, 5, 0),
         "Unsupported compression method (DC can't use static coder)."},
        {"method 3", fileHeader(5) + blockHeader(0, 5, 3, 1), "Unsupported compression method."},
        {"method 0", fileHeader(5) + blockHeader(0, 5, 0, 0), "Unsupported compression method."},
        {"payload past the end", fileHeader(5) + blockHeader(100, 5, 5, 1) + std::string(99, '\0'),
         "Invalid block (payload extends past end of file)."},
        {"huge payload size", fileHeader(5) + blockHeader(0xFFFFFFFFu, 5, 2, 0),
         "Invalid block (payload extends past end of file)."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(extractError(c.packed), c.message) << c.what;
    }
}

TEST_F(DriversTest, SecondBlockOverrunningTheTotalIsRefused) {
    // The running total is summed without wrap-around: 0xFFFFFFFF + 2 must not
    // look small.
    const std::string packed = fileHeader(0xFFFFFFFFu) + blockHeader(0, 0xFFFFFFFFu, 5, 1);
    EXPECT_EQ(extractError(packed),
              "Wrong block size in packed file (this may also mean some other error).");
}

TEST_F(DriversTest, EmptyInputIsRefused) {
    std::istringstream in("");
    std::stringstream out;
    try {
        compressStream(in, 0, out, "in", "out", 1);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot compress empty file (file size is 0)");
    }
}

TEST_F(DriversTest, InputAbove32BitSizesIsRefusedBeforeWriting) {
    std::istringstream in("abc");
    std::stringstream out;
    try {
        compressStream(in, 4294967296ull, out, "in", "out", 1);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot compress file larger than 4294967295 bytes");
    }
    EXPECT_EQ(out.str(), "");
}

TEST_F(DriversTest, ShortReadIsAnError) {
    settings().dc = true;
    settings().adaptiveCoder = true;
    std::istringstream in("abc");
    std::stringstream out;
    try {
        compressStream(in, 10, out, "in.txt", "out", 1);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Unable to read input file: in.txt");
    }
}

TEST_F(DriversTest, OnlyMtf1ChosenStopsAtTheFirstBlock) {
    settings().mtf1 = true;
    settings().adaptiveCoder = true;
    std::istringstream in("abcdef");
    std::stringstream out;
    try {
        compressStream(in, 6, out, "in", "out", 1);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Unsupported compression method");
    }
    // A block reaches the output only once it is coded: the file header alone.
    EXPECT_EQ(out.str().size(), kFileHeaderSize);
}

// Blocks reach the output in order, header before payload: an output that
// cannot seek gets the same bytes as a seekable one, for every method.
TEST_F(DriversTest, PackedStreamNeedsNoSeeking) {
    const testdata::Bytes data = testdata::mixedBlock(5, 3000);
    const std::string text(data.begin(), data.end());
    for (fuzzinput::Method m : fuzzinput::kAllMethods) {
        SCOPED_TRACE(fuzzinput::methodName(m));
        fuzzinput::useForCompression(m, 1100);
        std::istringstream seekableIn(text);
        std::stringstream seekable;
        const uint64_t expectedSize = compressStream(seekableIn, data.size(), seekable, "in", "out", 1);

        fuzzinput::useForCompression(m, 1100);
        std::istringstream in(text);
        AppendOnlySink sink;
        std::ostream out(&sink);
        EXPECT_EQ(compressStream(in, data.size(), out, "in", "out", 1), expectedSize);
        EXPECT_EQ(sink.contents(), seekable.str());
        EXPECT_EQ(sink.contents().size(), expectedSize);
    }
}

TEST_F(DriversTest, SameFileIsRecognisedByIdentity) {
    testdata::TempDir dir;
    const std::string a = dir.file("a.txt");
    testdata::writeFile(a, {1, 2, 3});
    const std::string viaDot = (dir.path() / "." / "a.txt").string();
    EXPECT_THROW(refuseSameFile(a, viaDot), Exception);
    EXPECT_THROW(refuseSameFile(a, a), Exception);
    EXPECT_NO_THROW(refuseSameFile(a, dir.file("b.txt")));
    try {
        refuseSameFile(a, viaDot);
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), "Output file is the same as input file: " + viaDot);
    }
}
