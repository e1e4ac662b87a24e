// The packed file's container: a 12-byte file header, then per block an
// 18-byte block header followed by the block's payload. All integers are
// unsigned little-endian; there is no padding anywhere.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

inline constexpr char kFileMagic[8] = {'M', 'O', 'R', 'V', '_', 'Q', '1', '7'};
inline constexpr char kBlockMagic[4] = {'B', 'L', 'C', 'K'};
inline constexpr uint32_t kFileHeaderSize = 12;
inline constexpr uint32_t kBlockHeaderSize = 18;

// The largest block the compressor writes and the extractor accepts.
inline constexpr uint32_t MaxBlockSize = 10485760;

enum class BlockMethod : uint8_t { MtfPlain = 1, MtfRle0 = 2, Dc = 5 };
enum class CoderType : uint8_t { Static = 0, Adaptive = 1 };

struct FileHeader {
    char magic[8] = {};
    uint32_t unpackedSize = 0;
};

struct BlockHeader {
    char magic[4] = {};
    uint32_t payloadSize = 0;
    uint32_t blockLength = 0;
    uint8_t method = 0;  // a BlockMethod code; any byte may arrive from a damaged file
    uint8_t coder = 0;   // a CoderType code
    uint32_t reserved = 0;
};

// Writes "MORV_Q17" and `unpackedSize` (12 bytes) at the current position.
void writeFileHeader(std::ostream& out, uint32_t unpackedSize);

// Writes "BLCK" (not header.magic), payloadSize, blockLength, method, coder,
// reserved: 18 bytes at the current position.
void writeBlockHeader(std::ostream& out, const BlockHeader& header);

// Reads 12 bytes. Throws Exception "Invalid file (header id does not match)."
// when the magic differs or the file is too short to hold the header.
void readFileHeader(std::istream& in, FileHeader& header);

// Reads 18 bytes. Throws Exception "Invalid block (header id does not match)."
// when the magic differs (before the other fields are read) or the header is
// cut short, and "Invalid arithmetic coder type (maybe block is corrupted?)"
// when `coder` is neither 0 nor 1. `reserved` is not checked.
void readBlockHeader(std::istream& in, BlockHeader& header);
