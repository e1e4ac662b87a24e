// The default pipeline. Compression reads as its stages: BWT, distance
// coding, value coding, closing bits and flush; extraction is the same list
// reversed. The value coder is a template parameter so the per-value loop
// inlines the arithmetic coder (or the prefix code) whichever is in use.
#include "codec/DcCodec.h"

#include <memory>
#include <ostream>
#include <vector>

#include "base/Compiler.h"
#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Timing.h"
#include "codec/BlockStages.h"
#include "codec/DcValueCoding.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "io/BitStream.h"
#include "transform/Bwt.h"
#include "transform/DistanceCoding.h"

namespace {

template <typename ValueCoder>
void writeValues(ValueCoder& coder, const uint32_t* values, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) coder.encodeValue(values[i]);
    coder.finish();
}

// Values are decoded kLag ahead of the inverse transform: each value the
// transform takes is replaced by decoding one more. The arithmetic decoder
// and the inverse transform are each a chain of dependent steps, and the
// value being decoded is not the one being used, so the two chains run side
// by side instead of one after the other. The decoder works on a copy of the
// model and coder that nothing else can reach, so its state can stay in
// registers. At most n values are decoded, and never more than kLag beyond
// those the transform has taken (it stops early on damaged data).
constexpr uint32_t kLag = 64;  // a power of two

// The source the inverse transform pulls values from, holding the decoder
// and the values decoded ahead.
template <typename ValueCoder>
struct LaggedValues {
    ValueCoder work;
    uint32_t n;
    uint32_t decoded = 0;
    uint32_t taken = 0;
    uint32_t ring[kLag];  // the values decoded and not yet taken

    LaggedValues(const ValueCoder& coder, uint32_t count) : work(coder), n(count) {
        while (decoded < n && decoded < kLag) ring[decoded++ % kLag] = work.decodeValue();
    }

    MORV_FORCE_INLINE uint32_t operator()() {
        const uint32_t v = ring[taken++ % kLag];
        if (decoded < n) ring[decoded++ % kLag] = work.decodeValue();
        return v;
    }
};

// Decodes the n values into the column; returns where their code ends (see
// the coders' codeEnd).
template <typename ValueCoder>
uint64_t readValues(ValueCoder& coder, uint32_t n, uint32_t L, uint8_t* column,
                    const CpuFeatures& features) {
    coder.start();
    return inverseDc(LaggedValues<ValueCoder>(coder, n), n, L, column, features).work.codeEnd();
}

}  // namespace

void compressDc(std::ostream& out, uint8_t* block, uint32_t L, const BlockContext& context) {
    const BlockPlan& s = context.plan;
    const TransformedBlock t = beginBlockCompression(block, L, "   Performing DC coding...", context);

    const int32_t c3 = clockMs();
    DcEncoder dc;
    dc.encode(block, block + L);
    const uint32_t n = dc.count();
    const int32_t c4 = clockMs();
    if (s.verbose) context.console << "      Size of data after DC: " << n << std::endl;
    if (context.diagnostics && context.diagnostics->dcHistogram) {
        recordDcHistogram(*context.diagnostics->dcHistogram, dc.data(), n);
    }

    StreamOutBitStream bits(out, kBitStreamWords);
    if (s.verbose) {
        context.console << "   Coding data to arithmetic stream..." << std::endl;
        context.console << "      Number of symbols: " << (s.prefixCode ? 0 : dcClassCount(L))
                        << std::endl;
    }
    const int32_t c5 = clockMs();
    bits.reset();
    bits.writeBits(t.index, 32);
    bits.writeBits(n, 32);
    if (s.prefixCode) {
        DcPrefixCode<OutBitStream> coder(bits);
        writeValues(coder, dc.data(), n);
    } else {
        DcValueModel<ArithmeticEncoder> coder(L, bits);
        writeValues(coder, dc.data(), n);
    }
    bits.flush();
    const int32_t c6 = clockMs();

    if (s.verbose) {
        printTiming(context.console, "   BWT time: ", t.bwt.start, t.bwt.end);
        printTiming(context.console, "   DC time: ", c3, c4);
        printTiming(context.console, "   Adaptive arithmetic time: ", c5, c6);
        printTiming(context.console, "   Block compression time: ", t.start, c6);
    }
}

uint64_t decompressDc(std::istream& in, uint8_t* out, uint32_t L, const BlockContext& context) {
    const BlockPlan& s = context.plan;
    const int32_t d0 = clockMs();
    StreamInBitStream bits(in, kBitStreamWords);
    if (s.verbose) {
        context.console << "   Decoding data from arithmetic stream, performing iDC..." << std::endl;
        context.console << "      Number of symbols: " << (s.prefixCode ? 0 : dcClassCount(L))
                        << std::endl;
    }
    const uint32_t idx = bits.readBits(32);
    if (s.verbose) context.console << "      First suffix index: " << idx << std::endl;
    const uint32_t n = bits.readBits(32);
    if (s.verbose) context.console << "      Size of DC data: " << n << std::endl;

    // The column is rebuilt in the output buffer and the inverse BWT turns
    // it into the block in place. Every byte of it is written by the inverse
    // transform (or it throws), so the buffer is not cleared first.
    uint8_t* column = out;
    TableAhead table(L, context);
    uint64_t codeEnd = 0;
    if (s.prefixCode) {
        DcPrefixCode<InBitStream> coder(bits);
        codeEnd = readValues(coder, n, L, column, context.features);
    } else {
        DcValueModel<ArithmeticDecoder> coder(L, bits);
        codeEnd = readValues(coder, n, L, column, context.features);
    }
    if (codeEnd == kNoCodeEnd) throw Exception(kCodedEndMessage);
    const int32_t d1 = clockMs();
    const StageClock ibwt = untransformBlock(out, column, L, idx, context, table.take());
    const int32_t d4 = clockMs();

    if (s.verbose) {
        printTiming(context.console, "   iDC + adaptive arithmetic time: ", d0, d1);
        printTiming(context.console, "   iBWT time: ", ibwt.start, ibwt.end);
        printTiming(context.console, "   Block decompression time: ", d0, d4);
    }
    return payloadBytes(codeEnd);
}
