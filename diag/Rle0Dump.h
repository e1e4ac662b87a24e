// The zero-run dump (--rle0_output): per block a header, one token per coded
// symbol ("0a ", "0b ", or the MTF index and a blank) and a trailer with the
// symbol count. Written by both move-to-front codecs while they code.
#pragma once

#include <cstdint>
#include <ostream>

// "[Block]", "Block size = " L, "Data after RLE0:", each a line (flushed).
void writeRle0DumpHeader(std::ostream& out, uint32_t L);

// One symbol of the 257-symbol zero-run alphabet (0..256), not flushed.
inline void writeRle0Token(std::ostream& out, uint32_t symbol) {
    if (symbol == 0) {
        out << "0a ";
    } else if (symbol == 1) {
        out << "0b ";
    } else {
        out << (symbol - 1) << ' ';
    }
}

// Ends the token line, then "Number of coded symbols: " count, then an empty line.
void writeRle0DumpTrailer(std::ostream& out, uint32_t count);
