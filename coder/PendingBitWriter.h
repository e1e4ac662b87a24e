// The bits-to-follow output of the static (18-bit) arithmetic encoder (the
// adaptive encoder gathers its bits in a word of its own instead): while the
// code interval straddles the middle of the scale its next bit is not known
// yet, only that the bits after it will all be its opposite. Those deferred
// bits are counted here and written after the next bit that is decided, and
// the closing bits of a code are written the same way.
#pragma once

#include <cstdint>

#include "io/BitStream.h"

class PendingBitWriter {
public:
    // The bit stream is not owned and must outlive the writer.
    explicit PendingBitWriter(OutBitStream& out) : output(out) {}

    // The stream itself, for what is written outside the code (a table).
    OutBitStream& stream() { return output; }

    // m more bits deferred: the interval straddled the middle for m shifts.
    void defer(uint32_t m) { pendingBits += m; }

    // Writes a decided bit, then the deferred bits, each its opposite.
    void writeDecided(uint32_t bit) {
        output.putBit(bit);
        if (pendingBits != 0) {
            output.writeRun(bit ^ 1u, pendingBits);
            pendingBits = 0;
        }
    }

    // Closes the code: `bit`, then pendingBits + 1 copies of its opposite.
    // An encoder passes the bit below the top of its low register, so that
    // the two bits beyond the deferred ones name a quarter of the scale lying
    // wholly inside the final interval: whatever bits a decoder reads after
    // them cannot change a decoded symbol.
    void close(uint32_t bit) {
        output.putBit(bit);
        output.writeRun(bit ^ 1u, pendingBits + 1);
        pendingBits = 0;
    }

private:
    uint32_t pendingBits = 0;
    OutBitStream& output;
};
