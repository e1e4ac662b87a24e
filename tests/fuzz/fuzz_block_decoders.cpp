// Fuzz target: each block decoder alone on an arbitrary payload. The block
// length (up to 65536, so the inverse transform's lane walk is reached), the
// decoder, the zero-run flag, the -p flag and whether the DC decoder may use
// this processor's fast paths or only the portable ones come from the first
// three input bytes. The output buffer is exactly L bytes, so the address sanitizer sees
// any write past the block; damage may only end in an Exception.
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "base/CpuFeatures.h"
#include "base/Exception.h"
#include "codec/DcCodec.h"
#include "codec/MtfAdaptiveCodec.h"
#include "codec/MtfStaticCodec.h"
#include "tests/fuzz/FuzzInputs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using fuzzinput::Decoder;
    if (size < 3) return 0;
    const uint8_t selector = data[0];
    const uint32_t L = 1u + (static_cast<uint32_t>(data[1]) | (static_cast<uint32_t>(data[2]) << 8));

    BlockPlan plan = fuzzinput::useForExtraction((selector & 8) != 0);
    plan.rle0 = (selector & 4) != 0;
    static const CpuFeatures detected = detectCpuFeatures();
    const CpuFeatures features = (selector & 16) != 0 ? kPortableCpuFeatures : detected;

    std::ostringstream console;
    const BlockContext context{console, features, 1, plan};
    std::istringstream in(std::string(reinterpret_cast<const char*>(data + 3), size - 3));
    std::vector<uint8_t> block(L);
    try {
        switch (fuzzinput::selectedDecoder(selector)) {
            case Decoder::Dc:
                decompressDc(in, block.data(), L, context);
                break;
            case Decoder::MtfAdaptive:
                decompressMtfAdaptive(in, block.data(), L, context);
                break;
            case Decoder::MtfStatic:
                decompressMtfStatic(in, block.data(), L, context);
                break;
        }
    } catch (const Exception&) {
        // Damage that the decoder noticed.
    } catch (const std::exception& e) {
        fuzzinput::fail(std::string("block decoder threw a non-Exception: ") + e.what());
    }
    return 0;
}
