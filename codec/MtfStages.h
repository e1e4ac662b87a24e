// What the two MTF codecs share: the forward walk that turns a BWT column
// into MTF indices (stored over the column) and coder symbols, writing the
// zero-run dump when asked; the inverse that turns decoded symbols back into
// the column; and the whole extraction of a block, over either coder.
#pragma once

#include <cstdint>
#include <ostream>
#include <istream>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Settings.h"
#include "base/Timing.h"
#include "codec/BlockStages.h"
#include "diag/Rle0Dump.h"
#include "io/BitStream.h"
#include "transform/Mtf.h"

// Replaces column[0..L) by its MTF indices and calls emit(symbol) for every
// symbol the coder sees: the zero-run alphabet (257 symbols) when rle0 is on,
// the index itself (256 symbols) when off. With rle0 and settings().rle0Output
// the symbols are also written to the zero-run dump. Returns the symbol count.
template <typename Emit>
uint32_t mtfForward(uint8_t* column, uint32_t L, bool rle0, Emit&& emit) {
    if (!rle0) {
        forwardMtf(column, L, emit);
        return L;
    }
    Settings& s = settings();
    if (!s.rle0Output) {
        return forwardMtfRle0(column, L, emit);
    }
    std::ostream& dump = s.rle0OutputStream;
    writeRle0DumpHeader(dump, L);
    const uint32_t count = forwardMtfRle0(column, L, [&](uint32_t symbol) {
        writeRle0Token(dump, symbol);
        emit(symbol);
    });
    writeRle0DumpTrailer(dump, count);
    return count;
}

// Rebuilds column[0..L) from symbols pulled from next(), the inverse of
// mtfForward. Throws the zero-run Exceptions for damaged run digits.
template <typename Source>
void mtfInverse(Source&& next, uint8_t* column, uint32_t L, bool rle0) {
    if (rle0) {
        inverseMtfRle0(next, column, L);
    } else {
        inverseMtf(next, column, L);
    }
}

// Extracts one MTF block over the symbol decoder Decoder, which is made from
// (alphabet size, bit stream) and offers begin() (reads what precedes the
// first symbol), decodeSymbol() and codeEnd(). rle0: whether the block was
// zero-run coded (its header says). coderName names the coder in the verbose
// timing line. Returns the payload size the code takes up.
template <typename Decoder>
uint64_t decompressMtfBlock(std::istream& in, uint8_t* out, uint32_t L, bool rle0, const char* coderName,
                            const BlockContext& context) {
    const Settings& s = settings();
    const int32_t d0 = clockMs();
    std::vector<uint8_t> column(L);
    StreamInBitStream bits(in, kBitStreamWords);
    if (s.verbose) context.console << "   Decoding data from arithmetic stream..." << std::endl;

    const int32_t d1 = clockMs();
    const uint32_t idx = bits.readBits(32);
    if (s.verbose) context.console << "      First suffix index: " << idx << std::endl;
    uint64_t codeEnd = 0;
    {
        Decoder decoder(rle0 ? kRle0AlphabetSize : kMtfAlphabetSize, bits);
        decoder.begin();
        mtfInverse([&decoder] { return decoder.decodeSymbol(); }, column.data(), L, rle0);
        codeEnd = decoder.codeEnd();
    }
    if (codeEnd == kNoCodeEnd) throw Exception(kCodedEndMessage);
    const int32_t d2 = clockMs();

    const StageClock ibwt = untransformBlock(out, column.data(), L, idx, context);
    column = std::vector<uint8_t>();
    const int32_t d5 = clockMs();

    if (s.verbose) {
        const std::string stages = rle0 ? "   iMTF + iRLE0 + " : "   iMTF + ";
        printTiming(context.console, (stages + coderName + " arithmetic time: ").c_str(), d1, d2);
        printTiming(context.console, "   iBWT time: ", ibwt.start, ibwt.end);
        printTiming(context.console, "   Block decompression time: ", d0, d5);
    }
    return payloadBytes(codeEnd);
}
