// How often each byte value occurs in a stretch of bytes: the counting pass
// that the suffix sorter and the inverse transform's tables both start from.
#pragma once

#include <array>
#include <cstdint>

// Counts of the bytes in[begin..end), kept in four tables in turn so that a
// run of one byte does not make every increment wait for the one before.
inline std::array<uint32_t, 256> countBytes(const uint8_t* in, uint32_t begin, uint32_t end) {
    uint32_t part[4][256] = {};
    uint32_t k = begin;
    for (; k + 4 <= end; k += 4) {
        ++part[0][in[k]];
        ++part[1][in[k + 1]];
        ++part[2][in[k + 2]];
        ++part[3][in[k + 3]];
    }
    for (; k < end; ++k) ++part[0][in[k]];
    std::array<uint32_t, 256> counts;
    for (uint32_t c = 0; c < 256; ++c) counts[c] = part[0][c] + part[1][c] + part[2][c] + part[3][c];
    return counts;
}
