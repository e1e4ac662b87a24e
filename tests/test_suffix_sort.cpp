// Suffix sorter: suffix arrays against a plain reference sort and a linear
// order checker, the state left by the initial sorts against the reference
// grouping, the worked edge cases, and adversarial blocks that would exhaust
// the call stack of a recursive ternary split.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "tests/support/DataGen.h"
#include "transform/SuffixSorter.h"

namespace {

using testdata::Bytes;

constexpr uint32_t kRun = 0x80000000u;

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::vector<uint32_t> sortedSuffixes(const Bytes& t) {
    return suffixArrayOf(t.data(), static_cast<uint32_t>(t.size()));
}

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
            return ::testing::AssertionFailure() << "suffixes " << a << " and " << b << " out of order at " << k;
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

// First `depth` symbols of suffix p; a suffix with fewer bytes gets a value
// no real prefix has (the end symbol makes it unique).
std::string prefixOf(const Bytes& t, uint32_t p, uint32_t depth) {
    if (p + depth > t.size()) return "short:" + std::to_string(p);
    return std::string(t.begin() + p, t.begin() + p + depth);
}

// Checks the sorter state against the reference grouping at `depth`: group
// numbers are the index just past each group, unsorted groups hold their
// members, run markers cover only places that are alone in their group.
// Unmarked groups of one are allowed when `markersSet` is false.
void expectGroupedState(const SuffixSorter& sorter, const Bytes& t, uint32_t depth, bool markersSet) {
    const uint32_t n = static_cast<uint32_t>(t.size()) + 1;
    ASSERT_EQ(sorter.size(), n);
    const std::vector<uint32_t> ref = fullReferenceOrder(t);
    std::vector<uint32_t> groupEnd(n);
    for (uint32_t g = 0; g < n;) {
        uint32_t e = g + 1;
        while (e < n && prefixOf(t, ref[e], depth) == prefixOf(t, ref[g], depth)) ++e;
        for (uint32_t k = g; k < e; ++k) groupEnd[k] = e;
        g = e;
    }
    for (uint32_t k = 0; k < n; ++k) EXPECT_EQ(sorter.group()[ref[k]], groupEnd[k]) << "place " << k;

    for (uint32_t i = 0; i < n;) {
        const uint32_t entry = sorter.order()[i];
        if (entry & kRun) {
            const uint32_t len = entry & 0x7FFFFFFFu;
            ASSERT_GE(len, 1u);
            ASSERT_LE(i + len, n);
            for (uint32_t k = i; k < i + len; ++k) EXPECT_EQ(groupEnd[k], k + 1) << "marked place " << k;
            i += len;
            continue;
        }
        const uint32_t e = groupEnd[i];
        if (e == i + 1) {
            EXPECT_FALSE(markersSet) << "unmarked single place " << i;
        }
        std::vector<uint32_t> members(sorter.order() + i, sorter.order() + e);
        std::vector<uint32_t> expected(ref.begin() + i, ref.begin() + e);
        std::sort(members.begin(), members.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(members, expected) << "group at " << i;
        i = e;
    }
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
            ASSERT_EQ(sortedSuffixes(t), referenceSuffixArray(t)) << "n=" << n << " bits=" << bits;
        }
    }
}

TEST(SuffixArrayReference, SeededRandomBlocks) {
    testdata::Rng rng(20240501);
    for (uint64_t seed = 0; seed < 3000; ++seed) {
        const size_t n = 1 + rng.below(seed % 10 == 0 ? 4000 : 600);
        Bytes t;
        switch (seed % 6) {
            case 0: t = testdata::randomBytes(seed, n); break;
            case 1: t = testdata::skewedBytes(seed, n, 1 + rng.below(8)); break;
            case 2: t = testdata::runsBytes(seed, n, 1 + rng.below(4), 1 + rng.below(12)); break;
            case 3: t = testdata::textLike(seed, n); break;
            case 4: t = testdata::skewedBytes(seed, n, 2); break;
            default: t = testdata::mixedBlock(seed, n); break;
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

// Blocks past 2^18 entries, where the refinement passes read ahead, shaped
// to reach each way a group can be split: long repeats whose groups of three
// or four members split only after many passes (and then mostly into sorted
// places), groups too large for the working copy of a split, groups whose
// keys already stand in rising or falling order, and text whose groups split
// into many parts at once.
namespace {

// Runs the sorter by hand on a large block and checks the end state: one
// marker over the whole array, the group numbers a permutation of the
// places, and the suffix array they give the sorted order of the suffixes.
void expectRefinedLargeBlock(const Bytes& t, const std::string& what) {
    const uint32_t n = static_cast<uint32_t>(t.size());
    SuffixSorter sorter;
    sorter.initByPrefix(t.data(), n, 4);
    sorter.refine(4);
    ASSERT_EQ(sorter.order()[0], kRun + n + 1) << what;
    std::vector<bool> seen(n + 1, false);
    for (uint32_t p = 0; p <= n; ++p) {
        const uint32_t g = sorter.group()[p];
        ASSERT_TRUE(g >= 1 && g <= n + 1 && !seen[g - 1]) << what << ": position " << p;
        seen[g - 1] = true;
    }
    EXPECT_EQ(sorter.group()[n], 1u) << what;
    EXPECT_TRUE(isSuffixArrayOf(t, sorter.takeSuffixArray())) << what;
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
    expectRefinedLargeBlock(repeatsWithEdits(testdata::randomBytes(12, 30000), 10, 2),
                            "random x10");
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

TEST(SuffixArrayLarge, TextSplitsIntoManyParts) {
    expectRefinedLargeBlock(testdata::textLike(14, 400000), "text");
    expectRefinedLargeBlock(testdata::skewedBytes(15, 400000, 3), "skewed over 3 symbols");
    expectRefinedLargeBlock(testdata::mixedBlock(16, 400000), "mixed");
}

TEST(SuffixSorterState, PrefixSortGroupsByFourSymbols) {
    for (uint64_t seed = 0; seed < 60; ++seed) {
        const Bytes t = seed % 3 == 0   ? testdata::skewedBytes(seed, 5 + seed * 7, 2)
                        : seed % 3 == 1 ? testdata::runsBytes(seed, 5 + seed * 5, 3, 6)
                                        : testdata::textLike(seed, 5 + seed * 11);
        SuffixSorter sorter;
        sorter.initByPrefix(t.data(), static_cast<uint32_t>(t.size()), 4);
        expectGroupedState(sorter, t, 4, true);
    }
}

TEST(SuffixSorterState, FiveByteBlockMarksShortSuffixesAtOnce) {
    const Bytes t = bytesOf("aaaaa");
    SuffixSorter sorter;
    sorter.initByPrefix(t.data(), 5, 4);
    ASSERT_EQ(sorter.size(), 6u);
    const uint32_t* order = sorter.order();
    const uint32_t* group = sorter.group();
    // End suffix and positions 4, 3, 2 are sorted places, each with a marker;
    // positions 0 and 1 share "aaaa" and stand in increasing position order.
    EXPECT_EQ(order[0], kRun + 1);
    EXPECT_EQ(order[1], kRun + 1);
    EXPECT_EQ(order[2], kRun + 1);
    EXPECT_EQ(order[3], kRun + 1);
    EXPECT_EQ(order[4], 0u);
    EXPECT_EQ(order[5], 1u);
    EXPECT_EQ(group[5], 1u);
    EXPECT_EQ(group[4], 2u);
    EXPECT_EQ(group[3], 3u);
    EXPECT_EQ(group[2], 4u);
    EXPECT_EQ(group[1], 6u);
    EXPECT_EQ(group[0], 6u);
}

TEST(SuffixSorterState, FirstByteSortSetsBucketEndsWithoutMarkers) {
    for (const std::string s : {"a", "ba", "aa", "aab", "abab", "dcba", "zzzz"}) {
        const Bytes t = bytesOf(s);
        SuffixSorter sorter;
        sorter.initByFirstByte(t.data(), static_cast<uint32_t>(t.size()));
        ASSERT_EQ(sorter.size(), t.size() + 1);
        EXPECT_EQ(sorter.order()[0], t.size());
        EXPECT_EQ(sorter.group()[t.size()], 1u);
        for (uint32_t i = 0; i <= t.size(); ++i) EXPECT_EQ(sorter.order()[i] & kRun, 0u) << s;
        expectGroupedState(sorter, t, 1, false);
    }
}

TEST(SuffixSorterState, RefineEndsWithOneMarkerAndFinalRanks) {
    for (uint64_t seed = 0; seed < 40; ++seed) {
        const Bytes t = testdata::mixedBlock(seed, 1 + seed * 13);
        const uint32_t n = static_cast<uint32_t>(t.size());
        SuffixSorter sorter;
        if (n > 4) {
            sorter.initByPrefix(t.data(), n, 4);
            sorter.refine(4);
        } else {
            sorter.initByFirstByte(t.data(), n);
            sorter.refine(1);
        }
        ASSERT_EQ(sorter.order()[0], kRun + n + 1);
        const std::vector<uint32_t> ref = fullReferenceOrder(t);
        for (uint32_t k = 0; k <= n; ++k) ASSERT_EQ(sorter.group()[ref[k]], k + 1) << "seed " << seed;
        const std::vector<uint32_t> sa = sorter.takeSuffixArray();
        EXPECT_EQ(sa, std::vector<uint32_t>(ref.begin() + 1, ref.end()));
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
