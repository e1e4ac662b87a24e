// Zero-run dump sections. Tokens are not flushed one by one (a block can have
// millions); the section's lines are.
#include "diag/Rle0Dump.h"

void writeRle0DumpHeader(std::ostream& out, uint32_t L) {
    out << "[Block]" << std::endl;
    out << "Block size = " << L << std::endl;
    out << "Data after RLE0:" << std::endl;
}

void writeRle0DumpTrailer(std::ostream& out, uint32_t count) {
    out << std::endl;
    out << "Number of coded symbols: " << count << std::endl;
    out << std::endl;
}
