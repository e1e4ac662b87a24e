// Fuzz target: whole extraction of arbitrary bytes taken as a packed file.
// Whatever the bytes, extraction either restores exactly the unpacked sizes
// that the file headers of its parts name (concatenated packed files are
// extracted one after the other), or throws Exception having written no
// more than that; it never throws anything else, and the sanitizers watch
// every access on the way. Inputs whose blocks would make the decoders
// produce more than a few MiB in all are skipped: they only run the same
// loops longer, and the bound on memory for huge claims has its own test.
#include <cstdint>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>

#include "app/Drivers.h"
#include "base/CpuFeatures.h"
#include "base/Exception.h"
#include "io/ByteOrder.h"
#include "io/PackedHeaders.h"
#include "tests/fuzz/FuzzInputs.h"

namespace {

constexpr uint64_t kDecodeBudget = 1u << 20;

// What the extractor would meet, following the headers the way it walks
// them: the bytes it would decode before a header it refuses, and the
// unpacked sizes of the parts it would start (a file header right after a
// part's last block starts the next part), which bound what it may write.
struct Walk {
    uint64_t work = 0;
    uint64_t claimed = 0;
};

Walk walkHeaders(const uint8_t* packed, size_t size) {
    Walk walk;
    uint64_t pos = 0;
    while (pos + kFileHeaderSize <= size &&
           std::memcmp(packed + pos, kFileMagic, sizeof kFileMagic) == 0) {
        const uint64_t unpacked = getLE32(packed + pos + 8);
        walk.claimed += unpacked;
        pos += kFileHeaderSize;
        uint64_t total = 0;
        while (total < unpacked && pos + kBlockHeaderSize <= size) {
            const uint8_t* h = packed + pos;
            if (std::memcmp(h, kBlockMagic, sizeof kBlockMagic) != 0) break;
            const uint32_t blockLength = getLE32(h + 8);
            if (blockLength == 0 || blockLength > MaxBlockSize || total + blockLength > unpacked) break;
            total += blockLength;
            pos += kBlockHeaderSize + static_cast<uint64_t>(getLE32(h + 4));
        }
        walk.work += total;
        if (total < unpacked) break;
    }
    return walk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t* packed = data + 1;
    const size_t packedSize = size - 1;
    const Walk walk = walkHeaders(packed, packedSize);
    if (walk.work > kDecodeBudget) return -1;

    const BlockPlan plan = fuzzinput::useForExtraction((data[0] & 1) != 0);
    std::istringstream in(std::string(reinterpret_cast<const char*>(packed), packedSize));
    std::ostringstream out;
    bool restored = false;
    try {
        decompressStream(in, out, "fuzz.out", detectCpuFeatures(), plan, std::cout);
        restored = true;
    } catch (const Exception&) {
        // A refused file: what was written so far is checked below.
    } catch (const std::exception& e) {
        fuzzinput::fail(std::string("extraction threw a non-Exception: ") + e.what());
    }

    const bool validMagic =
        packedSize >= kFileHeaderSize && std::memcmp(packed, kFileMagic, sizeof kFileMagic) == 0;
    const uint64_t claimed = walk.claimed;
    const uint64_t written = out.str().size();
    if (restored && !validMagic) fuzzinput::fail("a file without the magic was accepted");
    if (written > claimed) {
        fuzzinput::fail("wrote " + std::to_string(written) + " bytes, header says " +
                        std::to_string(claimed));
    }
    if (restored && written != claimed) {
        fuzzinput::fail("reported success after " + std::to_string(written) + " of " +
                        std::to_string(claimed) + " bytes");
    }
    return 0;
}
