// MTF pipeline with the static coder. A counting pass runs MTF and zero-run
// coding once, keeping the symbols in a 16-bit array, so the coding pass only
// looks symbols up in the stored table. The table travels in the payload.
#include "codec/MtfStaticCodec.h"

#include <ostream>
#include <vector>

#include "base/DamageMessages.h"
#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Timing.h"
#include "codec/MtfStages.h"
#include "coder/StaticCoder.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "io/BitStream.h"

namespace {

// The static coder: a counting pass during the move-to-front walk (the
// zero-run symbols kept in a 16-bit array, never more than L of them;
// without zero runs the MTF indices stored over the block are the symbols),
// then the scaled table and the coding pass.
class StaticSymbolEncoder {
public:
    static constexpr const char* kFirstStage = "   Gathering symbol statistics...";
    static constexpr const char* kName = "static";
    static constexpr bool kCodingPass = true;

    StaticSymbolEncoder(uint32_t alphabetSize, StreamOutBitStream& bits, bool rle0, uint32_t L)
        : bits_(bits),
          encoder_(alphabetSize, bits),
          counts_(encoder_.counts()),
          rle0_(rle0),
          length_(L) {
        if (rle0) symbols_.reserve(L);
    }
    void beforeWalk(uint32_t) {}
    void walk(uint32_t symbol) {
        ++counts_[symbol];
        if (rle0_) symbols_.push_back(static_cast<uint16_t>(symbol));
    }
    void afterWalk() { encoder_.scale(); }
    void code(uint32_t index, const uint8_t* indices) {
        bits_.reset();
        bits_.writeBits(index, 32);
        encoder_.writeTable();
        if (rle0_) {
            for (const uint16_t symbol : symbols_) encoder_.encodeSymbol(symbol);
            symbols_ = std::vector<uint16_t>();
        } else {
            for (uint32_t i = 0; i < length_; ++i) encoder_.encodeSymbol(indices[i]);
        }
        encoder_.finish();
    }

private:
    StreamOutBitStream& bits_;
    StaticEncoder encoder_;
    uint32_t* counts_;
    bool rle0_;
    uint32_t length_;
    std::vector<uint16_t> symbols_;
};

}  // namespace

void compressMtfStatic(std::ostream& out, uint8_t* block, uint32_t L, const BlockContext& context) {
    compressMtfBlock<StaticSymbolEncoder>(out, block, L, context);
}

namespace {

// The stored frequency table, read ahead of the first symbol, and the static
// decoder. The symbols decoded are counted, and after the last one the table
// must be the one their counts give (see StaticDecoder::isTableOf).
class StaticSymbolDecoder {
public:
    StaticSymbolDecoder(uint32_t alphabetSize, InBitStream& bits)
        : decoder(alphabetSize, bits), counts(alphabetSize, 0) {}
    void begin() {
        decoder.readTable();
        decoder.start();
    }
    uint32_t decodeSymbol() {
        const uint32_t s = decoder.decodeSymbol();
        ++counts[s];
        return s;
    }
    // After the last symbol. Throws Exception "Error in compressed file
    // (invalid frequency table)" when the table is not that of the symbols.
    void end() const {
        if (!decoder.isTableOf(counts.data())) throw Exception(kInvalidTableMessage);
    }
    uint64_t codeEnd() const { return decoder.codeEnd(); }

private:
    StaticDecoder decoder;
    std::vector<uint32_t> counts;
};

}  // namespace

uint64_t decompressMtfStatic(std::istream& in, uint8_t* out, uint32_t L, const BlockContext& context) {
    return decompressMtfBlock<StaticSymbolDecoder>(in, out, L, "static", context);
}
