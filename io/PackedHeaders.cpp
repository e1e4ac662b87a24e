// Reading and writing the packed file's headers. The header bytes are
// assembled in a small array with the little-endian helpers and moved with one
// stream call, so the layout does not depend on the compiler's struct packing.
#include "io/PackedHeaders.h"

#include <algorithm>
#include <cstring>

#include "base/Exception.h"
#include "io/ByteOrder.h"

namespace {

// Reads exactly n bytes; false if the stream delivered fewer.
bool readExactly(std::istream& in, uint8_t* dst, std::streamsize n) {
    in.read(reinterpret_cast<char*>(dst), n);
    return in.gcount() == n;
}

}  // namespace

void writeFileHeader(std::ostream& out, uint32_t unpackedSize) {
    uint8_t bytes[kFileHeaderSize];
    std::memcpy(bytes, kFileMagic, sizeof kFileMagic);
    putLE32(bytes + 8, unpackedSize);
    out.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void writeBlockHeader(std::ostream& out, const BlockHeader& header) {
    uint8_t bytes[kBlockHeaderSize];
    std::memcpy(bytes, kBlockMagic, sizeof kBlockMagic);
    putLE32(bytes + 4, header.payloadSize);
    putLE32(bytes + 8, header.blockLength);
    bytes[12] = header.method;
    bytes[13] = header.coder;
    putLE32(bytes + 14, header.reserved);
    out.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void readFileHeader(std::istream& in, FileHeader& header) {
    uint8_t bytes[kFileHeaderSize] = {};
    const bool whole = readExactly(in, bytes, sizeof bytes);
    std::memcpy(header.magic, bytes, sizeof header.magic);
    header.unpackedSize = getLE32(bytes + 8);
    if (!whole || !std::equal(kFileMagic, kFileMagic + 8, header.magic)) {
        throw Exception("Invalid file (header id does not match).");
    }
}

void readBlockHeader(std::istream& in, BlockHeader& header) {
    static const char* const kBadMagic = "Invalid block (header id does not match).";
    uint8_t bytes[kBlockHeaderSize] = {};
    const bool magicWhole = readExactly(in, bytes, 4);
    std::memcpy(header.magic, bytes, sizeof header.magic);
    if (!magicWhole || !std::equal(kBlockMagic, kBlockMagic + 4, header.magic)) {
        throw Exception(kBadMagic);
    }
    const bool restWhole = readExactly(in, bytes + 4, kBlockHeaderSize - 4);
    header.payloadSize = getLE32(bytes + 4);
    header.blockLength = getLE32(bytes + 8);
    header.method = bytes[12];
    header.coder = bytes[13];
    header.reserved = getLE32(bytes + 14);
    if (!restWhole) {
        // A header cut short by the end of the file is no block header.
        throw Exception(kBadMagic);
    }
    if (header.coder != static_cast<uint8_t>(CoderType::Static) &&
        header.coder != static_cast<uint8_t>(CoderType::Adaptive)) {
        throw Exception("Invalid arithmetic coder type (maybe block is corrupted?)");
    }
}
