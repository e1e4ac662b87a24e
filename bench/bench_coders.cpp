// Throughput of the entropy coders in symbols per second: the adaptive coder
// over move-to-front-like symbols (mostly small, 257-symbol alphabet) and
// over uniform bytes (the worst case for its reverse-cumulative update), and
// the static coder over the move-to-front-like symbols; and the whole DC block
// codec (BWT, distance coding, value coding, and back) on every corpus file,
// with the two halves of compression after the BWT (the forward distance
// coding, the value coding) and the two halves of extraction also timed apart.
// Bit streams run over in-memory stream buffers so the figures are the
// coders' own.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <tuple>
#include <vector>

#include "base/CpuFeatures.h"
#include "codec/DcCodec.h"
#include "codec/DcProductDecoder.h"
#include "codec/DcValueCoding.h"
#include "codec/MtfAdaptiveCodec.h"
#include "codec/MtfStaticCodec.h"
#include "coder/AdaptiveCoder.h"
#include "coder/FrontAdaptiveDecoder.h"
#include "coder/StaticCoder.h"
#include "io/BitStream.h"
#include "tests/support/DataGen.h"
#include "transform/Bwt.h"
#include "transform/DistanceCoding.h"
#include "transform/Mtf.h"

namespace {

constexpr size_t kSymbols = 1 << 20;
constexpr uint32_t kLimit = 16384;

// Collects written bytes in a string (reused between iterations).
class StringBuf : public std::streambuf {
public:
    std::string data;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        data.append(s, static_cast<size_t>(n));
        return n;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) data.push_back(static_cast<char>(c));
        return traits_type::not_eof(c);
    }
};

// Reads from a string without copying it.
class ViewBuf : public std::streambuf {
public:
    explicit ViewBuf(const std::string& s) {
        char* p = const_cast<char*>(s.data());
        setg(p, p, p + s.size());
    }
};

// Mostly 0 and 1 with a geometric tail and a few far symbols, as after
// move-to-front and zero-run coding.
std::vector<uint32_t> mtfLikeSymbols() {
    testdata::Rng rng(2024);
    std::vector<uint32_t> out(kSymbols);
    for (uint32_t& s : out) {
        if (rng.chance(3)) {
            s = rng.below(257);
            continue;
        }
        s = 0;
        while (s < 256 && rng.chance(55)) ++s;
    }
    return out;
}

std::vector<uint32_t> uniformByteSymbols() {
    const testdata::Bytes bytes = testdata::randomBytes(7, kSymbols);
    return std::vector<uint32_t>(bytes.begin(), bytes.end());
}

const std::string& adaptiveEncode(const std::vector<uint32_t>& symbols, uint32_t n, StringBuf& buf) {
    buf.data.clear();
    std::ostream out(&buf);
    StreamOutBitStream bits(out, kBitStreamWords);
    bits.reset();
    AdaptiveModel model(n);
    ArithmeticEncoder encoder(bits);
    for (uint32_t s : symbols) {
        const SymbolInterval iv = model.update(s, kLimit);
        encoder.encode(iv.lowCount, iv.highCount, iv.total);
    }
    encoder.finish();
    bits.flush();
    return buf.data;
}

// The adaptive decoders extraction can take: the plain pair, the plain pair
// searching the small symbols first, and the front decoder.
enum class AdaptiveVariant { Plain, FrontSearch, FrontDecoder };

template <AdaptiveVariant Variant>
uint32_t adaptiveDecode(const std::string& code, uint32_t n, size_t count) {
    ViewBuf view(code);
    std::istream in(&view);
    StreamInBitStream bits(in, kBitStreamWords);
    uint32_t checksum = 0;
#if MORV_HAVE_FRONT_DECODER
    if constexpr (Variant == AdaptiveVariant::FrontDecoder) {
        FrontAdaptiveDecoder decoder(n, kLimit, bits);
        decoder.start();
        for (size_t i = 0; i < count; ++i) checksum += decoder.decodeSymbol();
        return checksum;
    }
#endif
    AdaptiveModel model(n);
    ArithmeticDecoder decoder(bits);
    decoder.start();
    for (size_t i = 0; i < count; ++i)
        checksum += decodeAdaptiveSymbolWith<Variant != AdaptiveVariant::Plain>(model, decoder, kLimit);
    return checksum;
}

const std::string& staticEncode(const std::vector<uint32_t>& symbols, uint32_t n, StringBuf& buf) {
    buf.data.clear();
    std::ostream out(&buf);
    StreamOutBitStream bits(out, kBitStreamWords);
    bits.reset();
    StaticEncoder encoder(n, bits);
    for (uint32_t s : symbols) ++encoder.count(s);
    encoder.scale();
    encoder.writeTable();
    for (uint32_t s : symbols) encoder.encodeSymbol(s);
    encoder.finish();
    bits.flush();
    return buf.data;
}

template <bool FrontSearch, bool CountedShifts>
uint32_t staticDecode(const std::string& code, uint32_t n, size_t count) {
    ViewBuf view(code);
    std::istream in(&view);
    StreamInBitStream bits(in, kBitStreamWords);
    StaticDecoder decoder(n, bits);
    decoder.readTable();
    decoder.start();
    uint32_t checksum = 0;
    for (size_t i = 0; i < count; ++i)
        checksum += decoder.decodeSymbolWith<FrontSearch, CountedShifts>();
    return checksum;
}

// The static decoder's search by products, where it is built, with symbol 0
// tried first or not.
template <bool ZeroFirst = false>
uint32_t staticDecodeByProducts(const std::string& code, uint32_t n, size_t count) {
    ViewBuf view(code);
    std::istream in(&view);
    StreamInBitStream bits(in, kBitStreamWords);
    StaticDecoder decoder(n, bits);
    decoder.readTable();
    decoder.start();
    uint32_t checksum = 0;
#if MORV_HAVE_STATIC_PRODUCTS
    for (size_t i = 0; i < count; ++i) checksum += decoder.decodeSymbolByProducts<ZeroFirst>();
#else
    for (size_t i = 0; i < count; ++i) checksum += decoder.decodeSymbol();
#endif
    return checksum;
}

void reportSize(benchmark::State& state, size_t symbols, size_t bytes) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * symbols));
    state.counters["bits/symbol"] = static_cast<double>(bytes) * 8 / static_cast<double>(symbols);
}

void BM_AdaptiveEncodeMtfLike(benchmark::State& state) {
    const std::vector<uint32_t> symbols = mtfLikeSymbols();
    StringBuf buf;
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = adaptiveEncode(symbols, 257, buf).size();
        benchmark::DoNotOptimize(bytes);
    }
    reportSize(state, symbols.size(), bytes);
}

// The plain kernel, the search of the small symbols first, the front decoder.
template <AdaptiveVariant Variant>
void BM_AdaptiveDecodeMtfLike(benchmark::State& state) {
    const std::vector<uint32_t> symbols = mtfLikeSymbols();
    StringBuf buf;
    const std::string code = adaptiveEncode(symbols, 257, buf);
    for (auto _ : state) benchmark::DoNotOptimize(adaptiveDecode<Variant>(code, 257, symbols.size()));
    reportSize(state, symbols.size(), code.size());
}

void BM_StaticDecodeMtfLikeByProducts(benchmark::State& state) {
    const std::vector<uint32_t> symbols = mtfLikeSymbols();
    StringBuf buf;
    const std::string code = staticEncode(symbols, 257, buf);
    for (auto _ : state) benchmark::DoNotOptimize(staticDecodeByProducts(code, 257, symbols.size()));
    reportSize(state, symbols.size(), code.size());
}

void BM_AdaptiveEncodeUniformBytes(benchmark::State& state) {
    const std::vector<uint32_t> symbols = uniformByteSymbols();
    StringBuf buf;
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = adaptiveEncode(symbols, 256, buf).size();
        benchmark::DoNotOptimize(bytes);
    }
    reportSize(state, symbols.size(), bytes);
}

template <AdaptiveVariant Variant>
void BM_AdaptiveDecodeUniformBytes(benchmark::State& state) {
    const std::vector<uint32_t> symbols = uniformByteSymbols();
    StringBuf buf;
    const std::string code = adaptiveEncode(symbols, 256, buf);
    for (auto _ : state) benchmark::DoNotOptimize(adaptiveDecode<Variant>(code, 256, symbols.size()));
    reportSize(state, symbols.size(), code.size());
}

void BM_StaticEncodeMtfLike(benchmark::State& state) {
    const std::vector<uint32_t> symbols = mtfLikeSymbols();
    StringBuf buf;
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = staticEncode(symbols, 257, buf).size();
        benchmark::DoNotOptimize(bytes);
    }
    reportSize(state, symbols.size(), bytes);
}

// The plain kernel, the search of the small symbols first, and that with
// the shifts counted.
template <bool FrontSearch, bool CountedShifts>
void BM_StaticDecodeMtfLike(benchmark::State& state) {
    const std::vector<uint32_t> symbols = mtfLikeSymbols();
    StringBuf buf;
    const std::string code = staticEncode(symbols, 257, buf);
    for (auto _ : state)
        benchmark::DoNotOptimize(staticDecode<FrontSearch, CountedShifts>(code, 257, symbols.size()));
    reportSize(state, symbols.size(), code.size());
}

// One corpus file through the DC block codec: compression (the block is
// restored outside the timing, since the BWT overwrites it) and extraction.
void runDcCompress(benchmark::State& state, const testdata::Bytes* file) {
    testdata::Bytes block(file->size());
    const uint32_t n = static_cast<uint32_t>(block.size());
    StringBuf buf;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(block.data(), file->data(), n);
        buf.data.clear();
        state.ResumeTiming();
        std::ostream out(&buf);
        compressDc(out, block.data(), n, BlockContext{std::cout});
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
    state.counters["bits/byte"] = static_cast<double>(buf.data.size()) * 8 / n;
}

// The BWT column of a copy of the file.
testdata::Bytes bwtColumn(const testdata::Bytes& file) {
    testdata::Bytes column(file);
    forwardBwt(column.data(), static_cast<uint32_t>(column.size()));
    return column;
}

// The forward distance coding alone, on the file's BWT column.
void runDcForward(benchmark::State& state, const testdata::Bytes* file) {
    const testdata::Bytes column = bwtColumn(*file);
    for (auto _ : state) {
        DcEncoder dc;
        dc.encode(column.data(), column.data() + column.size());
        benchmark::DoNotOptimize(dc.count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(file->size()));
}

// The value coding of compression alone: the DC values of the file's BWT
// column through the class model and the arithmetic encoder.
void runDcEncodeValues(benchmark::State& state, const testdata::Bytes* file) {
    const testdata::Bytes column = bwtColumn(*file);
    const uint32_t L = static_cast<uint32_t>(column.size());
    DcEncoder dc;
    dc.encode(column.data(), column.data() + L);
    StringBuf buf;
    for (auto _ : state) {
        buf.data.clear();
        std::ostream out(&buf);
        StreamOutBitStream bits(out, kBitStreamWords);
        bits.reset();
        DcValueModel<ArithmeticEncoder> coder(L, bits);
        for (uint32_t i = 0; i < dc.count(); ++i) coder.encodeValue(dc.data()[i]);
        coder.finish();
        bits.flush();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * L);
    state.counters["values"] = dc.count();
}

// The packed payload compressDc writes for a copy of the file.
std::string packDc(const testdata::Bytes& file) {
    testdata::Bytes block(file);
    StringBuf buf;
    std::ostream out(&buf);
    compressDc(out, block.data(), static_cast<uint32_t>(block.size()), BlockContext{std::cout});
    return buf.data;
}

// features: this processor's (DcExtract) or none (DcExtractPortable), so
// that a fast path's gain is measured side by side with the portable one.
void runDcExtract(benchmark::State& state, const testdata::Bytes* file, CpuFeatures features) {
    testdata::Bytes block(file->size());
    const uint32_t n = static_cast<uint32_t>(block.size());
    const std::string packed = packDc(*file);
    for (auto _ : state) {
        ViewBuf view(packed);
        std::istream in(&view);
        decompressDc(in, block.data(), n, BlockContext{std::cout, features});
        benchmark::ClobberMemory();
    }
    if (block != *file) state.SkipWithError("extraction does not give the file back");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

// Decodes every value of a packed block of L bytes into values (resized to
// their count); returns the first suffix index.
// With features.avx2, by the decoder extraction then takes.
uint32_t decodeDcValues(const std::string& packed, uint32_t L, std::vector<uint32_t>& values,
                        CpuFeatures features = kPortableCpuFeatures) {
    ViewBuf view(packed);
    std::istream in(&view);
    StreamInBitStream bits(in, kBitStreamWords);
    const uint32_t idx = bits.readBits(32);
    values.resize(bits.readBits(32));
#if MORV_HAVE_DC_PRODUCT_DECODER
    if (features.avx2) {
        DcProductDecoder model(L, bits);
        model.start();
        model.decodeValues(values.data(), static_cast<uint32_t>(values.size()));
        return idx;
    }
#else
    (void)features;
#endif
    DcValueModel<ArithmeticDecoder> model(L, bits);
    model.start();
    for (uint32_t& v : values) v = model.decodeValue();
    return idx;
}

// The two halves of extraction apart: decoding every value of the packed
// block, and the inverse transforms from values already decoded.
void runDcStages(benchmark::State& state, const testdata::Bytes* file, bool decodeOnly,
                 CpuFeatures features) {
    testdata::Bytes block(file->size());
    const uint32_t L = static_cast<uint32_t>(block.size());
    const std::string packed = packDc(*file);
    std::vector<uint32_t> values;
    const uint32_t idx = decodeDcValues(packed, L, values);
    const uint32_t n = static_cast<uint32_t>(values.size());
    for (auto _ : state) {
        if (decodeOnly) {
            decodeDcValues(packed, L, values, features);
        } else {
            const uint32_t* v = values.data();
            inverseDc([&v] { return *v++; }, n, L, block.data(), features);
            inverseBwt(block.data(), block.data(), L, idx);
        }
        benchmark::ClobberMemory();
    }
    if (!decodeOnly && block != *file) state.SkipWithError("the inverse does not give the file back");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * L);
}

// The inverse distance coding alone, from values already decoded, with one
// chosen decoder: the gains of the faster ones beside the plain kernel.
void runInverseDcKernel(benchmark::State& state, const testdata::Bytes* file, DcInverseKernel kernel,
                        CpuFeatures features) {
    testdata::Bytes block(file->size());
    const uint32_t L = static_cast<uint32_t>(block.size());
    std::vector<uint32_t> values;
    decodeDcValues(packDc(*file), L, values);
    const uint32_t n = static_cast<uint32_t>(values.size());
    for (auto _ : state) {
        const uint32_t* v = values.data();
        inverseDc([&v] { return *v++; }, n, L, block.data(), features, kernel);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * L);
}

// The MTF inverse alone, from the move-to-front indices of the file's BWT
// column, with the table's plain kernel or its fast move.
void runInverseMtf(benchmark::State& state, const testdata::Bytes* file, bool plain) {
    testdata::Bytes indices = bwtColumn(*file);
    const uint32_t L = static_cast<uint32_t>(indices.size());
    forwardMtf(indices.data(), L, [](uint32_t) {});
    testdata::Bytes out(L);
    for (auto _ : state) {
        MtfTable table;
        if (plain) {
            for (uint32_t i = 0; i < L; ++i) out[i] = table.decodePlain(indices[i]);
        } else {
            for (uint32_t i = 0; i < L; ++i) out[i] = table.decode(indices[i]);
        }
        benchmark::ClobberMemory();
    }
    if (out != bwtColumn(*file)) state.SkipWithError("the inverse does not give the column back");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * L);
}

// A corpus file's move-to-front symbols (zero runs coded or not), coded by
// `encode` and decoded by `decode`: the decoding of the -m methods alone.
template <typename Encode, typename Decode>
void runMtfSymbolDecode(benchmark::State& state, const testdata::Bytes* file, bool rle0, Encode encode,
                        Decode decode) {
    testdata::Bytes column = bwtColumn(*file);
    std::vector<uint32_t> symbols;
    auto append = [&](uint32_t symbol) { symbols.push_back(symbol); };
    if (rle0) {
        forwardMtfRle0(column.data(), static_cast<uint32_t>(column.size()), append);
    } else {
        forwardMtf(column.data(), static_cast<uint32_t>(column.size()), append);
    }
    const uint32_t n = rle0 ? kRle0AlphabetSize : kMtfAlphabetSize;
    StringBuf buf;
    const std::string code = encode(symbols, n, buf);
    uint32_t expected = 0;
    for (const uint32_t symbol : symbols) expected += symbol;
    for (auto _ : state) {
        const uint32_t checksum = decode(code, n, symbols.size());
        if (checksum != expected) state.SkipWithError("the decoded symbols differ");
    }
    reportSize(state, symbols.size(), code.size());
}

// Through the adaptive coder, decoded by each variant.
template <AdaptiveVariant Variant>
void runAdaptiveDecodeMtf(benchmark::State& state, const testdata::Bytes* file, bool rle0) {
    runMtfSymbolDecode(state, file, rle0, adaptiveEncode, adaptiveDecode<Variant>);
}

// Through the static coder, decoded by products with symbol 0 tried first or
// not (see StaticDecoder::decodeSymbol).
template <bool ZeroFirst>
void runStaticDecodeMtf(benchmark::State& state, const testdata::Bytes* file, bool rle0) {
    runMtfSymbolDecode(state, file, rle0, staticEncode, staticDecodeByProducts<ZeroFirst>);
}

// The MTF methods: how a file is packed and extracted.
struct MtfMethod {
    const char* name;
    bool rle0;
    bool adaptive;
};
constexpr MtfMethod kMtfMethods[] = {{"MtfExtract", true, true},
                                     {"MtfNoRle0Extract", false, true},
                                     {"MtfStaticExtract", true, false},
                                     {"MtfStaticNoRle0Extract", false, false}};

// One corpus file's MTF block extracted whole (decoding, MTF and RLE0
// inverse, inverse BWT), as the -m methods do.
void runMtfExtract(benchmark::State& state, const testdata::Bytes* file, MtfMethod method) {
    testdata::Bytes block(*file);
    const uint32_t L = static_cast<uint32_t>(block.size());
    StringBuf buf;
    BlockPlan plan;
    plan.method = CodingMethod::Mtf;
    plan.rle0 = method.rle0;
    plan.staticCoder = !method.adaptive;
    const BlockContext context{std::cout, kPortableCpuFeatures, 1, plan};
    {
        std::ostream out(&buf);
        if (method.adaptive) {
            compressMtfAdaptive(out, block.data(), L, context);
        } else {
            compressMtfStatic(out, block.data(), L, context);
        }
    }
    for (auto _ : state) {
        ViewBuf view(buf.data);
        std::istream in(&view);
        if (method.adaptive) {
            decompressMtfAdaptive(in, block.data(), L, context);
        } else {
            decompressMtfStatic(in, block.data(), L, context);
        }
        benchmark::ClobberMemory();
    }
    if (block != *file) state.SkipWithError("extraction does not give the file back");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * L);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const CpuFeatures detected = detectCpuFeatures();
    std::vector<std::unique_ptr<testdata::Bytes>> files;
    for (const auto& name : testdata::corpusFiles()) {
        auto data = std::make_unique<testdata::Bytes>(testdata::readFile(name));
        if (data->empty()) continue;
        const std::string shortName = name.substr(name.find_last_of("/\\") + 1);
        benchmark::RegisterBenchmark(("DcCompress/" + shortName).c_str(), runDcCompress, data.get())
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("DcForward/" + shortName).c_str(), runDcForward, data.get())
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("DcEncodeValues/" + shortName).c_str(), runDcEncodeValues,
                                     data.get())
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("DcExtract/" + shortName).c_str(), runDcExtract, data.get(),
                                     detected)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("DcExtractPortable/" + shortName).c_str(), runDcExtract,
                                     data.get(), kPortableCpuFeatures)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("DcDecodeValues/" + shortName).c_str(), runDcStages, data.get(),
                                     true, kPortableCpuFeatures)
            ->Unit(benchmark::kMillisecond);
        if (detected.avx2) {
            benchmark::RegisterBenchmark(("DcDecodeValuesAvx2/" + shortName).c_str(), runDcStages,
                                         data.get(), true, detected)
                ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark(("DcInverse/" + shortName).c_str(), runDcStages, data.get(), false,
                                     detected)
            ->Unit(benchmark::kMillisecond);
        CpuFeatures deposit = kPortableCpuFeatures;
        deposit.fastBitDeposit = detected.fastBitDeposit;
        for (const auto& [name, kernel, features] :
             {std::tuple{"Plain", DcInverseKernel::Plain, kPortableCpuFeatures},
              std::tuple{"BitMap", DcInverseKernel::BitMap, kPortableCpuFeatures},
              std::tuple{"BitMapDeposit", DcInverseKernel::BitMap, deposit}}) {
            benchmark::RegisterBenchmark(("InverseDc" + std::string(name) + "/" + shortName).c_str(),
                                         runInverseDcKernel, data.get(), kernel, features)
                ->Unit(benchmark::kMillisecond);
        }
        for (const bool plain : {true, false}) {
            benchmark::RegisterBenchmark(
                ((plain ? "InverseMtfPlain/" : "InverseMtf/") + shortName).c_str(), runInverseMtf,
                data.get(), plain)
                ->Unit(benchmark::kMillisecond);
        }
        for (const bool rle0 : {true, false}) {
            const std::string kind = rle0 ? "AdaptiveDecodeMtf" : "AdaptiveDecodeMtfNoRle0";
            benchmark::RegisterBenchmark((kind + "/FrontSearch/" + shortName).c_str(),
                                         runAdaptiveDecodeMtf<AdaptiveVariant::FrontSearch>, data.get(),
                                         rle0)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((kind + "/FrontDecoder/" + shortName).c_str(),
                                         runAdaptiveDecodeMtf<AdaptiveVariant::FrontDecoder>, data.get(),
                                         rle0)
                ->Unit(benchmark::kMillisecond);
            const std::string staticKind = rle0 ? "StaticDecodeMtf" : "StaticDecodeMtfNoRle0";
            benchmark::RegisterBenchmark((staticKind + "/ByProducts/" + shortName).c_str(),
                                         runStaticDecodeMtf<false>, data.get(), rle0)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((staticKind + "/ZeroFirst/" + shortName).c_str(),
                                         runStaticDecodeMtf<true>, data.get(), rle0)
                ->Unit(benchmark::kMillisecond);
        }
        for (const MtfMethod& method : kMtfMethods) {
            benchmark::RegisterBenchmark((std::string(method.name) + "/" + shortName).c_str(),
                                         runMtfExtract, data.get(), method)
                ->Unit(benchmark::kMillisecond);
        }
        files.push_back(std::move(data));
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

BENCHMARK(BM_AdaptiveEncodeMtfLike)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdaptiveDecodeMtfLike<AdaptiveVariant::Plain>)
    ->Name("AdaptiveDecodeMtfLike/Plain")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdaptiveDecodeMtfLike<AdaptiveVariant::FrontSearch>)
    ->Name("AdaptiveDecodeMtfLike/FrontSearch")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdaptiveDecodeMtfLike<AdaptiveVariant::FrontDecoder>)
    ->Name("AdaptiveDecodeMtfLike/FrontDecoder")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdaptiveEncodeUniformBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdaptiveDecodeUniformBytes<AdaptiveVariant::Plain>)
    ->Name("AdaptiveDecodeUniformBytes/Plain")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdaptiveDecodeUniformBytes<AdaptiveVariant::FrontSearch>)
    ->Name("AdaptiveDecodeUniformBytes/FrontSearch")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdaptiveDecodeUniformBytes<AdaptiveVariant::FrontDecoder>)
    ->Name("AdaptiveDecodeUniformBytes/FrontDecoder")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StaticEncodeMtfLike)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StaticDecodeMtfLike<false, false>)
    ->Name("StaticDecodeMtfLike/Plain")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StaticDecodeMtfLike<true, false>)
    ->Name("StaticDecodeMtfLike/FrontSearch")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StaticDecodeMtfLike<true, true>)
    ->Name("StaticDecodeMtfLike/FrontSearchCountedShifts")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StaticDecodeMtfLikeByProducts)
    ->Name("StaticDecodeMtfLike/ByProducts")
    ->Unit(benchmark::kMillisecond);
