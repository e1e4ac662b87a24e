// The move-to-front stages the two MTF codecs share: the forward walk that
// turns a BWT column into MTF indices (stored over the column) and coder
// symbols, writing the zero-run dump when asked, and the inverse that turns
// decoded symbols back into the column.
#pragma once

#include <cstdint>

#include "base/Settings.h"
#include "diag/Rle0Dump.h"
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
