// MTF pipeline with the adaptive coder. After the BWT a single pass does
// move-to-front, zero-run coding and arithmetic coding together, so no symbol
// array is ever built; the decoder mirrors it symbol by symbol.
#include "codec/MtfAdaptiveCodec.h"

#include <iostream>
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

void compressMtfAdaptive(std::ostream& out, uint8_t* block, uint32_t L) {
    const Settings& s = settings();
    const bool rle0 = s.rle0;
    const int32_t c0 = clockMs();
    StageClock bwt;
    const uint32_t idx = transformBlock(block, L, bwt);
    if (s.verbose) std::cout << "   Coding data to arithmetic stream..." << std::endl;

    const int32_t c3 = clockMs();
    StreamOutBitStream bits(out, kBitStreamWords);
    bits.reset();
    bits.writeBits(idx, 32);
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
        printTiming(std::cout, "   BWT time: ", bwt.start, bwt.end);
        printTiming(
            std::cout,
            rle0 ? "   MTF + RLE0 + adaptive arithmetic time: " : "   MTF + adaptive arithmetic time: ",
            c3, c4);
        printTiming(std::cout, "   Block compression time: ", c0, c5);
    }
}

namespace {

// The adaptive model and the arithmetic decoder, one symbol at a time.
class AdaptiveSymbolDecoder {
public:
    AdaptiveSymbolDecoder(uint32_t alphabetSize, InBitStream& bits)
        : model(alphabetSize), decoder(bits) {}
    void begin() { decoder.start(); }
    uint32_t decodeSymbol() {
        const uint32_t symbol = model.findSymbol(decoder.target(model.total()));
        const SymbolInterval i = model.update(symbol, kRescaleLimit);
        decoder.update(i.lowCount, i.highCount, i.total);
        return symbol;
    }
    uint64_t codeEnd() const { return decoder.codeEnd(); }

private:
    AdaptiveModel model;
    ArithmeticDecoder decoder;
};

}  // namespace

uint64_t decompressMtfAdaptive(std::istream& in, uint8_t* out, uint32_t L) {
    return decompressMtfBlock<AdaptiveSymbolDecoder>(in, out, L, "adaptive");
}
