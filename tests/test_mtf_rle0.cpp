// Move-to-front and RLE0: the worked examples, the run-digit table, and the
// fused and streaming pieces checked against plain reference versions written
// here (a list MTF with erase/insert, RLE0 digits read off the binary
// expansion of m + 1). Damaged symbol streams must end in one of the two
// messages and never produce more than L indices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "tests/support/DataGen.h"
#include "transform/Mtf.h"

namespace {

using testdata::Bytes;
using Symbols = std::vector<uint16_t>;

const std::string kTooLong = "Error in compressed file (to long coded RLE0 run)";
const std::string kExceeds = "Error in compressed file (RLE0 run exceeds file size)";

// Reference MTF: the list as a vector, found with std::find, moved with
// erase and insert.
Bytes naiveMtf(const Bytes& data) {
    std::vector<uint8_t> list(256);
    for (int i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
    Bytes out;
    for (uint8_t b : data) {
        const auto it = std::find(list.begin(), list.end(), b);
        out.push_back(static_cast<uint8_t>(it - list.begin()));
        list.erase(it);
        list.insert(list.begin(), b);
    }
    return out;
}

Bytes naiveInverseMtf(const Bytes& indices) {
    std::vector<uint8_t> list(256);
    for (int i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
    Bytes out;
    for (uint8_t j : indices) {
        const uint8_t b = list[j];
        out.push_back(b);
        list.erase(list.begin() + j);
        list.insert(list.begin(), b);
    }
    return out;
}

// Reference run digits: the binary expansion of m + 1 without its leading 1.
Symbols naiveRunDigits(uint64_t m) {
    std::deque<uint16_t> digits;
    for (uint64_t x = m + 1; x > 1; x /= 2) digits.push_front(static_cast<uint16_t>(x % 2));
    return Symbols(digits.begin(), digits.end());
}

Symbols naiveRle0(const Bytes& indices) {
    Symbols out;
    size_t i = 0;
    while (i < indices.size()) {
        if (indices[i] != 0) {
            out.push_back(static_cast<uint16_t>(indices[i] + 1));
            ++i;
            continue;
        }
        size_t m = 0;
        while (i < indices.size() && indices[i] == 0) ++m, ++i;
        const Symbols digits = naiveRunDigits(m);
        out.insert(out.end(), digits.begin(), digits.end());
    }
    return out;
}

// Reference inverse for well-formed streams: a run is the longest stretch of
// digits, m = (1 followed by the digits in binary) - 1, a literal s is s - 1;
// stop after L indices.
Bytes naiveInverseRle0(const Symbols& symbols, size_t L) {
    Bytes out;
    size_t i = 0;
    while (out.size() < L) {
        if (symbols.at(i) >= 2) {
            out.push_back(static_cast<uint8_t>(symbols[i++] - 1));
            continue;
        }
        uint64_t x = 1;
        while (i < symbols.size() && symbols[i] < 2) x = 2 * x + symbols[i++];
        out.insert(out.end(), static_cast<size_t>(x - 1), 0);
    }
    return out;
}

std::string digitText(const Symbols& symbols) {
    std::string text;
    for (uint16_t s : symbols) {
        if (!text.empty()) text += ' ';
        text += s == ZeroRunA ? "0a" : s == ZeroRunB ? "0b" : std::to_string(s - 1);
    }
    return text;
}

Symbols digitsOf(uint32_t m) {
    Symbols out;
    emitZeroRun(m, [&](uint32_t d) { out.push_back(static_cast<uint16_t>(d)); });
    return out;
}

// Runs the fused encoder on a copy of data: returns the symbols; `indices`
// receives the block as the encoder left it.
Symbols fusedForward(const Bytes& data, Bytes& indices, uint32_t* count = nullptr) {
    indices = data;
    Symbols symbols;
    const uint32_t n = forwardMtfRle0(indices.data(), static_cast<uint32_t>(indices.size()),
                                      [&](uint32_t s) { symbols.push_back(static_cast<uint16_t>(s)); });
    if (count) *count = n;
    return symbols;
}

// Result of feeding a symbol list to the streaming inverse: the indices it
// produced (also when it threw), the error message, and how many symbols it
// pulled. Pulling past the list is recorded as a fault.
struct StreamResult {
    Bytes indices;
    uint64_t produced = 0;
    std::string error;
    size_t pulled = 0;
    bool pulledPastEnd = false;
};

StreamResult runInverse(const Symbols& symbols, uint32_t L, bool keepIndices = true) {
    StreamResult r;
    auto next = [&]() -> uint32_t {
        if (r.pulled >= symbols.size()) {
            r.pulledPastEnd = true;
            throw std::out_of_range("pulled past the end");
        }
        return symbols[r.pulled++];
    };
    try {
        inverseRle0(next, L, [&](uint32_t index, uint32_t count) {
            r.produced += count;
            if (keepIndices) r.indices.insert(r.indices.end(), count, static_cast<uint8_t>(index));
        });
    } catch (const Exception& e) {
        r.error = e.what();
    } catch (const std::out_of_range&) {
        r.error = "<source exhausted>";
    }
    return r;
}

Bytes blockFor(uint64_t seed) {
    testdata::Rng rng(seed);
    const size_t n = rng.below(700);
    switch (seed % 5) {
        case 0:
            return testdata::mixedBlock(seed, n);
        case 1:
            return testdata::runsBytes(seed, n, 1 + rng.below(8), 1 + rng.below(40));
        case 2:
            return testdata::skewedBytes(seed, n, 1 + rng.below(256));
        case 3:
            return testdata::randomBytes(seed, n);
        default:
            return testdata::runsBytes(seed, n, 256, 1 + rng.below(300));
    }
}

}  // namespace

TEST(MtfTable, StartsAsIdentity) {
    MtfTable table;
    for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(table.symbols[i], i);
    EXPECT_EQ(table.front(), 0);
}

TEST(MtfTable, WorkedExample) {
    MtfTable table;
    std::vector<uint32_t> indices;
    for (uint8_t b : {98, 98, 98, 97, 97, 97}) indices.push_back(table.encode(b));
    EXPECT_EQ(indices, (std::vector<uint32_t>{98, 0, 0, 98, 0, 0}));

    MtfTable back;
    Bytes bytes;
    for (uint32_t j : indices) bytes.push_back(back.decode(j));
    EXPECT_EQ(bytes, (Bytes{98, 98, 98, 97, 97, 97}));
}

TEST(MtfTable, FrontByteCodesAsZeroAndMovesNothing) {
    MtfTable table;
    table.encode(200);
    const auto before = table.symbols;
    EXPECT_EQ(table.encode(200), 0u);
    EXPECT_EQ(table.symbols, before);
    EXPECT_EQ(table.decode(0), 200);
    EXPECT_EQ(table.symbols, before);
}

TEST(MtfTable, LastPositionAndWholeListMatchReference) {
    // Every step compares the whole list with the reference, so a shift that
    // drops or doubles a byte is caught at once, including at position 255;
    // the decoder's fast move and its plain kernel alike, over the short
    // moves inside one word, those just past it and the long ones.
    testdata::Rng rng(7);
    MtfTable encoder, decoder, plainDecoder;
    std::vector<uint8_t> list(256);
    for (int i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
    for (int step = 0; step < 30000; ++step) {
        const uint32_t j = step % 97 == 0 ? 255
                                          : rng.below(step % 3 == 0   ? 256
                                                      : step % 3 == 1 ? 4
                                                                      : 18);
        const uint8_t b = list[j];
        EXPECT_EQ(encoder.encode(b), j);
        EXPECT_EQ(decoder.decode(j), b);
        EXPECT_EQ(plainDecoder.decodePlain(j), b);
        list.erase(list.begin() + j);
        list.insert(list.begin(), b);
        ASSERT_TRUE(std::equal(list.begin(), list.end(), encoder.symbols.begin()));
        ASSERT_TRUE(std::equal(list.begin(), list.end(), decoder.symbols.begin()));
        ASSERT_TRUE(std::equal(list.begin(), list.end(), plainDecoder.symbols.begin()));
    }
}

TEST(Rle0Digits, TableForRunsOneToSeven) {
    EXPECT_EQ(digitText(digitsOf(1)), "0a");
    EXPECT_EQ(digitText(digitsOf(2)), "0b");
    EXPECT_EQ(digitText(digitsOf(3)), "0a 0a");
    EXPECT_EQ(digitText(digitsOf(4)), "0a 0b");
    EXPECT_EQ(digitText(digitsOf(5)), "0b 0a");
    EXPECT_EQ(digitText(digitsOf(6)), "0b 0b");
    EXPECT_EQ(digitText(digitsOf(7)), "0a 0a 0a");
}

TEST(Rle0Digits, MatchBinaryExpansionUpToTheLargestRun) {
    for (uint32_t m = 1; m < 5000; ++m) ASSERT_EQ(digitsOf(m), naiveRunDigits(m)) << m;
    for (uint32_t m : {65535u, 65536u, 10485760u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu}) {
        EXPECT_EQ(digitsOf(m), naiveRunDigits(m)) << m;
    }
    // m + 1 = 2^32 must not wrap to zero: 32 digits 0a.
    EXPECT_EQ(digitsOf(0xFFFFFFFFu), Symbols(32, ZeroRunA));
    EXPECT_EQ(digitsOf(0xFFFFFFFEu), Symbols(31, ZeroRunB));
}

TEST(Rle0Forward, WorkedExample) {
    Bytes indices;
    uint32_t count = 0;
    const Symbols symbols = fusedForward({98, 98, 98, 97, 97, 97}, indices, &count);
    EXPECT_EQ(digitText(symbols), "98 0b 98 0b");
    EXPECT_EQ(symbols, (Symbols{99, 1, 99, 1}));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(indices, (Bytes{98, 0, 0, 98, 0, 0}));
}

TEST(Rle0Forward, BlockOfZeroBytesIsOneRunOfDigitsOnly) {
    for (uint32_t L : {1u, 2u, 3u, 6u, 7u, 8u, 100u, 4095u, 4096u, 65535u, 65536u}) {
        Bytes indices;
        const Symbols symbols = fusedForward(Bytes(L, 0), indices);
        uint32_t t = 0;
        while ((uint64_t{2} << t) <= uint64_t{L} + 1) ++t;  // floor(log2(L + 1))
        EXPECT_EQ(symbols.size(), t) << L;
        EXPECT_TRUE(std::all_of(symbols.begin(), symbols.end(), [](uint16_t s) { return s < 2; }));
        EXPECT_EQ(symbols, naiveRunDigits(L));
        EXPECT_EQ(indices, Bytes(L, 0));
    }
}

TEST(Rle0Forward, BlockOfOneOtherByteIsLiteralThenRun) {
    Bytes indices;
    EXPECT_EQ(digitText(fusedForward(Bytes(4, 'a'), indices)), "97 0a 0a");
    EXPECT_EQ(digitText(fusedForward(Bytes(1, 'a'), indices)), "97");
    EXPECT_EQ(digitText(fusedForward(Bytes(1, 0), indices)), "0a");
}

TEST(Rle0Forward, RunOfOneAtTheEndIsTheSingleDigitZeroA) {
    Bytes indices;
    const Symbols symbols = fusedForward({5, 7, 7}, indices);
    EXPECT_EQ(indices, (Bytes{5, 7, 0}));
    EXPECT_EQ(digitText(symbols), "5 7 0a");
}

TEST(Rle0Forward, EmptyBlockEmitsNothing) {
    Bytes indices;
    uint32_t count = 99;
    EXPECT_TRUE(fusedForward({}, indices, &count).empty());
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(forwardRle0(nullptr, 0).empty());
}

TEST(Rle0Forward, WithoutRle0EveryIndexIsOneSymbol) {
    const Bytes data = {3, 3, 3, 0, 0, 9, 3};
    Bytes block = data;
    std::vector<uint32_t> emitted;
    forwardMtf(block.data(), static_cast<uint32_t>(block.size()),
               [&](uint32_t j) { emitted.push_back(j); });
    EXPECT_EQ(emitted, (std::vector<uint32_t>{3, 0, 0, 1, 0, 9, 2}));
    EXPECT_EQ(block, (Bytes{3, 0, 0, 1, 0, 9, 2}));
}

TEST(Rle0RoundTrip, FusedAndWholeArrayMatchReferenceOnSeededBlocks) {
    for (uint64_t seed = 0; seed < 1500; ++seed) {
        const Bytes data = blockFor(seed);
        const uint32_t L = static_cast<uint32_t>(data.size());
        const Bytes expectedIndices = naiveMtf(data);
        const Symbols expectedSymbols = naiveRle0(expectedIndices);

        // Forward, fused and whole-array.
        Bytes indices;
        uint32_t count = 0;
        const Symbols symbols = fusedForward(data, indices, &count);
        ASSERT_EQ(indices, expectedIndices) << seed;
        ASSERT_EQ(symbols, expectedSymbols) << seed;
        ASSERT_EQ(count, symbols.size()) << seed;
        ASSERT_LE(symbols.size(), L) << seed;
        ASSERT_EQ(forwardRle0(expectedIndices.data(), L), expectedSymbols) << seed;

        Bytes plain = data;
        std::vector<uint8_t> plainEmitted;
        forwardMtf(plain.data(), L,
                   [&](uint32_t j) { plainEmitted.push_back(static_cast<uint8_t>(j)); });
        ASSERT_EQ(plain, expectedIndices) << seed;
        ASSERT_EQ(plainEmitted, expectedIndices) << seed;

        // Inverse: the reference agrees with itself first, then every piece.
        ASSERT_EQ(naiveInverseRle0(expectedSymbols, L), expectedIndices) << seed;
        ASSERT_EQ(naiveInverseMtf(expectedIndices), data) << seed;
        ASSERT_EQ(inverseRle0(expectedSymbols, L), expectedIndices) << seed;

        const StreamResult streamed = runInverse(expectedSymbols, L);
        ASSERT_EQ(streamed.error, "") << seed;
        ASSERT_EQ(streamed.indices, expectedIndices) << seed;
        ASSERT_EQ(streamed.pulled, expectedSymbols.size()) << seed;  // nothing after a final run

        Bytes fusedBack(L, 0xCC);
        size_t pulled = 0;
        inverseMtfRle0([&]() -> uint32_t { return expectedSymbols.at(pulled++); }, fusedBack.data(), L);
        ASSERT_EQ(fusedBack, data) << seed;
        ASSERT_EQ(pulled, expectedSymbols.size()) << seed;

        Bytes plainBack(L, 0xCC);
        pulled = 0;
        inverseMtf([&]() -> uint32_t { return expectedIndices.at(pulled++); }, plainBack.data(), L);
        ASSERT_EQ(plainBack, data) << seed;
    }
}

TEST(Rle0Inverse, RunReachingTheEndTakesNoFurtherSymbol) {
    // L = 2 and digit 0b: the run fills the block, the 9 must stay unread.
    const StreamResult r = runInverse({ZeroRunB, 9}, 2);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.indices, (Bytes{0, 0}));
    EXPECT_EQ(r.pulled, 1u);
}

TEST(Rle0Inverse, LiteralEndingARunFollowsIt) {
    const StreamResult r = runInverse({ZeroRunB, 5}, 3);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.indices, (Bytes{0, 0, 4}));
}

TEST(Rle0Inverse, RunLongerThanTheRestOfTheBlockFails) {
    // 0b 0b = 6 zeros, but only 5 fit.
    EXPECT_EQ(runInverse({ZeroRunB, ZeroRunB, ZeroRunB}, 5).error, kExceeds);
    // 0a 0a 0a = 7 zeros: fits 7 exactly, exceeds 6.
    EXPECT_EQ(runInverse({ZeroRunA, ZeroRunA, ZeroRunA}, 7).error, "");
    EXPECT_EQ(runInverse({ZeroRunA, ZeroRunA, ZeroRunA}, 6).error, kExceeds);
    // After two literals only one place is left; 0b says two zeros.
    const StreamResult r = runInverse({10, 20, ZeroRunB}, 3);
    EXPECT_EQ(r.error, kExceeds);
    EXPECT_EQ(r.produced, 2u);
}

TEST(Rle0Inverse, EndlessDigitsStopAtTheBlockLimitInsteadOfWrapping) {
    // Digits beyond 32 would wrap a 32-bit run length; the decoder must stop
    // taking digits once the run passes the block and report it.
    for (uint16_t digit : {ZeroRunA, ZeroRunB}) {
        const StreamResult r = runInverse(Symbols(100000, digit), 10485760, false);
        EXPECT_EQ(r.error, kExceeds);
        EXPECT_EQ(r.produced, 0u);
        EXPECT_LE(r.pulled, 24u);  // 2^24 - 1 > 10485760
    }
}

TEST(Rle0Inverse, LongestRunsOfAFull32BitBlockAreExact) {
    // The sink only counts, so the largest block length can be used.
    const uint32_t L = 0xFFFFFFFFu;
    StreamResult r = runInverse(Symbols(32, ZeroRunA), L, false);  // m = 2^32 - 1
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.produced, L);
    EXPECT_EQ(r.pulled, 32u);

    Symbols s(31, ZeroRunB);  // m = 2^32 - 2, then the literal 1
    s.push_back(2);
    r = runInverse(s, L, false);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.produced, L);

    // 32 digits 0b say 2^33 - 2 zeros, which a 32-bit count would wrap to
    // 2^32 - 2 and keep reading digits.
    r = runInverse(Symbols(40, ZeroRunB), L, false);
    EXPECT_EQ(r.error, kExceeds);
    EXPECT_EQ(r.produced, 0u);
    EXPECT_EQ(r.pulled, 32u);
}

TEST(Rle0Inverse, ShortSymbolArrayIsReportedNotOverread) {
    EXPECT_THROW(inverseRle0(Symbols{5, 6}, 3), std::out_of_range);
    EXPECT_THROW(inverseRle0(Symbols{300}, 1), std::out_of_range);
}

TEST(Rle0Inverse, EveryShortSequenceEitherFillsTheBlockOrExceeds) {
    // All sequences of up to 7 symbols over {0a, 0b, literal}, every L up to
    // 10. A run digit costs one symbol and stands for at least one zero, so
    // the symbols taken never reach L while a run is open: the "to long"
    // guard never fires when run lengths are computed exactly.
    for (uint32_t len = 1; len <= 7; ++len) {
        uint32_t combos = 1;
        for (uint32_t i = 0; i < len; ++i) combos *= 3;
        for (uint32_t code = 0; code < combos; ++code) {
            Symbols seq;
            for (uint32_t c = code, i = 0; i < len; ++i, c /= 3) {
                seq.push_back(static_cast<uint16_t>(c % 3 == 2 ? 7 : c % 3));
            }
            for (uint32_t L = 0; L <= 10; ++L) {
                const StreamResult r = runInverse(seq, L);
                ASSERT_LE(r.produced, L);
                ASSERT_NE(r.error, kTooLong);
                if (r.error.empty()) {
                    ASSERT_EQ(r.produced, L);
                    // The reference reads a complete run greedily; it agrees
                    // whenever the block ended on a symbol boundary.
                    if (r.pulled == seq.size()) {
                        ASSERT_EQ(r.indices, naiveInverseRle0(seq, L));
                    }
                } else if (r.error == kExceeds) {
                    ASSERT_LT(r.produced, L);
                } else {
                    ASSERT_EQ(r.error, "<source exhausted>");
                }
            }
        }
    }
}

TEST(Rle0Inverse, RandomSymbolStreamsNeverOverfillTheBlock) {
    testdata::Rng rng(12345);
    for (int trial = 0; trial < 3000; ++trial) {
        const uint32_t L = rng.below(trial % 10 == 0 ? 5000 : 60);
        Symbols seq(L + 64);
        const uint32_t digitShare = rng.below(101);
        for (auto& s : seq) {
            s = rng.chance(digitShare) ? static_cast<uint16_t>(rng.below(2))
                                       : static_cast<uint16_t>(2 + rng.below(255));
        }
        const StreamResult r = runInverse(seq, L);
        ASSERT_FALSE(r.pulledPastEnd) << trial;  // at most L symbols are ever taken
        ASSERT_LE(r.pulled, L) << trial;
        ASSERT_LE(r.produced, L) << trial;
        ASSERT_TRUE(r.error.empty() || r.error == kExceeds) << trial << r.error;
        if (r.error.empty()) {
            ASSERT_EQ(r.produced, L) << trial;
        }

        // The fused decoder writes into exactly L bytes (ASan checks the rest).
        Bytes out(L);
        size_t pulled = 0;
        try {
            inverseMtfRle0([&]() -> uint32_t { return seq.at(pulled++); }, out.data(), L);
            ASSERT_TRUE(r.error.empty()) << trial;
        } catch (const Exception& e) {
            ASSERT_EQ(r.error, e.what()) << trial;
        }
    }
}
