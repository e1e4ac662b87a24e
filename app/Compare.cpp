// File comparison for the round-trip test. The lengths are compared first, so
// files of different sizes are rejected without reading them; equal-length
// files are then streamed chunk by chunk and the first difference is reported
// with its position, which is what a developer needs to find the broken block.
#include "app/Compare.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

constexpr std::size_t ChunkSize = 32768;

// Length of an open file in bytes, or -1 when it cannot be measured. Leaves
// the read position at the start.
std::streamoff fileLength(std::ifstream& file) {
    file.seekg(0, std::ios::end);
    const std::streamoff length = file.tellg();
    file.seekg(0, std::ios::beg);
    return file ? length : -1;
}

bool readChunk(std::ifstream& file, std::vector<char>& buffer, std::size_t count) {
    file.read(buffer.data(), static_cast<std::streamsize>(count));
    return file.gcount() == static_cast<std::streamsize>(count);
}

}  // namespace

bool compareFiles(const std::string& a, const std::string& b) {
    std::ifstream fileA(a, std::ios::in | std::ios::binary);
    std::ifstream fileB(b, std::ios::in | std::ios::binary);
    if (!fileA.is_open() || !fileB.is_open()) {
        return false;
    }
    const std::streamoff lengthA = fileLength(fileA);
    const std::streamoff lengthB = fileLength(fileB);
    if (lengthA < 0 || lengthB < 0 || lengthA != lengthB) {
        return false;
    }
    const auto length = static_cast<uint64_t>(lengthA);

    std::vector<char> chunkA(ChunkSize);
    std::vector<char> chunkB(ChunkSize);
    uint64_t offset = 0;
    while (offset < length) {
        const auto count = static_cast<std::size_t>(std::min<uint64_t>(ChunkSize, length - offset));
        if (!readChunk(fileA, chunkA, count) || !readChunk(fileB, chunkB, count)) {
            return false;
        }
        const auto endA = chunkA.begin() + static_cast<std::ptrdiff_t>(count);
        const auto diff = std::mismatch(chunkA.begin(), endA, chunkB.begin());
        if (diff.first != endA) {
            const auto index = static_cast<uint64_t>(diff.first - chunkA.begin());
            std::cout << "ERROR at position: " << offset + index << std::endl;
            return false;
        }
        offset += count;
    }
    return true;
}
