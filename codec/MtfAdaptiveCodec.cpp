// MTF pipeline with the adaptive coder. After the BWT a single pass does
// move-to-front, zero-run coding and arithmetic coding together, so no symbol
// array is ever built; the decoder mirrors it symbol by symbol.
#include "codec/MtfAdaptiveCodec.h"

#include <ostream>
#include <vector>

#include "base/Platform.h"
#include "base/Timing.h"
#include "codec/MtfStages.h"
#include "coder/AdaptiveCoder.h"
#include "coder/FrontAdaptiveDecoder.h"
#include "diag/Dumps.h"
#include "diag/Histograms.h"
#include "io/BitStream.h"

namespace {
constexpr uint32_t kRescaleLimit = 16384;
}

namespace {

// The adaptive model and the arithmetic encoder, coding each symbol as the
// move-to-front walk meets it: no symbol array is built.
class AdaptiveSymbolEncoder {
public:
    static constexpr const char* kFirstStage = "   Coding data to arithmetic stream...";
    static constexpr const char* kName = "adaptive";
    static constexpr bool kCodingPass = false;

    AdaptiveSymbolEncoder(uint32_t alphabetSize, StreamOutBitStream& bits, bool, uint32_t)
        : bits_(bits), model_(alphabetSize), encoder_(bits) {}
    void beforeWalk(uint32_t index) {
        bits_.reset();
        bits_.writeBits(index, 32);
    }
    void walk(uint32_t symbol) {
        const SymbolInterval i = model_.update(symbol, kRescaleLimit);
        encoder_.encode(i.lowCount, i.highCount, i.total);
    }
    void afterWalk() { encoder_.finish(); }
    void code(uint32_t, const uint8_t*) {}

private:
    StreamOutBitStream& bits_;
    AdaptiveModel model_;
    ArithmeticEncoder encoder_;
};

}  // namespace

void compressMtfAdaptive(std::ostream& out, uint8_t* block, uint32_t L, const BlockContext& context) {
    compressMtfBlock<AdaptiveSymbolEncoder>(out, block, L, context);
}

namespace {

// The adaptive model and the arithmetic decoder, one symbol at a time: the
// plain pair, or where SSE2 is built the front decoder, which finds the
// symbols without dividing. Measured side by side (bench_coders
// AdaptiveDecodeMtf/FrontSearch against /FrontDecoder, median of 5, one run,
// interleaved): 29 to 53% less time with zero runs over the corpus files
// (lcet10.txt 6.70 -> 4.58 ms, fireworks.jpeg 6.04 -> 4.03), 34 to 67%
// without (AdaptiveDecodeMtfNoRle0: lcet10.txt 10.1 -> 5.65 ms, html_x_4
// 8.43 -> 2.80); uniform bytes 53.0 -> 34.6 ms. The whole -m --norle0
// extraction of text.10M: 0.245 -> 0.131 s for decoding and inverse MTF.
#if MORV_HAVE_FRONT_DECODER
class AdaptiveSymbolDecoder {
public:
    AdaptiveSymbolDecoder(uint32_t alphabetSize, InBitStream& bits)
        : decoder(alphabetSize, kRescaleLimit, bits) {}
    void begin() { decoder.start(); }
    uint32_t decodeSymbol() { return decoder.decodeSymbol(); }
    uint64_t codeEnd() const { return decoder.codeEnd(); }

private:
    FrontAdaptiveDecoder decoder;
};
#else
class AdaptiveSymbolDecoder {
public:
    AdaptiveSymbolDecoder(uint32_t alphabetSize, InBitStream& bits)
        : model(alphabetSize), decoder(bits) {}
    void begin() { decoder.start(); }
    uint32_t decodeSymbol() { return decodeAdaptiveSymbol(model, decoder, kRescaleLimit); }
    uint64_t codeEnd() const { return decoder.codeEnd(); }

private:
    AdaptiveModel model;
    ArithmeticDecoder decoder;
};
#endif

}  // namespace

uint64_t decompressMtfAdaptive(std::istream& in, uint8_t* out, uint32_t L, const BlockContext& context) {
    return decompressMtfBlock<AdaptiveSymbolDecoder>(in, out, L, "adaptive", context);
}
