// Bit streams: exact bytes for small cases, the chunking of stream output,
// and seeded round trips checked against a plain bit-by-bit packer (bit n of
// the stream is bit n mod 8 of byte n div 8).
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "io/BitStream.h"
#include "tests/support/DataGen.h"
#include "tests/support/ReferenceCoding.h"

namespace {

using testdata::Bits;
using testdata::bytesOf;
using testdata::packBits;

// Records every write request separately, to observe the stream's chunking.
class CountingBuf : public std::streambuf {
public:
    std::vector<std::streamsize> writes;
    std::string data;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        writes.push_back(n);
        data.append(s, static_cast<size_t>(n));
        return n;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            writes.push_back(1);
            data.push_back(traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }
};

// Exposes the writer's state for the cases that specify it.
class OutProbe : public OutBitStream {
public:
    using OutBitStream::OutBitStream;
    uint32_t pendingBitCount() const { return bitCount; }
    uint32_t storedWords() const { return writePos; }
    uint32_t wordCapacity() const { return capacity; }
    uint32_t word(uint32_t i) const { return buffer.at(i); }
};

template <typename Fn>
std::string writeToString(Fn&& fn, uint32_t capacity = kBitStreamWords) {
    std::ostringstream out;
    StreamOutBitStream bits(out, capacity);
    bits.reset();
    fn(bits);
    bits.flush();
    return out.str();
}

}  // namespace

TEST(OutBitStreamBytes, OneBitGivesOneByte) {
    EXPECT_EQ(writeToString([](OutBitStream& b) { b.putBit(1); }), bytesOf({0x01}));
}

TEST(OutBitStreamBytes, NothingGivesNoBytes) {
    EXPECT_EQ(writeToString([](OutBitStream&) {}), "");
}

TEST(OutBitStreamBytes, ThirtyTwoBitValueIsLittleEndian) {
    EXPECT_EQ(writeToString([](OutBitStream& b) { b.writeBits(0x12345678u, 32); }),
              bytesOf({0x78, 0x56, 0x34, 0x12}));
}

TEST(OutBitStreamBytes, SixteenBitFieldOnByteBoundaryIsLittleEndian) {
    EXPECT_EQ(writeToString([](OutBitStream& b) {
                  b.writeBits(0xAB, 8);
                  b.writeBits(0xFE01, 16);
              }),
              bytesOf({0xAB, 0x01, 0xFE}));
}

TEST(OutBitStreamBytes, ThirtyTwoAndThirtyThreeBits) {
    const std::string four = writeToString([](OutBitStream& b) {
        for (int i = 0; i < 32; ++i) b.putBit(1);
    });
    EXPECT_EQ(four, bytesOf({0xFF, 0xFF, 0xFF, 0xFF}));
    const std::string five = writeToString([](OutBitStream& b) {
        for (int i = 0; i < 32; ++i) b.putBit(0);
        b.putBit(1);
    });
    EXPECT_EQ(five, bytesOf({0, 0, 0, 0, 0x01}));
}

TEST(OutBitStreamBytes, WriteBitsIgnoresBitsAboveTheField) {
    EXPECT_EQ(writeToString([](OutBitStream& b) {
                  b.writeBits(0xFFFFFFFFu, 3);
                  b.writeBits(0xFFFFFFF0u, 4);
                  b.writeBits(0, 0);
              }),
              bytesOf({0x07}));
}

TEST(OutBitStreamBytes, WriteRunOfOnesAcrossWords) {
    const std::string s = writeToString([](OutBitStream& b) {
        b.putBit(0);
        b.writeRun(1, 70);
        b.writeRun(0, 3);
        b.writeRun(1, 0);
    });
    Bits bits{0};
    bits.insert(bits.end(), 70, 1);
    bits.insert(bits.end(), 3, 0);
    EXPECT_EQ(s, packBits(bits));
}

TEST(StreamOutBitStreamChunks, FullChunkAtOverflowThenOneByteAtFlush) {
    CountingBuf buf;
    std::ostream out(&buf);
    {
        StreamOutBitStream bits(out, kBitStreamWords);
        bits.reset();
        for (uint32_t i = 0; i < kBitStreamWords * 32 + 1; ++i) bits.putBit(i & 1u);
        bits.flush();
    }
    EXPECT_EQ(buf.writes, (std::vector<std::streamsize>{65536, 1}));
    ASSERT_EQ(buf.data.size(), 65537u);
    EXPECT_EQ(static_cast<uint8_t>(buf.data[0]), 0xAA);
    EXPECT_EQ(static_cast<uint8_t>(buf.data[65535]), 0xAA);
    EXPECT_EQ(static_cast<uint8_t>(buf.data[65536]), 0x00);
}

TEST(StreamOutBitStreamChunks, FullLastWordOnFullBufferIsWrittenAtFlush) {
    // Exactly capacity * 32 bits: the last word is still pending at flush,
    // which must first empty the full buffer and then write the word.
    CountingBuf buf;
    std::ostream out(&buf);
    StreamOutBitStream bits(out, 2);
    bits.reset();
    bits.writeBits(0x11111111u, 32);
    bits.writeBits(0x22222222u, 32);
    bits.writeBits(0x33333333u, 32);
    bits.writeBits(0x44444444u, 32);
    EXPECT_EQ(buf.writes, (std::vector<std::streamsize>{8}));
    bits.flush();
    EXPECT_EQ(buf.writes, (std::vector<std::streamsize>{8, 8}));
    EXPECT_EQ(buf.data, bytesOf({0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x22, 0x22, 0x33, 0x33, 0x33, 0x33,
                                 0x44, 0x44, 0x44, 0x44}));
}

TEST(StreamOutBitStreamChunks, ResetDiscardsEarlierBits) {
    EXPECT_EQ(writeToString([](OutBitStream& b) {
                  b.writeBits(0xFFFF, 16);
                  b.reset();
                  b.putBit(1);
              }),
              bytesOf({0x01}));
}

TEST(OutBitStreamState, WriteZerosSeventyOnEmptyWord) {
    OutProbe bits(16);
    bits.reset();
    bits.writeZeros(70);
    EXPECT_EQ(bits.storedWords(), 2u);
    EXPECT_EQ(bits.pendingBitCount(), 6u);
    EXPECT_EQ(writeToString([](OutBitStream& b) { b.writeZeros(70); }), std::string(9, '\0'));
}

TEST(OutBitStreamState, WriteZerosFillingTheWordKeepsItPending) {
    OutProbe bits(16);
    bits.putBit(1);
    bits.writeZeros(31);
    EXPECT_EQ(bits.storedWords(), 0u);
    EXPECT_EQ(bits.pendingBitCount(), 32u);
    bits.writeZeros(1);
    EXPECT_EQ(bits.storedWords(), 1u);
    EXPECT_EQ(bits.pendingBitCount(), 1u);
    EXPECT_EQ(bits.word(0), 1u);
}

TEST(OutBitStreamState, PlainWriterGrowsItsBuffer) {
    OutProbe bits(1);
    bits.reset();
    for (uint32_t i = 0; i < 5; ++i) bits.writeBits(0x01010101u * (i + 1), 32);
    bits.writeBits(0x5, 3);
    bits.flush();
    EXPECT_GE(bits.wordCapacity(), 6u);
    EXPECT_EQ(bits.storedWords(), 5u);
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(bits.word(i), 0x01010101u * (i + 1));
    EXPECT_EQ(bits.word(5), 0x5u);
}

TEST(InBitStreamOrder, BitsComeOutLeastSignificantFirst) {
    std::istringstream in(bytesOf({0xA5, 0x3C, 0x01, 0x80, 0x78, 0x56, 0x34, 0x12}));
    StreamInBitStream bits(in, kBitStreamWords);
    const uint32_t expected[8] = {1, 0, 1, 0, 0, 1, 0, 1};
    for (uint32_t e : expected) EXPECT_EQ(bits.getBit(), e);
    EXPECT_EQ(bits.readBits(8), 0x3Cu);
    EXPECT_EQ(bits.readBits(16), 0x8001u);
    EXPECT_EQ(bits.readBits(32), 0x12345678u);
    EXPECT_EQ(bits.readBits(0), 0u);
}

TEST(InBitStreamOrder, FieldsSpanningWordsAndChunks) {
    // Capacity 1: every word is its own chunk, so these fields cross both.
    std::istringstream in(bytesOf({0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A}));
    StreamInBitStream bits(in, 1);
    EXPECT_EQ(bits.readBits(4), 0x8u);
    EXPECT_EQ(bits.readBits(32), 0x01234567u);
    EXPECT_EQ(bits.readBits(28), 0x9ABCDEFu);
}

TEST(InBitStreamEnd, ShortInputReadsAsZerosAndLeavesStreamUsable) {
    std::istringstream in(bytesOf({0xFF, 0xFF, 0xFF, 0xFF, 0x81}));
    StreamInBitStream bits(in, 2);
    EXPECT_EQ(bits.readBits(32), 0xFFFFFFFFu);
    EXPECT_EQ(bits.readBits(32), 0x81u);
    // The short read must not leave the stream failed: the caller seeks on.
    EXPECT_TRUE(in.good());
    EXPECT_EQ(static_cast<long long>(in.tellg()), 5);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(bits.readBits(32), 0u);
    EXPECT_TRUE(in.good());
    in.seekg(1);
    EXPECT_EQ(in.get(), 0xFF);
}

TEST(InBitStreamEnd, ShortRefillAfterAFullOneLeavesNoStaleWords) {
    // A full chunk of 0x55 bytes, then 5 more: past them the second chunk
    // must read as zeros, not as what the first one left in the buffer.
    std::istringstream in(std::string(16, '\x55') + std::string(5, '\x0F'));
    StreamInBitStream bits(in, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(bits.readBits(32), 0x55555555u);
    EXPECT_EQ(bits.readBits(32), 0x0F0F0F0Fu);
    EXPECT_EQ(bits.readBits(32), 0x0Fu);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(bits.readBits(32), 0u) << i;
    EXPECT_EQ(bits.bitsRead(), 14u * 32);
}

TEST(InBitStreamEnd, EmptyInputReadsAsZeros) {
    std::istringstream in("");
    StreamInBitStream bits(in, 4);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(bits.getBit(), 0u);
    EXPECT_EQ(bits.readBits(17), 0u);
    EXPECT_TRUE(in.good());
}

TEST(InBitStreamEnd, ReaderWithoutSourceReadsZeros) {
    InBitStream bits(2);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(bits.getBit(), 0u);
    EXPECT_EQ(bits.readBits(32), 0u);
    EXPECT_EQ(bits.bitsRead(), 232u);
}

TEST(InBitStreamEnd, ReadsWholeChunksOneRequestEach) {
    // The reader asks for capacity * 4 bytes at a time, so it may take bytes
    // beyond the payload; it must not take more than one chunk ahead.
    std::istringstream in(std::string(40, '\x55'));
    StreamInBitStream bits(in, 4);
    EXPECT_EQ(bits.readBits(8), 0x55u);
    EXPECT_EQ(static_cast<long long>(in.tellg()), 16);
    for (int i = 0; i < 15; ++i) bits.readBits(8);
    EXPECT_EQ(static_cast<long long>(in.tellg()), 16);
    bits.getBit();
    EXPECT_EQ(static_cast<long long>(in.tellg()), 32);
}

namespace {

// One writer operation, replayed against a bit list.
void randomWrite(testdata::Rng& rng, OutBitStream& out, Bits& bits) {
    switch (rng.below(5)) {
        case 0: {
            const uint32_t bit = rng.below(2);
            out.putBit(bit);
            bits.push_back(static_cast<uint8_t>(bit));
            break;
        }
        case 1:
        case 2: {
            const uint32_t n = rng.below(33);
            const uint32_t value = static_cast<uint32_t>(rng.next() >> 32);
            out.writeBits(value, n);
            for (uint32_t i = 0; i < n; ++i) bits.push_back(static_cast<uint8_t>((value >> i) & 1));
            break;
        }
        case 3: {
            const uint32_t n = rng.chance(10) ? rng.below(200) : rng.below(40);
            out.writeZeros(n);
            bits.insert(bits.end(), n, 0);
            break;
        }
        default: {
            const uint32_t bit = rng.below(2);
            const uint32_t n = rng.chance(10) ? rng.below(200) : rng.below(40);
            out.writeRun(bit, n);
            bits.insert(bits.end(), n, static_cast<uint8_t>(bit));
            break;
        }
    }
}

// Reads bits.size() bits back with a random mix of getBit, readBits and
// readWord, checking that bitsRead counts every bit handed out.
void readAndCompare(testdata::Rng& rng, InBitStream& in, const Bits& bits) {
    size_t pos = 0;
    while (pos < bits.size()) {
        if (rng.chance(30)) {
            ASSERT_EQ(in.getBit(), bits[pos]) << "bit " << pos;
            ++pos;
            ASSERT_EQ(in.bitsRead(), pos);
            continue;
        }
        const uint32_t n = std::min<uint32_t>(rng.below(33), static_cast<uint32_t>(bits.size() - pos));
        uint32_t expected = 0;
        for (uint32_t i = 0; i < n; ++i) expected |= static_cast<uint32_t>(bits[pos + i]) << i;
        const uint32_t got = n == 32 && rng.chance(50) ? in.readWord() : in.readBits(n);
        ASSERT_EQ(got, expected) << n << " bits at " << pos;
        pos += n;
        ASSERT_EQ(in.bitsRead(), pos);
    }
}

struct RoundTripCase {
    uint64_t seed;
    uint32_t writeCapacity;
    uint32_t readCapacity;
    size_t minBits;
};

}  // namespace

TEST(BitStreamRoundTrip, SeededMixesAgainstReferencePacking) {
    const RoundTripCase cases[] = {
        {1, 1, 1, 5000},
        {2, 3, 7, 20000},
        {3, 16, 5, 100000},
        {4, 4096, 3, 300000},
        // Several 64 KiB chunks in both directions.
        {5, kBitStreamWords, kBitStreamWords, 4 * 65536 * 8 + 12345},
    };
    for (const RoundTripCase& c : cases) {
        SCOPED_TRACE(c.seed);
        testdata::Rng rng(c.seed);
        Bits bits;
        CountingBuf buf;
        std::ostream sink(&buf);
        {
            StreamOutBitStream out(sink, c.writeCapacity);
            out.reset();
            while (bits.size() < c.minBits) randomWrite(rng, out, bits);
            out.flush();
        }
        ASSERT_EQ(buf.data, packBits(bits));
        const std::streamsize chunk = static_cast<std::streamsize>(c.writeCapacity) * 4;
        for (size_t i = 0; i + 1 < buf.writes.size(); ++i) ASSERT_EQ(buf.writes[i], chunk);
        ASSERT_LE(buf.writes.back(), chunk);

        std::istringstream in(buf.data);
        StreamInBitStream reader(in, c.readCapacity);
        readAndCompare(rng, reader, bits);
        // Past the end: the rest of the last byte and everything after is 0.
        for (int i = 0; i < 100; ++i) ASSERT_EQ(reader.getBit(), 0u);
        EXPECT_EQ(reader.readBits(32), 0u);
    }
}
