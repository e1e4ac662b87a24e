// The bit-map decoder for the inverse distance coding, for blocks in which
// most byte values occur. One of the variants inverseDc
// (transform/DistanceCoding.h) dispatches to.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/Compiler.h"
#include "base/Exception.h"
#include "transform/BitDeposit.h"
#include "transform/DcRun.h"

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
    // Whether the symbols of runs yet to come wait in the output (see
    // inverseDcWith).
    static constexpr bool keepsSymbolsInOutput = true;

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
    uint8_t* symbols;                     // the output
    bool bitDeposit;                      // select bits with PDEP
    uint32_t liveCount = 0;               // set bits at or after the cursor, at most 256
    uint32_t cursor = 0;                  // start of the front run
    uint32_t length = 0;                  // L
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
    auto upTo = [this](uint32_t first) {  // lane i: clear bits in words first .. first + i
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
    if (bitDeposit) return (word << 6) + selectBitByDeposit(unknown, d - 1);
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
