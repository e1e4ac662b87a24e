// Timing lines. The difference is taken modulo 2^32 and read as signed, the
// way a 32-bit clock difference behaves, then printed with whatever precision
// the stream has (6 digits by default, 3 after the compression summary).
#include "base/Timing.h"

void printTiming(std::ostream& out, const char* label, int32_t start, int32_t end) {
    out << label;
    if (start == -1 || end == -1) {
        out << "-";
    } else {
        const int32_t diff =
            static_cast<int32_t>(static_cast<uint32_t>(end) - static_cast<uint32_t>(start));
        out << static_cast<double>(diff) * 0.001 << "s";
    }
    out << std::endl;
}
