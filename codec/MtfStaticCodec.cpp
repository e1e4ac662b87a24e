// MTF pipeline with the static coder. A counting pass runs MTF and zero-run
// coding once, keeping the symbols in a 16-bit array, so the coding pass only
// looks symbols up in the stored table. The table travels in the payload.
#include "codec/MtfStaticCodec.h"

#include <ostream>
#include <vector>

#include "base/Platform.h"
#include "base/Settings.h"
#include "base/Timing.h"
#include "codec/MtfStages.h"
#include "coder/StaticCoder.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "io/BitStream.h"

void compressMtfStatic(std::ostream& out, uint8_t* block, uint32_t L, const BlockContext& context) {
    const Settings& s = settings();
    const bool rle0 = s.rle0;
    const TransformedBlock t = beginBlockCompression(block, L, "   Gathering symbol statistics...", context);

    const int32_t c3 = clockMs();
    StreamOutBitStream bits(out, kBitStreamWords);
    StaticEncoder encoder(rle0 ? kRle0AlphabetSize : kMtfAlphabetSize, bits);
    uint32_t* counts = encoder.counts();
    // With zero-run coding the symbols are kept for the coding pass (never
    // more than L of them); without it the MTF indices stored over the block are
    // the symbols.
    std::vector<uint16_t> symbols;
    if (rle0) symbols.reserve(L);
    mtfForward(block, L, rle0, [&](uint32_t symbol) {
        ++counts[symbol];
        if (rle0) symbols.push_back(static_cast<uint16_t>(symbol));
    });
    encoder.scale();
    if (s.mtfOutput) dumpMtf(block, L);
    if (s.mtfHistogram) recordMtfHistogram(block, L);
    const int32_t c4 = clockMs();
    if (s.verbose) context.console << "   Coding data to arithmetic stream..." << std::endl;

    const int32_t c5 = clockMs();
    bits.reset();
    bits.writeBits(t.index, 32);
    encoder.writeTable();
    if (rle0) {
        for (const uint16_t symbol : symbols) encoder.encodeSymbol(symbol);
        symbols = std::vector<uint16_t>();
    } else {
        for (uint32_t i = 0; i < L; ++i) encoder.encodeSymbol(block[i]);
    }
    encoder.finish();
    bits.flush();
    const int32_t c6 = clockMs();
    const int32_t c7 = clockMs();

    if (s.verbose) {
        printTiming(context.console, "   BWT time: ", t.bwt.start, t.bwt.end);
        printTiming(context.console, "   Gathering symbol statistics time: ", c3, c4);
        printTiming(
            context.console,
            rle0 ? "   MTF + RLE0 + static arithmetic time: " : "   MTF + static arithmetic time: ", c5,
            c6);
        printTiming(context.console, "   Block compression time: ", t.start, c7);
    }
}

namespace {

// The stored frequency table, read ahead of the first symbol, and the static
// decoder.
class StaticSymbolDecoder {
public:
    StaticSymbolDecoder(uint32_t alphabetSize, InBitStream& bits) : decoder(alphabetSize, bits) {}
    void begin() {
        decoder.readTable();
        decoder.start();
    }
    uint32_t decodeSymbol() { return decoder.decodeSymbol(); }
    uint64_t codeEnd() const { return decoder.codeEnd(); }

private:
    StaticDecoder decoder;
};

}  // namespace

uint64_t decompressMtfStatic(std::istream& in, uint8_t* out, uint32_t L, bool rle0,
                         const BlockContext& context) {
    return decompressMtfBlock<StaticSymbolDecoder>(in, out, L, rle0, "static", context);
}
