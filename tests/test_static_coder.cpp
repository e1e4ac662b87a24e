// Static arithmetic coder: scaling against the plain formula, the encoder
// against a textbook 18-bit integer coder, the worked payload, round trips,
// and the decoder's refusal of impossible tables and its behaviour on
// arbitrary code bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "coder/StaticCoder.h"
#include "io/BitStream.h"
#include "tests/support/DataGen.h"
#include "tests/support/ReferenceCoding.h"

namespace {

using testdata::Bits;
using testdata::packBits;
using ReferenceEncoder = testdata::ReferenceEncoder<18>;

void appendField(Bits& bits, uint32_t value, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) bits.push_back(static_cast<uint8_t>((value >> i) & 1));
}

template <typename Fn>
std::string messageOf(Fn&& fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return e.what();
    }
    return "<no exception>";
}

const char* const kInvalidTable = "Error in compressed file (invalid frequency table)";

// The scaling rule written out plainly.
std::vector<uint32_t> referenceScale(const std::vector<uint32_t>& counts) {
    const uint64_t n = counts.size();
    uint64_t total = 0;
    for (uint32_t c : counts) total += c;
    std::vector<uint32_t> scaled(counts.size(), 0);
    for (size_t s = 0; s < counts.size(); ++s) {
        if (counts[s] == 0) continue;
        const uint64_t f = uint64_t{counts[s]} * (65535 - n) / total;
        scaled[s] = f == 0 ? 1 : static_cast<uint32_t>(f);
    }
    return scaled;
}

struct Coded {
    std::string bytes;
    std::vector<uint32_t> table;  // f'(s) as the encoder reports them
    Bits referenceBits;           // the table and code as the reference writes them
    size_t codeBits = 0;          // reference bits after the table
};

// Counts the symbols, scales, writes the table and the code, checking the
// encoder's scaling against the plain formula on the way.
Coded encodeBlock(const std::vector<uint32_t>& symbols, uint32_t n) {
    Coded result;
    std::vector<uint32_t> counts(n, 0);
    for (uint32_t s : symbols) ++counts[s];
    std::ostringstream out;
    StreamOutBitStream bits(out, kBitStreamWords);
    bits.reset();
    StaticEncoder encoder(n, bits);
    for (uint32_t s : symbols) ++encoder.count(s);
    encoder.scale();
    const std::vector<uint32_t> expected = referenceScale(counts);
    for (uint32_t s = 0; s < n; ++s) {
        result.table.push_back(encoder.frequency(s));
        EXPECT_EQ(encoder.frequency(s), expected[s]) << s;
    }
    encoder.writeTable();
    for (uint32_t s : symbols) encoder.encodeSymbol(s);
    encoder.finish();
    bits.flush();
    result.bytes = out.str();

    std::vector<uint32_t> cumulative(n + 1, 0);
    for (uint32_t s = 0; s < n; ++s) cumulative[s + 1] = cumulative[s] + expected[s];
    for (uint32_t s = 0; s < n; ++s) appendField(result.referenceBits, expected[s], 16);
    ReferenceEncoder reference;
    for (uint32_t s : symbols) reference.encode(cumulative[s], cumulative[s + 1], cumulative[n]);
    reference.finish();
    result.codeBits = reference.bits.size();
    result.referenceBits.insert(result.referenceBits.end(), reference.bits.begin(),
                                reference.bits.end());
    return result;
}

// Decodes count symbols after the table; with codeEnd given, stores the
// decoder's codeEnd() after the last one there.
std::vector<uint32_t> decodeBlock(const std::string& bytes, uint32_t n, size_t count,
                                  uint64_t* codeEnd = nullptr) {
    std::istringstream in(bytes);
    StreamInBitStream bits(in, kBitStreamWords);
    StaticDecoder decoder(n, bits);
    decoder.readTable();
    decoder.start();
    std::vector<uint32_t> out(count);
    for (uint32_t& s : out) s = decoder.decodeSymbol();
    if (codeEnd != nullptr) *codeEnd = decoder.codeEnd();
    return out;
}

// A stream holding the given 16-bit table followed by `code` bytes.
std::string tableStream(const std::vector<uint32_t>& table, const std::string& code) {
    Bits bits;
    for (uint32_t f : table) appendField(bits, f, 16);
    return packBits(bits) + code;
}

std::string randomString(uint64_t seed, size_t n) {
    const testdata::Bytes b = testdata::randomBytes(seed, n);
    return std::string(b.begin(), b.end());
}

}  // namespace

TEST(StaticScaling, BlockOfZerosHasOneFullEntryAndTwoClosingBits) {
    const std::vector<uint32_t> symbols(5000, 0);
    const Coded coded = encodeBlock(symbols, 256);
    EXPECT_EQ(coded.table[0], 65535u - 256);
    for (uint32_t s = 1; s < 256; ++s) EXPECT_EQ(coded.table[s], 0u) << s;
    EXPECT_EQ(coded.codeBits, 2u);
    ASSERT_EQ(coded.bytes.size(), 513u);
    EXPECT_EQ(static_cast<uint8_t>(coded.bytes[0]), 0xFF);
    EXPECT_EQ(static_cast<uint8_t>(coded.bytes[1]), 0xFE);
    EXPECT_EQ(static_cast<uint8_t>(coded.bytes[512]), 0x02);
    EXPECT_EQ(coded.bytes, packBits(coded.referenceBits));
    EXPECT_EQ(decodeBlock(coded.bytes, 256, symbols.size()), symbols);
}

TEST(StaticScaling, SingleOccurrenceInLargeBlockGetsOne) {
    std::vector<uint32_t> symbols(200000, 3);
    symbols[123456] = 200;
    const Coded coded = encodeBlock(symbols, 257);
    EXPECT_EQ(coded.table[200], 1u);
    EXPECT_EQ(coded.table[3], (65535ull - 257) * 199999 / 200000);
    EXPECT_EQ(coded.bytes, packBits(coded.referenceBits));
    EXPECT_EQ(decodeBlock(coded.bytes, 257, symbols.size()), symbols);
}

TEST(StaticScaling, StoredTotalsStayWithin16Bits) {
    testdata::Rng rng(77);
    for (int round = 0; round < 300; ++round) {
        const uint32_t n = round % 2 == 0 ? 256 : 257;
        std::vector<uint32_t> counts(n, 0);
        switch (round % 5) {
            case 0:  // dense, N close to 2^32
                for (uint32_t& c : counts) c = rng.below(16000000);
                break;
            case 1:  // sparse small counts
                for (uint32_t& c : counts) c = rng.chance(20) ? 1 + rng.below(50) : 0;
                break;
            case 2:  // one huge count and every other symbol once
                for (uint32_t& c : counts) c = 1;
                counts[rng.below(n)] = 4000000000u;
                break;
            case 3:  // many ones lifted from 0 to 1 next to a large count
                for (uint32_t& c : counts) c = rng.chance(90) ? 1 : 0;
                counts[0] = 10485760;
                break;
            default:  // a single counted symbol
                counts[rng.below(n)] = 1 + rng.below(10485760);
                break;
        }
        uint64_t total = 0;
        for (uint32_t c : counts) total += c;
        if (total == 0) counts[0] = total = 1;
        ASSERT_LT(total, uint64_t{1} << 32);

        std::ostringstream out;
        StreamOutBitStream bits(out, 16);
        bits.reset();
        StaticEncoder encoder(n, bits);
        for (uint32_t s = 0; s < n; ++s) encoder.counts()[s] = counts[s];
        encoder.scale();
        encoder.writeTable();
        bits.flush();

        const std::vector<uint32_t> expected = referenceScale(counts);
        const std::string table = out.str();
        ASSERT_EQ(table.size(), n * 2u);
        uint32_t stored = 0;
        for (uint32_t s = 0; s < n; ++s) {
            const uint32_t f = static_cast<uint8_t>(table[2 * s]) |
                               (static_cast<uint32_t>(static_cast<uint8_t>(table[2 * s + 1])) << 8);
            ASSERT_EQ(f, expected[s]) << round << " " << s;
            ASSERT_EQ(f == 0, counts[s] == 0) << round << " " << s;
            stored += f;
        }
        ASSERT_LE(stored, 65535u) << round;
        ASSERT_EQ(encoder.total(), stored);

        // Every table the encoder writes is accepted by the decoder.
        std::istringstream in(table);
        StreamInBitStream input(in, 16);
        StaticDecoder decoder(n, input);
        ASSERT_NO_THROW(decoder.readTable());
        ASSERT_EQ(decoder.total(), stored);
    }
}

TEST(StaticPayload, WorkedExampleOf519Bytes) {
    std::ostringstream out;
    StreamOutBitStream bits(out, kBitStreamWords);
    bits.reset();
    StaticEncoder encoder(257, bits);
    encoder.count(0) += 2;
    encoder.count(98) += 1;
    encoder.scale();
    EXPECT_EQ(encoder.frequency(0), 43518u);
    EXPECT_EQ(encoder.frequency(98), 21759u);
    bits.writeBits(3, 32);
    encoder.writeTable();
    encoder.encodeSymbol(98);
    encoder.encodeSymbol(0);
    encoder.encodeSymbol(0);
    encoder.finish();
    bits.flush();
    const std::string payload = out.str();

    std::string expected("\x03\x00\x00\x00", 4);
    std::string table(514, '\0');
    table[0] = static_cast<char>(43518 & 0xFF);
    table[1] = static_cast<char>(43518 >> 8);
    table[2 * 98] = static_cast<char>(21759 & 0xFF);
    table[2 * 98 + 1] = static_cast<char>(21759 >> 8);
    expected += table;
    expected += '\x0d';
    ASSERT_EQ(payload.size(), 519u);
    EXPECT_EQ(payload, expected);

    std::istringstream in(payload + randomString(1, 5));
    StreamInBitStream input(in, kBitStreamWords);
    EXPECT_EQ(input.readBits(32), 3u);
    StaticDecoder decoder(257, input);
    decoder.readTable();
    EXPECT_EQ(decoder.frequency(0), 43518u);
    EXPECT_EQ(decoder.frequency(98), 21759u);
    EXPECT_EQ(decoder.total(), 65277u);
    decoder.start();
    EXPECT_EQ(decoder.decodeSymbol(), 98u);
    EXPECT_EQ(decoder.decodeSymbol(), 0u);
    EXPECT_EQ(decoder.decodeSymbol(), 0u);
}

TEST(StaticRoundTrip, SeededBlocksMatchReferenceBits) {
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE(seed);
        const uint32_t n = seed % 2 == 0 ? 256 : 257;
        const size_t length = seed == 8 ? 1 : 20000 + 7000 * seed;
        std::vector<uint32_t> symbols;
        if (seed % 3 == 0) {
            const testdata::Bytes block = testdata::mixedBlock(seed, length);
            symbols.assign(block.begin(), block.end());
        } else if (seed % 3 == 1) {
            const testdata::Bytes block = testdata::skewedBytes(seed, length, 256);
            symbols.assign(block.begin(), block.end());
        } else {
            testdata::Rng rng(seed);
            symbols.resize(length);
            for (uint32_t& s : symbols) s = rng.below(n);
        }
        if (n == 257 && !symbols.empty()) symbols.back() = 256;
        const Coded coded = encodeBlock(symbols, n);
        ASSERT_EQ(coded.bytes, packBits(coded.referenceBits));
        uint64_t end = 0;
        ASSERT_EQ(decodeBlock(coded.bytes + randomString(seed, 3), n, symbols.size(), &end), symbols);
        // The decoder finds the closing bits where the encoder wrote them.
        ASSERT_EQ(end, coded.referenceBits.size());
    }
}

TEST(StaticRoundTrip, LongRunOfPendingBits) {
    // Symbol 1 of the table {1, 2, 1} is the middle half of the scale: each
    // one defers a bit, so thousands pile up before symbol 0 or 2 ends them.
    for (uint32_t last : {0u, 2u}) {
        std::vector<uint32_t> symbols(6000, 1);
        symbols.push_back(last);
        std::ostringstream out;
        StreamOutBitStream bits(out, 4);
        bits.reset();
        StaticEncoder encoder(3, bits);
        encoder.count(0) = 1;
        encoder.count(1) = 2;
        encoder.count(2) = 1;
        encoder.scale();
        encoder.writeTable();
        ReferenceEncoder reference;
        const uint32_t t = encoder.total();
        const uint32_t f0 = encoder.frequency(0);
        const uint32_t f1 = encoder.frequency(1);
        for (uint32_t s : symbols) {
            encoder.encodeSymbol(s);
            const uint32_t lowCount = s == 0 ? 0 : (s == 1 ? f0 : f0 + f1);
            const uint32_t highCount = s == 0 ? f0 : (s == 1 ? f0 + f1 : t);
            reference.encode(lowCount, highCount, t);
        }
        encoder.finish();
        reference.finish();
        bits.flush();
        Bits expected;
        for (uint32_t s = 0; s < 3; ++s) appendField(expected, encoder.frequency(s), 16);
        expected.insert(expected.end(), reference.bits.begin(), reference.bits.end());
        ASSERT_GT(reference.bits.size(), 6000u);
        ASSERT_EQ(out.str(), packBits(expected));
        uint64_t end = 0;
        EXPECT_EQ(decodeBlock(out.str(), 3, symbols.size(), &end), symbols);
        EXPECT_EQ(end, expected.size());
    }
}

TEST(StaticDecoderDamage, TableWithTotalZeroIsRefused) {
    for (uint32_t n : {1u, 256u, 257u}) {
        std::istringstream in(tableStream(std::vector<uint32_t>(n, 0), randomString(n, 8)));
        StreamInBitStream bits(in, kBitStreamWords);
        StaticDecoder decoder(n, bits);
        EXPECT_EQ(messageOf([&] { decoder.readTable(); }), kInvalidTable) << n;
    }
}

// A stored table is that of a block's symbols only when it is exactly their
// counts scaled (the plain formula above): one frequency off by one, or an
// unused symbol given frequency 1, is not.
TEST(StaticDecoderDamage, TableIsThatOfItsSymbolsOnly) {
    testdata::Rng rng(7);
    for (const uint32_t n : {2u, 256u, 257u}) {
        std::vector<uint32_t> counts(n, 0);
        for (int i = 0; i < 3000; ++i) {
            const uint32_t span = rng.next() % 8 == 0 ? n : std::min(n, 3u);
            ++counts[rng.next() % span];
        }
        const std::vector<uint32_t> table = referenceScale(counts);
        std::vector<std::vector<uint32_t>> others;
        for (uint32_t s = 0; s < n; s += (n > 8 ? 37 : 1)) {
            others.push_back(table);
            ++others.back()[s];
            if (table[s] > 1) {
                others.push_back(table);
                --others.back()[s];
            }
        }
        auto isTableOf = [&](const std::vector<uint32_t>& stored) {
            std::istringstream in(tableStream(stored, randomString(n, 8)));
            StreamInBitStream bits(in, kBitStreamWords);
            StaticDecoder decoder(n, bits);
            decoder.readTable();
            return decoder.isTableOf(counts.data());
        };
        EXPECT_TRUE(isTableOf(table)) << n;
        for (const std::vector<uint32_t>& other : others) EXPECT_FALSE(isTableOf(other)) << n;
    }
}

TEST(StaticDecoderDamage, TableAbove65535IsRefused) {
    std::vector<std::vector<uint32_t>> tables;
    tables.push_back(std::vector<uint32_t>(257, 0xFFFF));
    std::vector<uint32_t> justOver(256, 0);
    justOver[0] = 65535;
    justOver[255] = 1;
    tables.push_back(justOver);
    std::vector<uint32_t> spread(257, 255);  // 257 * 255 = 65535, then one more
    spread[100] = 256;
    tables.push_back(spread);
    for (const std::vector<uint32_t>& table : tables) {
        std::istringstream in(tableStream(table, randomString(3, 8)));
        StreamInBitStream bits(in, kBitStreamWords);
        StaticDecoder decoder(static_cast<uint32_t>(table.size()), bits);
        EXPECT_EQ(messageOf([&] { decoder.readTable(); }), kInvalidTable);
    }
}

TEST(StaticDecoderDamage, TableOfExactly65535IsAccepted) {
    std::vector<uint32_t> table(257, 255);  // 65535
    for (const std::vector<uint32_t>& t :
         {table, std::vector<uint32_t>{65535}, std::vector<uint32_t>{0, 0, 65535, 0}}) {
        std::istringstream in(tableStream(t, randomString(5, 64)));
        StreamInBitStream bits(in, kBitStreamWords);
        StaticDecoder decoder(static_cast<uint32_t>(t.size()), bits);
        ASSERT_NO_THROW(decoder.readTable());
        EXPECT_EQ(decoder.total(), 65535u);
        decoder.start();
        for (int i = 0; i < 200; ++i) {
            const uint32_t s = decoder.decodeSymbol();
            ASSERT_LT(s, t.size());
            ASSERT_GT(t[s], 0u);
        }
    }
}

TEST(StaticDecoderDamage, ArbitraryBitsNeverDecodeAnEmptySymbol) {
    testdata::Rng rng(99);
    for (int round = 0; round < 40; ++round) {
        const uint32_t n = round % 3 == 0 ? 2 : (round % 3 == 1 ? 256 : 257);
        std::vector<uint32_t> table(n, 0);
        uint32_t total = 0;
        // Valid tables with many empty symbols, some with a tiny total, some
        // close to the largest one, some with very uneven entries.
        const uint32_t cap = round % 4 == 0 ? 3 : (round % 4 == 1 ? 255 : 65535);
        for (uint32_t s = 0; s < n; ++s) {
            if (!rng.chance(round % 2 == 0 ? 15 : 60)) continue;
            const uint32_t f = std::min(1 + rng.below(cap), 65535 - total);
            table[s] = f;
            total += f;
        }
        if (total == 0) table[n - 1] = total = 1;
        std::string code;
        if (round == 0)
            code = std::string(2000, '\xFF');
        else if (round == 1)
            code = std::string(2000, '\0');
        else
            code = randomString(1000 + round, 2000);
        // The decoder as extraction runs it, and its plain kernel beside it
        // on the same bits: the same symbols and the same code end.
        std::istringstream in(tableStream(table, code));
        StreamInBitStream bits(in, 64);
        StaticDecoder decoder(n, bits);
        ASSERT_NO_THROW(decoder.readTable());
        decoder.start();
        std::istringstream plainIn(tableStream(table, code));
        StreamInBitStream plainBits(plainIn, 64);
        StaticDecoder plain(n, plainBits);
        plain.readTable();
        plain.start();
        for (int i = 0; i < 20000; ++i) {
            const uint32_t s = decoder.decodeSymbol();
            ASSERT_LT(s, n);
            ASSERT_GT(table[s], 0u) << round << " " << i;
            const uint32_t reference = plain.decodeSymbolWith<false, false>();
            ASSERT_EQ(s, reference) << round << " " << i;
        }
        EXPECT_EQ(decoder.codeEnd(), plain.codeEnd()) << round;
    }
}
