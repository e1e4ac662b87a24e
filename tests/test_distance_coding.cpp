// Distance coding: the worked value sequences, the encoder against a direct
// (slow) evaluation of the value-sequence definition, round trips over seeded
// blocks and the corpus, and damaged sequences, which must either decode into
// the L bytes or be reported, never leave the block nor loop on a huge count.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/Exception.h"
#include "tests/support/DataGen.h"
#include "transform/DistanceCoding.h"

namespace {

using testdata::Bytes;
using Values = std::vector<uint32_t>;

const std::string kInvalid = "Error in compressed file (invalid DC data)";

// The value sequence straight from its definition: first occurrences ranked
// among the positions left by smaller byte values, then per run the positions
// up to the next run of the same byte that are not the first run start after
// it of some other byte; trailing zeros dropped.
Values referenceDc(const Bytes& x) {
    const size_t L = x.size();
    Values seq;
    std::array<long, 256> first;
    first.fill(-1);
    for (size_t i = 0; i < L; ++i) {
        if (first[x[i]] < 0) first[x[i]] = static_cast<long>(i);
    }
    for (int b = 0; b < 256; ++b) {
        if (first[b] < 0) {
            seq.push_back(0);
            continue;
        }
        long smallerBefore = 0;
        for (int b2 = 0; b2 < b; ++b2) {
            if (first[b2] >= 0 && first[b2] < first[b]) ++smallerBefore;
        }
        seq.push_back(static_cast<uint32_t>(first[b] + 1 - smallerBefore));
    }
    for (size_t s = 0; s < L;) {
        size_t e = s;
        while (e + 1 < L && x[e + 1] == x[s]) ++e;
        const uint8_t c = x[s];
        // First position after e of every byte value; for c that is s'.
        std::array<long, 256> firstAfter;
        firstAfter.fill(-1);
        for (size_t q = L; q-- > e + 1;) firstAfter[x[q]] = static_cast<long>(q);
        if (firstAfter[c] < 0) {
            seq.push_back(0);
        } else {
            std::vector<bool> inK(L, false);
            for (int b = 0; b < 256; ++b) {
                if (b != c && firstAfter[b] >= 0) inK[static_cast<size_t>(firstAfter[b])] = true;
            }
            uint32_t value = 0;
            for (long q = static_cast<long>(e) + 1; q <= firstAfter[c]; ++q) {
                if (!inK[static_cast<size_t>(q)]) ++value;
            }
            seq.push_back(value);
        }
        s = e + 1;
    }
    while (!seq.empty() && seq.back() == 0) seq.pop_back();
    return seq;
}

Values encode(const Bytes& x) {
    DcEncoder encoder;
    encoder.encode(x.data(), x.data() + x.size());
    EXPECT_EQ(encoder.capacity, 256 + x.size());
    EXPECT_LE(encoder.begin, encoder.end);
    EXPECT_LE(encoder.end, encoder.capacity);
    return Values(encoder.data(), encoder.data() + encoder.count());
}

Values zeros(size_t n) { return Values(n, 0); }

Values concat(std::initializer_list<Values> parts) {
    Values out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

size_t runCount(const Bytes& x) {
    size_t runs = 0;
    for (size_t i = 0; i < x.size(); ++i) runs += (i == 0 || x[i] != x[i - 1]) ? 1 : 0;
    return runs;
}

struct DecodeResult {
    Bytes bytes;
    std::string error;
    uint64_t pulled = 0;
};

// Whether this processor runs PDEP at all (fast or not): BMI2.
bool processorHasBitDeposit() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    return __builtin_cpu_supports("bmi2");
#else
    return false;
#endif
}

// One decoder inverseDc can be told to run, with the features it may use.
struct DcKernelChoice {
    const char* name;
    DcInverseKernel kernel;
    CpuFeatures features;
};

// The plain kernel first (the reference), then every faster one.
std::vector<DcKernelChoice> dcKernelChoices() {
    std::vector<DcKernelChoice> choices = {
        {"plain", DcInverseKernel::Plain, kPortableCpuFeatures},
        {"automatic", DcInverseKernel::Automatic, kPortableCpuFeatures},
        {"bit map", DcInverseKernel::BitMap, kPortableCpuFeatures}};
    if (processorHasBitDeposit()) {
        CpuFeatures deposit;
        deposit.fastBitDeposit = true;
        choices.push_back({"bit map with PDEP", DcInverseKernel::BitMap, deposit});
    }
    return choices;
}

// Decodes with a source that yields values[i] for i < size and `beyond`
// afterwards, so n may exceed the list (damaged counts). Every decoder
// inverseDc can run must give the plain kernel's result: the same bytes, or
// the same message after pulling the same values.
DecodeResult decode(const Values& values, uint32_t n, uint32_t L, uint32_t beyond = 0) {
    std::vector<DecodeResult> results;
    for (const DcKernelChoice& choice : dcKernelChoices()) {
        DecodeResult r;
        r.bytes.assign(L, 0xEE);
        auto next = [&]() -> uint32_t {
            const uint64_t i = r.pulled++;
            return i < values.size() ? values[i] : beyond;
        };
        try {
            inverseDc(next, n, L, r.bytes.data(), choice.features, choice.kernel);
        } catch (const Exception& e) {
            r.error = e.what();
        }
        if (!results.empty()) {
            EXPECT_EQ(r.error, results[0].error) << choice.name;
            EXPECT_EQ(r.pulled, results[0].pulled) << choice.name;
            if (r.error.empty()) {
                EXPECT_TRUE(r.bytes == results[0].bytes) << choice.name;
            }
        }
        results.push_back(std::move(r));
    }
    return results[0];
}

// Encodes, checks the sequence's stated properties, decodes and compares.
void roundTrip(const Bytes& x, const std::string& what) {
    const uint32_t L = static_cast<uint32_t>(x.size());
    const Values values = encode(x);
    ASSERT_LE(values.size(), 256 + runCount(x)) << what;
    if (L > 0) {
        ASSERT_FALSE(values.empty()) << what;
    }
    if (!values.empty()) {
        ASSERT_NE(values.back(), 0u) << what;
    }
    ASSERT_TRUE(std::all_of(values.begin(), values.end(), [&](uint32_t v) { return v <= L; })) << what;
    const DecodeResult r = decode(values, static_cast<uint32_t>(values.size()), L);
    ASSERT_EQ(r.error, "") << what;
    ASSERT_EQ(r.pulled, values.size()) << what;
    ASSERT_TRUE(r.bytes == x) << what;
}

Bytes letters(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes seededBlock(uint64_t seed, size_t maxSize) {
    testdata::Rng rng(seed);
    const size_t n = rng.below(static_cast<uint32_t>(maxSize) + 1);
    switch (seed % 6) {
        case 0:
            return testdata::mixedBlock(seed, n);
        case 1:
            return testdata::runsBytes(seed, n, 1 + rng.below(6), 1 + rng.below(20));
        case 2:
            return testdata::skewedBytes(seed, n, 1 + rng.below(256));
        case 3:
            return testdata::randomBytes(seed, n);
        case 4:
            return testdata::runsBytes(seed, n, 256, 1 + rng.below(100));
        default:
            return testdata::textLike(seed, n);
    }
}

#ifndef MORV_PLAIN_KERNELS
// The bit map finding bits by counting them in plain arithmetic, as it does
// on processors without a fast PDEP, and with PDEP where this processor has
// it (else counting too).
struct CountingMapDecoder : DcMapDecoder {
    CountingMapDecoder(uint32_t L, uint8_t* output) : DcMapDecoder(L, output, false) {}
};
struct DepositMapDecoder : DcMapDecoder {
    DepositMapDecoder(uint32_t L, uint8_t* output) : DcMapDecoder(L, output, processorHasBitDeposit()) {}
};
#endif

// A decoder of any kind for a block of L bytes. The bit map keeps the
// symbols of known run starts in the output, given here as `out`.
template <typename Decoder>
Decoder makeDecoder(uint32_t L, Bytes& out) {
    if constexpr (Decoder::keepsSymbolsInOutput) {
        out.assign(L, 0);
        return Decoder(L, out.data());
    } else {
        return Decoder(L);
    }
}

}  // namespace

TEST(DcEncode, WorkedExamples) {
    EXPECT_EQ(encode(letters("abab")), concat({zeros(97), {1, 1}, zeros(157), {1, 1}}));
    EXPECT_EQ(encode(letters("abab")).size(), 258u);
    EXPECT_EQ(encode(letters("aaabbb")), concat({zeros(97), {1, 3}}));
    EXPECT_EQ(encode(letters("ba")), concat({zeros(97), {2, 1}}));
    EXPECT_EQ(encode(letters("aaaa")), concat({zeros(97), {1}}));
    EXPECT_TRUE(encode({}).empty());
}

TEST(DcEncode, WorkedExamplesDecode) {
    for (const char* s : {"abab", "aaabbb", "ba", "aaaa", ""}) roundTrip(letters(s), s);
    // With n = 0 and L = 0 nothing is pulled or written.
    const DecodeResult r = decode({}, 0, 0);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.pulled, 0u);
    inverseDc([]() -> uint32_t { return 1; }, 0, 0, nullptr, kPortableCpuFeatures,
              DcInverseKernel::Plain);
}

TEST(DcEncode, BlockOfEqualBytesIsZerosThenOne) {
    for (int b : {0, 1, 97, 128, 254, 255}) {
        for (uint32_t L : {1u, 2u, 1000u}) {
            const Bytes x(L, static_cast<uint8_t>(b));
            EXPECT_EQ(encode(x), concat({zeros(static_cast<size_t>(b)), {1}})) << b << " " << L;
            roundTrip(x, "equal bytes");
        }
    }
}

TEST(DcEncode, SingleRunPerByteGivesOnlyFirstOccurrences) {
    testdata::Rng rng(99);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<uint8_t> present;
        const uint32_t top = trial == 0 ? 256 : 1 + rng.below(255);  // 255 absent unless trial 0
        for (uint32_t b = 0; b < top; ++b) {
            if (trial == 0 || rng.chance(30)) present.push_back(static_cast<uint8_t>(b));
        }
        if (present.empty()) present.push_back(static_cast<uint8_t>(top - 1));
        for (size_t i = present.size(); i > 1; --i) {
            std::swap(present[i - 1], present[rng.below(static_cast<uint32_t>(i))]);
        }
        Bytes x;
        for (uint8_t b : present) x.insert(x.end(), 1 + rng.below(5), b);

        const Values values = encode(x);
        const uint8_t largest = *std::max_element(present.begin(), present.end());
        EXPECT_EQ(values.size(), largest + 1u) << trial;
        if (trial != 0) {
            EXPECT_LT(values.size(), 256u);
        }
        EXPECT_EQ(values, referenceDc(x)) << trial;
        roundTrip(x, "single runs");
    }
}

TEST(DcEncode, MatchesTheDefinitionOnSmallBlocks) {
    for (uint64_t seed = 0; seed < 1500; ++seed) {
        const Bytes x = seededBlock(seed, 70);
        ASSERT_EQ(encode(x), referenceDc(x)) << seed;
    }
    // Hand-made shapes: alternations, nested repeats, a late newcomer.
    for (const char* s : {"abba", "abcabc", "aabbaabb", "abacabad", "zzzaz", "cba", "abcba"}) {
        EXPECT_EQ(encode(letters(s)), referenceDc(letters(s))) << s;
    }
}

TEST(DcRoundTrip, SeededBlocks) {
    for (uint64_t seed = 0; seed < 2500; ++seed) {
        roundTrip(seededBlock(seed, seed % 50 == 0 ? 20000 : 1500), "seed " + std::to_string(seed));
        if (HasFatalFailure()) return;
    }
}

TEST(DcRoundTrip, AllByteValues) {
    roundTrip(testdata::randomBytes(1, 200000), "random bytes");
    Bytes ascending(256), descending(256);
    for (int i = 0; i < 256; ++i) {
        ascending[i] = static_cast<uint8_t>(i);
        descending[i] = static_cast<uint8_t>(255 - i);
    }
    roundTrip(ascending, "0..255");
    roundTrip(descending, "255..0");
    roundTrip(testdata::repeatedPattern(descending, 5000), "255..0 repeated");
    roundTrip(testdata::runsBytes(3, 100000, 256, 3), "short runs of every byte");
}

TEST(DcRoundTrip, EitherSideOfTheDecoderChoice) {
    // Blocks with 191 and 192 byte values present take the list and the
    // bit map; skewed data adds jumps over many thousand positions.
    for (uint32_t present : {191u, 192u}) {
        Bytes x = testdata::runsBytes(present, 60000, present, 2);
        for (uint32_t b = 0; b < present; ++b) x[b * 7] = static_cast<uint8_t>(b);
        roundTrip(x, std::to_string(present) + " byte values");
        Bytes skewed = testdata::skewedBytes(present, 300000, 256);
        for (uint32_t b = 0; b < 256; ++b)
            skewed[b * 1000 + 17] = static_cast<uint8_t>(b < present ? b : 0);
        roundTrip(skewed, std::to_string(present) + " byte values, skewed");
    }
}

TEST(DcRoundTrip, CorpusFiles) {
    const auto files = testdata::corpusFiles();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << testdata::corpusDir();
    for (const auto& file : files) {
        roundTrip(testdata::readFile(file), file);
        if (HasFatalFailure()) return;
    }
}

TEST(DcDamage, FirstOccurrencePlacedOutsideTheBlock) {
    // L = 3: v = 4 for byte 0 names position 3.
    EXPECT_EQ(decode({4}, 1, 3).error, kInvalid);
    // v = 3 puts byte 0 at 2; byte 1's v = 3 is then pushed to 3.
    EXPECT_EQ(decode({3, 3}, 2, 3).error, kInvalid);
    // Any present byte in an empty block.
    EXPECT_EQ(decode({1}, 1, 0).error, kInvalid);
    // A value near 2^32 must not wrap around to a small position.
    EXPECT_EQ(decode({0xFFFFFFFFu}, 1, 10).error, kInvalid);
    EXPECT_EQ(decode({1, 0xFFFFFFFFu}, 2, 10).error, kInvalid);
}

TEST(DcDamage, NextRunPastTheEndOfTheBlock) {
    // "abba": a at 0, b at 1, the second a 2 unknown places after 1.
    const Values prefix = concat({zeros(97), {1, 1}, zeros(157)});
    const DecodeResult ok = decode(concat({prefix, {2}}), 257, 4);
    EXPECT_EQ(ok.error, "");
    EXPECT_EQ(ok.bytes, letters("abba"));
    EXPECT_EQ(decode(concat({prefix, {3}}), 257, 4).error, kInvalid);
    EXPECT_EQ(decode(concat({prefix, {0xFFFFFFFFu}}), 257, 4).error, kInvalid);
}

TEST(DcDamage, CandidateNearTheTopOfA32BitLengthDoesNotWrap) {
    // Entries at 0, 1 and 0xFFFFFFFA..0xFFFFFFFE of a block of 2^32 - 1
    // bytes: a jump of 0xFFFFFFFD from position 1 passes all five high
    // entries and lands at 2^32 + 3, beyond the block, not at 3.
    DcDecoder decoder(0xFFFFFFFFu);
    decoder.addFirstOccurrence(0, 1);
    for (uint32_t b = 1; b <= 5; ++b) decoder.addFirstOccurrence(b, 0xFFFFFFFAu);
    decoder.addFirstOccurrence(6, 1);
    EXPECT_THROW(decoder.nextRun(0xFFFFFFFDu), Exception);
}

TEST(DcDamage, NoLiveEntryOrNoRunAtTheStart) {
    // Nothing placed, but 5 bytes to fill.
    EXPECT_EQ(decode({}, 0, 5).error, kInvalid);
    EXPECT_EQ(decode(zeros(300), 300, 5).error, kInvalid);
    // Only byte 1, placed at position 1: nothing covers position 0.
    EXPECT_EQ(decode({0, 2}, 2, 3).error, kInvalid);
}

TEST(DcDamage, ValuesLeftOverOnceTheBlockIsFull) {
    const Values aaaa = concat({zeros(97), {1}});
    // One extra zero is still read while the last run is open, but no
    // encoder ends a sequence with 0: it drops the zeros at the end.
    DecodeResult r = decode(concat({aaaa, zeros(158), {0}}), 257, 4);
    EXPECT_EQ(r.error, kInvalid);
    EXPECT_EQ(decode(concat({aaaa, zeros(158), {1}}), 257, 4).error, kInvalid);
    EXPECT_EQ(decode(concat({zeros(97), {1, 0}}), 99, 4).error, kInvalid);
    EXPECT_EQ(decode(aaaa, 98, 4).bytes, letters("aaaa"));
    // A further value arrives with all 4 bytes written.
    r = decode(concat({aaaa, zeros(158), {0, 0}}), 258, 4);
    EXPECT_EQ(r.error, kInvalid);
    EXPECT_EQ(r.pulled, 257u);  // reported before the surplus value is taken
}

TEST(DcDamage, HugeCountsStopWithTheBlock) {
    const uint32_t n = std::numeric_limits<uint32_t>::max();
    for (uint32_t beyond : {0u, 1u, 2u, 7u, 0xFFFFFFFFu}) {
        for (uint32_t L : {0u, 1u, 10u, 1000u}) {
            const DecodeResult r = decode({}, n, L, beyond);
            EXPECT_EQ(r.error, kInvalid) << beyond << " " << L;
            EXPECT_LE(r.pulled, 256u + L) << beyond << " " << L;
        }
    }
    // A valid block followed by endless zeros.
    const Bytes x = letters("abracadabra");
    const DecodeResult r = decode(encode(x), n, static_cast<uint32_t>(x.size()), 0);
    EXPECT_EQ(r.error, kInvalid);
    EXPECT_LE(r.pulled, 256u + x.size());
}

template <typename Decoder>
void checkMisuseIsRejected() {
    Bytes out;
    Decoder decoder = makeDecoder<Decoder>(1000, out);
    EXPECT_THROW(decoder.addFirstOccurrence(256, 1), Exception);
    for (int i = 0; i < 256; ++i) decoder.addFirstOccurrence(0, 1);
    try {
        decoder.addFirstOccurrence(0, 1);  // a 257th entry
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), kInvalid);
    }

    Bytes out2;
    Decoder empty = makeDecoder<Decoder>(10, out2);
    EXPECT_THROW(empty.nextRun(0), Exception);
    Bytes out3;
    Decoder one = makeDecoder<Decoder>(10, out3);
    one.addFirstOccurrence(7, 1);
    // The last run has no later run of its byte to point at.
    EXPECT_THROW(one.nextRun(5), Exception);
    Bytes out4;
    Decoder last = makeDecoder<Decoder>(10, out4);
    last.addFirstOccurrence(7, 1);
    const DcRun run = last.nextRun(0);
    EXPECT_EQ(run.symbol, 7);
    EXPECT_EQ(run.length, 10u);
    EXPECT_THROW(last.nextRun(0), Exception);
}

TEST(DcDamage, DecoderRejectsMisuseOfItsEntries) {
    checkMisuseIsRejected<DcDecoder>();
#ifndef MORV_PLAIN_KERNELS
    checkMisuseIsRejected<DepositMapDecoder>();
    checkMisuseIsRejected<CountingMapDecoder>();
#endif
}

TEST(DcDamage, RandomValueSequencesDecodeOrFailCleanly) {
    testdata::Rng rng(2024);
    for (int trial = 0; trial < 4000; ++trial) {
        const uint32_t L = trial % 7 == 0 ? 0 : rng.below(trial % 5 == 0 ? 3000 : 120);
        uint32_t n;
        switch (rng.below(4)) {
            case 0:
                n = rng.below(300);
                break;
            case 1:
                n = 256 + rng.below(L + 10);
                break;
            case 2:
                n = std::numeric_limits<uint32_t>::max() - rng.below(3);
                break;
            default:
                n = static_cast<uint32_t>(rng.next() >> 32);
                break;
        }
        const uint32_t zeroShare = rng.below(101);
        Values values(256 + L + 8);
        for (auto& v : values) {
            switch (rng.chance(zeroShare) ? 0 : 1 + rng.below(3)) {
                case 0:
                    v = 0;
                    break;
                case 1:
                    v = 1 + rng.below(4);
                    break;
                case 2:
                    v = rng.below(L + 3);
                    break;
                default:
                    v = static_cast<uint32_t>(rng.next() >> 32);
                    break;
            }
        }
        const DecodeResult r = decode(values, n, L, static_cast<uint32_t>(rng.next()));
        ASSERT_TRUE(r.error.empty() || r.error == kInvalid) << trial;
        ASSERT_LE(r.pulled, std::min<uint64_t>(n, 256u + L)) << trial;
        if (r.error.empty()) {
            ASSERT_EQ(r.pulled, n) << trial;  // success means every value was used
        }
    }
}

// The runs a decoder gives for a value sequence (first occurrences, then run
// values, zeros once they run out, until L bytes are covered) and the message
// it stops with, if any.
template <typename Decoder>
std::pair<std::vector<std::pair<int, uint32_t>>, std::string> traceRuns(const Values& values,
                                                                        uint32_t L) {
    std::vector<std::pair<int, uint32_t>> runs;
    Bytes out;
    try {
        Decoder decoder = makeDecoder<Decoder>(L, out);
        size_t i = 0;
        for (; i < values.size() && i < 256; ++i)
            decoder.addFirstOccurrence(static_cast<uint32_t>(i), values[i]);
        for (uint64_t written = 0; written < L; ++i) {
            const DcRun run = decoder.nextRun(i < values.size() ? values[i] : 0);
            runs.emplace_back(run.symbol, run.length);
            written += run.length;
        }
    } catch (const Exception& e) {
        return {runs, e.what()};
    }
    return {runs, ""};
}

#ifndef MORV_PLAIN_KERNELS
TEST(DcDamage, ListAndBitMapAgreeRunForRun) {
    // inverseDc uses the plain list or, where most byte values occur, the bit
    // map; the map finds bits with PDEP where the processor runs it fast and
    // by counting otherwise.
    // Given the same values, valid or damaged, all of them must give the
    // plain kernel's runs and stop at the same point.
    testdata::Rng rng(4242);
    for (uint64_t seed = 0; seed < 600; ++seed) {
        const Bytes x = seededBlock(seed, seed % 10 == 0 ? 20000 : 600);
        const uint32_t L = static_cast<uint32_t>(x.size());
        Values values = encode(x);
        const bool damaged = seed % 3 == 1 && !values.empty();
        if (damaged) values[rng.below(static_cast<uint32_t>(values.size()))] = rng.below(L + 3);
        const auto map = traceRuns<DepositMapDecoder>(values, L);
        const auto counting = traceRuns<CountingMapDecoder>(values, L);
        const auto wide = traceRuns<DcDecoder>(values, L);
        ASSERT_EQ(map.first, wide.first) << seed;
        ASSERT_EQ(map.second, wide.second) << seed;
        ASSERT_EQ(counting.first, wide.first) << seed;
        ASSERT_EQ(counting.second, wide.second) << seed;
        if (!damaged) {
            ASSERT_EQ(wide.second, "") << seed;
            Bytes rebuilt;
            for (const auto& [symbol, length] : wide.first)
                rebuilt.insert(rebuilt.end(), length, static_cast<uint8_t>(symbol));
            ASSERT_TRUE(rebuilt == x) << seed;
        }
    }
}
#endif

TEST(DcDamage, CorruptedRealSequencesDecodeOrFailCleanly) {
    testdata::Rng rng(77);
    for (uint64_t seed = 0; seed < 1500; ++seed) {
        const Bytes x = seededBlock(seed, 400);
        const uint32_t L = static_cast<uint32_t>(x.size());
        Values values = encode(x);
        if (values.empty()) continue;
        const uint32_t hits = 1 + rng.below(3);
        for (uint32_t h = 0; h < hits; ++h) {
            uint32_t& v = values[rng.below(static_cast<uint32_t>(values.size()))];
            v = rng.chance(50) ? v + 1 - rng.below(3) : rng.below(L + 2);
        }
        uint32_t n = static_cast<uint32_t>(values.size());
        if (rng.chance(30)) n = n + rng.below(5) - 2;
        const DecodeResult r = decode(values, n, L, rng.below(4));
        ASSERT_TRUE(r.error.empty() || r.error == kInvalid) << seed;
        ASSERT_LE(r.pulled, std::min<uint64_t>(n, 256u + L)) << seed;
    }
}
