// MTF pipeline with the adaptive coder. After the BWT a single pass does
// move-to-front, zero-run coding and arithmetic coding together, so no symbol
// array is ever built; the decoder mirrors it symbol by symbol.
#include "codec/MtfAdaptiveCodec.h"

#include <ostream>
#include <vector>

#include "base/Platform.h"
#include "base/Settings.h"
#include "base/Timing.h"
#include "codec/MtfStages.h"
#include "coder/AdaptiveCoder.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "io/BitStream.h"

namespace {
constexpr uint32_t kRescaleLimit = 16384;
}

void compressMtfAdaptive(std::ostream& out, uint8_t* block, uint32_t L, const BlockContext& context) {
    const Settings& s = settings();
    const bool rle0 = s.rle0;
    const TransformedBlock t =
        beginBlockCompression(block, L, "   Coding data to arithmetic stream...", context);

    const int32_t c3 = clockMs();
    StreamOutBitStream bits(out, kBitStreamWords);
    bits.reset();
    bits.writeBits(t.index, 32);
    {
        ArithmeticEncoder encoder(bits);
        AdaptiveModel model(rle0 ? kRle0AlphabetSize : kMtfAlphabetSize);
        mtfForward(block, L, rle0, [&](uint32_t symbol) {
            const SymbolInterval i = model.update(symbol, kRescaleLimit);
            encoder.encode(i.lowCount, i.highCount, i.total);
        });
        encoder.finish();
    }
    bits.flush();
    const int32_t c4 = clockMs();
    const int32_t c5 = clockMs();

    if (s.mtfOutput) dumpMtf(block, L);
    if (s.mtfHistogram) recordMtfHistogram(block, L);
    if (s.verbose) {
        printTiming(context.console, "   BWT time: ", t.bwt.start, t.bwt.end);
        printTiming(
            context.console,
            rle0 ? "   MTF + RLE0 + adaptive arithmetic time: " : "   MTF + adaptive arithmetic time: ",
            c3, c4);
        printTiming(context.console, "   Block compression time: ", t.start, c5);
    }
}

namespace {

// The adaptive model and the arithmetic decoder, one symbol at a time.
class AdaptiveSymbolDecoder {
public:
    AdaptiveSymbolDecoder(uint32_t alphabetSize, InBitStream& bits)
        : model(alphabetSize), decoder(bits) {}
    void begin() { decoder.start(); }
    uint32_t decodeSymbol() { return decodeAdaptiveSymbol(model, decoder, kRescaleLimit); }
    uint64_t codeEnd() const { return decoder.codeEnd(); }

private:
    AdaptiveModel model;
    ArithmeticDecoder decoder;
};

}  // namespace

uint64_t decompressMtfAdaptive(std::istream& in, uint8_t* out, uint32_t L, bool rle0,
                               const BlockContext& context) {
    return decompressMtfBlock<AdaptiveSymbolDecoder>(in, out, L, rle0, "adaptive", context);
}
