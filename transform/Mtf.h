// Move-to-front (MTF) and zero-run (RLE0) coding of a BWT column.
//
// MTF turns the column into indices dominated by zeros; RLE0 then replaces
// each run of zero indices by its run digits. The block codecs run both fused
// with their entropy coder, symbol by symbol, so the pieces here are small
// inline templates driven by callbacks: the codec decides where every symbol
// goes (arithmetic coder, symbol buffer, dump) and where every symbol comes
// from when decoding. The whole-array helpers at the end are built on the
// same pieces and serve tests and diagnostics.
//
// RLE0 symbol alphabet (257 symbols):
//   0 = ZeroRunA (run digit 0), 1 = ZeroRunB (run digit 1),
//   2..256 = MTF index l = symbol - 1 (1..255).
// A run of m >= 1 zero indices is coded as the t digits of v, most
// significant first, where m + 1 = 2^t + v and 0 <= v < 2^t.
#pragma once

#include "base/DamageMessages.h"

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/Exception.h"

inline constexpr uint32_t ZeroRunA = 0;
inline constexpr uint32_t ZeroRunB = 1;
inline constexpr uint32_t kMtfAlphabetSize = 256;   // symbols without RLE0: the index itself
inline constexpr uint32_t kRle0AlphabetSize = 257;  // symbols with RLE0, see above

// The move-to-front list: always a permutation of the byte values 0..255.
// A fresh table (identity) is made per block by encoder and decoder alike.
class MtfTable {
public:
    static constexpr uint32_t size = 256;

    // Builds the identity table: symbols[i] == i.
    MtfTable() {
        for (uint32_t i = 0; i < size; ++i) symbols[i] = static_cast<uint8_t>(i);
    }

    // Returns the position j (0..255) of b and moves b to the front; the
    // bytes at 0..j-1 move one place back. One pass that shifts while it
    // searches; after a BWT the usual answer is 0 after one comparison.
    uint32_t encode(uint8_t b) {
        uint8_t carried = symbols[0];
        if (carried == b) return 0;
        uint32_t j = 1;
        for (; j < size; ++j) {
            const uint8_t here = symbols[j];
            symbols[j] = carried;
            if (here == b) break;
            carried = here;
        }
        assert(j < size);  // the table is a permutation, so b is always found
        symbols[0] = b;
        return j;
    }

    // Returns the byte at position j (0..255) and moves it to the front.
    // The plain kernel: one byte at a time.
    uint8_t decodePlain(uint32_t j) {
        assert(j < size);
        const uint8_t b = symbols[j];
        for (; j > 0; --j) symbols[j] = symbols[j - 1];
        symbols[0] = b;
        return b;
    }

    // decodePlain(j), the bytes moved as words. Below 8 places (most
    // non-zero indices after a BWT) the first eight bytes are one word: the
    // bytes up to j move up by one byte, the others stay. Further back the
    // library's block move. The byte loop waits on each byte it has just
    // written. Measured side by side (bench_coders InverseMtfPlain against
    // InverseMtf, median of 3, one run): 32% less time on alice29.txt and
    // lcet10.txt, 35% on plrabn12.txt, 42% on urls.10K, 56% on html_x_4, 84
    // to 87% on fireworks.jpeg and paper-100k.pdf.
    uint8_t decode(uint32_t j) {
#ifndef MORV_PLAIN_KERNELS
        if constexpr (std::endian::native == std::endian::little) {
            assert(j < size);
            // j is below 256 (every decoder's symbols are); the mask says so
            // to the compiler, which cannot see it through the decoders.
            j &= size - 1;
            const uint8_t b = symbols[j];
            if (j == 0) return b;
            if (j < 8) {
                uint64_t w;
                std::memcpy(&w, symbols.data(), 8);
                // Bytes 0..j: 8j + 8 low bits (all 64 for j = 7).
                const uint64_t moved = (uint64_t{2} << (8 * j + 7)) - 1;
                w = (w & ~moved) | ((w << 8) & moved) | b;
                std::memcpy(symbols.data(), &w, 8);
            } else {
                std::memmove(symbols.data() + 1, symbols.data(), j);
                symbols[0] = b;
            }
            return b;
        }
#endif
        return decodePlain(j);
    }

    // The byte that index 0 stands for (what a run of zero indices repeats).
    uint8_t front() const { return symbols[0]; }

    std::array<uint8_t, size> symbols;
};

// Emits the run digits (ZeroRunA / ZeroRunB) of a run of m >= 1 zero indices,
// most significant first, as emit(uint32_t digit). Emits t = bit_width(m+1)-1
// digits: 1 for m = 1, 2; 2 for m = 3..6; and so on.
template <typename Emit>
inline void emitZeroRun(uint32_t m, Emit&& emit) {
    assert(m >= 1);
    const uint64_t x = static_cast<uint64_t>(m) + 1;  // m + 1 = 2^t + v; no wrap for any m
    for (int bit = std::bit_width(x) - 2; bit >= 0; --bit) {
        emit(static_cast<uint32_t>((x >> bit) & 1u) == 0 ? ZeroRunA : ZeroRunB);
    }
}

// Streaming RLE0 encoder: fed one MTF index at a time, emits RLE0 symbols as
// emit(uint32_t symbol). A run of zeros is held back until a non-zero index
// or finish() ends it, so no symbol array is needed.
class Rle0Encoder {
public:
    // index: 0..255. Emits nothing (a zero extends the run) or the pending
    // run's digits followed by the literal index + 1.
    template <typename Emit>
    void put(uint32_t index, Emit&& emit) {
        assert(index < 256);
        if (index == 0) {
            ++run_;
            return;
        }
        if (run_ != 0) {
            emitZeroRun(run_, emit);
            run_ = 0;
        }
        emit(index + 1);
    }

    // Ends the block: emits the digits of a run that reaches its end, if any.
    template <typename Emit>
    void finish(Emit&& emit) {
        if (run_ != 0) {
            emitZeroRun(run_, emit);
            run_ = 0;
        }
    }

private:
    uint32_t run_ = 0;  // zero indices seen and not yet emitted
};

// RLE0 inverse: pulls symbols (0..256) from next() and produces exactly L MTF
// indices, reported as sink(uint32_t index, uint32_t count): (0, m) for a run
// of m zeros, (l, 1) for a literal l. Never produces more than L indices and
// takes no symbol after the block is full.
// Throws Exception "Error in compressed file (to long coded RLE0 run)" when a
// further run digit is needed after L symbols were taken, and "Error in
// compressed file (RLE0 run exceeds file size)" when a finished run would pass
// the end of the block. Run lengths are kept in 64 bits and stop growing as
// soon as they reach the end of the block, so they never wrap around.
template <typename SymbolSource, typename IndexSink>
void inverseRle0(SymbolSource&& next, uint32_t L, IndexSink&& sink) {
    uint32_t position = 0;  // indices produced
    uint32_t consumed = 0;  // symbols taken
    while (position < L) {
        uint32_t s = next();
        ++consumed;
        assert(s < kRle0AlphabetSize);
        if (s > ZeroRunB) {
            sink(s - 1, 1);
            ++position;
            continue;
        }
        // m = 2^t + v - 1; each further digit s' makes it 2m + 1 + s'. The
        // loop ends once position + m >= L, so m stays below 2L + 2. Every
        // digit stands for at least one zero, so with exact run lengths the
        // symbol count cannot reach L inside the loop; the check is a guard.
        uint64_t m = static_cast<uint64_t>(s) + 1;
        uint32_t literal = 0;  // symbol that ended the run, 0 if none
        while (position + m < L) {
            if (consumed == L) throw Exception(kRle0TooLongMessage);
            s = next();
            ++consumed;
            assert(s < kRle0AlphabetSize);
            if (s > ZeroRunB) {
                literal = s;
                break;
            }
            m = 2 * m + 1 + s;
        }
        if (position + m > L) throw Exception(kRle0OverrunMessage);
        sink(0, static_cast<uint32_t>(m));
        position += static_cast<uint32_t>(m);
        if (literal != 0) {
            // The run stopped short of the end, so the literal has room.
            sink(literal - 1, 1);
            ++position;
        }
    }
}

// Fused MTF without RLE0: replaces data[0..L-1] in place by their MTF indices
// (fresh table) and calls emit(uint32_t index) for each, in order.
template <typename Emit>
void forwardMtf(uint8_t* data, uint32_t L, Emit&& emit) {
    MtfTable table;
    for (uint32_t i = 0; i < L; ++i) {
        const uint32_t j = table.encode(data[i]);
        data[i] = static_cast<uint8_t>(j);
        emit(j);
    }
}

// Fused MTF + RLE0: replaces data[0..L-1] in place by their MTF indices
// (fresh table) and calls emit(uint32_t symbol) for every RLE0 symbol in
// coding order. Returns the number of symbols emitted (at most L).
template <typename Emit>
uint32_t forwardMtfRle0(uint8_t* data, uint32_t L, Emit&& emit) {
    MtfTable table;
    Rle0Encoder rle0;
    uint32_t count = 0;
    auto counted = [&](uint32_t symbol) {
        ++count;
        emit(symbol);
    };
    for (uint32_t i = 0; i < L; ++i) {
        const uint32_t j = table.encode(data[i]);
        data[i] = static_cast<uint8_t>(j);
        rle0.put(j, counted);
    }
    rle0.finish(counted);
    return count;
}

// Inverse MTF without RLE0: output[0..L-1] = bytes of L indices (0..255)
// pulled from next(), with a fresh table.
template <typename IndexSource>
void inverseMtf(IndexSource&& next, uint8_t* output, uint32_t L) {
    MtfTable table;
    for (uint32_t i = 0; i < L; ++i) output[i] = table.decode(next());
}

// Fused inverse RLE0 + MTF: fills output[0..L-1] from RLE0 symbols pulled
// from next(); a run of zero indices is written as one fill of the front
// byte. Throws what inverseRle0 throws; output may then be partly written.
template <typename SymbolSource>
void inverseMtfRle0(SymbolSource&& next, uint8_t* output, uint32_t L) {
    MtfTable table;
    uint32_t k = 0;
    inverseRle0(next, L, [&](uint32_t index, uint32_t count) {
        if (index == 0) {
            std::memset(output + k, table.front(), count);
            k += count;
        } else {
            output[k++] = table.decode(index);
        }
    });
}

// Whole-array RLE0 of L MTF indices: the symbols in coding order (<= L).
std::vector<uint16_t> forwardRle0(const uint8_t* indices, uint32_t L);

// Whole-array RLE0 inverse: the L MTF indices coded by `symbols`. Throws the
// two RLE0 Exceptions of inverseRle0, and std::out_of_range when the decoder
// needs more symbols than `symbols` holds or meets a symbol above 256.
// Symbols left over are ignored.
std::vector<uint8_t> inverseRle0(const std::vector<uint16_t>& symbols, uint32_t L);
