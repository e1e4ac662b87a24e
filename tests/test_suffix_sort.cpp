// Suffix sorter: suffix arrays against plain reference sorts and a linear
// order checker (on 1, 2 and 5 threads), the worked edge cases, the doubling
// refinement on reduced strings of its own, and adversarial blocks (long
// repeats, short periods, reduced strings too large for bucket tables) that
// drive the recursion and the refinement deep.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "tests/support/DataGen.h"
#include "transform/PrefixDoubling.h"
#include "transform/SuffixSorter.h"

namespace {

using testdata::Bytes;

constexpr uint32_t kRun = 0x80000000u;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::vector<uint32_t> sortedSuffixes(const Bytes& t, unsigned threads = 1) {
    return suffixArrayOf(t.data(), static_cast<uint32_t>(t.size()), threads);
}

// The thread counts every reference comparison runs with.
constexpr unsigned kThreadCounts[] = {1, 2, 5};

// Plain reference: compare suffixes byte by byte as unsigned values; a suffix
// that is a prefix of another sorts first (the end counts below every byte).
std::vector<uint32_t> referenceSuffixArray(const Bytes& t) {
    std::vector<uint32_t> sa(t.size());
    std::iota(sa.begin(), sa.end(), 0u);
    std::sort(sa.begin(), sa.end(), [&t](uint32_t a, uint32_t b) {
        return std::lexicographical_compare(t.begin() + a, t.end(), t.begin() + b, t.end());
    });
    return sa;
}

// Linear check that sa is the sorted order of the suffixes of t: a
// permutation whose neighbours are ordered by (first byte, rank of the rest),
// the rest of the last suffix being the end, which ranks lowest.
::testing::AssertionResult isSuffixArrayOf(const Bytes& t, const std::vector<uint32_t>& sa) {
    const size_t n = t.size();
    if (sa.size() != n) return ::testing::AssertionFailure() << "size " << sa.size() << " != " << n;
    std::vector<int64_t> rank(n + 1, -2);
    rank[n] = -1;
    for (size_t k = 0; k < n; ++k) {
        if (sa[k] >= n || rank[sa[k]] != -2)
            return ::testing::AssertionFailure() << "not a permutation at " << k;
        rank[sa[k]] = static_cast<int64_t>(k);
    }
    for (size_t k = 0; k + 1 < n; ++k) {
        const uint32_t a = sa[k];
        const uint32_t b = sa[k + 1];
        if (t[a] < t[b]) continue;
        if (t[a] > t[b] || rank[a + 1] >= rank[b + 1])
            return ::testing::AssertionFailure()
                   << "suffixes " << a << " and " << b << " out of order at " << k;
    }
    return ::testing::AssertionSuccess();
}

// The full reference order with the end suffix in front.
std::vector<uint32_t> fullReferenceOrder(const Bytes& t) {
    std::vector<uint32_t> full{static_cast<uint32_t>(t.size())};
    const std::vector<uint32_t> sa = referenceSuffixArray(t);
    full.insert(full.end(), sa.begin(), sa.end());
    return full;
}

// Reference by prefix doubling with std::sort, for blocks too long for the
// byte-by-byte comparison: rank pairs (rank of p, rank of p + h) until all
// ranks differ. Independent of the sorter's code.
std::vector<uint32_t> doublingReference(const Bytes& t) {
    const uint32_t n = static_cast<uint32_t>(t.size());
    std::vector<uint32_t> sa(n);
    std::vector<int64_t> rank(n);
    std::vector<int64_t> next(n);
    std::iota(sa.begin(), sa.end(), 0u);
    for (uint32_t p = 0; p < n; ++p) rank[p] = t[p];
    for (uint32_t h = 1;; h *= 2) {
        auto second = [&](uint32_t p) { return p + h < n ? rank[p + h] : int64_t{-1}; };
        auto less = [&](uint32_t a, uint32_t b) {
            return rank[a] != rank[b] ? rank[a] < rank[b] : second(a) < second(b);
        };
        std::sort(sa.begin(), sa.end(), less);
        next[sa[0]] = 0;
        for (uint32_t k = 1; k < n; ++k)
            next[sa[k]] = next[sa[k - 1]] + (less(sa[k - 1], sa[k]) ? 1 : 0);
        rank.swap(next);
        if (n == 0 || rank[sa[n - 1]] == n - 1 || h >= n) break;
    }
    return sa;
}

// A generated block of one of the kinds named in the tables below.
Bytes blockOfKind(const std::string& kind, uint64_t seed, size_t n) {
    if (kind == "random") return testdata::randomBytes(seed, n);
    if (kind == "skewed2") return testdata::skewedBytes(seed, n, 2);
    if (kind == "skewed5") return testdata::skewedBytes(seed, n, 5);
    if (kind == "periodic")
        return testdata::repeatedPattern(testdata::skewedBytes(seed, 1 + seed % 300, 4), n);
    if (kind == "runs") return testdata::runsBytes(seed, n, 3, 40);
    if (kind == "text") return testdata::textLike(seed, n);
    if (kind == "fibonacci") return testdata::fibonacciString(n);
    if (kind == "ab") return testdata::repeatedPattern(Bytes{'a', 'b'}, n);
    if (kind == "alternating" || kind == "alternating16") {
        // A high byte, then a low one, and so on: every low byte but the
        // last starts an LMS suffix, so the reduced string leaves no free
        // room in the array. Over all 256 values nearly all of its names
        // differ; over 16 low and 16 high values there are at most 4096.
        const uint8_t keep = kind == "alternating" ? 0x7F : 0x0F;
        Bytes t = testdata::randomBytes(seed, n);
        for (size_t i = 0; i < n; ++i)
            t[i] = static_cast<uint8_t>((t[i] & keep) | (i % 2 == 0 ? 0x80 : 0));
        return t;
    }
    ADD_FAILURE() << "no block kind " << kind;
    return {};
}

std::vector<uint32_t> descending(uint32_t n) {
    std::vector<uint32_t> v(n);
    for (uint32_t k = 0; k < n; ++k) v[k] = n - 1 - k;
    return v;
}

}  // namespace

TEST(SuffixArrayExamples, Banana) {
    EXPECT_EQ(sortedSuffixes(bytesOf("banana")), (std::vector<uint32_t>{5, 3, 1, 0, 4, 2}));
}

TEST(SuffixArrayExamples, Abracadabra) {
    EXPECT_EQ(sortedSuffixes(bytesOf("abracadabra")),
              (std::vector<uint32_t>{10, 7, 0, 3, 5, 8, 1, 4, 6, 9, 2}));
}

TEST(SuffixArrayExamples, OneByte) {
    EXPECT_EQ(sortedSuffixes(Bytes{0x41}), (std::vector<uint32_t>{0}));
    EXPECT_EQ(sortedSuffixes(Bytes{0x00}), (std::vector<uint32_t>{0}));
    EXPECT_EQ(sortedSuffixes(Bytes{0xFF}), (std::vector<uint32_t>{0}));
}

TEST(SuffixArrayExamples, BytesCompareUnsigned) {
    EXPECT_EQ(sortedSuffixes(Bytes{0x80, 0x01}), (std::vector<uint32_t>{1, 0}));
    EXPECT_EQ(sortedSuffixes(Bytes{0x01, 0x80}), (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(sortedSuffixes(Bytes{0xFF, 0x7F, 0x80, 0x00, 0xFE}),
              (std::vector<uint32_t>{3, 1, 2, 4, 0}));
}

TEST(SuffixArrayExamples, EndOfBlockSortsBelowZeroByte) {
    EXPECT_EQ(sortedSuffixes(Bytes{0x00, 0x00}), (std::vector<uint32_t>{1, 0}));
    EXPECT_EQ(sortedSuffixes(Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), descending(6));
}

TEST(SuffixArrayExamples, ShortRepeatedBlocks) {
    EXPECT_EQ(sortedSuffixes(bytesOf("aa")), (std::vector<uint32_t>{1, 0}));
    EXPECT_EQ(sortedSuffixes(bytesOf("aaa")), (std::vector<uint32_t>{2, 1, 0}));
    EXPECT_EQ(sortedSuffixes(bytesOf("abab")), (std::vector<uint32_t>{2, 0, 3, 1}));
    EXPECT_EQ(sortedSuffixes(bytesOf("baa")), (std::vector<uint32_t>{2, 1, 0}));
    EXPECT_EQ(sortedSuffixes(bytesOf("abaa")), (std::vector<uint32_t>{3, 2, 0, 1}));
    EXPECT_EQ(sortedSuffixes(bytesOf("aab")), (std::vector<uint32_t>{0, 1, 2}));
}

TEST(SuffixArrayExamples, EqualBytesSortByIncreasingLength) {
    for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 16u, 17u, 100u, 1000u, 4097u}) {
        for (uint8_t b : {uint8_t{0}, uint8_t{'a'}, uint8_t{255}}) {
            EXPECT_EQ(sortedSuffixes(Bytes(n, b)), descending(n)) << "n=" << n << " byte=" << int(b);
        }
    }
}

TEST(SuffixArrayExamples, AllByteValues) {
    Bytes t(256);
    std::iota(t.begin(), t.end(), uint8_t{0});
    std::vector<uint32_t> up(256);
    std::iota(up.begin(), up.end(), 0u);
    EXPECT_EQ(sortedSuffixes(t), up);
    std::reverse(t.begin(), t.end());
    EXPECT_EQ(sortedSuffixes(t), descending(256));
}

TEST(SuffixArrayReference, EveryShortBlockOverTwoSymbols) {
    // Every block of length 1..12 over {a, b}: all the ways suffixes can be
    // prefixes of one another at short lengths, on both initial-sort paths.
    for (uint32_t n = 1; n <= 12; ++n) {
        for (uint32_t bits = 0; bits < (1u << n); ++bits) {
            Bytes t(n);
            for (uint32_t i = 0; i < n; ++i) t[i] = (bits >> i) & 1 ? 'b' : 'a';
            const std::vector<uint32_t> ref = referenceSuffixArray(t);
            for (const unsigned threads : kThreadCounts) {
                ASSERT_EQ(sortedSuffixes(t, threads), ref)
                    << "n=" << n << " bits=" << bits << " threads=" << threads;
            }
        }
    }
}

TEST(SuffixArrayReference, SeededRandomBlocks) {
    testdata::Rng rng(20240501);
    for (uint64_t seed = 0; seed < 3000; ++seed) {
        const size_t n = 1 + rng.below(seed % 10 == 0 ? 4000 : 600);
        Bytes t;
        switch (seed % 6) {
            case 0:
                t = testdata::randomBytes(seed, n);
                break;
            case 1:
                t = testdata::skewedBytes(seed, n, 1 + rng.below(8));
                break;
            case 2:
                t = testdata::runsBytes(seed, n, 1 + rng.below(4), 1 + rng.below(12));
                break;
            case 3:
                t = testdata::textLike(seed, n);
                break;
            case 4:
                t = testdata::skewedBytes(seed, n, 2);
                break;
            default:
                t = testdata::mixedBlock(seed, n);
                break;
        }
        ASSERT_EQ(sortedSuffixes(t), referenceSuffixArray(t)) << "seed=" << seed << " n=" << n;
    }
}

TEST(SuffixArrayReference, PeriodicAndFibonacciBlocks) {
    testdata::Rng rng(77);
    for (uint32_t round = 0; round < 200; ++round) {
        const size_t n = 1 + rng.below(700);
        const Bytes pattern = testdata::skewedBytes(round, 1 + rng.below(9), 3);
        const Bytes t = testdata::repeatedPattern(pattern, n);
        ASSERT_EQ(sortedSuffixes(t), referenceSuffixArray(t)) << "round=" << round;
    }
    for (size_t n : {1u, 2u, 3u, 5u, 8u, 13u, 100u, 610u, 987u, 1000u}) {
        const Bytes t = testdata::fibonacciString(n);
        ASSERT_EQ(sortedSuffixes(t), referenceSuffixArray(t)) << "n=" << n;
    }
}

TEST(SuffixArrayReference, LongBlocksAgainstDoublingReference) {
    // Random, skewed, periodic and run-heavy blocks up to 100000 bytes: long
    // LMS substrings, many equal ones, reduced strings sorted by recursion,
    // by the doubling refinement, and with their bucket table outside the
    // array (alternating16).
    struct Row {
        const char* kind;
        size_t n;
    };
    const Row rows[] = {{"random", 100000},        {"skewed2", 100000},  {"skewed5", 65537},
                        {"periodic", 100000},      {"periodic", 99999},  {"runs", 100000},
                        {"runs", 77777},           {"text", 100000},     {"fibonacci", 100000},
                        {"random", 12345},         {"periodic", 4097},   {"alternating", 100000},
                        {"alternating16", 100000}, {"alternating16", 77}};
    uint64_t seed = 900;
    for (const Row& row : rows) {
        const Bytes t = blockOfKind(row.kind, seed++, row.n);
        const std::vector<uint32_t> ref = doublingReference(t);
        for (const unsigned threads : kThreadCounts) {
            ASSERT_EQ(sortedSuffixes(t, threads), ref)
                << row.kind << " n=" << row.n << " threads=" << threads;
        }
    }
}

TEST(SuffixArrayReference, CheckerRejectsWrongOrders) {
    // The linear checker used on the large blocks must itself catch faults.
    const Bytes t = bytesOf("mississippi");
    std::vector<uint32_t> sa = referenceSuffixArray(t);
    EXPECT_TRUE(isSuffixArrayOf(t, sa));
    std::swap(sa[3], sa[4]);
    EXPECT_FALSE(isSuffixArrayOf(t, sa));
    std::swap(sa[3], sa[4]);
    sa[0] = sa[1];
    EXPECT_FALSE(isSuffixArrayOf(t, sa));
    EXPECT_FALSE(isSuffixArrayOf(bytesOf("aaaa"), {0, 1, 2, 3}));
}

TEST(SuffixArrayLarge, CorpusFiles) {
    const auto files = testdata::corpusFiles();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << testdata::corpusDir();
    for (const auto& file : files) {
        Bytes t = testdata::readFile(file);
        if (t.size() > 200000) t.resize(200000);
        if (t.empty()) continue;
        EXPECT_TRUE(isSuffixArrayOf(t, sortedSuffixes(t))) << file;
    }
}

// Blocks that drive a naive recursive ternary split thousands of levels deep.
TEST(SuffixArrayLarge, AdversarialBlocksDoNotExhaustTheStack) {
    constexpr size_t kSize = 1 << 20;
    {
        const Bytes t(kSize, 'x');
        EXPECT_EQ(sortedSuffixes(t), descending(kSize));
    }
    for (const std::string pattern : {"ab", "abc"}) {
        const Bytes t = testdata::repeatedPattern(bytesOf(pattern), kSize);
        EXPECT_TRUE(isSuffixArrayOf(t, sortedSuffixes(t))) << pattern;
    }
    {
        const Bytes t = testdata::repeatedPattern(testdata::randomBytes(5, 1000), kSize);
        EXPECT_TRUE(isSuffixArrayOf(t, sortedSuffixes(t)));
    }
    {
        const Bytes t = testdata::fibonacciString(kSize);
        EXPECT_TRUE(isSuffixArrayOf(t, sortedSuffixes(t)));
    }
}

// Blocks past 2^18 entries whose reduced strings reach each way the
// refinement splits a group: long repeats whose groups of three or four
// members split only after many passes (and then mostly into sorted places),
// groups too large for the working copy of a split, groups whose keys
// already stand in rising or falling order, and text whose groups split into
// many parts at once.
namespace {

// Checks the suffix array of a large block with the linear checker.
void expectRefinedLargeBlock(const Bytes& t, const std::string& what) {
    EXPECT_TRUE(isSuffixArrayOf(t, sortedSuffixes(t))) << what;
}

// `copies` copies of `chunk`, each later copy with a few bytes changed, so
// that suffixes agree with their neighbours in other copies for long but
// different stretches.
Bytes repeatsWithEdits(const Bytes& chunk, uint32_t copies, uint64_t seed) {
    testdata::Rng rng(seed);
    Bytes t;
    for (uint32_t c = 0; c < copies; ++c) {
        Bytes copy = chunk;
        for (uint32_t e = 0; c > 0 && e < 3; ++e) {
            copy[rng.below(static_cast<uint32_t>(copy.size()))] ^= 0x20;
        }
        t.insert(t.end(), copy.begin(), copy.end());
    }
    return t;
}

}  // namespace

TEST(SuffixArrayLarge, LongRepeatsSplitLate) {
    const Bytes text = testdata::textLike(11, 70000);
    expectRefinedLargeBlock(repeatsWithEdits(text, 4, 1), "text x4 with edits");
    // Exact copies: every group keeps three or four members until the step
    // reaches the copy length, then falls apart into sorted places.
    expectRefinedLargeBlock(testdata::repeatedPattern(text, 4 * 70000 + 123), "text x4");
    expectRefinedLargeBlock(repeatsWithEdits(testdata::randomBytes(12, 30000), 10, 2), "random x10");
}

TEST(SuffixArrayLarge, GroupLargerThanTheWorkingCopy) {
    // "abcd" followed by four random bytes, 40000 times: one group of 40000
    // members on the first pass, with scattered keys, next to groups of a
    // few members.
    const Bytes tail = testdata::randomBytes(13, 4 * 40000);
    Bytes t;
    for (uint32_t k = 0; k < 40000; ++k) {
        t.insert(t.end(), {'a', 'b', 'c', 'd'});
        t.insert(t.end(), tail.begin() + 4 * k, tail.begin() + 4 * k + 4);
    }
    expectRefinedLargeBlock(t, "abcd + random");
    // The same with only 16 different tails: the large group splits into
    // parts with many equal keys.
    for (uint32_t k = 0; k < 40000; ++k) {
        std::copy_n(tail.begin() + 4 * (k % 16), 4, t.begin() + 8 * k + 4);
    }
    expectRefinedLargeBlock(t, "abcd + 16 tails");
}

TEST(SuffixArrayLarge, GroupsWithKeysInOrder) {
    // Short periods give groups of thousands of members whose keys rise or
    // fall with the position; longer ones many groups of a few hundred.
    for (const uint32_t period : {5u, 7u, 64u, 1000u, 3000u}) {
        const Bytes pattern = testdata::randomBytes(period, period);
        expectRefinedLargeBlock(testdata::repeatedPattern(pattern, 300000),
                                "period " + std::to_string(period));
    }
    expectRefinedLargeBlock(Bytes(300000, 0), "zeros");
    expectRefinedLargeBlock(testdata::repeatedPattern(bytesOf("ab"), 300001), "ab");
}

// Bytes from 128..255 and 0..127 in turn: every low byte starts an LMS
// suffix (nearly half the positions), and almost all LMS substrings differ,
// so the reduced string has more distinct names than the array has free
// room and than the sorter's own bucket table holds: it is sorted by prefix
// doubling, on blocks large enough for the passes shared among threads.
TEST(SuffixArrayLarge, ReducedStringTooLargeForBucketTables) {
    for (const size_t n : {size_t{1} << 20, size_t{1500000}, size_t{1500001}}) {
        const Bytes t = blockOfKind("alternating", n, n);
        for (const unsigned threads : {1u, 2u}) {
            EXPECT_TRUE(isSuffixArrayOf(t, suffixArrayOf(t.data(), static_cast<uint32_t>(n), threads)))
                << "n=" << n << " threads=" << threads;
        }
    }
}

TEST(SuffixArrayLarge, TextSplitsIntoManyParts) {
    expectRefinedLargeBlock(testdata::textLike(14, 400000), "text");
    expectRefinedLargeBlock(testdata::skewedBytes(15, 400000, 3), "skewed over 3 symbols");
    expectRefinedLargeBlock(testdata::mixedBlock(16, 400000), "mixed");
}

// The refinement on a reduced string of its own: symbols 0..alphabet-1,
// order grouped by the first symbol, group numbers the bucket ends.
TEST(PrefixDoublingRefine, ReducedStringsEndWithOneMarkerAndFinalRanks) {
    for (uint64_t seed = 0; seed < 60; ++seed) {
        const uint32_t alphabet = 1 + seed % 5;
        const uint32_t n = static_cast<uint32_t>(1 + seed * 97 % 5000);
        const Bytes t = seed % 3 == 0 ? testdata::repeatedPattern(
                                            testdata::skewedBytes(seed, 1 + seed % 7, alphabet), n)
                                      : testdata::skewedBytes(seed, n, alphabet);
        std::vector<uint32_t> order(n + 1);
        std::vector<uint32_t> group(n + 1);
        std::vector<uint32_t> ends(256, 0);
        for (uint8_t c : t) ++ends[c];
        uint32_t sum = 1;
        for (uint32_t& e : ends) {
            sum += e;
            e = sum;
        }
        std::vector<uint32_t> fill(ends);
        for (uint32_t p = n; p-- > 0;) {
            order[--fill[t[p]]] = p;
            group[p] = ends[t[p]];
        }
        order[0] = n;
        group[n] = 1;
        PrefixDoubling sorter;
        sorter.attach(order.data(), group.data(), n + 1);
        sorter.refine(1);
        ASSERT_EQ(order[0], kRun + n + 1) << "seed " << seed;
        const std::vector<uint32_t> ref = fullReferenceOrder(t);
        for (uint32_t k = 0; k <= n; ++k)
            ASSERT_EQ(group[ref[k]], k + 1) << "seed " << seed << " place " << k;
    }
}

TEST(SuffixSorterTake, TransformMatchesSuffixArray) {
    for (uint64_t seed = 0; seed < 200; ++seed) {
        const Bytes t = testdata::mixedBlock(seed, 1 + (seed * 37) % 3000);
        const uint32_t n = static_cast<uint32_t>(t.size());
        const std::vector<uint32_t> sa = referenceSuffixArray(t);
        Bytes expected(n);
        uint32_t expectedIndex = n;
        for (uint32_t k = 0; k < n; ++k) {
            expected[k] = sa[k] == 0 ? t[n - 1] : t[sa[k] - 1];
            if (sa[k] == 0) expectedIndex = k;
        }
        Bytes block = t;
        EXPECT_EQ(bwtInPlace(block.data(), n), expectedIndex) << "seed " << seed;
        EXPECT_EQ(block, expected) << "seed " << seed;
    }
}

// The passes shared by several threads give the same suffix array and
// transform as one thread: on blocks whose LMS substrings are mostly
// distinct (random), mostly equal (periodic, "ab": one name, so every part
// but the first names nothing new), with runs, and with more threads asked
// for than there are parts.
TEST(SuffixSorterThreads, SameResultForAnyThreadCount) {
    struct Row {
        const char* kind;
        size_t n;
        unsigned threads;
    };
    // Blocks of 1 MiB and more, whose passes over the LMS suffixes (over
    // 2^16 of them) are shared.
    constexpr size_t kShared = size_t{1} << 20;
    const Row rows[] = {{"text", kShared, 2},
                        {"text", kShared + 3, 5},
                        {"random", kShared + 100000, 3},
                        {"skewed5", kShared + 50000, 4},
                        {"periodic", kShared + 7, 2},
                        {"ab", kShared, 2},
                        {"runs", kShared + 20000, 64},
                        {"text", kShared + 250000, 2}};
    uint64_t seed = 40;
    for (const Row& row : rows) {
        const Bytes t = blockOfKind(row.kind, seed++, row.n);
        const uint32_t n = static_cast<uint32_t>(t.size());
        Bytes alone = t;
        const uint32_t aloneIndex = bwtInPlace(alone.data(), n, 1);
        Bytes shared = t;
        EXPECT_EQ(bwtInPlace(shared.data(), n, row.threads), aloneIndex) << row.kind << " n=" << n;
        EXPECT_EQ(shared, alone) << row.kind << " n=" << n << " threads=" << row.threads;
        EXPECT_EQ(suffixArrayOf(t.data(), n, row.threads), suffixArrayOf(t.data(), n, 1))
            << row.kind << " n=" << n << " threads=" << row.threads;
    }
}
