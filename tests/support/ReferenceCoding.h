// Independent reference pieces for the bit-level tests: a bit list and its
// byte layout (first bit in bit 0 of the first byte), and a textbook
// arithmetic encoder with bits to follow, written with comparisons and
// subtractions, against which the real coders' output is checked.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace testdata {

using Bits = std::vector<uint8_t>;  // one 0/1 entry per bit, in stream order

inline std::string packBits(const Bits& bits) {
    std::string bytes((bits.size() + 7) / 8, '\0');
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] != 0) bytes[i / 8] = static_cast<char>(bytes[i / 8] | (1 << (i % 8)));
    }
    return bytes;
}

inline std::string bytesOf(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

// The coder over `precision`-bit registers (16 for the adaptive coder, 18 for
// the static one). finish() emits the closing bits.
template <unsigned precision>
class ReferenceEncoder {
public:
    void encode(uint32_t lowCount, uint32_t highCount, uint32_t total) {
        const uint64_t range = uint64_t{high} - low + 1;
        high = static_cast<uint32_t>(low + range * highCount / total - 1);
        low = static_cast<uint32_t>(low + range * lowCount / total);
        for (;;) {
            if (high < kHalf) {
                emit(0);
            } else if (low >= kHalf) {
                emit(1);
                low -= kHalf;
                high -= kHalf;
            } else if (low >= kQuarter && high < kHalf + kQuarter) {
                ++pending;
                low -= kQuarter;
                high -= kQuarter;
            } else {
                break;
            }
            low = 2 * low;
            high = 2 * high + 1;
        }
    }
    void finish() {
        ++pending;
        emit(low < kQuarter ? 0 : 1);
    }

    Bits bits;

private:
    static constexpr uint32_t kHalf = 1u << (precision - 1);
    static constexpr uint32_t kQuarter = 1u << (precision - 2);

    void emit(uint8_t bit) {
        bits.push_back(bit);
        for (; pending > 0; --pending) bits.push_back(static_cast<uint8_t>(bit ^ 1));
    }

    uint32_t low = 0;
    uint32_t high = (1u << precision) - 1;
    uint32_t pending = 0;
};

}  // namespace testdata
