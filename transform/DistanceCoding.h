// Distance coding (DC): the second stage of the default method. A block of L
// bytes becomes a sequence of unsigned 32-bit values:
//   - 256 first-occurrence values, one per byte value b = 0..255: 0 if b does
//     not occur, else the ordinal (from 1) of b's first position among the
//     positions not taken by first occurrences of smaller byte values;
//   - one value per maximal run, in block order: 0 if no later run of the same
//     byte exists, else the distance to that run counted only over positions
//     the decoder does not know yet (starts of the nearest later runs of the
//     other bytes are skipped);
//   - with every trailing zero removed.
// Every value lies in 0..L. The sequence carries no count; the codec stores it.
//
// The inverse has one plain kernel, DcDecoder below, and a faster decoder for
// blocks in which most byte values occur (DcMapDecoder.h); inverseDc picks
// one.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/Compiler.h"
#include "base/CpuFeatures.h"
#include "base/Exception.h"
#include "transform/DcRun.h"
#ifndef MORV_PLAIN_KERNELS
#include "transform/DcMapDecoder.h"
#endif

// Forward transform. One object per block; encode() is called once.
struct DcEncoder {
    static constexpr uint32_t alphabetSize = 256;

    std::unique_ptr<uint32_t[]> values;  // capacity entries; the result is values[begin..end-1]
    uint32_t capacity = 0;               // 256 + L
    uint32_t begin = 0;
    uint32_t end = 0;

    // Computes the value sequence of the bytes [first, last) into values,
    // begin and end; L = last - first must be at most 2^32 - 257. Allocates
    // `values` (4 * (256 + L) bytes, of which only those from `begin` on are
    // written), owned by this object: a caller that wants to keep it may
    // move it out. The input is not modified.
    void encode(const uint8_t* first, const uint8_t* last);

    // The value count n = end - begin and the first value.
    uint32_t count() const { return end - begin; }
    const uint32_t* data() const { return values.get() + begin; }
};

// Inverse transform state, the plain kernel: the sorted list of known run
// starts, walked and moved one entry at a time. One object per block: first
// occurrences are added, then runs are drawn. Damaged value sequences are
// reported, never followed outside the block: every failure throws Exception
// "Error in compressed file (invalid DC data)".
class DcDecoder {
public:
    // Whether the symbols of runs yet to come wait in the output (see
    // inverseDcWith).
    static constexpr bool keepsSymbolsInOutput = false;

    // Takes any block length.
    static constexpr uint64_t maxLength = uint64_t{1} << 32;

    // length = L; no entries; cursor 0.
    explicit DcDecoder(uint32_t L) : length(L) {}

    // Places the first occurrence of byte value b (0..255) at the v-th
    // position (from 1) that no entry holds; v = 0 (b absent) does nothing.
    // Throws when b > 255, when all 256 entries are live, or when the
    // position falls at or beyond L.
    void addFirstOccurrence(uint32_t b, uint32_t v);

    // Takes the run at the front (its symbol and length, >= 1) and, when
    // d > 0, places the next run of the same symbol d unknown positions
    // ahead. With one live entry the run reaches the end of the block, and
    // no later run of its symbol can exist. Throws when no entry is live,
    // when the front entry does not start at the cursor, when d > 0 with one
    // live entry, or when the next run would start at or beyond L.
    DcRun nextRun(uint32_t d);

private:
    static constexpr uint32_t alphabetSize = 256;

    struct DcEntry {
        uint32_t position;
        uint8_t symbol;
    };

    std::array<DcEntry, alphabetSize> entries{};  // live ones ascending by position
    uint32_t entryCount = 0;
    uint32_t cursor = 0;  // start of the run that entry 0 describes
    uint32_t length = 0;  // L
};

namespace dc_detail {

// Writes `length` copies of c at out[0..length). Short runs take two 8-byte
// stores when `room` (the bytes that may be written from out on, at least
// length) allows 16; else they are written exactly.
inline void fillRun(uint8_t* out, uint8_t c, uint32_t length, uint32_t room) {
    const uint64_t pattern = 0x0101010101010101ull * c;
    if (length <= 16 && room >= 16) {
        std::memcpy(out, &pattern, 8);
        std::memcpy(out + 8, &pattern, 8);
    } else if (length > 16) {
        std::memset(out, c, length);
    } else if (length >= 8) {
        std::memcpy(out, &pattern, 8);
        std::memcpy(out + length - 8, &pattern, 8);
    } else if (length >= 4) {
        std::memcpy(out, &pattern, 4);
        std::memcpy(out + length - 4, &pattern, 4);
    } else if (length > 0) {
        out[0] = c;
        out[length / 2] = c;
        out[length - 1] = c;
    }
}

// Places the first occurrences from first[0..firstCount), then draws runs
// with the remaining n - firstCount values and the dropped zeros after them,
// handing each run to the sink as well. Always inlined, so that the loop is
// compiled as inverseDc is (a caller may build an instance of inverseDc for
// other instructions).
template <typename Decoder, typename ValueSource, typename RunSink>
MORV_FORCE_INLINE void inverseDcWith(Decoder& decoder, const uint32_t* first, uint32_t firstCount,
                                     ValueSource& next, uint32_t n, uint32_t L, uint8_t* output,
                                     RunSink& sink) {
    for (uint32_t b = 0; b < firstCount; ++b) decoder.addFirstOccurrence(b, first[b]);

    // The map keeps the symbols of runs yet to come in the output, a run's
    // first byte among them, so its runs are written exactly and from their
    // second byte (most runs of the blocks it takes have only one); the
    // lists' may be written 16 bytes at a time.
    constexpr bool exact = Decoder::keepsSymbolsInOutput;
    uint32_t k = 0;  // bytes written
    auto put = [&](const DcRun& run) {
        if (run.length > L - k) throw Exception(kInvalidDcDataMessage);
        sink(k, run.symbol, run.length);
        if constexpr (exact) {
            if (run.length > 1) fillRun(output + k + 1, run.symbol, run.length - 1, run.length - 1);
        } else {
            fillRun(output + k, run.symbol, run.length, L - k);
        }
        k += run.length;
    };
    // A valid sequence spends its last run value on a run that starts before
    // the end of the block, so a value arriving with the block full is damage;
    // and its last value is not 0, since the encoder drops the zeros at the end.
    uint32_t value = 1;
    for (uint32_t j = firstCount; j < n; ++j) {
        if (k == L) throw Exception(kInvalidDcDataMessage);
        value = next();
        put(decoder.nextRun(value));
    }
    if (value == 0) throwInvalidDcData();
    // The zero values the encoder dropped from the end.
    while (k < L) put(decoder.nextRun(0));
}

}  // namespace dc_detail

// A run sink that takes nothing (see inverseDc).
struct NoRunSink {
    MORV_FORCE_INLINE void operator()(uint32_t, uint8_t, uint32_t) const {}
};

// The decoders inverseDc can run. Automatic picks the faster for the block;
// the others force one (tests compare BitMap with Plain, benchmarks time
// them). Where only the plain kernels are built, every choice runs Plain.
enum class DcInverseKernel { Automatic, Plain, BitMap };

#ifndef MORV_PLAIN_KERNELS
// Blocks of at most 2^24 bytes in which at least this many byte values occur
// are decoded with the bit map, the others with the plain list.
//
// Measured side by side (bench_coders InverseDcPlain/BitMap/BitMapDeposit,
// median of 3, one run): on the corpus files with 256 byte values the bit map
// takes fireworks.jpeg from 17.3 to 4.08 ms and paper-100k.pdf from 7.64 to
// 2.76 ms, and PDEP inside it (see BitDeposit.h) to 3.23 and 2.10 ms (a
// further 21 to 24%). On files with fewer byte values (text: 23 to 163) the
// plain list is the fastest: a list of 32-bit entries in a sliding window
// with a search for long jumps was 15% slower than it over those files and
// was removed.
inline constexpr uint32_t kDcMapFromPresentBytes = 192;
#endif

// Rebuilds the L bytes output[0..L-1] from n values pulled in order from
// next() (a callable returning uint32_t). The first min(n, 256) values place
// first occurrences of bytes 0, 1, ...; the rest are run distances; runs still
// pending after the last value fill the block. Runs are written as fills.
// Throws Exception "Error in compressed file (invalid DC data)" for any
// sequence that does not describe exactly L bytes, including values left over
// once the block is full, and for a last value of 0 (the encoder drops the
// zeros at the end); never writes outside output[0..L-1] and never pulls
// more than min(n, 256 + L) values, whatever n says. On a throw, output may
// be partly written. The source is taken by value: a source that keeps its
// state in itself (rather than behind references) then lives in this
// function alone, where writes to the output cannot touch it, so its state
// can stay in registers. It is handed back at the end, so that the caller
// can see where the values it decoded ended. features: the processor
// features the decoders may use; kernel: see DcInverseKernel. Every choice
// gives the same bytes, or the same exception, for any value sequence.
// sink(k, c, len) is called for every run as it is written (len copies of
// byte c from output[k] on, k + len <= L), in order; the runs cover the
// block exactly when inverseDc returns.
template <typename ValueSource, typename RunSink = NoRunSink>
ValueSource inverseDc(ValueSource next, uint32_t n, uint32_t L, uint8_t* output,
                      const CpuFeatures& features, DcInverseKernel kernel = DcInverseKernel::Automatic,
                      RunSink sink = {}) {
    // The first-occurrence values tell how many byte values occur before any
    // run is drawn; that picks the decoder.
    std::array<uint32_t, 256> first{};
    const uint32_t firstCount = n < 256 ? n : 256;
    uint32_t present = 0;
    for (uint32_t b = 0; b < firstCount; ++b) {
        first[b] = next();
        present += first[b] != 0 ? 1 : 0;
    }
    // The encoder drops the zeros at the end of the sequence.
    if (n != 0 && n == firstCount && first[n - 1] == 0) throwInvalidDcData();
#ifndef MORV_PLAIN_KERNELS
    if (kernel == DcInverseKernel::Automatic && present >= kDcMapFromPresentBytes)
        kernel = DcInverseKernel::BitMap;
    if (L <= DcMapDecoder::maxLength && kernel == DcInverseKernel::BitMap) {
        DcMapDecoder decoder(L, output, features.fastBitDeposit);
        dc_detail::inverseDcWith(decoder, first.data(), firstCount, next, n, L, output, sink);
        return next;
    }
#else
    (void)features;
    (void)kernel;
    (void)present;
#endif
    DcDecoder decoder(L);
    dc_detail::inverseDcWith(decoder, first.data(), firstCount, next, n, L, output, sink);
    return next;
}
