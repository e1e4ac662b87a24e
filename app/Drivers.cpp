// The drivers stream a file block by block, coding up to one block per
// processor side by side: the compressor holds at most one input block more
// than it codes at once, the extractor one payload and block more. Everything a packed file says is checked before it sizes a buffer or
// steers a decoder, because packed files come from anywhere.
#include "app/Drivers.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <vector>

#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Settings.h"
#include "base/Timing.h"
#include "base/WorkerPool.h"
#include "codec/DcCodec.h"
#include "codec/MtfAdaptiveCodec.h"
#include "codec/MtfStaticCodec.h"
#include "io/PackedHeaders.h"

namespace {

constexpr uint64_t kMaxInputSize = 4294967295u;

// Fills the block and returns the size of the payload it decoded.
using BlockDecoder = uint64_t (*)(std::istream&, uint8_t*, uint32_t, bool rle0, const BlockContext&);

// The DC decoder has no zero-run choice.
uint64_t decodeDc(std::istream& in, uint8_t* out, uint32_t L, bool, const BlockContext& context) {
    return decompressDc(in, out, L, context);
}

void throwWriteError(const std::string& outputName) {
    throw Exception("Unable to write output file: " + outputName);
}

// Picks the decoder a block header names; `rle0` is set for MTF blocks.
BlockDecoder decoderFor(const BlockHeader& header, bool& rle0) {
    const bool adaptive = header.coder == static_cast<uint8_t>(CoderType::Adaptive);
    switch (header.method) {
        case static_cast<uint8_t>(BlockMethod::MtfPlain):
        case static_cast<uint8_t>(BlockMethod::MtfRle0):
            rle0 = header.method == static_cast<uint8_t>(BlockMethod::MtfRle0);
            return adaptive ? decompressMtfAdaptive : decompressMtfStatic;
        case static_cast<uint8_t>(BlockMethod::Dc):
            if (!adaptive) {
                throw Exception("Unsupported compression method (DC can't use static coder).");
            }
            rle0 = false;
            return decodeDc;
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

// A read-only stream buffer over a payload held in memory, for the block
// decoders, which read from a stream.
class PayloadReader : public std::streambuf {
public:
    explicit PayloadReader(std::vector<char>& bytes) {
        setg(bytes.data(), bytes.data(), bytes.data() + bytes.size());
    }
};

// What one block's coding on a worker needs to return to the writer besides
// its data: the console lines it printed (when it ran on a worker) and how it
// failed, if it did.
struct BlockReport {
    std::ostringstream lines;
    std::exception_ptr error;
    bool submitted = false;  // handed to the pool (false: failed before that)
    uint64_t ticket = 0;

    // Starts the report of a new block. Its lines go to standard output when
    // blocks are coded one at a time, else to the buffer, with the number
    // format standard output has now (the round-trip test prints times at 3
    // digits).
    std::ostream& begin(const WorkerPool& pool) {
        error = nullptr;
        submitted = false;
        if (!pool.threaded()) return std::cout;
        lines.str(std::string());
        lines.clear();
        lines.flags(std::cout.flags());
        lines.precision(std::cout.precision());
        return lines;
    }

    // Runs `code` on the pool, keeping what it throws for finish.
    template <typename Code>
    void submit(WorkerPool& pool, Code code) {
        submitted = true;
        ticket = pool.submit([this, code] {
            try {
                code();
            } catch (...) {
                error = std::current_exception();
            }
        });
    }

    // Waits for the block, prints its lines and throws what its coding threw.
    void finish(WorkerPool& pool) {
        if (submitted) pool.wait(ticket);
        if (pool.threaded()) std::cout << lines.str() << std::flush;
        if (error) std::rethrow_exception(error);
    }
};

// Blocks coded at once, and so the workers to start: at most `threads` and
// the number of blocks, and never so many that their working memory (about
// seven bytes per block byte: the block, its payload, the suffix sort's or
// the inverse transform's tables) passes a quarter of the memory the process
// can use. Blocks are coded one at a time, on the caller, while a diagnostic
// file is written (the dumps and histograms are written while a block is
// coded, and must come in block order), and when they are so short that
// handing one to a worker takes longer than coding it (-b 1 on 300 KB of
// text: 2.4 s on the caller, 3.6 s handed to two workers).
unsigned blocksAtOnce(unsigned threads, uint64_t blocks, uint64_t blockLength) {
    constexpr uint64_t kShortestHandedOver = 64;
    if (!settings().diagnosticFiles.empty() || blockLength < kShortestHandedOver) return 1;
    const uint64_t perBlock = 7 * blockLength + (1u << 20);
    const uint64_t byMemory = std::max<uint64_t>(1, usableMemoryBytes() / 4 / perBlock);
    return static_cast<unsigned>(std::max<uint64_t>(1, std::min({uint64_t{threads}, blocks, byMemory})));
}

}  // namespace

void packBlock(uint8_t* block, uint32_t length, PackedBlock& packed, const BlockContext& context) {
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
            compressMtfAdaptive(out, block, length, context);
        } else {
            packed.header.coder = static_cast<uint8_t>(CoderType::Static);
            compressMtfStatic(out, block, length, context);
        }
    } else if (s.dc) {
        packed.header.method = static_cast<uint8_t>(BlockMethod::Dc);
        packed.header.coder = static_cast<uint8_t>(CoderType::Adaptive);
        compressDc(out, block, length, context);
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
                        const std::string& inputName, const std::string& outputName, unsigned threads) {
    const Settings& s = settings();
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
    const uint32_t blockCount = (size - 1) / blockSize + 1;

    // The reader (this thread) keeps up to one block more than there are
    // workers in flight, so a worker never waits for input; the writer (this
    // thread as well) takes the blocks back in order.
    struct Slot {
        std::vector<uint8_t> block;  // kept and reused, grown when a longer block comes
        uint32_t length = 0;
        PackedBlock packed;
        BlockReport report;
    };
    const unsigned atOnce = blocksAtOnce(threads, blockCount, blockSize);
    std::vector<Slot> slots(atOnce == 1 ? 1 : atOnce + 1);
    WorkerPool pool(atOnce == 1 ? 0 : atOnce);  // after the slots: joined before they go
    // Threads that no block takes go to the blocks' suffix sorts: all of
    // them to a one-block input.
    const unsigned sortThreads = std::max(1u, threads / atOnce);

    uint32_t done = 0;  // bytes read
    uint32_t readBlocks = 0;
    bool inputFailed = false;
    for (uint32_t writtenBlocks = 0; writtenBlocks < blockCount; ++writtenBlocks) {
        while (!inputFailed && readBlocks < blockCount && readBlocks - writtenBlocks < slots.size()) {
            Slot& slot = slots[readBlocks++ % slots.size()];
            std::ostream& console = slot.report.begin(pool);
            slot.length = std::min(blockSize, size - done);
            if (s.verbose) {
                console << "Block size: " << slot.length << std::endl;
            }
            try {
                if (slot.length > slot.block.size()) {
                    slot.block = std::vector<uint8_t>();
                    slot.block = std::vector<uint8_t>(slot.length);
                }
                in.read(reinterpret_cast<char*>(slot.block.data()), slot.length);
                if (static_cast<uint64_t>(in.gcount()) != slot.length) {
                    throw Exception("Unable to read input file: " + inputName);
                }
            } catch (...) {
                slot.report.error = std::current_exception();
                inputFailed = true;  // the blocks before it are still written
                break;
            }
            done += slot.length;
            slot.report.submit(pool, [&slot, out = &console, sortThreads] {
                packBlock(slot.block.data(), slot.length, slot.packed,
                          BlockContext{*out, kPortableCpuFeatures, sortThreads});
            });
        }
        Slot& slot = slots[writtenBlocks % slots.size()];
        slot.report.finish(pool);
        written += writePackedBlock(out, slot.packed);
        if (!out) throwWriteError(outputName);
        checkDiagnosticFiles();
    }
    return written;
}

void decompressStream(std::istream& in, std::ostream& out, const std::string& outputName,
                      const CpuFeatures& features, unsigned threads) {
    const Settings& s = settings();
    const uint64_t packedSize = streamSize(in);
    FileHeader fileHeader;
    readFileHeader(in, fileHeader);

    // Headers are read and checked here, in order; the payloads are decoded
    // on the workers and the blocks written here, in order. A block whose
    // header or payload is damaged ends the run when its turn to be written
    // comes: the blocks before it are in the output, none after it.
    struct Slot {
        BlockHeader header;
        BlockDecoder decode = nullptr;
        bool rle0 = false;
        std::vector<char> payload;
        std::vector<uint8_t> block;
        BlockReport report;
    };
    // The first block's length stands for all of them (every block but the
    // last has the same length); a first header that cannot be read gives
    // one block at a time, and the loop below reports it in its turn.
    unsigned atOnce = 1;
    if (fileHeader.unpackedSize != 0) {
        const std::streamoff first = in.tellg();
        try {
            BlockHeader header;
            readBlockHeader(in, header);
            if (header.blockLength != 0) {
                const uint64_t blocks = (fileHeader.unpackedSize - 1) / header.blockLength + 1;
                atOnce = blocksAtOnce(threads, blocks, std::min(header.blockLength, MaxBlockSize));
            }
        } catch (const Exception&) {
        }
        in.clear();
        in.seekg(first);
    }
    std::vector<Slot> slots(atOnce == 1 ? 1 : atOnce + 1);
    WorkerPool pool(atOnce == 1 ? 0 : atOnce);  // after the slots: joined before they go

    uint64_t readTotal = 0;  // bytes of the blocks whose headers have been read
    bool headersFailed = false;
    uint64_t readBlocks = 0;
    for (uint64_t writtenBlocks = 0;; ++writtenBlocks) {
        while (!headersFailed && readTotal < fileHeader.unpackedSize &&
               readBlocks - writtenBlocks < slots.size()) {
            Slot& slot = slots[readBlocks++ % slots.size()];
            std::ostream& console = slot.report.begin(pool);
            try {
                readBlockHeader(in, slot.header);
                const BlockHeader& header = slot.header;
                if (header.blockLength == 0) {
                    throw Exception("Wrong block size in packed size. Block cannot have size of 0.");
                }
                // No compressor writes a block above MaxBlockSize; refusing it here also
                // bounds what a forged header can make us allocate.
                if (readTotal + header.blockLength > fileHeader.unpackedSize ||
                    header.blockLength > MaxBlockSize) {
                    throw Exception("Wrong block size in packed file (this may also mean some other error).");
                }
                if (s.verbose) {
                    console << "Block size: " << header.blockLength << std::endl;
                }
                slot.decode = decoderFor(header, slot.rle0);
                const std::streamoff payloadPos = in.tellg();
                if (payloadPos < 0 || static_cast<uint64_t>(payloadPos) + header.payloadSize > packedSize) {
                    throw Exception("Invalid block (payload extends past end of file).");
                }
                slot.payload.resize(header.payloadSize);
                in.read(slot.payload.data(), static_cast<std::streamsize>(header.payloadSize));
                if (static_cast<uint64_t>(in.gcount()) != header.payloadSize) {
                    throw Exception("Invalid block (payload extends past end of file).");
                }
            } catch (...) {
                slot.report.error = std::current_exception();
                headersFailed = true;
                break;
            }
            readTotal += slot.header.blockLength;
            slot.report.submit(pool, [&slot, out = &console, features] {
                slot.block.resize(slot.header.blockLength);
                PayloadReader reader(slot.payload);
                std::istream payload(&reader);
                // A block's payload is exactly what its encoder wrote, so a decoder
                // that finds its code ending elsewhere was given damaged data.
                if (slot.decode(payload, slot.block.data(), slot.header.blockLength, slot.rle0,
                                BlockContext{*out, features, 1}) != slot.header.payloadSize) {
                    throw Exception("Error in compressed file (payload size does not match the coded data)");
                }
            });
        }
        if (writtenBlocks == readBlocks) break;
        Slot& slot = slots[writtenBlocks % slots.size()];
        slot.report.finish(pool);
        out.write(reinterpret_cast<const char*>(slot.block.data()),
                  static_cast<std::streamsize>(slot.header.blockLength));
        if (!out) throwWriteError(outputName);
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

namespace {

// Opens the input (a folder is no input) and then creates or truncates the
// output, after checking that the two are not the same file; prints the
// opening line when verbose.
void openFiles(const std::string& inputName, std::ifstream& in, const std::string& outputName,
               std::ofstream& out) {
    if (settings().verbose) {
        std::cout << "Opening input file: " << inputName << std::endl;
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(inputName, ec)) {
        in.open(inputName, std::ios::binary);
    }
    if (!in.is_open()) {
        throw Exception("Unable to open input file: " + inputName);
    }
    refuseSameFile(inputName, outputName);
    out.open(outputName, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        throw Exception("Unable to open output file: " + outputName);
    }
}

}  // namespace

uint32_t compressFile(const std::string& inputName, const std::string& packedName) {
    const int32_t startClock = clockMs();
    std::ifstream in;
    std::ofstream out;
    openFiles(inputName, in, packedName, out);
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    in.seekg(0);
    const uint64_t inputSize = end < 0 ? 0 : static_cast<uint64_t>(end);

    const uint64_t packed = compressStream(in, inputSize, out, inputName, packedName, availableProcessors());
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
    std::ifstream in;
    std::ofstream out;
    openFiles(packedName, in, outputName, out);
    decompressStream(in, out, outputName, features, availableProcessors());
    const int32_t endClock = clockMs();
    in.close();
    out.close();
    if (out.fail()) {
        throw Exception("Unable to write output file: " + outputName);
    }
    keepFileAttributes(packedName, outputName);
    printTiming(std::cout, "Decompression time: ", startClock, endClock);
}
