// The codec table. Distance coding has one row (the arithmetic coder and the
// prefix code share its payload layout; the plan's prefixCode picks one).
#include "codec/CodecTable.h"

#include <array>

#include "base/Exception.h"
#include "codec/DcCodec.h"
#include "codec/MtfAdaptiveCodec.h"
#include "codec/MtfStaticCodec.h"
#include "io/PackedHeaders.h"

namespace {

constexpr uint8_t code(BlockMethod m) { return static_cast<uint8_t>(m); }
constexpr uint8_t code(CoderType c) { return static_cast<uint8_t>(c); }

const std::array<CodecEntry, 5> kCodecs = {{
    {code(BlockMethod::Dc), code(CoderType::Adaptive), CodingMethod::Dc, false, false, compressDc,
     decompressDc},
    {code(BlockMethod::MtfRle0), code(CoderType::Adaptive), CodingMethod::Mtf, false, true,
     compressMtfAdaptive, decompressMtfAdaptive},
    {code(BlockMethod::MtfPlain), code(CoderType::Adaptive), CodingMethod::Mtf, false, false,
     compressMtfAdaptive, decompressMtfAdaptive},
    {code(BlockMethod::MtfRle0), code(CoderType::Static), CodingMethod::Mtf, true, true,
     compressMtfStatic, decompressMtfStatic},
    {code(BlockMethod::MtfPlain), code(CoderType::Static), CodingMethod::Mtf, true, false,
     compressMtfStatic, decompressMtfStatic},
}};

}  // namespace

const CodecEntry& codecForPlan(const BlockPlan& plan) {
    for (const CodecEntry& entry : kCodecs) {
        if (entry.planMethod != plan.method) continue;
        // Distance coding has one coder; its rle0 choice means nothing.
        if (plan.method == CodingMethod::Dc) return entry;
        if (entry.staticCoder == plan.staticCoder && entry.rle0 == plan.rle0) return entry;
    }
    throw Exception("Unsupported compression method");
}

const CodecEntry& codecForHeader(uint8_t method, uint8_t coder) {
    bool methodKnown = false;
    for (const CodecEntry& entry : kCodecs) {
        if (entry.method != method) continue;
        methodKnown = true;
        if (entry.coder == coder) return entry;
    }
    if (methodKnown && method == code(BlockMethod::Dc)) {
        throw Exception("Unsupported compression method (DC can't use static coder).");
    }
    throw Exception("Unsupported compression method.");
}
