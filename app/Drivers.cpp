// The drivers stream a file block by block: the compressor never holds more
// than one input block, the extractor one block and its decoder's working
// column. Everything a packed file says is checked before it sizes a buffer or
// steers a decoder, because packed files come from anywhere.
#include "app/Drivers.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

#include "app/Exception.h"
#include "app/Platform.h"
#include "app/Settings.h"
#include "app/Timing.h"
#include "codec/DcCodec.h"
#include "codec/MtfAdaptiveCodec.h"
#include "codec/MtfStaticCodec.h"
#include "io/PackedHeaders.h"

namespace {

constexpr uint64_t kMaxInputSize = 4294967295u;

// Fills the block and returns the size of the payload it decoded.
using BlockDecoder = uint64_t (*)(std::istream&, uint8_t*, uint32_t);

void throwWriteError(const std::string& outputName) {
    throw Exception("Unable to write output file: " + outputName);
}

// Picks the decoder a block header names and sets settings().rle0 for MTF blocks.
BlockDecoder decoderFor(const BlockHeader& header) {
    const bool adaptive = header.coder == static_cast<uint8_t>(CoderType::Adaptive);
    switch (header.method) {
        case static_cast<uint8_t>(BlockMethod::MtfPlain):
            settings().rle0 = false;
            return adaptive ? decompressMtfAdaptive : decompressMtfStatic;
        case static_cast<uint8_t>(BlockMethod::MtfRle0):
            settings().rle0 = true;
            return adaptive ? decompressMtfAdaptive : decompressMtfStatic;
        case static_cast<uint8_t>(BlockMethod::Dc):
            if (!adaptive) {
                throw Exception("Unsupported compression method (DC can't use static coder).");
            }
            return decompressDc;
        default:
            throw Exception("Unsupported compression method.");
    }
}

// Size of a seekable input stream, leaving it at `pos`.
uint64_t streamSize(std::istream& in) {
    const std::streamoff pos = in.tellg();
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    in.seekg(pos);
    return end < 0 ? 0 : static_cast<uint64_t>(end);
}

}  // namespace

uint64_t compressStream(std::istream& in, uint64_t inputSize, std::ostream& out,
                        const std::string& inputName, const std::string& outputName) {
    Settings& s = settings();
    if (inputSize == 0) {
        throw Exception("Cannot compress empty file (file size is 0)");
    }
    if (inputSize > kMaxInputSize) {
        throw Exception("Cannot compress file larger than 4294967295 bytes");
    }
    const uint32_t size = static_cast<uint32_t>(inputSize);
    if (s.verbose) {
        std::cout << "Input file size: " << size << std::endl;
    }
    const std::streamoff start = out.tellp();
    writeFileHeader(out, size);

    uint32_t blockSize = s.blockSize == 0 ? size : s.blockSize;
    if (blockSize > MaxBlockSize) blockSize = MaxBlockSize;

    std::vector<uint8_t> buffer;
    uint32_t done = 0;
    while (done < size) {
        const uint32_t length = std::min(blockSize, size - done);
        if (s.verbose) {
            std::cout << "Block size: " << length << std::endl;
        }
        if (length > buffer.size()) {
            buffer = std::vector<uint8_t>(length);
        }
        in.read(reinterpret_cast<char*>(buffer.data()), length);
        if (static_cast<uint64_t>(in.gcount()) != length) {
            throw Exception("Unable to read input file: " + inputName);
        }

        BlockHeader header;
        header.blockLength = length;
        const std::streamoff headerPos = out.tellp();
        writeBlockHeader(out, header);
        const std::streamoff payloadPos = out.tellp();
        if (!out || headerPos < 0 || payloadPos < 0) throwWriteError(outputName);

        if (s.mtf0) {
            header.method = static_cast<uint8_t>(s.rle0 ? BlockMethod::MtfRle0 : BlockMethod::MtfPlain);
            if (s.adaptiveCoder) {
                header.coder = static_cast<uint8_t>(CoderType::Adaptive);
                compressMtfAdaptive(out, buffer.data(), length);
            } else {
                header.coder = static_cast<uint8_t>(CoderType::Static);
                compressMtfStatic(out, buffer.data(), length);
            }
        } else if (s.dc) {
            header.method = static_cast<uint8_t>(BlockMethod::Dc);
            header.coder = static_cast<uint8_t>(CoderType::Adaptive);
            compressDc(out, buffer.data(), length);
        } else {
            throw Exception("Unsupported compression method");
        }

        const std::streamoff payloadEnd = out.tellp();
        if (!out || payloadEnd < payloadPos) throwWriteError(outputName);
        header.payloadSize = static_cast<uint32_t>(payloadEnd - payloadPos);
        header.reserved = 0;
        out.seekp(headerPos);
        writeBlockHeader(out, header);
        out.seekp(payloadEnd);
        if (!out) throwWriteError(outputName);
        done += length;
    }
    const std::streamoff end = out.tellp();
    if (!out || end < start) throwWriteError(outputName);
    return static_cast<uint64_t>(end - start);
}

void decompressStream(std::istream& in, std::ostream& out, const std::string& outputName) {
    const Settings& s = settings();
    const uint64_t packedSize = streamSize(in);
    FileHeader fileHeader;
    readFileHeader(in, fileHeader);

    uint64_t total = 0;
    while (total < fileHeader.unpackedSize) {
        BlockHeader header;
        readBlockHeader(in, header);
        if (header.blockLength == 0) {
            throw Exception("Wrong block size in packed size. Block cannot have size of 0.");
        }
        // No compressor writes a block above MaxBlockSize; refusing it here also
        // bounds what a forged header can make us allocate.
        if (total + header.blockLength > fileHeader.unpackedSize ||
            header.blockLength > MaxBlockSize) {
            throw Exception("Wrong block size in packed file (this may also mean some other error).");
        }
        if (s.verbose) {
            std::cout << "Block size: " << header.blockLength << std::endl;
        }
        const BlockDecoder decode = decoderFor(header);
        const std::streamoff payloadPos = in.tellg();
        if (payloadPos < 0 ||
            static_cast<uint64_t>(payloadPos) + header.payloadSize > packedSize) {
            throw Exception("Invalid block (payload extends past end of file).");
        }

        std::vector<uint8_t> block(header.blockLength);
        // A block's payload is exactly what its encoder wrote, so a decoder
        // that finds its code ending elsewhere was given damaged data.
        if (decode(in, block.data(), header.blockLength) != header.payloadSize) {
            throw Exception("Error in compressed file (payload size does not match the coded data)");
        }
        in.clear();
        in.seekg(payloadPos + static_cast<std::streamoff>(header.payloadSize));

        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(block.size()));
        if (!out) throwWriteError(outputName);
        total += header.blockLength;
    }
    // Whatever follows the last block is not read, except that a further
    // block header there means the unpacked size was damaged (to the sum of
    // the blocks before it): no encoder writes a block beyond that size.
    char next[sizeof kBlockMagic] = {};
    in.read(next, sizeof next);
    if (in.gcount() == static_cast<std::streamsize>(sizeof next) &&
        std::string(next, sizeof next) == std::string(kBlockMagic, sizeof kBlockMagic)) {
        throw Exception("Error in compressed file (block beyond the unpacked size)");
    }
}

void refuseSameFile(const std::string& input, const std::string& output) {
    namespace fs = std::filesystem;
    std::error_code ec;
    bool same = false;
    if (fs::exists(input, ec) && fs::exists(output, ec)) {
        same = fs::equivalent(input, output, ec) && !ec;
    } else {
        const fs::path a = fs::weakly_canonical(input, ec);
        const fs::path b = ec ? fs::path() : fs::weakly_canonical(output, ec);
        same = !ec && a == b;
    }
    if (same) {
        throw Exception("Output file is the same as input file: " + output);
    }
}

uint32_t compressFile(const std::string& inputName, const std::string& packedName) {
    const int32_t startClock = clockMs();
    if (settings().verbose) {
        std::cout << "Opening input file: " << inputName << std::endl;
    }
    std::error_code ec;
    std::ifstream in;
    if (!std::filesystem::is_directory(inputName, ec)) {
        in.open(inputName, std::ios::binary);
    }
    if (!in.is_open()) {
        throw Exception("Unable to open input file: " + inputName);
    }
    refuseSameFile(inputName, packedName);
    std::ofstream out(packedName, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        throw Exception("Unable to open output file: " + packedName);
    }
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    in.seekg(0);
    const uint64_t inputSize = end < 0 ? 0 : static_cast<uint64_t>(end);

    const uint64_t packed = compressStream(in, inputSize, out, inputName, packedName);
    in.close();
    out.close();
    if (out.fail()) {
        throw Exception("Unable to write output file: " + packedName);
    }
    const int32_t endClock = clockMs();

    const double S = static_cast<double>(inputSize);
    const double T = static_cast<double>(packed);
    std::cout.precision(3);
    std::cout << "Compressed data size: " << packed << " (" << (S - T) * 100.0 / S << "%, "
              << T * 8.0 / S << " bpc)" << std::endl;
    printTiming(std::cout, "Compression time: ", startClock, endClock);
    return static_cast<uint32_t>(packed);
}

void decompressFile(const std::string& packedName, const std::string& outputName) {
    const int32_t startClock = clockMs();
    if (settings().verbose) {
        std::cout << "Opening input file: " << packedName << std::endl;
    }
    std::error_code ec;
    std::ifstream in;
    if (!std::filesystem::is_directory(packedName, ec)) {
        in.open(packedName, std::ios::binary);
    }
    if (!in.is_open()) {
        throw Exception("Unable to open input file: " + packedName);
    }
    refuseSameFile(packedName, outputName);
    std::ofstream out(outputName, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        throw Exception("Unable to open output file: " + outputName);
    }
    decompressStream(in, out, outputName);
    const int32_t endClock = clockMs();
    in.close();
    out.close();
    if (out.fail()) {
        throw Exception("Unable to write output file: " + outputName);
    }
    printTiming(std::cout, "Decompression time: ", startClock, endClock);
}
