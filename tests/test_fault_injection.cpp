// Fault injection: what the drivers and the whole program do when the world
// misbehaves. Output devices that fill up at every possible byte, inputs that
// end early or fail while being read, packed files cut short at every offset
// or damaged in every single bit, forged headers that claim huge sizes (with
// the live heap measured while they are extracted), and whole-program runs
// whose files cannot be opened, read or written.
//
// The rule for damaged packed files: extraction either ends normally having
// written exactly the header's unpackedSize bytes, or throws Exception having
// written no more than that; no other exception type ever leaves it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <new>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "app/Drivers.h"
#include "base/CpuFeatures.h"
#include "base/Exception.h"
#include "io/ByteOrder.h"
#include "io/PackedHeaders.h"
#include "tests/fuzz/FuzzInputs.h"
#include "tests/support/DataGen.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempDir.h"

// ------------------------------------------------------ allocation tracking
//
// Every operator new of this program goes through here, so that a test can
// read the largest number of heap bytes alive at once while one extraction
// runs. Each block carries its requested size in a header just in front of it.

namespace {

std::atomic<std::size_t> gLiveBytes{0};
std::atomic<std::size_t> gPeakBytes{0};

constexpr std::size_t kAllocHeader = alignof(std::max_align_t);

std::size_t headerFor(std::size_t alignment) {
    return alignment > kAllocHeader ? alignment : kAllocHeader;
}

void* trackedAlloc(std::size_t size, std::size_t alignment) noexcept {
    const std::size_t offset = headerFor(alignment);
    if (size > SIZE_MAX - 2 * offset) return nullptr;
    void* base = nullptr;
    if (alignment > kAllocHeader) {
        const std::size_t total = (size + offset + alignment - 1) / alignment * alignment;
        base = std::aligned_alloc(alignment, total);
    } else {
        base = std::malloc(size + offset);
    }
    if (base == nullptr) return nullptr;
    char* user = static_cast<char*>(base) + offset;
    std::memcpy(user - sizeof(std::size_t), &size, sizeof(std::size_t));
    const std::size_t live = gLiveBytes.fetch_add(size) + size;
    std::size_t peak = gPeakBytes.load();
    while (live > peak && !gPeakBytes.compare_exchange_weak(peak, live)) {}
    return user;
}

void trackedFree(void* p, std::size_t alignment) noexcept {
    if (p == nullptr) return;
    char* user = static_cast<char*>(p);
    std::size_t size = 0;
    std::memcpy(&size, user - sizeof(std::size_t), sizeof(std::size_t));
    gLiveBytes.fetch_sub(size);
    std::free(user - headerFor(alignment));
}

void* allocOrThrow(std::size_t size, std::size_t alignment) {
    void* p = trackedAlloc(size, alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

constexpr std::size_t kPlain = 0;

}  // namespace

void* operator new(std::size_t size) { return allocOrThrow(size, kPlain); }
void* operator new[](std::size_t size) { return allocOrThrow(size, kPlain); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return trackedAlloc(size, kPlain);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return trackedAlloc(size, kPlain);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return allocOrThrow(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return allocOrThrow(size, static_cast<std::size_t>(a));
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return trackedAlloc(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return trackedAlloc(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { trackedFree(p, kPlain); }
void operator delete[](void* p) noexcept { trackedFree(p, kPlain); }
void operator delete(void* p, std::size_t) noexcept { trackedFree(p, kPlain); }
void operator delete[](void* p, std::size_t) noexcept { trackedFree(p, kPlain); }
void operator delete(void* p, const std::nothrow_t&) noexcept { trackedFree(p, kPlain); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { trackedFree(p, kPlain); }
void operator delete(void* p, std::align_val_t a) noexcept {
    trackedFree(p, static_cast<std::size_t>(a));
}
void operator delete[](void* p, std::align_val_t a) noexcept {
    trackedFree(p, static_cast<std::size_t>(a));
}
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept {
    trackedFree(p, static_cast<std::size_t>(a));
}
void operator delete[](void* p, std::size_t, std::align_val_t a) noexcept {
    trackedFree(p, static_cast<std::size_t>(a));
}
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
    trackedFree(p, static_cast<std::size_t>(a));
}
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
    trackedFree(p, static_cast<std::size_t>(a));
}

namespace {

namespace fs = std::filesystem;
using fuzzinput::Method;
using testdata::Bytes;

// The most heap bytes alive at once, above what was alive when it started.
class PeakHeap {
public:
    PeakHeap() : base_(gLiveBytes.load()) { gPeakBytes.store(base_); }
    std::size_t extra() const { return gPeakBytes.load() - base_; }

private:
    std::size_t base_;
};

// ------------------------------------------------------------ stream devices

// Discards everything written to it, counting the bytes and those that
// differ from `fill`; never allocates.
class CountingSink : public std::streambuf {
public:
    explicit CountingSink(char fill = 0) : fill_(fill) {}
    uint64_t count() const { return count_; }
    uint64_t notFill() const { return notFill_; }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        xsputn(&ch, 1);
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        count_ += static_cast<uint64_t>(n);
        notFill_ += static_cast<uint64_t>(n - std::count(s, s + n, fill_));
        return n;
    }

private:
    char fill_;
    uint64_t count_ = 0;
    uint64_t notFill_ = 0;
};

// A seekable output device that can hold only `capacity` bytes, like a file
// on a disk with that much room left: a write past it stores what fits and
// reports the rest as not written. Rewriting bytes already there always works.
class FillingDevice : public std::streambuf {
public:
    explicit FillingDevice(std::size_t capacity) : capacity_(capacity) {}
    const std::string& contents() const { return data_; }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const std::size_t room = pos_ < capacity_ ? capacity_ - pos_ : 0;
        const std::size_t k = std::min(static_cast<std::size_t>(n), room);
        if (pos_ + k > data_.size()) data_.resize(pos_ + k);
        std::memcpy(data_.data() + pos_, s, k);
        pos_ += k;
        return static_cast<std::streamsize>(k);
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        const off_type base = dir == std::ios_base::beg   ? 0
                              : dir == std::ios_base::cur ? static_cast<off_type>(pos_)
                                                          : static_cast<off_type>(data_.size());
        const off_type target = base + off;
        if (target < 0 || target > static_cast<off_type>(data_.size())) return pos_type(off_type(-1));
        pos_ = static_cast<std::size_t>(target);
        return pos_type(target);
    }
    pos_type seekpos(pos_type p, std::ios_base::openmode which) override {
        return seekoff(off_type(p), std::ios_base::beg, which);
    }

private:
    std::size_t capacity_;
    std::size_t pos_ = 0;
    std::string data_;
};

// An input whose first `available` bytes arrive; after them it either ends
// (a file cut short after its size was taken) or fails the way a device read
// error does, by throwing from the buffer.
class ShortSource : public std::streambuf {
public:
    ShortSource(const Bytes& data, std::size_t available, bool deviceError)
        : data_(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(available)),
          deviceError_(deviceError) {
        setg(data_.data(), data_.data(), data_.data() + data_.size());
    }

protected:
    int_type underflow() override {
        if (deviceError_) throw std::runtime_error("device read error");
        return traits_type::eof();
    }

private:
    std::string data_;
    bool deviceError_;
};

// ------------------------------------------------------- packing helpers

bool prefixCode(Method m) { return m == Method::DcPrefixCode; }

std::string asString(const Bytes& data) { return std::string(data.begin(), data.end()); }

std::string pack(const Bytes& data, Method m, uint32_t blockSize) {
    const BlockPlan plan = fuzzinput::useForCompression(m, blockSize);
    std::istringstream in(asString(data));
    std::stringstream out;
    compressStream(in, data.size(), out, "in", "out", plan, std::cout);
    return out.str();
}

uint32_t le32At(const std::string& s, std::size_t offset) {
    return getLE32(reinterpret_cast<const uint8_t*>(s.data()) + offset);
}

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

// Where each block of a packed file starts and ends, and how many original
// bytes precede its end.
struct BlockSpan {
    std::size_t headerPos;
    std::size_t end;      // one past its payload
    std::size_t dataEnd;  // original bytes up to and including this block
};

std::vector<BlockSpan> blockSpans(const std::string& packed) {
    std::vector<BlockSpan> spans;
    std::size_t pos = kFileHeaderSize;
    std::size_t data = 0;
    while (pos + kBlockHeaderSize <= packed.size()) {
        const std::size_t end = pos + kBlockHeaderSize + le32At(packed, pos + 4);
        data += le32At(packed, pos + 8);
        spans.push_back({pos, end, data});
        pos = end;
    }
    return spans;
}

// How one extraction ended.
struct Outcome {
    enum Kind { Success, Error, Foreign } kind = Success;
    std::string output;
    std::string message;
};

std::string describe(const Outcome& r) {
    switch (r.kind) {
        case Outcome::Success:
            return "success, " + std::to_string(r.output.size()) + " bytes";
        case Outcome::Error:
            return "Exception \"" + r.message + "\" after " + std::to_string(r.output.size()) + " bytes";
        case Outcome::Foreign:
            return "foreign exception " + r.message + " after " + std::to_string(r.output.size()) +
                   " bytes";
    }
    return "?";
}

Outcome extract(const std::string& packed, bool prefix) {
    const BlockPlan plan = fuzzinput::useForExtraction(prefix);
    std::istringstream in(packed);
    std::ostringstream out;
    Outcome r;
    try {
        decompressStream(in, out, "out", detectCpuFeatures(), plan, std::cout);
        r.kind = Outcome::Success;
    } catch (const Exception& e) {
        r.kind = Outcome::Error;
        r.message = e.what();
    } catch (const std::exception& e) {
        r.kind = Outcome::Foreign;
        r.message = std::string("std::exception: ") + e.what();
    } catch (...) {
        r.kind = Outcome::Foreign;
        r.message = "of unknown type";
    }
    r.output = out.str();
    return r;
}

class FaultInjection : public ::testing::Test {
protected:
};

// Reports at most a few of many failed cases, then their count.
class FailureLog {
public:
    explicit FailureLog(std::string what) : what_(std::move(what)) {}
    ~FailureLog() { EXPECT_EQ(count_, 0u) << what_ << ": failed cases"; }
    void add(const std::string& text) {
        if (count_++ < 5) ADD_FAILURE() << what_ << ": " << text;
    }

private:
    std::string what_;
    std::size_t count_ = 0;
};

// ------------------------------------------------ writing to a full device

TEST_F(FaultInjection, CompressionNeverSucceedsOnAFillingDevice) {
    const Bytes data = testdata::mixedBlock(3, 500);
    for (Method m : fuzzinput::kAllMethods) {
        SCOPED_TRACE(fuzzinput::methodName(m));
        const std::string packed = pack(data, m, 200);
        FailureLog failures(fuzzinput::methodName(m));
        // Room for every shorter length: the run must end with the write
        // error, whichever write (header, payload, rewritten header) hits it.
        for (std::size_t room = 0; room <= packed.size(); ++room) {
            const BlockPlan plan = fuzzinput::useForCompression(m, 200);
            std::istringstream in(asString(data));
            FillingDevice device(room);
            std::ostream out(&device);
            std::string message = "(none)";
            try {
                const uint64_t size = compressStream(in, data.size(), out, "in", "out", plan, std::cout);
                if (room < packed.size()) {
                    failures.add("room " + std::to_string(room) + ": reported success, " +
                                 std::to_string(size) + " bytes");
                } else if (device.contents() != packed || size != packed.size()) {
                    failures.add("room for all: output differs from an unhindered run");
                }
                continue;
            } catch (const Exception& e) {
                message = e.what();
            }
            if (room == packed.size() || message != "Unable to write output file: out") {
                failures.add("room " + std::to_string(room) + ": " + message);
            }
        }
    }
}

TEST_F(FaultInjection, ExtractionNeverSucceedsOnAFillingDevice) {
    const Bytes data = testdata::mixedBlock(4, 700);
    for (Method m : fuzzinput::kAllMethods) {
        SCOPED_TRACE(fuzzinput::methodName(m));
        const std::string packed = pack(data, m, 200);
        FailureLog failures(fuzzinput::methodName(m));
        for (std::size_t room = 0; room <= data.size(); ++room) {
            const BlockPlan plan = fuzzinput::useForExtraction(prefixCode(m));
            std::istringstream in(packed);
            FillingDevice device(room);
            std::ostream out(&device);
            try {
                decompressStream(in, out, "out", detectCpuFeatures(), plan, std::cout);
                if (room < data.size() || device.contents() != asString(data)) {
                    failures.add("room " + std::to_string(room) + ": reported success");
                }
            } catch (const Exception& e) {
                if (room == data.size() || std::string(e.what()) != "Unable to write output file: out") {
                    failures.add("room " + std::to_string(room) + ": " + e.what());
                }
            }
        }
    }
}

// --------------------------------------------------- input ending early

// The input is measured first and read block by block afterwards; when it
// delivers less than it said, in any block, the run stops with the read error
// and what was written so far is a consistent prefix: the file header and the
// blocks before the short one, which extract to the input's first bytes.
TEST_F(FaultInjection, InputShorterThanItsSizeIsAReadError) {
    const Bytes data = testdata::mixedBlock(5, 1000);
    constexpr uint32_t kBlock = 300;
    for (Method m : fuzzinput::kAllMethods) {
        for (bool deviceError : {false, true}) {
            for (std::size_t available :
                 {std::size_t{0}, std::size_t{1}, std::size_t{299}, std::size_t{300}, std::size_t{450},
                  std::size_t{900}, std::size_t{999}}) {
                SCOPED_TRACE(std::string(fuzzinput::methodName(m)) +
                             (deviceError ? " device error" : " early end") + " after " +
                             std::to_string(available) + " bytes");
                const BlockPlan plan = fuzzinput::useForCompression(m, kBlock);
                ShortSource source(data, available, deviceError);
                std::istream in(&source);
                std::stringstream out;
                try {
                    compressStream(in, data.size(), out, "shrunk.txt", "out", plan, std::cout);
                    ADD_FAILURE() << "reported success";
                    continue;
                } catch (const Exception& e) {
                    EXPECT_STREQ(e.what(), "Unable to read input file: shrunk.txt");
                }
                const std::size_t wholeBlocks = available / kBlock;
                const Outcome back = extract(out.str(), prefixCode(m));
                EXPECT_EQ(back.kind, Outcome::Error) << describe(back);
                EXPECT_EQ(back.message, "Invalid block (header id does not match).");
                EXPECT_EQ(back.output,
                          asString(Bytes(data.begin(), data.begin() + wholeBlocks * kBlock)));
            }
        }
    }
}

// ---------------------------------------------------- damaged packed files

// A packed file cut short anywhere is refused (a header or a payload is
// incomplete); the blocks wholly before the cut are written, correctly, and
// nothing else. Bytes appended after a complete file are ignored.
TEST_F(FaultInjection, TruncationAtEveryOffset) {
    const Bytes data = testdata::mixedBlock(11, 700);
    for (Method m : fuzzinput::kAllMethods) {
        SCOPED_TRACE(fuzzinput::methodName(m));
        const std::string packed = pack(data, m, 200);
        const std::vector<BlockSpan> spans = blockSpans(packed);
        ASSERT_EQ(spans.size(), 4u);
        ASSERT_EQ(spans.back().end, packed.size());
        FailureLog failures(fuzzinput::methodName(m));
        for (std::size_t cut = 0; cut < packed.size(); ++cut) {
            const Outcome r = extract(packed.substr(0, cut), prefixCode(m));
            std::size_t intact = 0;
            for (const BlockSpan& s : spans) {
                if (s.end <= cut) intact = s.dataEnd;
            }
            if (r.kind != Outcome::Error) {
                failures.add("cut at " + std::to_string(cut) + ": " + describe(r));
            } else if (r.output != asString(Bytes(data.begin(), data.begin() + intact))) {
                failures.add("cut at " + std::to_string(cut) + ": output is not the " +
                             std::to_string(intact) + " bytes of the intact blocks but " + describe(r));
            }
        }
        const Outcome longer = extract(packed + std::string(37, '\x5a'), prefixCode(m));
        EXPECT_EQ(longer.kind, Outcome::Success) << describe(longer);
        EXPECT_EQ(longer.output, asString(data));
    }
}

// An unpackedSize damaged down to the end of an earlier block (one bit off
// when the blocks have a power-of-two size) would end extraction early as if
// the file were complete; the block header that follows gives it away.
// Arbitrary bytes after a complete file are still ignored.
TEST_F(FaultInjection, UnpackedSizeCutToABlockBoundaryIsRefused) {
    const Bytes data = testdata::textLike(7, 3 * 64);
    const std::string packed = pack(data, Method::Dc, 64);
    ASSERT_EQ(blockSpans(packed).size(), 3u);
    for (uint32_t cut : {0u, 64u, 128u}) {
        std::string damaged = packed;
        damaged.replace(8, 4, le32(cut));
        const Outcome r = extract(damaged, false);
        EXPECT_EQ(r.kind, Outcome::Error) << cut << ": " << describe(r);
        EXPECT_EQ(r.message, "Error in compressed file (block beyond the unpacked size)") << cut;
        EXPECT_EQ(r.output, asString(Bytes(data.begin(), data.begin() + cut))) << cut;
    }
    const Outcome longer = extract(packed + "BLC", false);
    EXPECT_EQ(longer.kind, Outcome::Success) << describe(longer);
    EXPECT_EQ(longer.output, asString(data));
}

// Single-bit flips of packed files of each method, text and binary data in
// several blocks. The packed file has no checksum, but a correct encoder
// writes exactly one payload per block, so the decoders' checks refuse nearly
// every flip that changes the extracted bytes: at most 1% of those may end in
// success. Not counted against that bound: a flip after which the file is
// byte for byte what the compressor writes for the bytes extracted from it,
// a valid packed file of other data that no check can refuse (the -p code of
// blocks of a few dozen bytes has little else to spare). Every flip must
// also follow the rule at the top of this file, and a flip in a reserved
// header field changes nothing. A small file has every bit flipped; the text
// and binary samples every header bit and a random pick of the others.
//
// For a larger campaign by hand: MORV_FLIP_CAMPAIGN_BYTES sets the size of
// the text and binary samples (default 1500), MORV_FLIP_CAMPAIGN_FLIPS the
// random flips in each (default 1500), MORV_FLIP_CAMPAIGN_SEED varies the
// data and the bits picked. The figures are printed per method.
uint64_t environmentNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

TEST_F(FaultInjection, EverySingleBitFlip) {
    const size_t size = environmentNumber("MORV_FLIP_CAMPAIGN_BYTES", 1500);
    const uint64_t seed = environmentNumber("MORV_FLIP_CAMPAIGN_SEED", 0);
    const uint64_t randomFlips = environmentNumber("MORV_FLIP_CAMPAIGN_FLIPS", 1500);
    struct Sample {
        const char* name;
        Bytes data;
        uint32_t blockSize;
        bool everyBit;
    };
    const Sample samples[] = {
        {"mixed", testdata::mixedBlock(23 + seed, 200), 120, true},
        {"text", testdata::textLike(41 + seed, size), static_cast<uint32_t>(size / 3 + 1), false},
        {"binary", testdata::skewedBytes(43 + seed, size, 256), static_cast<uint32_t>(size / 2 + 1),
         false},
    };
    for (Method m : fuzzinput::kAllMethods) {
        uint64_t damaging = 0;
        uint64_t silent = 0;
        uint64_t otherData = 0;  // of the silent: a valid packed file of the bytes extracted
        FailureLog failures(fuzzinput::methodName(m));
        for (const Sample& sample : samples) {
            SCOPED_TRACE(std::string(fuzzinput::methodName(m)) + " " + sample.name);
            const std::string packed = pack(sample.data, m, sample.blockSize);
            const std::vector<BlockSpan> spans = blockSpans(packed);
            ASSERT_GE(spans.size(), 2u);
            std::vector<bool> reserved(packed.size(), false);
            std::vector<uint64_t> flips;  // bit positions
            for (uint64_t b = 0; b < 8 * kFileHeaderSize; ++b) flips.push_back(b);
            for (const BlockSpan& s : spans) {
                for (std::size_t i = 14; i < kBlockHeaderSize; ++i) reserved[s.headerPos + i] = true;
                for (uint64_t b = 0; b < 8 * kBlockHeaderSize; ++b) flips.push_back(8 * s.headerPos + b);
            }
            const uint64_t bits = uint64_t{8} * packed.size();
            if (sample.everyBit) {
                flips.clear();
                for (uint64_t b = 0; b < bits; ++b) flips.push_back(b);
            } else {
                testdata::Rng pick(seed * 7 + 1);
                for (uint64_t k = 0; k < randomFlips; ++k) flips.push_back(pick.next() % bits);
            }
            std::string damaged = packed;
            for (const uint64_t flip : flips) {
                const std::size_t i = static_cast<std::size_t>(flip / 8);
                const int bit = static_cast<int>(flip % 8);
                damaged[i] = static_cast<char>(packed[i] ^ (1 << bit));
                const Outcome r = extract(damaged, prefixCode(m));
                const uint32_t claimed = le32At(damaged, 8);
                const bool intact = r.kind == Outcome::Success && r.output == asString(sample.data);
                if (r.kind == Outcome::Success && !intact &&
                    pack(Bytes(r.output.begin(), r.output.end()), m, sample.blockSize) == damaged)
                    ++otherData;
                damaged[i] = packed[i];
                const std::string where = std::string(sample.name) + " byte " + std::to_string(i) +
                                          " bit " + std::to_string(bit) + ": ";
                if (!intact) ++damaging;
                if (r.kind == Outcome::Success && !intact) ++silent;
                if (reserved[i]) {
                    if (!intact)
                        failures.add(where + "reserved field flip changed the result: " + describe(r));
                } else if (r.kind == Outcome::Foreign) {
                    failures.add(where + describe(r));
                } else if (r.output.size() > claimed) {
                    failures.add(where + "more than unpackedSize " + std::to_string(claimed) + ": " +
                                 describe(r));
                } else if (r.kind == Outcome::Success && r.output.size() != claimed) {
                    failures.add(where + "success short of unpackedSize " + std::to_string(claimed) +
                                 ": " + describe(r));
                }
            }
        }
        std::cout << "[ flips    ] " << fuzzinput::methodName(m) << ": " << damaging
                  << " damaging flips, " << silent << " of them extracted as success ("
                  << (damaging == 0
                          ? 0.0
                          : 100.0 * static_cast<double>(silent) / static_cast<double>(damaging))
                  << "%), " << otherData << " of those a valid packed file of other data" << std::endl;
        EXPECT_LE((silent - otherData) * 100, damaging)
            << fuzzinput::methodName(m) << ": " << silent - otherData << " of " << damaging
            << " damaging flips extracted as success from a file no compressor writes";
    }
}

// A static table entry of an unused symbol flipped from 0 to 1 or 256: the
// code may still decode, to other symbols, and end where an encoder ends it,
// but the table is not that of the symbols decoded.
TEST_F(FaultInjection, UnusedSymbolGivenAStaticFrequencyIsRefused) {
    const Bytes data = testdata::mixedBlock(30, 200);
    for (Method m : {Method::MtfStaticPlain, Method::MtfStaticRle0}) {
        SCOPED_TRACE(fuzzinput::methodName(m));
        const std::string packed = pack(data, m, 120);
        const uint32_t symbols = m == Method::MtfStaticRle0 ? 257 : 256;
        uint32_t flipped = 0;
        for (const BlockSpan& span : blockSpans(packed)) {
            // The payload: the first suffix index, then the table, 16 bits an entry.
            const std::size_t table = span.headerPos + kBlockHeaderSize + 4;
            for (uint32_t s = 0; s < symbols; ++s) {
                const std::size_t at = table + 2 * s;
                if (packed[at] != 0 || packed[at + 1] != 0) continue;
                for (const std::size_t byte : {at, at + 1}) {
                    std::string damaged = packed;
                    damaged[byte] = 1;
                    const Outcome r = extract(damaged, false);
                    EXPECT_EQ(r.kind, Outcome::Error) << "symbol " << s << ": " << describe(r);
                    ++flipped;
                }
            }
        }
        EXPECT_GT(flipped, 200u);
    }
}

// ----------------------------------------------------- bounded resources

// The most heap one extraction may hold at once: the driver's block buffer,
// the decoder's column and the inverse transform's tables, all bounded by the
// largest block, whatever sizes the headers claim.
constexpr std::size_t kHeapBound = 6 * std::size_t{MaxBlockSize} + (1u << 20);

struct CodedAs {
    const char* name;
    uint8_t method;
    uint8_t coder;
    bool prefix;
};

const CodedAs kBlockKinds[] = {
    {"dc", 5, 1, false},          {"dc-p", 5, 1, true},        {"mtf-a-rle0", 2, 1, false},
    {"mtf-a-plain", 1, 1, false}, {"mtf-s-rle0", 2, 0, false}, {"mtf-s-plain", 1, 0, false},
};

// Extracts into a sink that keeps nothing, measuring the heap it took.
struct Measured {
    Outcome outcome;
    uint64_t written = 0;
    uint64_t notFill = 0;  // written bytes other than the fill byte
    std::size_t peak = 0;
};

Measured extractMeasured(const std::string& packed, bool prefix, char fill = 0) {
    const BlockPlan plan = fuzzinput::useForExtraction(prefix);
    Measured m;
    std::istringstream in(packed);
    CountingSink sink(fill);
    std::ostream out(&sink);
    {
        const PeakHeap heap;
        try {
            decompressStream(in, out, "out", detectCpuFeatures(), plan, std::cout);
            m.outcome.kind = Outcome::Success;
        } catch (const Exception& e) {
            m.outcome.kind = Outcome::Error;
            m.outcome.message = e.what();
        } catch (const std::exception& e) {
            m.outcome.kind = Outcome::Foreign;
            m.outcome.message = std::string("std::exception: ") + e.what();
        }
        m.peak = heap.extra();
    }
    m.written = sink.count();
    m.notFill = sink.notFill();
    return m;
}

// Forged headers with a payload of a few zero bytes: the largest
// unpackedSize, blocks of the largest length, a payload size reaching far
// past the end of the file, a block longer than any allowed. Every one ends
// with an Exception (the zero payload is invalid for most decoders and
// decodes a whole block for the plain adaptive MTF one) within the bound.
TEST_F(FaultInjection, ForgedHugeSizesStayWithinTheHeapBound) {
    const std::string tiny(16, '\0');
    const uint32_t tinySize = static_cast<uint32_t>(tiny.size());
    for (const CodedAs& kind : kBlockKinds) {
        SCOPED_TRACE(kind.name);
        const auto forged = [&](uint32_t payloadSize, uint32_t blockLength) {
            return fileHeader(0xFFFFFFFFu) +
                   blockHeader(payloadSize, blockLength, kind.method, kind.coder) + tiny;
        };
        struct Forged {
            const char* what;
            std::string packed;
        };
        const Forged cases[] = {
            {"largest block, tiny payload", forged(tinySize, MaxBlockSize)},
            {"payload size past the end", forged(0xFFFFFFF0u, MaxBlockSize)},
            {"block longer than the largest", forged(tinySize, 0xFFFFFFFFu)},
        };
        for (const Forged& c : cases) {
            const Measured r = extractMeasured(c.packed, kind.prefix);
            EXPECT_EQ(r.outcome.kind, Outcome::Error) << c.what << ": " << describe(r.outcome);
            EXPECT_LT(r.peak, kHeapBound) << c.what;
            EXPECT_EQ(r.written % MaxBlockSize, 0u) << c.what;
        }
    }
}

// The -p payload of a block of L equal bytes `c`: the first suffix index
// (the whole block is the largest of its suffixes), then c zero values and a
// 1 for the first occurrence, each value 0 written as the two bits 0 0 and
// the 1 as 1 0; the single run has no successor, so its value 0 is dropped.
std::string constantBlockPrefixPayload(uint32_t L, uint8_t c) {
    const uint32_t values = c + 1u;
    const std::size_t bits = 64 + 2 * std::size_t{values};
    std::string payload = le32(L - 1) + le32(values) + std::string((bits - 64 + 7) / 8, '\0');
    const std::size_t one = 2 * std::size_t{c};  // bit position of the final 1
    payload[8 + one / 8] = static_cast<char>(1 << (one % 8));
    return payload;
}

// Blocks of the largest length, one after another: extraction streams them,
// so three of them (30 MiB of output) take no more heap than one. The blocks
// hold one repeated byte and pack to a few dozen bytes each.
TEST_F(FaultInjection, ManyLargestBlocksStreamWithinTheHeapBound) {
    constexpr char kFill = 'q';
    // The hand-built payload is what the compressor writes for such a block.
    const Bytes sample(1000, kFill);
    ASSERT_EQ(pack(sample, Method::DcPrefixCode, 0).substr(kFileHeaderSize + kBlockHeaderSize),
              constantBlockPrefixPayload(1000, kFill));

    const std::string payload = constantBlockPrefixPayload(MaxBlockSize, kFill);
    const std::string block =
        blockHeader(static_cast<uint32_t>(payload.size()), MaxBlockSize, 5, 1) + payload;
    constexpr uint32_t kBlocks = 3;
    std::string blocks;
    for (uint32_t i = 0; i < kBlocks; ++i) blocks += block;

    const Measured r = extractMeasured(fileHeader(kBlocks * MaxBlockSize) + blocks, true, kFill);
    EXPECT_EQ(r.outcome.kind, Outcome::Success) << describe(r.outcome);
    EXPECT_EQ(r.written, uint64_t{kBlocks} * MaxBlockSize);
    EXPECT_EQ(r.notFill, 0u);
    EXPECT_LT(r.peak, kHeapBound);

    // The same blocks under the largest unpackedSize: the file ends where the
    // next block header is due.
    const Measured open = extractMeasured(fileHeader(0xFFFFFFFFu) + blocks, true, kFill);
    EXPECT_EQ(open.outcome.kind, Outcome::Error) << describe(open.outcome);
    EXPECT_EQ(open.outcome.message, "Invalid block (header id does not match).");
    EXPECT_EQ(open.written, uint64_t{kBlocks} * MaxBlockSize);
    EXPECT_LT(open.peak, kHeapBound);
}

// ---------------------------------------------------- whole-program runs

using testdata::exePath;
using testdata::readText;
using testdata::RunResult;

class ProgramFaults : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(exePath().empty()) << "MORV_EXE is not set"; }

    // Runs the program in the test's folder with standard input empty.
    RunResult run(const std::vector<std::string>& args) { return testdata::runMorv(args, work.path()); }

    // Expects a run that failed with exactly one "ERROR: " line.
    void expectError(const std::vector<std::string>& args, const std::string& message) {
        std::string line;
        for (const std::string& a : args) line += a + " ";
        SCOPED_TRACE(line);
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "ERROR: " + message + "\n");
        EXPECT_EQ(r.out.find("End."), std::string::npos) << r.out;
    }

    std::string path(const std::string& name) const { return work.file(name); }

    testdata::TempDir work;
};

// /dev/full accepts the open and fails every write: the run must not end as
// a success, whether the failure shows at a seek, a block write or the close.
TEST_F(ProgramFaults, WritingToAFullDevice) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    testdata::writeFile(path("small.txt"), testdata::textLike(1, 3000));
    testdata::writeFile(path("large.txt"), testdata::mixedBlock(2, 300000));
    const std::string full = "Unable to write output file: /dev/full";
    expectError({"-c", "small.txt", "-o", "/dev/full"}, full);
    expectError({"-c", "small.txt", "-o", "/dev/full", "-m", "-s"}, full);
    expectError({"-c", "large.txt", "-o", "/dev/full", "-b", "50000", "-m"}, full);

    ASSERT_EQ(run({"-c", "small.txt", "-o", "small.p"}).status, 0);
    ASSERT_EQ(run({"-c", "large.txt", "-o", "large.p", "-b", "50000"}).status, 0);
    expectError({"-e", "small.p", "-o", "/dev/full"}, full);
    expectError({"-e", "large.p", "-o", "/dev/full"}, full);

    // A device is no test file: nothing could be compared with it. Refused
    // before anything is written.
    const RunResult r = run({"-c", "small.txt", "-o", "t.p", "--test", "/dev/full"});
    EXPECT_EQ(r, (RunResult{"", "ERROR: Test file must be a regular file: /dev/full\n", 255}));
    EXPECT_FALSE(fs::exists(path("t.p")));
}

TEST_F(ProgramFaults, UnopenableFiles) {
    testdata::writeFile(path("in.txt"), testdata::textLike(3, 2000));
    ASSERT_EQ(run({"-c", "in.txt", "-o", "in.p"}).status, 0);
    fs::create_directory(path("folder"));

    expectError({"-c", "folder"}, "Unable to open input file: folder");
    expectError({"-e", "folder"}, "Unable to open input file: folder");
    expectError({"-c", "missing.txt"}, "Unable to open input file: missing.txt");
    expectError({"-c", "in.txt", "-o", "nowhere/in.p"}, "Unable to open output file: nowhere/in.p");
    expectError({"-e", "in.p", "-o", "nowhere/in.txt"}, "Unable to open output file: nowhere/in.txt");
    expectError({"-c", "in.txt", "-o", "folder"}, "Unable to open output file: folder");
    expectError({"-e", "in.p", "-o", "folder"}, "Unable to open output file: folder");
    // An input that cannot be opened creates no output.
    EXPECT_FALSE(fs::exists(path("folder.morvQ17p")));
    EXPECT_FALSE(fs::exists(path("missing.txt.morvQ17p")));
    EXPECT_FALSE(fs::exists(path("folder.morvQ17u")));
}

// A file whose reported size is larger than what it delivers: virtual files
// of the kernel report a page-sized length and hold a few bytes.
TEST_F(ProgramFaults, InputShorterThanItsReportedSize) {
    const std::string shrinking = "/sys/devices/system/cpu/online";
    std::ifstream probe(shrinking, std::ios::binary);
    if (!probe) GTEST_SKIP() << "no " << shrinking;
    probe.seekg(0, std::ios::end);
    const std::streamoff reported = probe.tellg();
    probe.seekg(0);
    const std::string content((std::istreambuf_iterator<char>(probe)), std::istreambuf_iterator<char>());
    if (reported <= static_cast<std::streamoff>(content.size())) {
        GTEST_SKIP() << shrinking << " delivers the size it reports here";
    }
    expectError({"-c", shrinking, "-o", "out.p"}, "Unable to read input file: " + shrinking);
}

// Damaged packed files through the program: the error line, the status, and
// the blocks before the damage kept in the output file.
TEST_F(ProgramFaults, DamagedPackedFiles) {
    const Bytes data = testdata::textLike(4, 5000);
    testdata::writeFile(path("in.txt"), data);
    ASSERT_EQ(run({"-c", "in.txt", "-o", "in.p", "-b", "2000"}).status, 0);
    const std::string packed = readText(path("in.p"));
    const std::vector<BlockSpan> spans = blockSpans(packed);
    ASSERT_EQ(spans.size(), 3u);

    std::ofstream(path("cut.p"), std::ios::binary)
        << packed.substr(0, spans[1].end + kBlockHeaderSize + 5);
    expectError({"-e", "cut.p", "-o", "cut.txt"}, "Invalid block (payload extends past end of file).");
    EXPECT_EQ(testdata::readFile(path("cut.txt")), Bytes(data.begin(), data.begin() + 4000));

    // The second block claims more than is left of the unpacked size.
    std::string forged = packed;
    const std::string tooLong = le32(4000);
    forged.replace(spans[0].end + 8, 4, tooLong);
    std::ofstream(path("forged.p"), std::ios::binary) << forged;
    expectError({"-e", "forged.p", "-o", "forged.txt"},
                "Wrong block size in packed file (this may also mean some other error).");
    EXPECT_EQ(testdata::readFile(path("forged.txt")), Bytes(data.begin(), data.begin() + 2000));
}

}  // namespace
