// Burrows–Wheeler transform and inverse: the worked examples, a naive
// transform built from a plain suffix sort, round trips over generated,
// corpus and adversarial blocks, the same result with the suffix listings on,
// and damaged columns and indices, which must invert or throw, never crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "tests/support/DataGen.h"
#include "tests/support/TempDir.h"
#include "transform/Bwt.h"
#include "transform/SuffixSorter.h"

namespace {

using testdata::Bytes;

const char* const kIndexMessage = "Error in compressed file (first suffix index out of range)";

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Transformed {
    Bytes column;
    uint32_t index;
};

Transformed forward(const Bytes& t) {
    Transformed r{t, 0};
    r.index = forwardBwt(r.column.data(), static_cast<uint32_t>(r.column.size()));
    return r;
}

// The plain kernel first (the reference), then every faster walk, the lane
// walks of the packed table also spread over several threads, the automatic
// choice given working memory set up ahead: for the block's length (used
// from 1 MiB on), or for another length (to be left aside), and the table
// built from the column's runs (as extraction builds it while it decodes).
enum class AheadTable { None, ForBlock, ForOther, FromRuns };
struct InverseWalk {
    InverseBwtKernel kernel;
    unsigned threads;
    AheadTable table = AheadTable::None;
};
constexpr InverseWalk kInverseWalks[] = {{InverseBwtKernel::Plain, 1},
                                         {InverseBwtKernel::Automatic, 1},
                                         {InverseBwtKernel::Automatic, 2},
                                         {InverseBwtKernel::WordTable, 1},
                                         {InverseBwtKernel::WordTableLanes, 1},
                                         {InverseBwtKernel::PackedRows, 1},
                                         {InverseBwtKernel::PackedRows, 2},
                                         {InverseBwtKernel::PackedRows, 5},
                                         {InverseBwtKernel::PairRows, 1},
                                         {InverseBwtKernel::Automatic, 2, AheadTable::ForBlock},
                                         {InverseBwtKernel::Automatic, 1, AheadTable::ForOther},
                                         {InverseBwtKernel::Automatic, 1, AheadTable::FromRuns},
                                         {InverseBwtKernel::Automatic, 5, AheadTable::FromRuns}};

// The table of the column's maximal runs, each handed over as a decoder
// would (n below 2^24, index below n).
void invertFromRuns(Bytes& out, const Bytes& column, uint32_t index, unsigned threads) {
    const uint32_t n = static_cast<uint32_t>(column.size());
    RunWordTable table(n, index);
    for (uint32_t k = 0; k < n;) {
        uint32_t end = k + 1;
        while (end < n && column[end] == column[k]) ++end;
        table.addRun(k, column[k], end - k);
        k = end;
    }
    inverseBwt(out.data(), table, threads);
}

// Inverts with every walk inverseBwt can be told to run: each must give the
// plain kernel's bytes, or throw its message, which is thrown on.
Bytes inverse(const Bytes& column, uint32_t index) {
    Bytes plain;
    std::string plainError;
    for (const InverseWalk walk : kInverseWalks) {
        Bytes out(column.size());
        std::string error;
        const uint32_t n = static_cast<uint32_t>(column.size());
        try {
            if (walk.table == AheadTable::None) {
                inverseBwt(out.data(), column.data(), n, index, walk.threads, walk.kernel);
            } else if (walk.table == AheadTable::FromRuns) {
                // The table takes only what extraction gives it.
                if (index >= n || n >= (1u << 24)) continue;
                invertFromRuns(out, column, index, walk.threads);
            } else {
                InverseBwtTable table(walk.table == AheadTable::ForBlock ? n : n + 1);
                inverseBwt(out.data(), column.data(), n, index, walk.threads, table);
            }
        } catch (const Exception& e) {
            error = e.what();
        }
        if (walk.kernel == InverseBwtKernel::Plain) {
            plain = std::move(out);
            plainError = error;
            continue;
        }
        EXPECT_EQ(error, plainError) << static_cast<int>(walk.kernel) << " threads " << walk.threads;
        if (error.empty()) {
            EXPECT_TRUE(out == plain) << static_cast<int>(walk.kernel) << " threads " << walk.threads;
        }
    }
    if (!plainError.empty()) throw Exception(plainError);
    return plain;
}

// Naive transform: sort suffix positions with a plain comparison (a prefix of
// a longer suffix first), then take the byte before each.
Transformed naiveForward(const Bytes& t) {
    std::vector<uint32_t> sa(t.size());
    std::iota(sa.begin(), sa.end(), 0u);
    std::sort(sa.begin(), sa.end(), [&t](uint32_t a, uint32_t b) {
        return std::lexicographical_compare(t.begin() + a, t.end(), t.begin() + b, t.end());
    });
    Transformed r{Bytes(t.size()), 0};
    for (size_t k = 0; k < t.size(); ++k) {
        if (sa[k] == 0) {
            r.column[k] = t.back();
            r.index = static_cast<uint32_t>(k);
        } else {
            r.column[k] = t[sa[k] - 1];
        }
    }
    return r;
}

void expectExample(const std::string& block, const std::string& column, uint32_t index) {
    const Transformed r = forward(bytesOf(block));
    EXPECT_EQ(std::string(r.column.begin(), r.column.end()), column) << block;
    EXPECT_EQ(r.index, index) << block;
    EXPECT_EQ(inverse(bytesOf(column), index), bytesOf(block)) << block;
}

void expectRoundTrip(const Bytes& t, const std::string& what) {
    const Transformed r = forward(t);
    ASSERT_LT(r.index, std::max<size_t>(t.size(), 1)) << what;
    ASSERT_TRUE(inverse(r.column, r.index) == t) << what;
}

class BwtTest : public ::testing::Test {
protected:
};

}  // namespace

TEST_F(BwtTest, WorkedExamples) {
    expectExample("abaab", "babaa", 2);
    expectExample("banana", "nnbaaa", 3);
    expectExample("abracadabra", "rdarcaaaabb", 2);
    expectExample("aaaa", "aaaa", 3);
    expectExample("baa", "aba", 2);
    expectExample("abaa", "abaa", 2);
    expectExample("aab", "baa", 0);
    expectExample("x", "x", 0);
}

TEST_F(BwtTest, UnsignedBytesAndEndBelowZero) {
    // 80 01: suffix 1 sorts first, so the column is T[0] then T[N-1].
    EXPECT_EQ(forward(Bytes{0x80, 0x01}).column, (Bytes{0x80, 0x01}));
    EXPECT_EQ(forward(Bytes{0x80, 0x01}).index, 1u);
    EXPECT_EQ(forward(Bytes{0x01, 0x80}).column, (Bytes{0x80, 0x01}));
    EXPECT_EQ(forward(Bytes{0x01, 0x80}).index, 0u);
    EXPECT_EQ(forward(Bytes{0x00, 0x00}).index, 1u);
}

TEST_F(BwtTest, EqualBytesPutTheWholeBlockLast) {
    for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 6u, 64u, 1000u}) {
        const Bytes t(n, 0x5A);
        const Transformed r = forward(t);
        EXPECT_EQ(r.column, t);
        EXPECT_EQ(r.index, n - 1);
        EXPECT_EQ(inverse(r.column, r.index), t);
    }
}

TEST_F(BwtTest, EmptyBlock) {
    uint8_t guard = 0xAB;
    EXPECT_EQ(forwardBwt(&guard, 0), 0u);
    EXPECT_EQ(guard, 0xAB);
    inverseBwt(&guard, nullptr, 0, 0);
    inverseBwt(&guard, nullptr, 0, 12345);
    EXPECT_EQ(guard, 0xAB);
}

TEST_F(BwtTest, MatchesNaiveTransform) {
    testdata::Rng rng(4242);
    for (uint64_t seed = 0; seed < 1500; ++seed) {
        const size_t n = 1 + rng.below(seed % 8 == 0 ? 3000 : 400);
        const Bytes t = seed % 2 == 0 ? testdata::mixedBlock(seed, n)
                                      : testdata::skewedBytes(seed, n, 1 + rng.below(5));
        const Transformed got = forward(t);
        const Transformed want = naiveForward(t);
        ASSERT_EQ(got.column, want.column) << "seed " << seed;
        ASSERT_EQ(got.index, want.index) << "seed " << seed;
    }
}

TEST_F(BwtTest, RoundTripsSeededBlocks) {
    testdata::Rng rng(99);
    for (uint64_t seed = 0; seed < 800; ++seed) {
        const size_t n = 1 + rng.below(seed % 20 == 0 ? 60000 : 2000);
        expectRoundTrip(testdata::mixedBlock(seed, n), "seed " + std::to_string(seed));
    }
}

TEST_F(BwtTest, RoundTripsAllByteValues) {
    Bytes t(256 * 3);
    for (size_t i = 0; i < t.size(); ++i) t[i] = static_cast<uint8_t>(i * 7);
    expectRoundTrip(t, "all values");
    Bytes up(256);
    std::iota(up.begin(), up.end(), uint8_t{0});
    expectRoundTrip(up, "ascending");
    std::reverse(up.begin(), up.end());
    expectRoundTrip(up, "descending");
}

TEST_F(BwtTest, RoundTripsSuffixesThatArePrefixes) {
    for (const std::string s : {"abaab", "aaaa", "abab", "aabaab", "abcabcab", "zzzzzzzzy", "yzzzzzzzz"})
        expectRoundTrip(bytesOf(s), s);
}

TEST_F(BwtTest, RoundTripsCorpusFiles) {
    const auto files = testdata::corpusFiles();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << testdata::corpusDir();
    for (const auto& file : files) {
        const Bytes t = testdata::readFile(file);
        if (!t.empty()) expectRoundTrip(t, file);
    }
}

TEST_F(BwtTest, RoundTripsAdversarialBlocks) {
    constexpr size_t kSize = 1 << 20;
    expectRoundTrip(Bytes(kSize, 0), "one byte");
    expectRoundTrip(testdata::repeatedPattern(bytesOf("ab"), kSize), "ab");
    expectRoundTrip(testdata::repeatedPattern(bytesOf("abc"), kSize), "abc");
    expectRoundTrip(testdata::repeatedPattern(testdata::randomBytes(11, 1000), kSize), "random x1000");
    expectRoundTrip(testdata::fibonacciString(kSize), "fibonacci");
}

// The transform taken from the suffix array (as the codecs do when a suffix
// listing is wanted) is the one forwardBwt makes.
TEST_F(BwtTest, TransformFromTheSuffixArrayIsTheSame) {
    for (uint64_t seed = 0; seed < 60; ++seed) {
        const Bytes t = testdata::mixedBlock(seed, 1 + (seed * 53) % 1500);
        const Transformed plain = forward(t);
        Bytes column = t;
        const std::vector<uint32_t> sa = suffixArrayOf(t.data(), static_cast<uint32_t>(t.size()));
        const uint32_t index =
            bwtFromSuffixArray(column.data(), static_cast<uint32_t>(t.size()), sa.data());
        ASSERT_EQ(column, plain.column) << "seed " << seed;
        ASSERT_EQ(index, plain.index) << "seed " << seed;
    }
}

TEST_F(BwtTest, IndexOutOfRangeIsRejected) {
    const Bytes column = bytesOf("nnbaaa");
    for (uint32_t index : {6u, 7u, 1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        Bytes out(column.size(), 0xEE);
        try {
            inverseBwt(out.data(), column.data(), static_cast<uint32_t>(column.size()), index);
            ADD_FAILURE() << "no exception for index " << index;
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), kIndexMessage);
        }
    }
    Bytes one(1);
    EXPECT_THROW(inverseBwt(one.data(), column.data(), 1, 1), Exception);
}

// The inverse of a damaged column either throws the transform's message or
// gives a block; a block it gives must be one whose transform is that column
// and index, since a column that is no transform is refused.
void expectInverseOrRefusal(const Bytes& column, uint32_t index, const std::string& what) {
    Bytes out(column.size());
    try {
        inverseBwt(out.data(), column.data(), static_cast<uint32_t>(column.size()), index);
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), kInvalidBwtMessage) << what;
        return;
    }
    const Transformed again = forward(out);
    EXPECT_TRUE(again.column == column && again.index == index)
        << what << ": accepted a column that is no transform";
}

TEST_F(BwtTest, DamagedColumnsInvertOrThrow) {
    // Any bytes with an index below N give a block of N bytes or are refused;
    // an index at or past N is refused. Run under the sanitizers, nothing may
    // be read or written outside the buffers.
    testdata::Rng rng(31337);
    uint32_t accepted = 0;
    for (uint64_t seed = 0; seed < 3000; ++seed) {
        const uint32_t n = 1 + rng.below(seed % 10 == 0 ? 5000 : 64);
        Bytes column = seed % 3 == 0 ? testdata::randomBytes(seed, n)
                                     : testdata::skewedBytes(seed, n, 1 + rng.below(6));
        uint32_t index = rng.below(n + n / 2 + 2);
        if (seed % 7 == 0) index = static_cast<uint32_t>(rng.next());
        std::vector<uint8_t> out(n);
        if (index < n) {
            expectInverseOrRefusal(column, index, std::to_string(seed));
            try {
                inverseBwt(out.data(), column.data(), n, index);
                ++accepted;
            } catch (const Exception&) {}
        } else {
            EXPECT_THROW(inverseBwt(out.data(), column.data(), n, index), Exception) << seed;
        }
    }
    // Short columns over a few byte values are often some block's transform.
    EXPECT_GT(accepted, 0u);
}

TEST_F(BwtTest, LargerColumnsMatchAPlainWalkOrAreRefused) {
    // From 16 KiB on the inverse walks many segments side by side and
    // stitches them; when the LF cycle through the index misses rows (a
    // damaged column) the column is refused, whichever walk finds it. The
    // plain walk here is built independently: stable ranks per byte. It
    // reports whether it came back to the index after exactly n steps.
    auto plainWalk = [](const Bytes& column, uint32_t index, bool& oneCycle) {
        const uint32_t n = static_cast<uint32_t>(column.size());
        std::vector<uint32_t> start(257, 0);
        for (uint8_t c : column) ++start[c + 1u];
        for (int c = 0; c < 256; ++c) start[c + 1] += start[c];
        // Rows are ranked in the order column[index], then the others.
        std::vector<uint32_t> lf(n);
        std::vector<uint32_t> next(start.begin(), start.end() - 1);
        lf[index] = next[column[index]]++;
        for (uint32_t k = 0; k < n; ++k) {
            if (k != index) lf[k] = next[column[k]]++;
        }
        Bytes out(n);
        uint32_t j = index;
        oneCycle = true;
        for (uint32_t t = n; t-- > 0;) {
            out[t] = column[j];
            j = lf[j];
            if (j == index && t != 0) oneCycle = false;
        }
        oneCycle = oneCycle && j == index;
        return out;
    };
    testdata::Rng rng(8080);
    uint32_t refused = 0;
    for (uint64_t seed = 0; seed < 27; ++seed) {
        // The last three are long enough for the packed table's walk to
        // take more than one thread (2^18 rows each).
        const uint32_t n = seed >= 24 ? (5u << 17) + rng.below(40000)
                                      : (1u << 14) + rng.below(seed % 4 == 0 ? 300000 : 40000);
        Bytes column;
        uint32_t index;
        if (seed % 3 == 0) {
            // A real transform with a few bytes changed: mostly one long
            // cycle with stray short ones.
            Transformed r = forward(testdata::textLike(seed, n));
            for (int flips = 0; flips < 2; ++flips) r.column[rng.below(n)] ^= 0x21;
            column = r.column;
            index = r.index;
        } else if (seed % 3 == 1) {
            column = testdata::skewedBytes(seed, n, 1 + rng.below(40));
            index = rng.below(n);
        } else {
            // Valid: the stitched walk must give the block back.
            const Bytes t = testdata::mixedBlock(seed, n);
            const Transformed r = forward(t);
            ASSERT_EQ(inverse(r.column, r.index), t) << seed;
            column = r.column;
            index = r.index;
        }
        bool oneCycle = false;
        const Bytes plain = plainWalk(column, index, oneCycle);
        if (oneCycle) {
            ASSERT_EQ(inverse(column, index), plain) << seed;
        } else {
            ++refused;
            try {
                inverse(column, index);
                ADD_FAILURE() << seed << ": a column of several LF cycles was inverted";
            } catch (const Exception& e) {
                EXPECT_STREQ(e.what(), kInvalidBwtMessage) << seed;
            }
        }
    }
    EXPECT_GE(refused, 8u);
}

// A block of r >= 2 runs of rising byte values (lengths k_i >= 1) and its
// transform, built directly: the suffixes sort by run; within a run the
// longer come first (a higher byte follows the run), except in the last run,
// where the shorter is a prefix of the longer and comes first. So the column
// is, run by run, the byte before the run (the block's last byte for the
// first run, whose row is the whole block and comes first: index 0) and then
// k_i - 1 copies of the run's own byte; for the last run the other way round.
Transformed risingRuns(uint64_t seed, uint32_t n, Bytes& block) {
    testdata::Rng rng(seed);
    std::vector<uint32_t> lengths;
    for (uint32_t left = n - 1; left > 0;) {
        const uint32_t k =
            lengths.size() == 254 ? left : std::min(left, 1 + rng.below(2 * (n / 200) + 1));
        lengths.push_back(k);
        left -= k;
    }
    lengths.push_back(1);
    block.clear();
    Transformed r{Bytes(), 0};
    const uint32_t runs = static_cast<uint32_t>(lengths.size());
    for (uint32_t i = 0; i < runs; ++i) {
        const uint8_t c = static_cast<uint8_t>(i + 1);
        const uint8_t before = static_cast<uint8_t>(i == 0 ? runs : i);
        block.insert(block.end(), lengths[i], c);
        if (i + 1 < runs) r.column.push_back(before);
        r.column.insert(r.column.end(), lengths[i] - 1, c);
        if (i + 1 == runs) r.column.push_back(before);
    }
    return r;
}

TEST_F(BwtTest, RunTableRefusesRunsThatDoNotTileTheColumn) {
    // Runs that leave rows out, cover some twice or stop short leave words
    // unwritten or counted twice: the inverse refuses the table instead of
    // walking it.
    const Transformed r = forward(testdata::textLike(3, 5000));
    const uint32_t n = static_cast<uint32_t>(r.column.size());
    auto invert = [&](const std::vector<std::pair<uint32_t, uint32_t>>& runs) {
        RunWordTable table(n, r.index);
        for (const auto& [from, to] : runs) {
            for (uint32_t k = from; k < to; ++k) table.addRun(k, r.column[k], 1);
        }
        Bytes out(n);
        inverseBwt(out.data(), table, 1);
        return out;
    };
    EXPECT_TRUE(invert({{0, n}}) == testdata::textLike(3, 5000));
    for (const auto& runs : std::vector<std::vector<std::pair<uint32_t, uint32_t>>>{
             {{0, 100}, {101, n}}, {{0, 100}, {99, n}}, {{0, n - 1}}, {{1, n}}}) {
        try {
            invert(runs);
            ADD_FAILURE() << "runs from " << runs[0].second;
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), kInvalidBwtMessage);
        }
    }
}

TEST_F(BwtTest, InverseInPlaceMatchesSeparateBuffers) {
    // The block may replace its own transform; every size class of the
    // inverse (plain, word table, packed table, beyond 2^24 rows) must give
    // the block back that way. The large columns are built directly (see
    // risingRuns), which the small ones check against the transform.
    for (uint32_t n : {1000u, 70000u, (5u << 20) + 7, (1u << 24) + 3}) {
        Bytes block;
        Transformed r = risingRuns(n, n, block);
        if (n < 100000) {
            const Transformed sorted = forward(block);
            ASSERT_TRUE(sorted.column == r.column && sorted.index == r.index) << n;
        }
        const Bytes separate = inverse(r.column, r.index);
        ASSERT_TRUE(separate == block) << n;
        inverseBwt(r.column.data(), r.column.data(), n, r.index);
        ASSERT_TRUE(r.column == block) << n;
    }
}

TEST_F(BwtTest, DamagedValidColumnsDecodeOrAreRefused) {
    // A valid transform with a few bytes flipped or the index moved: the
    // inverse runs through cleanly and nearly always refuses it; what it
    // accepts is the block of that transform.
    uint32_t refused = 0;
    for (uint64_t seed = 0; seed < 50; ++seed) {
        const Bytes t = testdata::mixedBlock(seed, 500 + seed * 40);
        Transformed r = forward(t);
        testdata::Rng rng(seed);
        for (int flips = 0; flips < 3; ++flips)
            r.column[rng.below(static_cast<uint32_t>(r.column.size()))] ^= 0x5A;
        const uint32_t index = rng.below(static_cast<uint32_t>(r.column.size()));
        expectInverseOrRefusal(r.column, index, std::to_string(seed));
        try {
            inverse(r.column, index);
        } catch (const Exception&) {
            ++refused;
        }
    }
    EXPECT_GE(refused, 45u);
}
