// Fuzz target: recovery of arbitrary bytes taken as a damaged packed file.
// Whatever the bytes, recoverPacked either throws Exception having written
// nothing, or writes exactly the length it reports, of which the bytes it
// says it recovered are no more than that; it never throws anything else,
// never writes more than the file's headers can account for, and, where the
// extractor restores the file, gives back the extractor's bytes first. The
// sanitizers watch every access on the way. Inputs whose block headers claim
// more than a few MiB in all are skipped: they only run the same decoders
// longer.
#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>

#include "app/Drivers.h"
#include "app/Recover.h"
#include "base/CpuFeatures.h"
#include "base/Exception.h"
#include "io/ByteOrder.h"
#include "io/PackedHeaders.h"
#include "tests/fuzz/FuzzInputs.h"

namespace {

constexpr uint64_t kDecodeBudget = 1u << 20;

struct HeaderClaims {
    uint64_t blockBytes = 0;     // the block lengths of every block magic
    uint64_t largestBlock = 0;   // the longest of them
    uint64_t unpackedBytes = 0;  // the unpacked sizes of every file magic
};

// What the magics anywhere in the bytes claim: recovery finds blocks and
// parts by these and nothing else.
HeaderClaims claimsOf(const uint8_t* packed, size_t size) {
    HeaderClaims claims;
    for (size_t pos = 0; pos + 4 <= size; ++pos) {
        if (pos + kBlockHeaderSize <= size && std::memcmp(packed + pos, kBlockMagic, 4) == 0) {
            const uint32_t length = getLE32(packed + pos + 8);
            if (length <= MaxBlockSize) {
                claims.blockBytes += length;
                if (length > claims.largestBlock) claims.largestBlock = length;
            }
        }
        if (pos + kFileHeaderSize <= size && std::memcmp(packed + pos, kFileMagic, 8) == 0) {
            claims.unpackedBytes += getLE32(packed + pos + 8);
        }
    }
    return claims;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t* packed = data + 1;
    const size_t packedSize = size - 1;
    const HeaderClaims claims = claimsOf(packed, packedSize);
    if (claims.blockBytes > kDecodeBudget) return -1;
    const std::string bytes(reinterpret_cast<const char*>(packed), packedSize);
    const bool prefixCode = (data[0] & 1) != 0;

    RecoverOptions options;
    options.prefixCode = prefixCode;
    options.features = detectCpuFeatures();
    std::istringstream in(bytes);
    std::ostringstream out;
    std::ostringstream report;
    RecoverSummary summary;
    bool recovered = false;
    try {
        summary = recoverPacked(in, out, "fuzz.out", report, options);
        recovered = true;
    } catch (const Exception&) {
        if (!out.str().empty()) fuzzinput::fail("a recovery that failed wrote bytes");
    } catch (const std::exception& e) {
        fuzzinput::fail(std::string("recovery threw a non-Exception: ") + e.what());
    }
    if (recovered) {
        if (out.str().size() != summary.bytes) {
            fuzzinput::fail("wrote " + std::to_string(out.str().size()) + " bytes, reported " +
                            std::to_string(summary.bytes));
        }
        if (summary.recoveredBytes > summary.bytes || summary.recoveredBlocks > summary.blocks) {
            fuzzinput::fail("recovered more than was placed");
        }
        // Every byte written stands for an unpacked size or a block: one per
        // block magic, or one of the longest per header-sized stretch where a
        // header was damaged.
        const uint64_t bound = claims.unpackedBytes + claims.blockBytes +
                               (packedSize / kBlockHeaderSize) * claims.largestBlock;
        if (summary.bytes > bound) {
            fuzzinput::fail("wrote " + std::to_string(summary.bytes) + " bytes, the headers claim " +
                            std::to_string(bound));
        }
    }

    // Where the extractor restores the file, recovery gives back the same.
    std::istringstream again(bytes);
    std::ostringstream extracted;
    try {
        decompressStream(again, extracted, "fuzz.ref", options.features,
                         fuzzinput::useForExtraction(prefixCode), std::cout);
    } catch (const Exception&) {
        return 0;
    }
    if (extracted.str().empty()) return 0;
    if (!recovered) fuzzinput::fail("the extractor restores a file recovery gives up on");
    if (out.str().compare(0, extracted.str().size(), extracted.str()) != 0 ||
        summary.recoveredBytes < extracted.str().size()) {
        fuzzinput::fail("recovery differs from extraction of an intact file");
    }
    return 0;
}
