// The drivers stream a file block by block, coding up to one block per
// processor side by side: the compressor holds at most one input block more
// than it codes at once, the extractor one payload and block more. Everything a packed file says is
// checked before it sizes a buffer or steers a decoder, because packed files come from anywhere.
#include "app/Drivers.h"

#include "app/OutputFiles.h"

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
#include "io/ByteOrder.h"
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

MemoryLimits currentMemoryLimits() {
    return MemoryLimits{usableMemoryBytes(), addressSpaceLeft(), threadAddressSpace()};
}

ThreadPlan planThreads(unsigned threads, uint64_t blocks, uint64_t blockLength, bool oneAtATime,
                       const MemoryLimits& limits) {
    constexpr uint64_t kShortestHandedOver = 64;
    threads = std::max(threads, 1u);
    const uint64_t perBlock = 7 * blockLength + (1u << 20);
    uint64_t atOnce = 1;
    if (!oneAtATime && blockLength >= kShortestHandedOver) {
        const uint64_t byMemory = std::max<uint64_t>(1, limits.usable / 4 / perBlock);
        atOnce = std::max<uint64_t>(1, std::min({uint64_t{threads}, blocks, byMemory}));
    }
    // Where the address space is limited, every worker costs its stack and
    // allocator arena besides its block, and one more block is read ahead.
    const auto fits = [&](uint64_t k, uint64_t perBlockThreads) {
        const uint64_t workers = k > 1 ? k : 0;
        const uint64_t readAhead = k > 1 ? blockLength : 0;
        const uint64_t helpers = perBlockThreads > 1 ? k * perBlockThreads : 0;
        const long double need = static_cast<long double>(k) * perBlock +
                                 static_cast<long double>(workers + helpers) * limits.perThread +
                                 readAhead;
        return need <= static_cast<long double>(limits.addressLeft);
    };
    while (atOnce > 1 && !fits(atOnce, 1)) --atOnce;
    uint64_t perBlockThreads = std::max<uint64_t>(1, threads / atOnce);
    while (perBlockThreads > 1 && !fits(atOnce, perBlockThreads)) --perBlockThreads;
    return ThreadPlan{static_cast<unsigned>(atOnce), static_cast<unsigned>(perBlockThreads)};
}

void checkDiagnosticFiles() {
    Settings& s = settings();
    for (const Settings::DiagnosticFile& file : s.diagnosticFiles) {
        std::ostream& stream = s.*file.stream;
        stream.flush();
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
    // Blocks are coded one at a time while a diagnostic file is written: the
    // dumps and histograms are written while a block is coded, and must come
    // in block order. Threads that no block takes go to the blocks' suffix
    // sorts: all of them to a one-block input.
    const ThreadPlan plan =
        planThreads(threads, blockCount, blockSize, !s.diagnosticFiles.empty(), currentMemoryLimits());
    const unsigned atOnce = plan.blocksAtOnce;
    std::vector<Slot> slots(atOnce == 1 ? 1 : atOnce + 1);
    WorkerPool pool(atOnce == 1 ? 0 : atOnce);  // after the slots: joined before they go
    const unsigned sortThreads = plan.threadsPerBlock;

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

namespace {

// Reads the headers of a packed stream in order, through every part of
// packed files written one after another, and checks each block header
// against its part's unpacked size. Needs no seeking: a pipe is read as it
// comes.
class HeaderReader {
public:
    explicit HeaderReader(std::istream& in) : in_(in) {
        // A stream that can tell its length lets a payload size be checked
        // before anything is read for it.
        const std::streamoff pos = in.tellg();
        if (pos >= 0) {
            in.seekg(0, std::ios::end);
            const std::streamoff end = in.tellg();
            in.seekg(pos);
            if (end >= pos) knownSize_ = static_cast<uint64_t>(end);
            if (!in) {
                in.clear();
                in.seekg(pos);
                knownSize_ = kUnknown;
            }
        }
    }

    // Reads the first file header; throws Exception for one that is none.
    void start() {
        FileHeader header;
        readFileHeader(in_, header);
        partSize_ = header.unpackedSize;
        partDone_ = 0;
    }

    uint32_t firstPartSize() const { return partSize_; }

    // Reads and checks the next block header; false at the end of the last
    // part. The checks come in this order: header, zero length, a length
    // beyond the part's unpacked size or the largest block.
    bool next(BlockHeader& header) {
        while (partDone_ == partSize_) {
            if (!nextPart()) return false;
        }
        readBlockHeader(in_, header);
        if (header.blockLength == 0) {
            throw Exception("Wrong block size in packed size. Block cannot have size of 0.");
        }
        // No compressor writes a block above MaxBlockSize; refusing it here also
        // bounds what a forged header can make us allocate.
        if (partDone_ + header.blockLength > partSize_ || header.blockLength > MaxBlockSize) {
            throw Exception("Wrong block size in packed file (this may also mean some other error).");
        }
        partDone_ += header.blockLength;
        return true;
    }

    // Reads a payload of `size` bytes. A payload the file cannot hold is
    // refused before it is read where the length is known; elsewhere it is
    // read in pieces, so a damaged size never allocates more than arrives.
    void readPayload(uint32_t size, std::vector<char>& payload) {
        static const char* const kPastEnd = "Invalid block (payload extends past end of file).";
        if (knownSize_ != kUnknown) {
            const std::streamoff pos = in_.tellg();
            if (pos < 0 || static_cast<uint64_t>(pos) + size > knownSize_) throw Exception(kPastEnd);
        }
        constexpr uint32_t kPiece = 1u << 22;
        payload.clear();
        while (payload.size() < size) {
            const std::size_t have = payload.size();
            const std::size_t piece = std::min<std::size_t>(kPiece, size - have);
            payload.resize(have + piece);
            in_.read(payload.data() + have, static_cast<std::streamsize>(piece));
            if (static_cast<std::size_t>(in_.gcount()) != piece) throw Exception(kPastEnd);
        }
    }

private:
    static constexpr uint64_t kUnknown = ~uint64_t{0};

    // After the last block of a part: another file header starts the next
    // part; a block header means the unpacked size was damaged (to the sum
    // of the blocks before it), since no encoder writes a block beyond that
    // size; anything else is not read.
    bool nextPart() {
        char next[sizeof kFileMagic] = {};
        in_.read(next, sizeof next);
        const std::streamsize got = in_.gcount();
        if (got >= static_cast<std::streamsize>(sizeof kBlockMagic) &&
            std::equal(kBlockMagic, kBlockMagic + sizeof kBlockMagic, next)) {
            throw Exception("Error in compressed file (block beyond the unpacked size)");
        }
        if (got != static_cast<std::streamsize>(sizeof next) ||
            !std::equal(kFileMagic, kFileMagic + sizeof kFileMagic, next)) {
            return false;
        }
        uint8_t size[4] = {};
        in_.read(reinterpret_cast<char*>(size), sizeof size);
        if (in_.gcount() != static_cast<std::streamsize>(sizeof size)) {
            throw Exception("Invalid file (header id does not match).");
        }
        partSize_ = getLE32(size);
        partDone_ = 0;
        return true;
    }

    std::istream& in_;
    uint64_t knownSize_ = kUnknown;
    uint64_t partSize_ = 0;
    uint64_t partDone_ = 0;
};

}  // namespace

void decompressStream(std::istream& in, std::ostream& out, const std::string& outputName,
                      const CpuFeatures& features, unsigned threads) {
    const Settings& s = settings();
    HeaderReader reader(in);
    reader.start();

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
    // last of a part has the same length); a first header that cannot be
    // read gives one block at a time, and the loop below reports it in its
    // turn.
    BlockHeader first;
    bool haveFirst = false;
    std::exception_ptr firstError;
    try {
        haveFirst = reader.next(first);
    } catch (const Exception&) {
        firstError = std::current_exception();
    }
    unsigned atOnce = 1;
    if (haveFirst) {
        const uint64_t blocks = (reader.firstPartSize() - 1) / first.blockLength + 1;
        atOnce =
            planThreads(threads, blocks, first.blockLength, false, currentMemoryLimits()).blocksAtOnce;
    }
    std::vector<Slot> slots(atOnce == 1 ? 1 : atOnce + 1);
    WorkerPool pool(atOnce == 1 ? 0 : atOnce);  // after the slots: joined before they go

    bool headersEnded = false;
    uint64_t readBlocks = 0;
    for (uint64_t writtenBlocks = 0;; ++writtenBlocks) {
        while (!headersEnded && readBlocks - writtenBlocks < slots.size()) {
            Slot& slot = slots[readBlocks % slots.size()];
            std::ostream& console = slot.report.begin(pool);
            bool more = false;
            try {
                if (readBlocks == 0) {
                    if (firstError) std::rethrow_exception(firstError);
                    more = haveFirst;
                    if (more) slot.header = first;
                } else {
                    more = reader.next(slot.header);
                }
            } catch (...) {
                ++readBlocks;  // the damaged header takes its turn to be reported
                slot.report.error = std::current_exception();
                headersEnded = true;
                break;
            }
            if (!more) {
                headersEnded = true;
                break;
            }
            ++readBlocks;
            try {
                if (s.verbose) {
                    console << "Block size: " << slot.header.blockLength << std::endl;
                }
                slot.decode = decoderFor(slot.header, slot.rle0);
                reader.readPayload(slot.header.payloadSize, slot.payload);
            } catch (...) {
                slot.report.error = std::current_exception();
                headersEnded = true;
                break;
            }
            slot.report.submit(pool, [&slot, out = &console, features] {
                slot.block.resize(slot.header.blockLength);
                PayloadReader payloadReader(slot.payload);
                std::istream payload(&payloadReader);
                // A block's payload is exactly what its encoder wrote, so a decoder
                // that finds its code ending elsewhere was given damaged data.
                if (slot.decode(payload, slot.block.data(), slot.header.blockLength, slot.rle0,
                                BlockContext{*out, features, 1}) != slot.header.payloadSize) {
                    throw Exception(
                        "Error in compressed file (payload size does not match the coded data)");
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
}

void refuseSameFile(const std::string& input, const std::string& output) {
    if (sameFile(input, output)) {
        throw Exception("Output file is the same as input file: " + output);
    }
}

namespace {

// Opens the input (a folder is no input), checks that the output is not the
// same file and prepares the output; prints the opening line when verbose.
// `shownName` is the input's name in every message.
void openFiles(const std::string& inputName, const std::string& shownName, std::ifstream& in,
               const std::string& outputName, OutputFile& out) {
    if (settings().verbose) {
        std::cout << "Opening input file: " << shownName << std::endl;
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(inputName, ec)) {
        in.open(inputName, std::ios::binary);
    }
    if (!in.is_open()) {
        throw Exception("Unable to open input file: " + shownName);
    }
    refuseSameFile(inputName, outputName);
    out.open(outputName, "Unable to open output file: ");
}

}  // namespace

uint32_t compressFile(const std::string& inputName, OutputFile& packed, SpooledInput& spool,
                      const std::string& packedName) {
    const int32_t startClock = clockMs();
    std::ifstream in;
    openFiles(inputName, inputName, in, packedName, packed);
    // An input that cannot be measured or read twice (a pipe, a device) is
    // copied to its end first and compressed from the copy.
    const bool special = isSpecialFile(inputName);
    uint64_t inputSize = 0;
    if (special) {
        spool.spool(in, inputName, packedName);
        in.close();
        in.open(spool.path(), std::ios::binary);
        if (!in.is_open()) throw Exception("Unable to read input file: " + inputName);
        inputSize = spool.size();
    } else {
        in.seekg(0, std::ios::end);
        const std::streamoff end = in.tellg();
        in.seekg(0);
        inputSize = end < 0 ? 0 : static_cast<uint64_t>(end);
    }

    const uint64_t total =
        compressStream(in, inputSize, packed.stream(), inputName, packedName, availableProcessors());
    in.close();
    // The packed file takes the input's permission bits and time, as other
    // compressors do; the copy of a pipe has neither, so it gets the
    // process's default mode and the current time.
    packed.finish(special ? FileAttributes{} : FileAttributes{true, inputName, true});
    const int32_t endClock = clockMs();

    const double S = static_cast<double>(inputSize);
    const double T = static_cast<double>(total);
    std::cout.precision(3);
    std::cout << "Compressed data size: " << total << " (" << (S - T) * 100.0 / S << "%, " << T * 8.0 / S
              << " bpc)" << std::endl;
    printTiming(std::cout, "Compression time: ", startClock, endClock);
    return static_cast<uint32_t>(total);
}

void decompressFile(const std::string& packedPath, const std::string& packedName, OutputFile& output,
                    const std::string& outputName, const CpuFeatures& features, bool keepPartial) {
    const int32_t startClock = clockMs();
    std::ifstream in;
    openFiles(packedPath, packedName, in, outputName, output);
    const FileAttributes attributes =
        isSpecialFile(packedPath) ? FileAttributes{} : FileAttributes{true, packedPath, true};
    try {
        decompressStream(in, output.stream(), outputName, features, availableProcessors());
    } catch (...) {
        // The blocks before a damaged one are kept under a name that held
        // nothing before; an existing file is never given up for a part.
        if (keepPartial && !output.existedBefore() && output.touched()) {
            try {
                output.finish(FileAttributes{attributes.fromFile, attributes.source, false});
                output.commit();
            } catch (const std::exception&) {}
        }
        throw;
    }
    const int32_t endClock = clockMs();
    in.close();
    output.finish(attributes);
    printTiming(std::cout, "Decompression time: ", startClock, endClock);
}
