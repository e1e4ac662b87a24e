// Adaptive arithmetic coder: the model against a plain frequency-array model,
// the encoder against a textbook integer coder written with comparisons
// instead of bit tests, the worked byte strings, round trips shaped like the
// codecs' use, and decoding of arbitrary bits.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "coder/AdaptiveCoder.h"
#include "coder/FrontAdaptiveDecoder.h"
#include "coder/SmallAdaptiveModel.h"
#include "io/BitStream.h"
#include "tests/support/DataGen.h"
#include "tests/support/ReferenceCoding.h"

namespace {

using testdata::Bits;
using testdata::bytesOf;
using testdata::packBits;
using ReferenceEncoder = testdata::ReferenceEncoder<16>;

std::string randomTail(uint64_t seed, size_t n) {
    const testdata::Bytes b = testdata::randomBytes(seed, n);
    return std::string(b.begin(), b.end());
}

// Frequencies in a plain array, symbol order, recomputed sums.
class ReferenceModel {
public:
    explicit ReferenceModel(uint32_t n) : freq(n, 1) {}

    SymbolInterval interval(uint32_t s) const {
        uint32_t below = 0;
        for (uint32_t i = 0; i < s; ++i) below += freq[i];
        return {below, below + freq[s], total()};
    }
    uint32_t total() const {
        uint32_t t = 0;
        for (uint32_t f : freq) t += f;
        return t;
    }
    // Returns the interval before the update, like AdaptiveModel::update.
    SymbolInterval update(uint32_t s, uint32_t limit) {
        const SymbolInterval before = interval(s);
        ++freq[s];
        if (total() == limit) {
            for (uint32_t& f : freq) f = f / 2 == 0 ? 1 : f / 2;
            ++rescales;
        }
        return before;
    }
    uint32_t symbolAt(uint32_t target) const {
        uint32_t s = 0;
        uint32_t upper = freq[0];
        while (target >= upper) upper += freq[++s];
        return s;
    }

    std::vector<uint32_t> freq;
    uint32_t rescales = 0;
};

// A coded sequence: model symbols, each followed by `offsetBits` of
// uniformly coded offset (whole bytes as 1 of 256, the rest as 1 of 2^b),
// the way the distance-coding codec codes a class and its offset.
struct Item {
    uint32_t symbol;
    uint32_t offsetBits;
    uint32_t offset;
};

template <typename Coder>
void encodeItems(Coder& coder, const std::vector<Item>& items, uint32_t n, uint32_t limit) {
    AdaptiveModel model(n);
    for (const Item& item : items) {
        const SymbolInterval iv = model.update(item.symbol, limit);
        coder.encode(iv.lowCount, iv.highCount, iv.total);
        uint32_t u = item.offset;
        uint32_t b = item.offsetBits;
        for (; b >= 8; b -= 8, u >>= 8) coder.encode(u & 0xFF, (u & 0xFF) + 1, 256);
        if (b > 0) coder.encode(u, u + 1, 1u << b);
    }
    coder.finish();
}

std::string encodeWithStream(const std::vector<Item>& items, uint32_t n, uint32_t limit,
                             uint32_t capacity = kBitStreamWords) {
    std::ostringstream out;
    StreamOutBitStream bits(out, capacity);
    bits.reset();
    ArithmeticEncoder encoder(bits);
    encodeItems(encoder, items, n, limit);
    bits.flush();
    return out.str();
}

// Decodes items.size() items, returning them; offsetBits is taken from the
// expected list (the codec derives it from the decoded class). With codeEnd
// given, stores the decoder's codeEnd() after the last item there.
std::vector<Item> decodeItems(const std::string& bytes, const std::vector<Item>& shape, uint32_t n,
                              uint32_t limit, uint32_t capacity = kBitStreamWords,
                              uint64_t* codeEnd = nullptr) {
    std::istringstream in(bytes);
    StreamInBitStream bits(in, capacity);
    AdaptiveModel model(n);
    ArithmeticDecoder decoder(bits);
    decoder.start();
    std::vector<Item> out;
    for (const Item& expected : shape) {
        const uint32_t s = model.findSymbol(decoder.target(model.total()));
        const SymbolInterval iv = model.update(s, limit);
        decoder.update(iv.lowCount, iv.highCount, iv.total);
        uint32_t u = 0;
        uint32_t shift = 0;
        uint32_t b = expected.offsetBits;
        for (; b >= 8; b -= 8, shift += 8) {
            const uint32_t t = decoder.target(256);
            decoder.update(t, t + 1, 256);
            u |= t << shift;
        }
        if (b > 0) {
            const uint32_t t = decoder.target(1u << b);
            decoder.update(t, t + 1, 1u << b);
            u |= t << shift;
        }
        out.push_back({s, expected.offsetBits, u});
    }
    if (codeEnd != nullptr) *codeEnd = decoder.codeEnd();
    return out;
}

std::vector<Item> symbolsOnly(const std::vector<uint32_t>& symbols) {
    std::vector<Item> items;
    for (uint32_t s : symbols) items.push_back({s, 0, 0});
    return items;
}

std::vector<uint32_t> geometricSymbols(uint64_t seed, size_t count, uint32_t n, uint32_t percent) {
    testdata::Rng rng(seed);
    std::vector<uint32_t> out(count);
    for (uint32_t& s : out) {
        s = 0;
        while (s + 1 < n && rng.chance(percent)) ++s;
    }
    return out;
}

std::vector<uint32_t> uniformSymbols(uint64_t seed, size_t count, uint32_t n) {
    testdata::Rng rng(seed);
    std::vector<uint32_t> out(count);
    for (uint32_t& s : out) s = rng.below(n);
    return out;
}

bool sameItems(const std::vector<Item>& a, const std::vector<Item>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].symbol != b[i].symbol || a[i].offset != b[i].offset) return false;
    }
    return true;
}

}  // namespace

TEST(AdaptiveModelTest, FreshIntervalsOfFirstAndLastSymbol) {
    AdaptiveModel first(256);
    const SymbolInterval zero = first.update(0, 16384);
    EXPECT_EQ(zero.lowCount, 0u);
    EXPECT_EQ(zero.highCount, 1u);
    EXPECT_EQ(zero.total, 256u);
    AdaptiveModel last(256);
    const SymbolInterval top = last.update(255, 16384);
    EXPECT_EQ(top.lowCount, 255u);
    EXPECT_EQ(top.highCount, 256u);
    EXPECT_EQ(top.total, 256u);
}

TEST(AdaptiveModelTest, OneUpdateRaisesOneFrequency) {
    AdaptiveModel model(256);
    model.update(3, 16384);
    EXPECT_EQ(model.frequency(3), 2u);
    EXPECT_EQ(model.total(), 257u);
    for (uint32_t s = 0; s < 256; ++s) {
        if (s != 3) {
            EXPECT_EQ(model.frequency(s), 1u) << s;
        }
    }
    const SymbolInterval four = model.update(4, 16384);
    EXPECT_EQ(four.lowCount, 5u);
    EXPECT_EQ(four.highCount, 6u);
    EXPECT_EQ(four.total, 257u);
}

TEST(AdaptiveModelTest, FirstRescaleOf257SymbolsAtUpdate16127) {
    AdaptiveModel model(257);
    ReferenceModel reference(257);
    const std::vector<uint32_t> symbols = geometricSymbols(11, 40000, 257, 70);
    for (size_t i = 0; i < symbols.size(); ++i) {
        const SymbolInterval got = model.update(symbols[i], 16384);
        const SymbolInterval want = reference.update(symbols[i], 16384);
        ASSERT_EQ(got.lowCount, want.lowCount) << i;
        ASSERT_EQ(got.highCount, want.highCount) << i;
        ASSERT_EQ(got.total, want.total) << i;
        if (i + 1 < 16127) {
            ASSERT_EQ(reference.rescales, 0u) << i;
            ASSERT_EQ(model.total(), 257u + i + 1);
        } else if (i + 1 == 16127) {
            ASSERT_EQ(reference.rescales, 1u);
            ASSERT_LT(model.total(), 16384u);
        }
        ASSERT_EQ(model.total(), reference.total()) << i;
    }
    EXPECT_GE(reference.rescales, 2u);
    for (uint32_t s = 0; s < 257; ++s) {
        EXPECT_GE(model.frequency(s), 1u);
        EXPECT_EQ(model.frequency(s), reference.freq[s]) << s;
    }
}

TEST(AdaptiveModelTest, MatchesReferenceUnderSmallLimit) {
    // Limit 4096 over the distance coder's class counts, with symbols spread
    // so that rarely seen ones hit the "half of 1 is 1" rule.
    for (uint32_t n : {2u, 9u, 42u, 57u}) {
        AdaptiveModel model(n);
        ReferenceModel reference(n);
        const std::vector<uint32_t> symbols = geometricSymbols(n, 30000, n, 80);
        for (size_t i = 0; i < symbols.size(); ++i) {
            const SymbolInterval got = model.update(symbols[i], 4096);
            const SymbolInterval want = reference.update(symbols[i], 4096);
            ASSERT_EQ(got.lowCount, want.lowCount) << n << " " << i;
            ASSERT_EQ(got.highCount, want.highCount) << n << " " << i;
            ASSERT_EQ(got.total, want.total) << n << " " << i;
        }
        EXPECT_GT(reference.rescales, 0u);
    }
}

TEST(AdaptiveModelTest, FindSymbolMatchesLinearSearchForEveryTarget) {
    // The bisection and the search of the small symbols first, at alphabet
    // sizes around the front's width and the MTF alphabets.
    for (const uint32_t n : {2u, 15u, 16u, 17u, 40u, 256u, 257u}) {
        AdaptiveModel model(n);
        ReferenceModel reference(n);
        const std::vector<uint32_t> symbols = geometricSymbols(5 + n, 20000, n, 85);
        for (size_t i = 0; i < symbols.size(); ++i) {
            if (i % 5000 == 0 || i % 997 == 1) {
                for (uint32_t t = 0; t < model.total(); ++t) {
                    ASSERT_EQ(model.findSymbol(t), reference.symbolAt(t)) << n << " " << i << " " << t;
                    ASSERT_EQ(model.findSymbolFront(t), reference.symbolAt(t))
                        << n << " " << i << " " << t;
                }
            }
            model.update(symbols[i], 16384);
            reference.update(symbols[i], 16384);
        }
    }
    AdaptiveModel single(1);
    EXPECT_EQ(single.findSymbol(0), 0u);
    EXPECT_EQ(single.findSymbolFront(0), 0u);
}

TEST(ReciprocalTest, DividesExactlyUpToTwoToThe30) {
    // Every divisor the coders use, against the numerators nearest to each
    // multiple at both ends of the range and a spread in between.
    testdata::Rng rng(30);
    for (uint32_t d = 1; d <= kMaxCodingTotal; ++d) {
        const Reciprocal r(d);
        const uint32_t top = 1u << 30;
        for (uint32_t x :
             {0u, 1u, d - 1, d, d + 1, 2 * d - 1, top, top - 1, top - top % d, top - top % d - 1}) {
            ASSERT_EQ(r.divide(x), x / d) << d << " " << x;
        }
        for (int i = 0; i < 64; ++i) {
            const uint32_t x = rng.below(top) + 1;
            ASSERT_EQ(r.divide(x), x / d) << d << " " << x;
        }
    }
}

#ifndef MORV_PLAIN_KERNELS
// Same intervals, rescale points and searches as AdaptiveModel (the plain
// kernel) for every alphabet size the small model takes, under the distance
// coder's limit and the largest one, with skewed and flat symbol streams.
// Every target is searched now and then, so ties at interval edges are
// covered, and always right before a rescale, when the unused slots above the
// total have grown the most (with n = 1 and the largest limit, to the top of
// their 16 bits). A third model decodes each symbol from a target inside its
// interval, searching and updating in one step.
template <typename SmallModel>
void checkSmallModelMatchesTheGeneralOne() {
    for (uint32_t n : {1u, 2u, 9u, 42u, 57u, SmallModel::maxSymbols}) {
        for (uint32_t limit : {4096u, kMaxCodingTotal}) {
            AdaptiveModel general(n);
            SmallModel small(n);
            SmallModel decoding(n);
            ReferenceModel reference(n);
            const std::vector<uint32_t> symbols = n % 2 == 0 ? uniformSymbols(n + limit, 50000, n)
                                                             : geometricSymbols(n + limit, 50000, n, 75);
            for (size_t i = 0; i < symbols.size(); ++i) {
                if (i % 7919 == 0 || small.total() + 1 == limit) {
                    ASSERT_EQ(small.total(), general.total());
                    for (uint32_t t = 0; t < small.total(); ++t) {
                        ASSERT_EQ(small.findSymbol(t), general.findSymbol(t))
                            << n << " " << i << " " << t;
                    }
                }
                const SymbolInterval want = general.update(symbols[i], limit);
                const SymbolInterval got = small.update(symbols[i], limit);
                reference.update(symbols[i], limit);
                ASSERT_EQ(got.lowCount, want.lowCount) << n << " " << limit << " " << i;
                ASSERT_EQ(got.highCount, want.highCount) << n << " " << limit << " " << i;
                ASSERT_EQ(got.total, want.total) << n << " " << limit << " " << i;
                const uint32_t width = want.highCount - want.lowCount;
                const auto decoded =
                    decoding.decode(want.lowCount + static_cast<uint32_t>(i % width), limit);
                ASSERT_EQ(decoded.symbol, symbols[i]) << n << " " << limit << " " << i;
                ASSERT_EQ(decoded.interval.lowCount, want.lowCount) << n << " " << limit << " " << i;
                ASSERT_EQ(decoded.interval.highCount, want.highCount) << n << " " << limit << " " << i;
                ASSERT_EQ(decoded.interval.total, want.total) << n << " " << limit << " " << i;
            }
            EXPECT_GE(reference.rescales, 2u) << n << " " << limit;
            for (uint32_t s = 0; s < n; ++s)
                EXPECT_EQ(small.frequency(s), reference.freq[s]) << n << " " << s;
        }
    }
}

TEST(SmallAdaptiveModelTest, PortableBodyMatchesTheGeneralModelStepByStep) {
    checkSmallModelMatchesTheGeneralOne<BasicSmallAdaptiveModel<false>>();
}

#if MORV_HAVE_SSE2_MODEL
TEST(SmallAdaptiveModelTest, Sse2BodyMatchesTheGeneralModelStepByStep) {
    checkSmallModelMatchesTheGeneralOne<BasicSmallAdaptiveModel<true>>();
}
#endif
#endif

TEST(AdaptiveCoderBytes, SingleSymbolZero) {
    EXPECT_EQ(encodeWithStream(symbolsOnly({0}), 256, 16384), bytesOf({0x00, 0x02}));
}

TEST(AdaptiveCoderBytes, FiveSymbols) {
    EXPECT_EQ(encodeWithStream(symbolsOnly({3, 1, 4, 1, 5}), 256, 16384),
              bytesOf({0xc0, 0x80, 0x20, 0xf7, 0x50}));
}

TEST(AdaptiveCoderBytes, WorkedExamplesDecodeWhateverFollows) {
    const std::vector<Item> one = symbolsOnly({0});
    const std::vector<Item> five = symbolsOnly({3, 1, 4, 1, 5});
    for (uint64_t seed = 0; seed < 20; ++seed) {
        const std::string tail = seed == 0 ? std::string() : randomTail(seed, seed % 7);
        EXPECT_TRUE(sameItems(decodeItems(bytesOf({0x00, 0x02}) + tail, one, 256, 16384), one));
        EXPECT_TRUE(sameItems(
            decodeItems(bytesOf({0xc0, 0x80, 0x20, 0xf7, 0x50}) + tail, five, 256, 16384), five));
    }
    const std::string ones(8, '\xFF');
    EXPECT_TRUE(sameItems(decodeItems(bytesOf({0x00, 0x02}) + ones, one, 256, 16384), one));
}

TEST(AdaptiveCoderBytes, EverySingleSymbolRoundTripsWithAnyTail) {
    for (uint32_t s = 0; s < 257; ++s) {
        const std::vector<Item> item = symbolsOnly({s});
        const std::string code = encodeWithStream(item, 257, 16384, 4);
        ReferenceEncoder reference;
        encodeItems(reference, item, 257, 16384);
        ASSERT_EQ(code, packBits(reference.bits)) << s;
        for (const std::string& tail : {std::string(), std::string(4, '\xFF'), randomTail(s, 3)}) {
            uint64_t end = 0;
            ASSERT_TRUE(sameItems(decodeItems(code + tail, item, 257, 16384, 4, &end), item)) << s;
            ASSERT_EQ(end, reference.bits.size()) << s;
        }
    }
}

TEST(AdaptiveCoderRoundTrip, SymbolSequencesMatchReferenceBits) {
    struct Case {
        uint64_t seed;
        uint32_t n;
        uint32_t limit;
        bool skewed;
        size_t count;
    };
    const Case cases[] = {
        {1, 257, 16384, true, 100000}, {2, 256, 16384, false, 100000}, {3, 256, 16384, true, 100000},
        {4, 257, 4096, true, 50000},   {5, 57, 4096, false, 50000},    {6, 2, 16384, true, 50000},
        {7, 1, 16384, true, 1000},     {8, 257, 16384, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        const std::vector<Item> items = symbolsOnly(c.skewed ? geometricSymbols(c.seed, c.count, c.n, 75)
                                                             : uniformSymbols(c.seed, c.count, c.n));
        const std::string code = encodeWithStream(items, c.n, c.limit);
        ReferenceEncoder reference;
        encodeItems(reference, items, c.n, c.limit);
        ASSERT_EQ(code, packBits(reference.bits));
        const std::string tail = randomTail(c.seed + 100, 4);
        uint64_t end = 0;
        ASSERT_TRUE(
            sameItems(decodeItems(code + tail, items, c.n, c.limit, kBitStreamWords, &end), items));
        // The decoder finds the closing bits where the encoder wrote them.
        ASSERT_EQ(end, reference.bits.size());
    }
}

TEST(AdaptiveCoderRoundTrip, ClassesWithUniformOffsets) {
    // The distance coder's shape: a class from a model of c classes, then its
    // offset bits as whole bytes of 256 and a rest of 2^b; the class also
    // fixes the offset width here (class k carries k - 1 bits, up to 31).
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        testdata::Rng rng(seed);
        const uint32_t classes = seed == 1 ? 33 : 49;
        const uint32_t limit = seed == 3 ? 16384 : 4096;
        std::vector<Item> items(30000);
        for (Item& item : items) {
            uint32_t k = 0;
            while (k + 1 < classes && rng.chance(seed == 2 ? 90 : 60)) ++k;
            item.symbol = k;
            item.offsetBits = k == 0 ? 0 : std::min<uint32_t>(k - 1, 31);
            const uint64_t r = rng.next();
            item.offset = item.offsetBits == 0
                              ? 0
                              : static_cast<uint32_t>(r & ((uint64_t{1} << item.offsetBits) - 1));
        }
        const std::string code = encodeWithStream(items, classes, limit);
        ReferenceEncoder reference;
        encodeItems(reference, items, classes, limit);
        ASSERT_EQ(code, packBits(reference.bits));
        uint64_t end = 0;
        ASSERT_TRUE(sameItems(decodeItems(code, items, classes, limit, kBitStreamWords, &end), items));
        ASSERT_EQ(end, reference.bits.size());
    }
}

TEST(AdaptiveCoderRoundTrip, LongRunOfPendingBits) {
    // The middle half [1, 3) of 4 keeps the interval straddling the middle:
    // every such step defers one bit, so thousands pile up across many words
    // before a final decided bit releases them through writeRun.
    for (uint32_t last : {0u, 1u}) {
        std::ostringstream out;
        StreamOutBitStream bits(out, 4);
        bits.reset();
        ArithmeticEncoder encoder(bits);
        ReferenceEncoder reference;
        for (int i = 0; i < 5000; ++i) {
            encoder.encode(1, 3, 4);
            reference.encode(1, 3, 4);
        }
        encoder.encode(last, last + 1, 2);
        reference.encode(last, last + 1, 2);
        encoder.finish();
        reference.finish();
        bits.flush();
        ASSERT_EQ(out.str(), packBits(reference.bits));
        ASSERT_GT(reference.bits.size(), 5000u);

        std::istringstream in(out.str());
        StreamInBitStream input(in, 4);
        ArithmeticDecoder decoder(input);
        decoder.start();
        for (int i = 0; i < 5000; ++i) {
            const uint32_t t = decoder.target(4);
            ASSERT_TRUE(t == 1 || t == 2) << i;
            decoder.update(1, 3, 4);
        }
        EXPECT_EQ(decoder.target(2), last);
        decoder.update(last, last + 1, 2);
        EXPECT_EQ(decoder.codeEnd(), reference.bits.size());
    }
}

TEST(AdaptiveDecoderDamage, ArbitraryBitsDecodeInRange) {
    // Random bytes are a valid code for some sequence: the decoder must stay
    // in range for any of them, with or without uniform symbols mixed in.
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        const uint32_t n = seed % 3 == 0 ? 57 : (seed % 3 == 1 ? 256 : 257);
        const uint32_t limit = n == 57 ? 4096 : 16384;
        std::string bytes;
        if (seed == 11)
            bytes = std::string(3000, '\xFF');
        else if (seed == 12)
            bytes = std::string(3000, '\0');
        else
            bytes = randomTail(seed, 3000);
        std::istringstream in(bytes);
        StreamInBitStream bits(in, 64);
        AdaptiveModel model(n);
        ArithmeticDecoder decoder(bits);
        decoder.start();
        testdata::Rng rng(seed);
        for (int i = 0; i < 20000; ++i) {
            const uint32_t t = decoder.target(model.total());
            ASSERT_LT(t, model.total());
            const uint32_t s = model.findSymbol(t);
            ASSERT_LT(s, n);
            const SymbolInterval iv = model.update(s, limit);
            ASSERT_LE(iv.lowCount, t);
            ASSERT_LT(t, iv.highCount);
            decoder.update(iv.lowCount, iv.highCount, iv.total);
            if (rng.chance(30)) {
                const uint32_t total = rng.chance(50) ? 256 : 1u << (1 + rng.below(14));
                const uint32_t u = decoder.target(total);
                ASSERT_LT(u, total);
                decoder.update(u, u + 1, total);
            }
        }
    }
}

#if MORV_HAVE_FRONT_DECODER
// The front decoder against the plain model and decoder: the same symbol at
// every step and the same code end, over codes of skewed symbols (the front
// and the rest both taken), over arbitrary bits (every symbol reachable), and
// with limits low enough that the model rescales often.
TEST(FrontAdaptiveDecoderTest, MatchesThePlainPairStepByStep) {
    struct Case {
        uint32_t n;
        uint32_t limit;
        int source;  // 0: skewed symbols coded, 1: random bytes, 2: all ones, 3: all zeros
    };
    const Case cases[] = {{256, 16384, 0}, {257, 16384, 0}, {257, 300, 0},   {17, 100, 0},
                          {40, 16384, 0},  {256, 16384, 1}, {257, 16384, 1}, {257, 1000, 1},
                          {33, 50, 1},     {18, 16384, 1},  {256, 16384, 2}, {257, 16384, 3}};
    uint64_t seed = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "n " << c.n << " limit " << c.limit << " source " << c.source);
        constexpr int kSymbols = 30000;
        testdata::Rng rng(++seed);
        std::string code;
        if (c.source == 0) {
            std::vector<uint32_t> symbols(kSymbols);
            for (uint32_t& s : symbols) {
                s = rng.chance(10) ? rng.below(c.n) : 0;
                while (s + 1 < c.n && rng.chance(40)) ++s;
            }
            std::ostringstream out;
            StreamOutBitStream bits(out, 64);
            AdaptiveModel model(c.n);
            ArithmeticEncoder encoder(bits);
            for (const uint32_t s : symbols) {
                const SymbolInterval iv = model.update(s, c.limit);
                encoder.encode(iv.lowCount, iv.highCount, iv.total);
            }
            encoder.finish();
            bits.flush();
            code = out.str();
        } else {
            code = c.source == 1 ? randomTail(seed, 40000)
                                 : std::string(40000, c.source == 2 ? '\xFF' : '\0');
        }
        std::istringstream plainIn(code);
        std::istringstream frontIn(code);
        StreamInBitStream plainBits(plainIn, 64);
        StreamInBitStream frontBits(frontIn, 64);
        AdaptiveModel model(c.n);
        ArithmeticDecoder plain(plainBits);
        FrontAdaptiveDecoder front(c.n, c.limit, frontBits);
        plain.start();
        front.start();
        for (int i = 0; i < kSymbols; ++i) {
            const uint32_t expected = decodeAdaptiveSymbolWith<false>(model, plain, c.limit);
            ASSERT_EQ(front.decodeSymbol(), expected) << "symbol " << i;
        }
        EXPECT_EQ(front.codeEnd(), plain.codeEnd());
        if (c.source == 0) {
            EXPECT_NE(front.codeEnd(), kNoCodeEnd);
        }
    }
}
#endif
