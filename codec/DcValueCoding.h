// The two ways a DC block's values are coded. Normally each value is split
// into one of 57 classes (coded by an adaptive model) and an offset inside the
// class (coded as uniform symbols through the same arithmetic coder); with -p
// a fixed prefix code goes straight to the bit stream.
#pragma once

#include <array>
#include <bit>
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

// The class of v among the first classCount classes (2..57): the largest k
// below classCount with base[k] <= v, by bisecting the bases. The plain
// kernel: its steps form one chain of dependent loads and comparisons.
constexpr uint32_t dcValueClassPlain(uint32_t v, uint32_t classCount) {
    uint32_t lo = 0, hi = classCount;
    while (hi - lo > 1) {
        const uint32_t mid = (lo + hi) / 2;
        const bool below = v < kDcBuckets.base[mid];
        hi = below ? mid : hi;
        lo = below ? lo : mid;
    }
    return lo;
}

#ifndef MORV_PLAIN_KERNELS
// The classes of the values below 512 (classes 0..31), looked up.
struct DcSmallValueClasses {
    static constexpr uint32_t count = 512;
    std::array<uint8_t, count> of{};
    constexpr DcSmallValueClasses() {
        for (uint32_t v = 0; v < count; ++v)
            of[v] = static_cast<uint8_t>(dcValueClassPlain(v, DcBucketTable::classCount));
    }
};
inline constexpr DcSmallValueClasses kDcSmallValueClasses{};
static_assert(kDcBuckets.base[32] == DcSmallValueClasses::count);
#endif

// dcValueClassPlain(v, classCount). From 512 on, class k >= 32 holds
// 384 + 2^(k - 25) .. 384 + 2^(k - 24) - 1, so v - 384 has k - 24 bits;
// below, a table. No data-dependent branch, no chain of loads.
// Measured side by side against the bisection (bench_coders DcEncodeValues,
// median of 3, one run): lcet10.txt 7.2 -> 4.0 ms, plrabn12.txt 10.5 -> 5.6,
// fireworks.jpeg 6.2 -> 3.7, kppkn.gtb 2.4 -> 1.4 (40 to 47% less).
constexpr uint32_t dcValueClass(uint32_t v, uint32_t classCount) {
#ifndef MORV_PLAIN_KERNELS
    const uint32_t small = kDcSmallValueClasses.of[v & (DcSmallValueClasses::count - 1)];
    const uint32_t large = 24 + static_cast<uint32_t>(std::bit_width(v - 384));
    const uint32_t k = v < DcSmallValueClasses::count ? small : large;
    return k < classCount ? k : classCount - 1;
#else
    return dcValueClassPlain(v, classCount);
#endif
}

#ifndef MORV_PLAIN_KERNELS
// The two agree on both sides of every class edge and at the top of the
// 32-bit range, for the class counts at the ends and around the switch from
// table to bit width (both clamp the same way for the counts between; the
// full set is too many steps for some compilers' constant evaluation).
constexpr bool dcValueClassMatchesBisection() {
    for (const uint32_t c : {2u, 3u, 31u, 32u, 33u, 34u, 56u, 57u}) {
        for (uint32_t k = 0; k < DcBucketTable::classCount; ++k) {
            const uint32_t edge = kDcBuckets.base[k];
            for (const uint32_t v : {edge - 1, edge, edge + 1, 0xFFFFFFFFu}) {
                if (dcValueClass(v, c) != dcValueClassPlain(v, c)) return false;
            }
        }
    }
    return true;
}
static_assert(dcValueClassMatchesBisection());
#endif

// Class model plus arithmetic coder of one block. Coder is ArithmeticEncoder
// (use encodeValue, then finish) or ArithmeticDecoder (start, then
// decodeValue). The bit stream is not owned.
template <typename Coder>
class DcValueModel {
public:
    static constexpr uint32_t rescaleLimit = 4096;

private:
    // Reciprocals of every total the class model can reach (below the
    // limit), so coding a class narrows the interval without a division
    // (decoding still divides once, for the target).
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
        const uint32_t lo = dcValueClass(v, classCount);
        const SymbolInterval interval = model.update(lo, rescaleLimit);
        coder.encode(interval.lowCount, interval.highCount, kTotals.of[interval.total]);
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
