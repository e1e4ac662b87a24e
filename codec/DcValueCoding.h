// The two ways a DC block's values are coded. Normally each value is split
// into one of 57 classes (coded by an adaptive model) and an offset inside the
// class (coded as uniform symbols through the same arithmetic coder); with -p
// a fixed prefix code goes straight to the bit stream.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "base/Compiler.h"
#include "base/Exception.h"
#include "coder/AdaptiveCoder.h"
#include "coder/SmallAdaptiveModel.h"
#include "io/BitStream.h"
#include "transform/DistanceCoding.h"

// Classes k = 0..56 tile the 32-bit values: class k holds
// base[k] .. base[k] + 2^extraBits[k] - 1.
struct DcBucketTable {
    static constexpr uint32_t classCount = 57;
    std::array<uint32_t, classCount> base{};
    std::array<uint8_t, classCount> extraBits{};

    constexpr DcBucketTable() {
        for (uint32_t k = 0; k < classCount; ++k) {
            if (k < 8) {
                base[k] = k;
                extraBits[k] = 0;
            } else if (k < 32) {
                const uint32_t g = (k - 8) / 4 + 1;
                base[k] = (1u << (g + 2)) + ((k - 8) % 4) * (1u << g);
                extraBits[k] = static_cast<uint8_t>(g);
            } else {
                base[k] = 384u + (1u << (k - 25));
                extraBits[k] = static_cast<uint8_t>(k - 25);
            }
        }
    }
};

inline constexpr DcBucketTable kDcBuckets{};
static_assert(DcBucketTable::classCount <= kSmallAlphabetMaxSymbols);

// Number of classes a block of L bytes uses: the smallest k >= 2 whose base
// exceeds L (every value is at most L), or 57.
constexpr uint32_t dcClassCount(uint32_t L) {
    for (uint32_t k = 2; k < DcBucketTable::classCount; ++k) {
        if (kDcBuckets.base[k] > L) return k;
    }
    return DcBucketTable::classCount;
}

// Class model plus arithmetic coder of one block. Coder is ArithmeticEncoder
// (use encodeValue, then finish) or ArithmeticDecoder (start, then
// decodeValue). The bit stream is not owned.
template <typename Coder>
class DcValueModel {
public:
    static constexpr uint32_t rescaleLimit = 4096;

private:
    // Reciprocals of every total the class model can reach (below the
    // limit), so decoding a class divides only once.
    struct TotalTable {
        std::array<Reciprocal, rescaleLimit> of{};
        constexpr TotalTable() {
            for (uint32_t t = 1; t < rescaleLimit; ++t) of[t] = Reciprocal(t);
        }
    };
    static constexpr TotalTable kTotals{};

public:
    template <typename Bits>
    DcValueModel(uint32_t L, Bits& bits) : classCount(dcClassCount(L)), model(classCount), coder(bits) {}

    // Codes v (v <= L, as every DC value is): class, then the offset's low
    // bytes as symbols of total 256, then its remaining high bits.
    void encodeValue(uint32_t v) requires std::is_same_v<Coder, ArithmeticEncoder> {
        uint32_t lo = 0, hi = classCount;
        while (hi - lo > 1) {
            const uint32_t mid = (lo + hi) / 2;
            const bool below = v < kDcBuckets.base[mid];
            hi = below ? mid : hi;
            lo = below ? lo : mid;
        }
        const SymbolInterval interval = model.update(lo, rescaleLimit);
        coder.encode(interval.lowCount, interval.highCount, interval.total);
        // The offset symbols have totals 256 and 2^b: the uniform forms,
        // whose divisions are shifts.
        uint32_t u = v - kDcBuckets.base[lo];
        uint32_t b = kDcBuckets.extraBits[lo];
        for (; b >= 8; b -= 8, u >>= 8) coder.encodeUniform(u & 0xFF, 8);
        if (b > 0) coder.encodeUniform(u, b);
    }

    void finish() requires std::is_same_v<Coder, ArithmeticEncoder> { coder.finish(); }

    void start() requires std::is_same_v<Coder, ArithmeticDecoder> { coder.start(); }

    // Reads one value. A damaged stream yields some value of a class below
    // the class count; whether it fits the block is the inverse transform's check.
    // Inlined into the extraction loop, where the coder's state can then stay
    // in registers instead of being reloaded from memory for every value.
    MORV_FORCE_INLINE uint32_t decodeValue() requires std::is_same_v<Coder, ArithmeticDecoder> {
        const auto [k, interval] = model.decode(coder.target(model.total()), rescaleLimit);
        coder.update(interval.lowCount, interval.highCount, kTotals.of[interval.total]);
        uint32_t u = 0, shift = 0;
        uint32_t b = kDcBuckets.extraBits[k];
        for (; b >= 8; b -= 8, shift += 8) {
            const uint32_t t = coder.targetUniform(8);
            coder.updateUniform(t, 8);
            u |= t << shift;
        }
        if (b > 0) {
            const uint32_t t = coder.targetUniform(b);
            coder.updateUniform(t, b);
            u |= t << shift;
        }
        return kDcBuckets.base[k] + u;
    }

    // After the last value: the bit position where the code ends, or
    // kNoCodeEnd when the closing bits and the padding after them are not
    // what an encoder writes.
    uint64_t codeEnd() const requires std::is_same_v<Coder, ArithmeticDecoder> {
        return coder.codeEnd();
    }

private:
    uint32_t classCount;
    SmallAlphabetModel model;
    Coder coder;
};

// The -p prefix code: 0, 1, 2 as two bits; larger values as 3 in two bits,
// then w - 3 one-bits and a zero-bit giving the width w >= 3, then v - 3 in w
// bits. Bits is OutBitStream (encodeValue) or InBitStream (decodeValue).
template <typename Bits>
class DcPrefixCode {
public:
    explicit DcPrefixCode(Bits& stream) : bits(stream) {}

    void encodeValue(uint32_t v) requires std::is_base_of_v<OutBitStream, Bits> {
        if (v <= 2) {
            bits.writeBits(v, 2);
            return;
        }
        bits.writeBits(3, 2);
        const uint32_t u = v - 3;
        uint32_t w = 3;
        while (w < 32 && u >= (1u << w)) {
            bits.putBit(1);
            ++w;
        }
        bits.putBit(0);
        bits.writeBits(u, w);
    }

    // Throws Exception "Error in compressed file (invalid DC data)" for a
    // width above 32 bits, a value beyond 32 bits, or a width wider than the
    // value needs (the encoder picks the narrowest, so above 3 bits the top
    // bit of v - 3 is always 1): no encoder writes them.
    uint32_t decodeValue() requires std::is_base_of_v<InBitStream, Bits> {
        const uint32_t r = bits.readBits(2);
        if (r < 3) return r;
        uint32_t w = 3;
        while (bits.getBit() != 0) {
            if (++w > 32) throw Exception(kInvalidDcDataMessage);
        }
        const uint32_t u = bits.readBits(w);
        if (u > 0xFFFFFFFFu - 3 || (w > 3 && (u >> (w - 1)) == 0))
            throw Exception(kInvalidDcDataMessage);
        return u + 3;
    }

    void start() {}
    void finish() {}

    // After the last value: the bit position where the code ends, or
    // kNoCodeEnd when the bits up to the next byte boundary (the flush's
    // padding) are not all zero. Reads those bits.
    uint64_t codeEnd() requires std::is_base_of_v<InBitStream, Bits> {
        const uint64_t end = bits.bitsRead();
        const uint32_t padding = static_cast<uint32_t>((8 - end % 8) % 8);
        return bits.readBits(padding) == 0 ? end : kNoCodeEnd;
    }

private:
    Bits& bits;
};
