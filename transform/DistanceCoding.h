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
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "base/Exception.h"
#include "base/Compiler.h"
#include "base/CpuFeatures.h"

inline constexpr const char* kInvalidDcDataMessage = "Error in compressed file (invalid DC data)";

// Throws Exception(kInvalidDcDataMessage). Out of line and cold, so that the
// checks cost the inlined decoding loops no code size.
[[noreturn]] void throwInvalidDcData();

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

struct DcRun {
    uint8_t symbol = 0;
    uint32_t length = 0;
};

// Inverse transform state: a short sorted list of known run starts. One
// object per block: first occurrences are added, then runs are drawn.
// Damaged value sequences are reported, never followed outside the block:
// every failure throws Exception "Error in compressed file (invalid DC data)".
//
// An entry is one word, position << 8 | symbol: 64 bits hold any position,
// 32 bits positions below 2^24 (every block the packed format carries), and
// half the width halves the moves. The list lives in the window
// [head, head + entryCount) of a larger buffer: dropping the front entry is
// one step of `head`, and an insertion moves whichever side of the list is
// shorter. Where a new run lands is found by a search over the positions
// instead of a walk that moves one entry per step.
template <typename Word>
class BasicDcDecoder {
public:
    // Largest block length whose positions fit an entry.
    static constexpr uint64_t maxLength = uint64_t{1} << (8 * sizeof(Word) - 8);

    // length = L (at most maxLength); no entries; cursor 0.
    explicit BasicDcDecoder(uint32_t L);

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
    // Room for the window to slide: it is moved back to the start of the
    // buffer only when it reaches the end, at most once per 768 steps.
    static constexpr uint32_t bufferSize = 4 * alphabetSize;

    // Moves the live entries to the start of the buffer.
    void compact();

    // Live entries, ascending by position (strictly).
    static Word entry(uint32_t position, uint8_t symbol) {
        return static_cast<Word>((static_cast<Word>(position) << 8) | symbol);
    }
    static uint32_t positionOf(Word e) { return static_cast<uint32_t>(e >> 8); }
    static uint8_t symbolOf(Word e) { return static_cast<uint8_t>(e); }

    std::array<Word, bufferSize> entries;
    uint32_t head = 0;        // index of entry 0 in the buffer
    uint32_t entryCount = 0;
    uint32_t cursor = 0;  // start of the run that entry 0 describes
    uint32_t length = 0;  // L
};

extern template class BasicDcDecoder<uint32_t>;
extern template class BasicDcDecoder<uint64_t>;

// For any block length.
using DcDecoder = BasicDcDecoder<uint64_t>;
// For blocks of at most 2^24 bytes.
using CompactDcDecoder = BasicDcDecoder<uint32_t>;

// The same inverse (same runs, same checks, same message for any value
// sequence) kept as one bit per position of the block instead of a list:
// a set bit marks a known position, and the symbol of a known run start
// waits in the output byte at that position until its run is written. The
// positions the cursor has passed are set too, so the clear bits at or after
// any run start are exactly the unknown positions from there on, and the
// count of clear bits kept per word finds the d-th of them a few words at a
// time; the end of the front run is the next set bit.
// Nothing moves when a start is added or taken. Where nearly every byte
// value occurs the list holds up to 256 entries and each run moves a good
// part of them; there the map is faster. Where few occur the list is short
// and its walk is quicker than counting bits. The map and its counts cost
// L / 8 + L / 32 bytes.
class DcMapDecoder {
public:
    // Largest block length it takes: every block the packed format carries.
    static constexpr uint32_t maxLength = uint32_t{1} << 24;

    // output: the L bytes (L <= maxLength) the block is rebuilt into. The
    // caller writes each run that nextRun returns, exactly its bytes and no
    // further, before asking for the next one: the bytes after it may hold
    // the symbols of runs yet to come. The byte at a run's start already
    // holds its symbol. bitDeposit: find a bit inside a word with the PDEP
    // instruction, which the processor must run (see
    // CpuFeatures::fastBitDeposit); otherwise by counting bits in plain
    // arithmetic. Same results.
    DcMapDecoder(uint32_t L, uint8_t* output, bool bitDeposit);

    // As DcDecoder::addFirstOccurrence; called before the first nextRun.
    void addFirstOccurrence(uint32_t b, uint32_t v);

    // As DcDecoder::nextRun.
    DcRun nextRun(uint32_t d);

private:
    static constexpr uint32_t alphabetSize = 256;

    // The d-th (from 1) position at or after `from` whose bit is clear.
    // Requires every bit below `from` to be set and from + d <= L: at most
    // alphabetSize set bits lie at or after the cursor, so the answer stays
    // inside the padded map.
    uint32_t nthUnknown(uint32_t from, uint32_t d) const;
    // The first set bit after `position`; one must exist.
    uint32_t nextKnown(uint32_t position) const;
    // Sets the clear bit of `position` and stores its symbol.
    void markKnown(uint32_t position, uint8_t symbol);
    // Sets the bits of positions first .. end-1, all of them clear.
    void markPassed(uint32_t first, uint32_t end);
    bool isKnown(uint32_t position) const { return (known[position >> 6] >> (position & 63)) & 1; }

    std::vector<uint64_t> known;          // bit p: p < cursor, or a run starts at p
    std::vector<uint16_t> unknownInWord;  // clear bits per word of `known`
    uint8_t* symbols;                  // the output
    bool bitDeposit;                   // select bits with PDEP
    uint32_t liveCount = 0;            // set bits at or after the cursor, at most 256
    uint32_t cursor = 0;               // start of the front run
    uint32_t length = 0;               // L
};

// The map decoder's per-run steps, inline so that the run loop of
// inverseDc keeps the decoder's state in registers.

namespace dc_detail {

// Bit counting for the bit map, without relying on a population-count
// instruction (not part of the base x86-64 set): byte i of the running
// counts holds the number of set bits in bytes 0..i of w, so the top byte is
// the count of the whole word, and the byte holding the r-th set bit is the
// first whose running count exceeds r.
inline constexpr uint64_t kOnes = 0x0101010101010101ull;
inline constexpr uint64_t kHighs = 0x8080808080808080ull;

inline uint64_t runningByteCounts(uint64_t w) {
    uint64_t counts = w - ((w >> 1) & 0x5555555555555555ull);
    counts = (counts & 0x3333333333333333ull) + ((counts >> 2) & 0x3333333333333333ull);
    counts = (counts + (counts >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return counts * kOnes;
}

// The bit inside a byte, from a table: at[r << 8 | byte] is the position of
// the set bit of `byte` with r set bits below it.
struct SelectInByte {
    std::array<uint8_t, 256 * 8> at{};
    constexpr SelectInByte() {
        for (uint32_t byte = 0; byte < 256; ++byte) {
            uint32_t r = 0;
            for (uint32_t bit = 0; bit < 8; ++bit) {
                if ((byte >> bit) & 1) at[(r++ << 8) | byte] = static_cast<uint8_t>(bit);
            }
        }
    }
};
inline constexpr SelectInByte kSelectInByte{};

// Position (0..63) of the set bit of w that has r set bits below it, given
// w's running byte counts; w must have more than r set bits.
inline uint32_t selectBit(uint64_t w, uint64_t running, uint32_t r) {
    // High bit of byte i set where the running count is at most r: the
    // bytes below the one that holds the bit, a run from byte 0 up.
    const uint64_t below = (((r * kOnes) | kHighs) - running) & kHighs;
    const uint32_t shift = static_cast<uint32_t>(std::countr_zero(below ^ kHighs)) - 7;
    const uint32_t before = static_cast<uint32_t>(((running << 8) >> shift) & 0xFF);
    return shift + kSelectInByte.at[((r - before) << 8) | ((w >> shift) & 0xFF)];
}

}  // namespace dc_detail

inline void DcMapDecoder::markKnown(uint32_t position, uint8_t symbol) {
    known[position >> 6] |= uint64_t{1} << (position & 63);
    --unknownInWord[position >> 6];
    symbols[position] = symbol;
}

MORV_FORCE_INLINE uint32_t DcMapDecoder::nthUnknown(uint32_t from, uint32_t d) const {
    assert(d >= 1);
    // Every position below `from` is known, so from the word holding it on
    // the clear bits are exactly the unknown positions at or after it, and
    // the words' counts say how many each word holds. Four counts sit in
    // 16-bit lanes of one load, and one multiplication sums them up the
    // lanes; eight words a step, as two independent sets of four, so that
    // most jumps end in the first step and the loop is left the same way.
    constexpr uint64_t kLaneOnes = 0x0001000100010001ull;
    constexpr uint64_t kLaneHighs = 0x8000800080008000ull;
    auto upTo = [this](uint32_t first) {   // lane i: clear bits in words first .. first + i
        uint64_t lanes;
        std::memcpy(&lanes, unknownInWord.data() + first, sizeof lanes);
        return lanes * kLaneOnes;
    };
    uint32_t word = from >> 6;
    uint64_t low = upTo(word);
    uint64_t high = upTo(word + 4);
    uint32_t lowTotal = static_cast<uint32_t>(low >> 48);
    uint32_t both = lowTotal + static_cast<uint32_t>(high >> 48);
    while (d > both) {
        d -= both;
        word += 8;
        low = upTo(word);
        high = upTo(word + 4);
        lowTotal = static_cast<uint32_t>(low >> 48);
        both = lowTotal + static_cast<uint32_t>(high >> 48);
    }
    // The half that holds it, picked without a jump: the branch would go
    // either way at random.
    const uint64_t inHigh = uint64_t{0} - static_cast<uint64_t>(d > lowTotal);
    const uint64_t within = (high & inHigh) | (low & ~inHigh);
    d -= lowTotal & static_cast<uint32_t>(inHigh);
    word += 4 & static_cast<uint32_t>(inHigh);
    // High bit of lane i set where fewer than d clear bits lie up to it.
    const uint64_t shortOf = ((((d - 1) * kLaneOnes) | kLaneHighs) - within) & kLaneHighs;
    const uint32_t lane = static_cast<uint32_t>(std::countr_zero(shortOf ^ kLaneHighs)) >> 4;
    d -= static_cast<uint32_t>(((within << 16) >> (16 * lane)) & 0xFFFF);
    word += lane;
    const uint64_t unknown = ~known[word];
#if MORV_HAVE_BIT_DEPOSIT
    // The d-th set bit of `unknown` in one instruction: depositing bit d - 1
    // into the set bits of a mask puts it on the mask's d-th. It ends the
    // chain of steps that each run's search is, where counting bits in plain
    // arithmetic takes several times as long. Written out as an instruction
    // so that the rest of the program needs no BMI2.
    if (bitDeposit) {
        uint64_t deposited;
        asm("pdepq %[mask], %[bits], %[out]"
            : [out] "=r"(deposited)
            : [bits] "r"(uint64_t{1} << (d - 1)), [mask] "r"(unknown));
        return (word << 6) + static_cast<uint32_t>(std::countr_zero(deposited));
    }
#endif
    return (word << 6) + dc_detail::selectBit(unknown, dc_detail::runningByteCounts(unknown), d - 1);
}

inline uint32_t DcMapDecoder::nextKnown(uint32_t position) const {
    const uint32_t from = position + 1;
    uint32_t word = from >> 6;
    const uint32_t shift = from & 63;
    const uint64_t bits = (known[word] >> shift) | ((known[word + 1] << 1) << (63 - shift));
    if (bits != 0) return from + static_cast<uint32_t>(std::countr_zero(bits));
    // Nothing in the next 64 positions: whole words from the second on.
    ++word;
    uint64_t rest = known[word] & (~uint64_t{0} << shift);
    while (rest == 0) rest = known[++word];
    return (word << 6) + static_cast<uint32_t>(std::countr_zero(rest));
}

MORV_FORCE_INLINE DcRun DcMapDecoder::nextRun(uint32_t d) {
    if (liveCount == 0 || !isKnown(cursor)) throw Exception(kInvalidDcDataMessage);
    const uint8_t c = symbols[cursor];
    if (liveCount == 1) {
        // No other byte occurs after this run, so no later run of c exists.
        if (d != 0) throwInvalidDcData();
        liveCount = 0;
        return DcRun{c, length - cursor};
    }
    // Live starts lie at or after the cursor, so with two of them the next
    // one exists and lies below L.
    const uint32_t P = nextKnown(cursor);
    const DcRun run{c, P - cursor};
    // The run's positions after its start become known too, so that every
    // position below the new cursor is.
    if (P - cursor > 1) markPassed(cursor + 1, P);
    cursor = P;
    if (d == 0) {
        --liveCount;
        return run;
    }
    // The next run of c is the d-th position after P that is not known.
    if (d >= length - P) throw Exception(kInvalidDcDataMessage);
    const uint32_t x = nthUnknown(P + 1, d);
    if (x >= length) throw Exception(kInvalidDcDataMessage);
    markKnown(x, c);
    return run;
}

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
// with the remaining n - firstCount values and the dropped zeros after them.
// Always inlined, so that the loop is compiled as inverseDc is (a caller may
// build an instance of inverseDc for other instructions).
template <typename Decoder, typename ValueSource>
MORV_FORCE_INLINE void inverseDcWith(Decoder& decoder, const uint32_t* first, uint32_t firstCount,
                                                 ValueSource& next, uint32_t n, uint32_t L, uint8_t* output) {
    for (uint32_t b = 0; b < firstCount; ++b) decoder.addFirstOccurrence(b, first[b]);

    // The map keeps the symbols of runs yet to come in the output, a run's
    // first byte among them, so its runs are written exactly and from their
    // second byte (most runs of the blocks it takes have only one); the
    // list's may be written 16 bytes at a time.
    constexpr bool exact = std::is_same_v<Decoder, DcMapDecoder>;
    uint32_t k = 0;  // bytes written
    auto put = [&](const DcRun& run) {
        if (run.length > L - k) throw Exception(kInvalidDcDataMessage);
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

// Blocks in which at least this many byte values occur are decoded with the
// bit map, the others with the list (see DcMapDecoder).
inline constexpr uint32_t kDcMapFromPresentBytes = 192;

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
// can see where the values it decoded ended.
// features: the processor features the decoders may use.
template <typename ValueSource>
ValueSource inverseDc(ValueSource next, uint32_t n, uint32_t L, uint8_t* output, const CpuFeatures& features) {
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
    if (L > CompactDcDecoder::maxLength) {
        DcDecoder decoder(L);
        dc_detail::inverseDcWith(decoder, first.data(), firstCount, next, n, L, output);
    } else if (present >= kDcMapFromPresentBytes) {
        DcMapDecoder decoder(L, output, features.fastBitDeposit);
        dc_detail::inverseDcWith(decoder, first.data(), firstCount, next, n, L, output);
    } else {
        CompactDcDecoder decoder(L);
        dc_detail::inverseDcWith(decoder, first.data(), firstCount, next, n, L, output);
    }
    return next;
}
