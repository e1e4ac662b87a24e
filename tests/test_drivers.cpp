// The drivers over in-memory streams: every container check of the extractor
// with its message, in the order the checks are made, and the compressor's
// framing (block count, header fields, written in order without seeking).
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "app/Drivers.h"
#include "base/CpuFeatures.h"
#include "base/Exception.h"
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

// A source that hands out its bytes in small pieces and cannot seek or tell
// its position, like a pipe.
class SequentialSource : public std::streambuf {
public:
    explicit SequentialSource(std::string data) : data_(std::move(data)) {}

protected:
    int_type underflow() override {
        if (pos_ >= data_.size()) return traits_type::eof();
        const std::size_t n = std::min<std::size_t>(7, data_.size() - pos_);
        char* start = data_.data() + pos_;
        setg(start, start, start + n);
        pos_ += n;
        return traits_type::to_int_type(*start);
    }
    pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
        return pos_type(off_type(-1));
    }
    pos_type seekpos(pos_type, std::ios_base::openmode) override { return pos_type(off_type(-1)); }

private:
    std::string data_;
    std::size_t pos_ = 0;
};

// Extracts `packed` from a seekable stream and from a pipe-like one; both
// must give the same output and the same error, which is returned ("" for
// success).
std::string extractError(const std::string& packed, std::string* output = nullptr,
                         unsigned threads = 1) {
    std::string results[2];
    std::string outputs[2];
    for (int sequential = 0; sequential < 2; ++sequential) {
        std::istringstream seekable(packed);
        SequentialSource source(packed);
        std::istream pipe(&source);
        std::ostringstream out;
        try {
            decompressStream(sequential ? pipe : static_cast<std::istream&>(seekable), out, "out",
                             detectCpuFeatures(), fuzzinput::useForExtraction(false, threads),
                             std::cout);
        } catch (const Exception& e) {
            results[sequential] = e.what();
        }
        outputs[sequential] = out.str();
    }
    EXPECT_EQ(results[0], results[1]) << "seekable and sequential sources differ";
    EXPECT_EQ(outputs[0], outputs[1]) << "seekable and sequential sources differ";
    if (output) *output = outputs[0];
    return results[0];
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

class DriversTest : public ::testing::Test {};

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
        {"block header after the last block", fileHeader(0) + blockHeader(0, 5, 5, 1),
         "Error in compressed file (block beyond the unpacked size)"},
        {"second part's header cut short", fileHeader(0) + "MORV_Q17" + std::string(2, '\1'),
         "Invalid file (header id does not match)."},
        {"second part without its block", fileHeader(0) + fileHeader(5) + "BLOK",
         "Invalid block (header id does not match)."},
        {"second part's block too long", fileHeader(0) + fileHeader(5) + blockHeader(0, 6, 5, 1),
         "Wrong block size in packed file (this may also mean some other error)."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(extractError(c.packed), c.message) << c.what;
    }
}

// Packed files written one after another (`cat a.p b.p`) extract as the
// concatenation of their contents, from a file or a pipe, on any number of
// threads; bytes after the last part that are no header are not read.
TEST_F(DriversTest, ConcatenatedPackedFilesExtractWhole) {
    const testdata::Bytes a = testdata::textLike(3, 5000);
    const testdata::Bytes b = testdata::mixedBlock(4, 7000);
    std::string packed;
    std::string expected;
    for (const auto& [data, method] :
         {std::pair{a, fuzzinput::kAllMethods[0]}, std::pair{b, fuzzinput::kAllMethods[2]}}) {
        std::istringstream in(std::string(data.begin(), data.end()));
        std::ostringstream out;
        compressStream(in, data.size(), out, "in", "out", fuzzinput::useForCompression(method, 2000),
                       std::cout);
        packed += out.str();
        expected += std::string(data.begin(), data.end());
    }
    for (unsigned threads : {1u, 2u}) {
        for (const std::string& tail : {std::string(), std::string("trailing bytes")}) {
            std::string output;
            EXPECT_EQ(extractError(packed + tail, &output, threads), "");
            EXPECT_TRUE(output == expected) << "threads " << threads << ", tail " << tail.size();
        }
        // A part of no blocks in the middle changes nothing.
        std::string output;
        EXPECT_EQ(extractError(fileHeader(0) + packed, &output, threads), "");
        EXPECT_TRUE(output == expected);
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
        compressStream(in, 0, out, "in", "out", BlockPlan{}, std::cout);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot compress empty file (file size is 0)");
    }
}

TEST_F(DriversTest, InputAbove32BitSizesIsRefusedBeforeWriting) {
    std::istringstream in("abc");
    std::stringstream out;
    try {
        compressStream(in, 4294967296ull, out, "in", "out", BlockPlan{}, std::cout);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot compress file larger than 4294967295 bytes");
    }
    EXPECT_EQ(out.str(), "");
}

TEST_F(DriversTest, ShortReadIsAnError) {
    std::istringstream in("abc");
    std::stringstream out;
    try {
        compressStream(in, 10, out, "in.txt", "out", BlockPlan{}, std::cout);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Unable to read input file: in.txt");
    }
}

TEST_F(DriversTest, OnlyMtf1ChosenStopsAtTheFirstBlock) {
    BlockPlan plan;
    plan.method = CodingMethod::Mtf1;
    std::istringstream in("abcdef");
    std::stringstream out;
    try {
        compressStream(in, 6, out, "in", "out", plan, std::cout);
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
        const BlockPlan plan = fuzzinput::useForCompression(m, 1100);
        std::istringstream seekableIn(text);
        std::stringstream seekable;
        const uint64_t expectedSize =
            compressStream(seekableIn, data.size(), seekable, "in", "out", plan, std::cout);

        std::istringstream in(text);
        AppendOnlySink sink;
        std::ostream out(&sink);
        EXPECT_EQ(compressStream(in, data.size(), out, "in", "out", plan, std::cout), expectedSize);
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

// Blocks coded at once and threads per block: the physical memory, the
// address-space limit (each worker's stack and allocator arena counted) and
// the diagnostic files bound them; without limits every processor is used.
TEST(ThreadPlanTest, MemoryAndAddressSpaceBoundTheThreads) {
    constexpr uint64_t MiB = uint64_t{1} << 20;
    constexpr uint64_t kNoLimit = ~uint64_t{0};
    const MemoryLimits plenty{uint64_t{24} << 30, kNoLimit, 72 * MiB};
    struct Case {
        const char* what;
        unsigned threads;
        uint64_t blocks;
        uint64_t blockLength;
        bool oneAtATime;
        MemoryLimits limits;
        unsigned atOnce;
        unsigned perBlock;
    };
    const Case cases[] = {
        {"four 10 MiB blocks, two processors", 2, 4, 10 * MiB, false, plenty, 2, 1},
        {"one block takes every processor", 2, 1, 10 * MiB, false, plenty, 1, 2},
        {"dumps: one block at a time", 4, 8, MiB, true, plenty, 1, 4},
        {"blocks under 64 bytes", 2, 1000, 63, false, plenty, 1, 2},
        {"a quarter of 200 MiB holds no second block",
         2,
         4,
         10 * MiB,
         false,
         {200 * MiB, kNoLimit, 0},
         1,
         2},
        {"ulimit -v 200000: one processor's plan",
         2,
         4,
         10 * MiB,
         false,
         {plenty.usable, 190 * MiB, 72 * MiB},
         1,
         1},
        {"room for two workers", 2, 4, 10 * MiB, false, {plenty.usable, 400 * MiB, 72 * MiB}, 2, 1},
        {"room for one block's helper threads",
         2,
         1,
         10 * MiB,
         false,
         {plenty.usable, 300 * MiB, 72 * MiB},
         1,
         2},
        {"no room at all still plans one block",
         2,
         4,
         10 * MiB,
         false,
         {plenty.usable, 0, 72 * MiB},
         1,
         1},
    };
    for (const Case& c : cases) {
        const ThreadPlan plan = planThreads(c.threads, c.blocks, c.blockLength, c.oneAtATime, c.limits);
        EXPECT_EQ(plan.blocksAtOnce, c.atOnce) << c.what;
        EXPECT_EQ(plan.threadsPerBlock, c.perBlock) << c.what;
    }
}
