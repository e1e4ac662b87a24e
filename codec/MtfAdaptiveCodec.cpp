// MTF pipeline with the adaptive coder. After the BWT a single pass does
// move-to-front, zero-run coding and arithmetic coding together, so no symbol
// array is ever built; the decoder mirrors it symbol by symbol.
#include "codec/MtfAdaptiveCodec.h"

#include <iostream>
#include <vector>

#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Settings.h"
#include "base/Timing.h"
#include "codec/MtfStages.h"
#include "coder/AdaptiveCoder.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "io/BitStream.h"
#include "transform/Bwt.h"

namespace {
constexpr uint32_t kRescaleLimit = 16384;
}

void compressMtfAdaptive(std::ostream& out, uint8_t* block, uint32_t L) {
    const Settings& s = settings();
    const bool rle0 = s.rle0;
    const int32_t c0 = clockMs();
    if (s.inputHistogram) recordInputHistogram(block, L);
    if (s.verbose) std::cout << "   Performing BWT..." << std::endl;

    const int32_t c1 = clockMs();
    const uint32_t idx = forwardBwt(block, L);
    const int32_t c2 = clockMs();
    if (s.verbose) std::cout << "      First suffix index: " << idx << std::endl;
    if (s.bwtOutput) dumpBwt(block, L, idx);
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
        printTiming(std::cout, "   BWT time: ", c1, c2);
        printTiming(std::cout,
                    rle0 ? "   MTF + RLE0 + adaptive arithmetic time: "
                         : "   MTF + adaptive arithmetic time: ",
                    c3, c4);
        printTiming(std::cout, "   Block compression time: ", c0, c5);
    }
}

uint64_t decompressMtfAdaptive(std::istream& in, uint8_t* out, uint32_t L) {
    const Settings& s = settings();
    const bool rle0 = s.rle0;
    const int32_t d0 = clockMs();
    std::vector<uint8_t> column(L);
    StreamInBitStream bits(in, kBitStreamWords);
    if (s.verbose) std::cout << "   Decoding data from arithmetic stream..." << std::endl;

    const int32_t d1 = clockMs();
    const uint32_t idx = bits.readBits(32);
    if (s.verbose) std::cout << "      First suffix index: " << idx << std::endl;
    uint64_t codeEnd = 0;
    {
        AdaptiveModel model(rle0 ? kRle0AlphabetSize : kMtfAlphabetSize);
        ArithmeticDecoder decoder(bits);
        decoder.start();
        mtfInverse(
            [&]() -> uint32_t {
                const uint32_t symbol = model.findSymbol(decoder.target(model.total()));
                const SymbolInterval i = model.update(symbol, kRescaleLimit);
                decoder.update(i.lowCount, i.highCount, i.total);
                return symbol;
            },
            column.data(), L, rle0);
        codeEnd = decoder.codeEnd();
    }
    if (codeEnd == kNoCodeEnd) throw Exception(kCodedEndMessage);
    const int32_t d2 = clockMs();
    if (s.verbose) std::cout << "   Performing iBWT..." << std::endl;

    const int32_t d3 = clockMs();
    inverseBwt(out, column.data(), L, idx);
    const int32_t d4 = clockMs();
    column = std::vector<uint8_t>();
    const int32_t d5 = clockMs();

    if (s.verbose) {
        printTiming(std::cout,
                    rle0 ? "   iMTF + iRLE0 + adaptive arithmetic time: "
                         : "   iMTF + adaptive arithmetic time: ",
                    d1, d2);
        printTiming(std::cout, "   iBWT time: ", d3, d4);
        printTiming(std::cout, "   Block decompression time: ", d0, d5);
    }
    return payloadBytes(codeEnd);
}
