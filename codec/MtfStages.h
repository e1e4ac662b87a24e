// What the two MTF codecs share: the forward walk that turns a BWT column
// into MTF indices (stored over the column) and coder symbols, writing the
// zero-run dump when asked; the inverse that turns decoded symbols back into
// the column; and the whole compression and extraction of a block, over
// either coder.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Timing.h"
#include "codec/BlockStages.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "diag/Rle0Dump.h"
#include "io/BitStream.h"
#include "transform/Mtf.h"

// Replaces column[0..L) by its MTF indices and calls emit(symbol) for every
// symbol the coder sees: the zero-run alphabet (257 symbols) when rle0 is on,
// the index itself (256 symbols) when off. With rle0 and a zero-run dump
// stream the symbols are also written to it. Returns the symbol count.
template <typename Emit>
uint32_t mtfForward(uint8_t* column, uint32_t L, bool rle0, std::ostream* rle0Dump, Emit&& emit) {
    if (!rle0) {
        forwardMtf(column, L, emit);
        return L;
    }
    if (rle0Dump == nullptr) {
        return forwardMtfRle0(column, L, emit);
    }
    std::ostream& dump = *rle0Dump;
    writeRle0DumpHeader(dump, L);
    const uint32_t count = forwardMtfRle0(column, L, [&](uint32_t symbol) {
        writeRle0Token(dump, symbol);
        emit(symbol);
    });
    writeRle0DumpTrailer(dump, count);
    return count;
}

// Compresses one MTF block over the symbol coder Coder, which is made from
// (alphabet size, bit stream, rle0, L) and offers:
//   kFirstStage  the verbose line announcing the pass after the transform;
//   kName        the coder's name in the timing line;
//   kCodingPass  whether the symbols are coded in a pass of their own after
//                the MTF walk (the static coder, whose table must be known
//                first) rather than during it;
//   beforeWalk(index), walk(symbol), afterWalk(), and code(index, indices)
//   for the separate pass.
// The block holds the MTF indices afterwards; the dumps are written from them.
template <typename Coder>
void compressMtfBlock(std::ostream& out, uint8_t* block, uint32_t L, const BlockContext& context) {
    const BlockPlan& plan = context.plan;
    const bool rle0 = plan.rle0;
    const DiagnosticsSink* dumps = context.diagnostics;
    const TransformedBlock t = beginBlockCompression(block, L, Coder::kFirstStage, context);
    const int32_t c3 = clockMs();
    StreamOutBitStream bits(out, kBitStreamWords);
    int32_t c4 = 0;
    int32_t c5 = 0;
    int32_t c6 = 0;
    {
        Coder coder(rle0 ? kRle0AlphabetSize : kMtfAlphabetSize, bits, rle0, L);
        coder.beforeWalk(t.index);
        mtfForward(block, L, rle0, dumps ? dumps->rle0 : nullptr,
                   [&](uint32_t symbol) { coder.walk(symbol); });
        coder.afterWalk();
        if (dumps && dumps->mtf) dumpMtf(*dumps->mtf, block, L);
        if (dumps && dumps->mtfHistogram) recordMtfHistogram(*dumps->mtfHistogram, block, L);
        c4 = clockMs();
        if constexpr (Coder::kCodingPass) {
            if (plan.verbose) context.console << "   Coding data to arithmetic stream..." << std::endl;
            c5 = clockMs();
            coder.code(t.index, block);
        }
    }
    bits.flush();
    c6 = clockMs();
    if (plan.verbose) {
        const std::string coding =
            std::string(rle0 ? "   MTF + RLE0 + " : "   MTF + ") + Coder::kName + " arithmetic time: ";
        printTiming(context.console, "   BWT time: ", t.bwt.start, t.bwt.end);
        if constexpr (Coder::kCodingPass) {
            printTiming(context.console, "   Gathering symbol statistics time: ", c3, c4);
            printTiming(context.console, coding.c_str(), c5, c6);
        } else {
            printTiming(context.console, coding.c_str(), c3, c6);
        }
        printTiming(context.console, "   Block compression time: ", t.start, c6);
    }
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
// first symbol), decodeSymbol(), codeEnd() and, where it checks the symbols
// it decoded, end() (throws when they cannot be). context.plan.rle0: whether
// the block was zero-run coded (its header says). coderName names the coder in the verbose
// timing line. Returns the payload size the code takes up.
template <typename Decoder>
uint64_t decompressMtfBlock(std::istream& in, uint8_t* out, uint32_t L, const char* coderName,
                            const BlockContext& context) {
    const BlockPlan& s = context.plan;
    const bool rle0 = s.rle0;
    const int32_t d0 = clockMs();
    // The column is rebuilt in the output buffer, and the inverse transform
    // turns it into the block in place.
    uint8_t* column = out;
    StreamInBitStream bits(in, kBitStreamWords);
    if (s.verbose) context.console << "   Decoding data from arithmetic stream..." << std::endl;

    TableAhead table(L, context);
    const int32_t d1 = clockMs();
    const uint32_t idx = bits.readBits(32);
    if (s.verbose) context.console << "      First suffix index: " << idx << std::endl;
    uint64_t codeEnd = 0;
    {
        Decoder decoder(rle0 ? kRle0AlphabetSize : kMtfAlphabetSize, bits);
        decoder.begin();
        mtfInverse([&decoder] { return decoder.decodeSymbol(); }, column, L, rle0);
        codeEnd = decoder.codeEnd();
        if (codeEnd == kNoCodeEnd) throw Exception(kCodedEndMessage);
        // A decoder that checks what it decoded once the code has ended
        // well (the static one: its table against the symbols' counts).
        if constexpr (requires { decoder.end(); }) decoder.end();
    }
    const int32_t d2 = clockMs();

    const StageClock ibwt = untransformBlock(out, column, L, idx, context, table.take());
    const int32_t d5 = clockMs();

    if (s.verbose) {
        const std::string stages = rle0 ? "   iMTF + iRLE0 + " : "   iMTF + ";
        printTiming(context.console, (stages + coderName + " arithmetic time: ").c_str(), d1, d2);
        printTiming(context.console, "   iBWT time: ", ibwt.start, ibwt.end);
        printTiming(context.console, "   Block decompression time: ", d0, d5);
    }
    return payloadBytes(codeEnd);
}
