// Whole-array forms of RLE0, for tests and diagnostics. They are thin
// wrappers over the streaming pieces in Mtf.h, which the block codecs use
// directly, so both paths share one implementation of every rule.
#include "transform/Mtf.h"

#include <stdexcept>

std::vector<uint16_t> forwardRle0(const uint8_t* indices, uint32_t L) {
    std::vector<uint16_t> symbols;
    symbols.reserve(L);
    auto append = [&](uint32_t symbol) { symbols.push_back(static_cast<uint16_t>(symbol)); };
    Rle0Encoder rle0;
    for (uint32_t i = 0; i < L; ++i) rle0.put(indices[i], append);
    rle0.finish(append);
    return symbols;
}

std::vector<uint8_t> inverseRle0(const std::vector<uint16_t>& symbols, uint32_t L) {
    std::vector<uint8_t> indices;
    indices.reserve(L);
    size_t taken = 0;
    auto next = [&]() -> uint32_t {
        const uint32_t s = symbols.at(taken++);
        if (s >= kRle0AlphabetSize) throw std::out_of_range("RLE0 symbol above 256");
        return s;
    };
    inverseRle0(next, L, [&](uint32_t index, uint32_t count) {
        indices.insert(indices.end(), count, static_cast<uint8_t>(index));
    });
    return indices;
}
