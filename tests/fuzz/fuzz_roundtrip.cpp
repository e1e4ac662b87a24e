// Fuzz target: arbitrary bytes packed with every method and coder, as one
// block and in small blocks, must extract to the same bytes. Byte 0 picks the
// small block size; the rest is the data. Any mismatch, any exception while
// packing or extracting a file the program itself wrote, is a finding.
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

#include "app/Drivers.h"
#include "base/CpuFeatures.h"
#include "tests/fuzz/FuzzInputs.h"

namespace {

void roundTrip(const std::string& data, fuzzinput::Method method, uint32_t blockSize) {
    const std::string label = std::string(fuzzinput::methodName(method)) + " -b " +
                              std::to_string(blockSize) + ", " + std::to_string(data.size()) +
                              " bytes: ";
    std::string packed;
    std::string restored;
    try {
        const BlockPlan plan = fuzzinput::useForCompression(method, blockSize);
        std::istringstream in(data);
        std::stringstream out;
        const uint64_t size =
            compressStream(in, data.size(), out, "fuzz.in", "fuzz.packed", plan, std::cout);
        packed = out.str();
        if (size != packed.size()) {
            fuzzinput::fail(label + "returned size " + std::to_string(size) + " for " +
                            std::to_string(packed.size()) + " packed bytes");
        }
        const BlockPlan extraction =
            fuzzinput::useForExtraction(method == fuzzinput::Method::DcPrefixCode);
        std::istringstream packedIn(packed);
        std::ostringstream extracted;
        decompressStream(packedIn, extracted, "fuzz.out", detectCpuFeatures(), extraction, std::cout);
        restored = extracted.str();
    } catch (const std::exception& e) {
        fuzzinput::fail(label + "threw " + e.what());
    }
    if (restored != data) {
        size_t at = 0;
        while (at < restored.size() && at < data.size() && restored[at] == data[at]) ++at;
        fuzzinput::fail(label + "extracted " + std::to_string(restored.size()) +
                        " bytes, first difference at " + std::to_string(at));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const uint32_t small = fuzzinput::smallBlockSize(data[0], bytes.size());
    for (const fuzzinput::Method method : fuzzinput::kAllMethods) {
        roundTrip(bytes, method, 0);
        if (small < bytes.size()) roundTrip(bytes, method, small);
    }
    return 0;
}
