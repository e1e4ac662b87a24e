// The drivers stream a file block by block: the compressor never holds more
// than one input block, the extractor one block and its decoder's working
// column. Everything a packed file says is checked before it sizes a buffer or
// steers a decoder, because packed files come from anywhere.
#include "app/Drivers.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <vector>

#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Settings.h"
#include "base/Timing.h"
#include "codec/DcCodec.h"
#include "codec/MtfAdaptiveCodec.h"
#include "codec/MtfStaticCodec.h"
#include "io/PackedHeaders.h"

namespace {

constexpr uint64_t kMaxInputSize = 4294967295u;

// Fills the block and returns the size of the payload it decoded.
using BlockDecoder = uint64_t (*)(std::istream&, uint8_t*, uint32_t, const CpuFeatures&);

// The MTF decoders have no processor-specific paths.
template <uint64_t (*decode)(std::istream&, uint8_t*, uint32_t)>
uint64_t withoutFeatures(std::istream& in, uint8_t* out, uint32_t L, const CpuFeatures&) {
    return decode(in, out, L);
}

void throwWriteError(const std::string& outputName) {
    throw Exception("Unable to write output file: " + outputName);
}

// Picks the decoder a block header names and sets settings().rle0 for MTF blocks.
BlockDecoder decoderFor(const BlockHeader& header) {
    const bool adaptive = header.coder == static_cast<uint8_t>(CoderType::Adaptive);
    switch (header.method) {
        case static_cast<uint8_t>(BlockMethod::MtfPlain):
            settings().rle0 = false;
            return adaptive ? withoutFeatures<decompressMtfAdaptive>
                            : withoutFeatures<decompressMtfStatic>;
        case static_cast<uint8_t>(BlockMethod::MtfRle0):
            settings().rle0 = true;
            return adaptive ? withoutFeatures<decompressMtfAdaptive>
                            : withoutFeatures<decompressMtfStatic>;
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

// Gives `to` the permission bits and modification time of `from`, as other
// compressors do. Best effort: skipped when `to` is no regular file (a device,
// a pipe) and silently left undone where the file system refuses.
void keepFileAttributes(const std::string& from, const std::string& to) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_regular_file(to, ec)) return;
    const fs::file_status status = fs::status(from, ec);
    if (ec) return;
    // The time before the bits: a file that has just been made read-only
    // cannot have its time changed on every system.
    const fs::file_time_type time = fs::last_write_time(from, ec);
    if (!ec) fs::last_write_time(to, time, ec);
    fs::permissions(to, status.permissions() & fs::perms::all, fs::perm_options::replace, ec);
}

// A write-only stream buffer that appends to a byte vector: a block's payload
// is coded into memory in full, so that its size is known before the block
// header is written. The codecs write in large pieces (whole bit-stream
// buffers), which go straight into the vector.
class PayloadBuffer : public std::streambuf {
public:
    explicit PayloadBuffer(std::vector<char>& bytes) : bytes_(bytes) {}

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        bytes_.insert(bytes_.end(), s, s + n);
        return n;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            bytes_.push_back(traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }

private:
    std::vector<char>& bytes_;
};

}  // namespace

void packBlock(uint8_t* block, uint32_t length, PackedBlock& packed) {
    const Settings& s = settings();
    packed.header = BlockHeader{};
    packed.header.blockLength = length;
    packed.payload.clear();
    PayloadBuffer buffer(packed.payload);
    std::ostream out(&buffer);
    // The only way a write into memory fails is a failed allocation: let it
    // pass as itself instead of leaving it in the stream state.
    out.exceptions(std::ios::badbit);

    if (s.mtf0) {
        packed.header.method =
            static_cast<uint8_t>(s.rle0 ? BlockMethod::MtfRle0 : BlockMethod::MtfPlain);
        if (s.adaptiveCoder) {
            packed.header.coder = static_cast<uint8_t>(CoderType::Adaptive);
            compressMtfAdaptive(out, block, length);
        } else {
            packed.header.coder = static_cast<uint8_t>(CoderType::Static);
            compressMtfStatic(out, block, length);
        }
    } else if (s.dc) {
        packed.header.method = static_cast<uint8_t>(BlockMethod::Dc);
        packed.header.coder = static_cast<uint8_t>(CoderType::Adaptive);
        compressDc(out, block, length);
    } else {
        throw Exception("Unsupported compression method");
    }
    // A payload is never much longer than its block, and a block holds at most
    // MaxBlockSize bytes, so the size fits its 32-bit field.
    packed.header.payloadSize = static_cast<uint32_t>(packed.payload.size());
    packed.header.reserved = 0;
}

uint64_t writePackedBlock(std::ostream& out, const PackedBlock& packed) {
    writeBlockHeader(out, packed.header);
    out.write(packed.payload.data(), static_cast<std::streamsize>(packed.payload.size()));
    return kBlockHeaderSize + static_cast<uint64_t>(packed.payload.size());
}

void checkDiagnosticFiles() {
    Settings& s = settings();
    for (const Settings::DiagnosticFile& file : s.diagnosticFiles) {
        std::ofstream& stream = s.*file.stream;
        if (stream.is_open()) stream.flush();
        if (!stream) {
            throw Exception("Unable to write output file: " + file.name);
        }
    }
}

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
    writeFileHeader(out, size);
    if (!out) throwWriteError(outputName);
    uint64_t written = kFileHeaderSize;

    uint32_t blockSize = s.blockSize == 0 ? size : s.blockSize;
    if (blockSize > MaxBlockSize) blockSize = MaxBlockSize;

    std::vector<uint8_t> buffer;
    PackedBlock packed;
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

        packBlock(buffer.data(), length, packed);
        written += writePackedBlock(out, packed);
        if (!out) throwWriteError(outputName);
        checkDiagnosticFiles();
        done += length;
    }
    return written;
}

void decompressStream(std::istream& in, std::ostream& out, const std::string& outputName,
                      const CpuFeatures& features) {
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
        if (total + header.blockLength > fileHeader.unpackedSize || header.blockLength > MaxBlockSize) {
            throw Exception("Wrong block size in packed file (this may also mean some other error).");
        }
        if (s.verbose) {
            std::cout << "Block size: " << header.blockLength << std::endl;
        }
        const BlockDecoder decode = decoderFor(header);
        const std::streamoff payloadPos = in.tellg();
        if (payloadPos < 0 || static_cast<uint64_t>(payloadPos) + header.payloadSize > packedSize) {
            throw Exception("Invalid block (payload extends past end of file).");
        }

        std::vector<uint8_t> block(header.blockLength);
        // A block's payload is exactly what its encoder wrote, so a decoder
        // that finds its code ending elsewhere was given damaged data.
        if (decode(in, block.data(), header.blockLength, features) != header.payloadSize) {
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
    keepFileAttributes(inputName, packedName);
    const int32_t endClock = clockMs();

    const double S = static_cast<double>(inputSize);
    const double T = static_cast<double>(packed);
    std::cout.precision(3);
    std::cout << "Compressed data size: " << packed << " (" << (S - T) * 100.0 / S << "%, "
              << T * 8.0 / S << " bpc)" << std::endl;
    printTiming(std::cout, "Compression time: ", startClock, endClock);
    return static_cast<uint32_t>(packed);
}

void decompressFile(const std::string& packedName, const std::string& outputName,
                    const CpuFeatures& features) {
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
    decompressStream(in, out, outputName, features);
    const int32_t endClock = clockMs();
    in.close();
    out.close();
    if (out.fail()) {
        throw Exception("Unable to write output file: " + outputName);
    }
    keepFileAttributes(packedName, outputName);
    printTiming(std::cout, "Decompression time: ", startClock, endClock);
}
