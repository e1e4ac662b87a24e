// The ordered block pipeline of compression and extraction. This thread
// reads and checks block after block, workers code them side by side, and
// this thread takes them back strictly in order, so the output, the printed
// lines and the errors are the same on any number of processors. Everything
// a packed file says is checked before it sizes a buffer or steers a
// decoder, because packed files come from anywhere.
#include "codec/Pipeline.h"

#include <algorithm>
#include <exception>
#include <sstream>
#include <streambuf>
#include <vector>

#include "base/DamageMessages.h"
#include "base/Exception.h"
#include "base/Platform.h"
#include "base/WorkerPool.h"
#include "codec/CodecTable.h"
#include "io/ByteOrder.h"
#include "io/PackedHeaders.h"

namespace {

constexpr uint64_t kMaxInputSize = 4294967295u;

[[noreturn]] void throwWriteError(const std::string& outputName) {
    throw Exception("Unable to write output file: " + outputName);
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

    // Starts the report of a new block. Its lines go to the console when
    // blocks are coded one at a time, else to the buffer, with the number
    // format the console has now (the round-trip test prints times at 3
    // digits).
    std::ostream& begin(const WorkerPool& pool, std::ostream& console) {
        error = nullptr;
        submitted = false;
        if (!pool.threaded()) return console;
        lines.str(std::string());
        lines.clear();
        lines.flags(console.flags());
        lines.precision(console.precision());
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
    void finish(WorkerPool& pool, std::ostream& console) {
        if (submitted) pool.wait(ticket);
        if (pool.threaded()) console << lines.str() << std::flush;
        if (error) std::rethrow_exception(error);
    }
};

// Runs the ordered pipeline with `atOnce` blocks in flight. prepare(slot,
// console) readies the next block on this thread and returns false when
// there is none; what it throws is reported in that block's turn. code(slot,
// console) codes it on a worker (on this thread when atOnce is 1), and
// deliver(slot) takes it back here, in order. The console lines of a block
// are printed when it is delivered.
template <typename Slot, typename Prepare, typename Code, typename Deliver>
void runInOrder(std::ostream& console, unsigned atOnce, Prepare&& prepare, Code&& code,
                Deliver&& deliver) {
    std::vector<Slot> slots(atOnce == 1 ? 1 : atOnce + 1);
    std::vector<BlockReport> reports(slots.size());
    WorkerPool pool(atOnce == 1 ? 0 : atOnce);  // after the slots: joined before they go
    bool ended = false;
    uint64_t prepared = 0;
    for (uint64_t delivered = 0;; ++delivered) {
        while (!ended && prepared - delivered < slots.size()) {
            Slot& slot = slots[prepared % slots.size()];
            BlockReport& report = reports[prepared % slots.size()];
            std::ostream& lines = report.begin(pool, console);
            bool more = false;
            try {
                more = prepare(slot, lines);
            } catch (...) {
                report.error = std::current_exception();
                ended = true;
                ++prepared;  // the failed block takes its turn to be reported
                break;
            }
            if (!more) {
                ended = true;
                break;
            }
            ++prepared;
            report.submit(pool, [&slot, out = &lines, &code] { code(slot, *out); });
        }
        if (delivered == prepared) break;
        reports[delivered % slots.size()].finish(pool, console);
        deliver(slots[delivered % slots.size()]);
    }
}

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
        declaredTotal_ = partSize_;
    }

    uint32_t firstPartSize() const { return static_cast<uint32_t>(partSize_); }
    // The unpacked sizes of the parts whose file headers have been read.
    uint64_t declaredTotal() const { return declaredTotal_; }

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

    // Steps over a payload of `size` bytes without keeping it.
    void skipPayload(uint32_t size) {
        static const char* const kPastEnd = "Invalid block (payload extends past end of file).";
        if (knownSize_ != kUnknown) {
            const std::streamoff pos = in_.tellg();
            if (pos < 0 || static_cast<uint64_t>(pos) + size > knownSize_) throw Exception(kPastEnd);
            in_.seekg(static_cast<std::streamoff>(pos + static_cast<std::streamoff>(size)));
            if (!in_) throw Exception(kPastEnd);
            return;
        }
        in_.ignore(static_cast<std::streamsize>(size));
        if (static_cast<uint64_t>(in_.gcount()) != size) throw Exception(kPastEnd);
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
            throw Exception(kBlockBeyondSizeMessage);
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
        declaredTotal_ += partSize_;
        return true;
    }

    std::istream& in_;
    uint64_t knownSize_ = kUnknown;
    uint64_t partSize_ = 0;
    uint64_t partDone_ = 0;
    uint64_t declaredTotal_ = 0;
};

}  // namespace

void packBlock(uint8_t* block, uint32_t length, PackedBlock& packed, const BlockContext& context) {
    const CodecEntry& codec = codecForPlan(context.plan);
    packed.header = BlockHeader{};
    packed.header.blockLength = length;
    packed.payload.clear();
    PayloadBuffer buffer(packed.payload);
    std::ostream out(&buffer);
    // The only way a write into memory fails is a failed allocation: let it
    // pass as itself instead of leaving it in the stream state.
    out.exceptions(std::ios::badbit);
    packed.header.method = codec.method;
    packed.header.coder = codec.coder;
    codec.compress(out, block, length, context);
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

uint64_t compressStream(std::istream& in, uint64_t inputSize, std::ostream& out,
                        const std::string& inputName, const std::string& outputName,
                        const BlockPlan& plan, std::ostream& console, const DiagnosticsSink* dumps,
                        const PipelineHooks& hooks) {
    if (inputSize == 0) {
        throw Exception("Cannot compress empty file (file size is 0)");
    }
    if (inputSize > kMaxInputSize) {
        throw Exception("Cannot compress file larger than 4294967295 bytes");
    }
    const uint32_t size = static_cast<uint32_t>(inputSize);
    if (plan.verbose) {
        console << "Input file size: " << size << std::endl;
    }
    writeFileHeader(out, size);
    if (!out) throwWriteError(outputName);
    uint64_t written = kFileHeaderSize;

    uint32_t blockSize = plan.blockSize == 0 ? size : plan.blockSize;
    if (blockSize > MaxBlockSize) blockSize = MaxBlockSize;
    const uint32_t blockCount = (size - 1) / blockSize + 1;

    // Blocks are coded one at a time while a diagnostic file is written: the
    // dumps and histograms are written while a block is coded, and must come
    // in block order. Threads that no block takes go to the blocks' suffix
    // sorts: all of them to a one-block input.
    const ThreadPlan threads =
        planThreads(plan.threads, blockCount, blockSize, dumps != nullptr, currentMemoryLimits());
    struct Slot {
        std::vector<uint8_t> block;  // kept and reused, grown when a longer block comes
        uint32_t length = 0;
        PackedBlock packed;
    };
    uint32_t done = 0;       // bytes read
    uint64_t bytesDone = 0;  // bytes of the blocks written
    runInOrder<Slot>(
        console, threads.blocksAtOnce,
        [&](Slot& slot, std::ostream& console) {
            if (done == size) return false;
            slot.length = std::min(blockSize, size - done);
            if (plan.verbose) {
                console << "Block size: " << slot.length << std::endl;
            }
            if (slot.length > slot.block.size()) {
                slot.block = std::vector<uint8_t>();
                slot.block = std::vector<uint8_t>(slot.length);
            }
            in.read(reinterpret_cast<char*>(slot.block.data()), slot.length);
            if (static_cast<uint64_t>(in.gcount()) != slot.length) {
                throw Exception("Unable to read input file: " + inputName);
            }
            done += slot.length;
            return true;
        },
        [&](Slot& slot, std::ostream& console) {
            packBlock(slot.block.data(), slot.length, slot.packed,
                      BlockContext{console, kPortableCpuFeatures, threads.threadsPerBlock, plan, dumps});
        },
        [&](Slot& slot) {
            written += writePackedBlock(out, slot.packed);
            if (!out) throwWriteError(outputName);
            if (hooks.afterEachBlock) hooks.afterEachBlock();
            bytesDone += slot.length;
            if (hooks.progress) hooks.progress(bytesDone, size);
        });
    return written;
}

void decompressStream(std::istream& in, std::ostream& out, const std::string& outputName,
                      const CpuFeatures& features, const BlockPlan& plan, std::ostream& console,
                      const PipelineHooks& hooks) {
    HeaderReader reader(in);
    reader.start();
    // The first block's length stands for all of them (every block but the
    // last of a part has the same length); a first header that cannot be
    // read gives one block at a time, and the pipeline reports it in its
    // turn.
    BlockHeader first;
    bool haveFirst = false;
    std::exception_ptr firstError;
    try {
        haveFirst = reader.next(first);
    } catch (const Exception&) {
        firstError = std::current_exception();
    }
    // Threads that no block takes go to the blocks' inverse transforms: all
    // of them to a one-block file.
    ThreadPlan threads;
    if (haveFirst) {
        const uint64_t blocks = (reader.firstPartSize() - 1) / first.blockLength + 1;
        threads = planThreads(plan.threads, blocks, first.blockLength, false, currentMemoryLimits());
    }
    struct Slot {
        BlockHeader header;
        const CodecEntry* codec = nullptr;
        std::vector<char> payload;
        std::vector<uint8_t> block;
    };
    bool firstTaken = false;
    uint64_t bytesDone = 0;
    runInOrder<Slot>(
        console, threads.blocksAtOnce,
        [&](Slot& slot, std::ostream& console) {
            if (!firstTaken) {
                firstTaken = true;
                if (firstError) std::rethrow_exception(firstError);
                if (!haveFirst) return false;
                slot.header = first;
            } else if (!reader.next(slot.header)) {
                return false;
            }
            if (plan.verbose) {
                console << "Block size: " << slot.header.blockLength << std::endl;
            }
            slot.codec = &codecForHeader(slot.header.method, slot.header.coder);
            reader.readPayload(slot.header.payloadSize, slot.payload);
            return true;
        },
        [&](Slot& slot, std::ostream& console) {
            slot.block.resize(slot.header.blockLength);
            PayloadReader payloadReader(slot.payload);
            std::istream payload(&payloadReader);
            BlockPlan blockPlan = plan;
            blockPlan.rle0 = slot.codec->rle0;
            // A block's payload is exactly what its encoder wrote, so a decoder
            // that finds its code ending elsewhere was given damaged data.
            if (slot.codec->decompress(
                    payload, slot.block.data(), slot.header.blockLength,
                    BlockContext{console, features, 1, blockPlan, nullptr, threads.threadsPerBlock}) !=
                slot.header.payloadSize) {
                throw Exception(kPayloadSizeMismatchMessage);
            }
        },
        [&](Slot& slot) {
            out.write(reinterpret_cast<const char*>(slot.block.data()),
                      static_cast<std::streamsize>(slot.header.blockLength));
            if (!out) throwWriteError(outputName);
            bytesDone += slot.header.blockLength;
            if (hooks.progress) hooks.progress(bytesDone, reader.declaredTotal());
        });
}

uint64_t unpackedSizeOf(std::istream& in) {
    HeaderReader reader(in);
    reader.start();
    uint64_t total = 0;
    BlockHeader header;
    while (reader.next(header)) {
        codecForHeader(header.method, header.coder);
        reader.skipPayload(header.payloadSize);
        total += header.blockLength;
    }
    return total;
}
