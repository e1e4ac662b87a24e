// MTF pipeline with the static coder. A counting pass runs MTF and zero-run
// coding once, keeping the symbols in a 16-bit array, so the coding pass only
// looks symbols up in the stored table. The table travels in the payload.
#include "codec/MtfStaticCodec.h"

#include <iostream>
#include <vector>

#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Settings.h"
#include "base/Timing.h"
#include "codec/MtfStages.h"
#include "coder/StaticCoder.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "io/BitStream.h"
#include "transform/Bwt.h"

void compressMtfStatic(std::ostream& out, uint8_t* block, uint32_t L) {
    const Settings& s = settings();
    const bool rle0 = s.rle0;
    const int32_t c0 = clockMs();
    if (s.inputHistogram) recordInputHistogram(block, L);
    StreamOutBitStream bits(out, kBitStreamWords);
    if (s.verbose) std::cout << "   Performing BWT..." << std::endl;

    const int32_t c1 = clockMs();
    const uint32_t idx = forwardBwt(block, L);
    const int32_t c2 = clockMs();
    if (s.verbose) std::cout << "      First suffix index: " << idx << std::endl;
    if (s.bwtOutput) dumpBwt(block, L, idx);
    if (s.verbose) std::cout << "   Gathering symbol statistics..." << std::endl;

    const int32_t c3 = clockMs();
    StaticEncoder encoder(rle0 ? kRle0AlphabetSize : kMtfAlphabetSize, bits);
    uint32_t* counts = encoder.counts();
    std::fill(counts, counts + encoder.alphabetSize(), 0u);
    // With zero-run coding the symbols are kept for the coding pass (never
    // more than L of them); without it the MTF indices stored over the block are
    // the symbols.
    std::vector<uint16_t> symbols;
    if (rle0) symbols.reserve(L);
    const uint32_t symbolTotal = mtfForward(block, L, rle0, [&](uint32_t symbol) {
        ++counts[symbol];
        if (rle0) symbols.push_back(static_cast<uint16_t>(symbol));
    });
    encoder.setSymbolTotal(symbolTotal);
    encoder.scale();
    if (s.mtfOutput) dumpMtf(block, L);
    if (s.mtfHistogram) recordMtfHistogram(block, L);
    const int32_t c4 = clockMs();
    if (s.verbose) std::cout << "   Coding data to arithmetic stream..." << std::endl;

    const int32_t c5 = clockMs();
    bits.reset();
    bits.writeBits(idx, 32);
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
        printTiming(std::cout, "   BWT time: ", c1, c2);
        printTiming(std::cout, "   Gathering symbol statistics time: ", c3, c4);
        printTiming(std::cout,
                    rle0 ? "   MTF + RLE0 + static arithmetic time: "
                         : "   MTF + static arithmetic time: ",
                    c5, c6);
        printTiming(std::cout, "   Block compression time: ", c0, c7);
    }
}

uint64_t decompressMtfStatic(std::istream& in, uint8_t* out, uint32_t L) {
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
        StaticDecoder decoder(rle0 ? kRle0AlphabetSize : kMtfAlphabetSize, bits);
        decoder.readTable();
        decoder.start();
        mtfInverse([&decoder] { return decoder.decodeSymbol(); }, column.data(), L, rle0);
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
                    rle0 ? "   iMTF + iRLE0 + static arithmetic time: "
                         : "   iMTF + static arithmetic time: ",
                    d1, d2);
        printTiming(std::cout, "   iBWT time: ", d3, d4);
        printTiming(std::cout, "   Block decompression time: ", d0, d5);
    }
    return payloadBytes(codeEnd);
}
