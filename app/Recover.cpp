// Recovery of damaged packed files, in three steps.
//
// 1. Walk: block headers are followed by their payload sizes as the
//    extractor follows them. Where the chain breaks (the payload size leads
//    to no header), the next header is found by scanning for the magic of a
//    block or file header; a block candidate must have valid fields and
//    either decode or lead by its payload size to another header, so bytes
//    of a payload that happen to spell the magic are passed over. Every
//    block is decoded on its own with the extractor's checks; a block whose
//    payload decodes exactly up to the next header had only its payload size
//    damaged and is recovered.
// 2. Place: blocks are numbered by counting headers. What lies between the
//    last header before a break and the next one found holds one or more
//    blocks; how many is told by the file header's unpacked size, counted
//    back from the end, when that size agrees with the blocks found.
//    Otherwise the size is not trusted (it never makes us write zeros the
//    blocks do not account for) and the blocks found are the file.
// 3. Write: the blocks that decode are decoded again and written in order,
//    zero bytes for the rest, so the packed file is never held in memory.
#include "app/Recover.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <streambuf>
#include <vector>

#include "base/DamageMessages.h"
#include "base/Exception.h"
#include "codec/BlockContext.h"
#include "codec/CodecTable.h"
#include "io/ByteOrder.h"
#include "io/PackedHeaders.h"

namespace {

constexpr const char* kHeaderIdMessage = "Invalid block (header id does not match).";
constexpr const char* kPastEndMessage = "Invalid block (payload extends past end of file).";

// The fewest packed bytes a block takes: its header and a payload of the
// first suffix index and at least one more byte. Bounds how many lost blocks
// a damaged stretch of the file can have held.
constexpr uint64_t kSmallestPackedBlock = kBlockHeaderSize + 5;

// A read-only view of bytes [from, from + size) of a seekable stream, for
// the block decoders: bytes past its end read as the end of the stream, as
// they do for the extractor's payload in memory.
class RangeReader : public std::streambuf {
public:
    RangeReader(std::istream& in, uint64_t from, uint64_t size)
        : in_(in), next_(from), end_(from + size), buffer_(1 << 16) {}

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (next_ >= end_) return traits_type::eof();
        const uint64_t n = std::min<uint64_t>(buffer_.size(), end_ - next_);
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(next_));
        in_.read(buffer_.data(), static_cast<std::streamsize>(n));
        const std::streamsize got = in_.gcount();
        if (got <= 0) return traits_type::eof();
        next_ += static_cast<uint64_t>(got);
        setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
        return traits_type::to_int_type(*gptr());
    }

private:
    std::istream& in_;
    uint64_t next_;
    uint64_t end_;
    std::vector<char> buffer_;
};

// Swallows the lines a decoder might print (none: verbose is off).
class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

// The packed file, read by position.
class PackedFile {
public:
    PackedFile(std::istream& in, const RecoverOptions& options) : in_(in), options_(options) {
        in_.clear();
        in_.seekg(0, std::ios::end);
        const std::streamoff end = in_.tellg();
        if (!in_ || end < 0) throw Exception("Unable to read input file");
        size_ = static_cast<uint64_t>(end);
    }

    uint64_t size() const { return size_; }

    // Reads up to n bytes at pos; returns how many it got.
    size_t readAt(uint64_t pos, char* bytes, size_t n) {
        if (pos >= size_) return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, size_ - pos));
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(pos));
        in_.read(bytes, static_cast<std::streamsize>(n));
        return static_cast<size_t>(std::max<std::streamsize>(0, in_.gcount()));
    }

    // A file header ("MORV_Q17" and its unpacked size) at pos.
    bool partHeaderAt(uint64_t pos, uint32_t* unpackedSize = nullptr) {
        uint8_t bytes[kFileHeaderSize];
        if (readAt(pos, reinterpret_cast<char*>(bytes), sizeof bytes) != sizeof bytes) return false;
        if (std::memcmp(bytes, kFileMagic, sizeof kFileMagic) != 0) return false;
        if (unpackedSize != nullptr) *unpackedSize = getLE32(bytes + sizeof kFileMagic);
        return true;
    }

    // A block header at pos whose fields the extractor accepts: the magic, a
    // method and coder a codec reads, a block length from 1 to the largest.
    bool blockHeaderAt(uint64_t pos, BlockHeader& header) {
        uint8_t bytes[kBlockHeaderSize];
        if (readAt(pos, reinterpret_cast<char*>(bytes), sizeof bytes) != sizeof bytes) return false;
        if (std::memcmp(bytes, kBlockMagic, sizeof kBlockMagic) != 0) return false;
        header.payloadSize = getLE32(bytes + 4);
        header.blockLength = getLE32(bytes + 8);
        header.method = bytes[12];
        header.coder = bytes[13];
        if (header.blockLength == 0 || header.blockLength > MaxBlockSize) return false;
        try {
            codecForHeader(header.method, header.coder);
        } catch (const Exception&) {
            return false;
        }
        return true;
    }

    // What the extractor says of the block header at pos, which fails the
    // checks of blockHeaderAt.
    std::string headerMessageAt(uint64_t pos) {
        RangeReader reader(in_, pos, pos < size_ ? size_ - pos : 0);
        std::istream stream(&reader);
        try {
            BlockHeader header;
            readBlockHeader(stream, header);
            if (header.blockLength == 0) {
                return "Wrong block size in packed size. Block cannot have size of 0.";
            }
            if (header.blockLength > MaxBlockSize) {
                return "Wrong block size in packed file (this may also mean some other error).";
            }
            codecForHeader(header.method, header.coder);
        } catch (const Exception& e) {
            return e.what();
        }
        return kHeaderIdMessage;
    }

    // Where a header can start: a position at or after `from` holding the
    // magic of a block or a file header; size() when there is none.
    uint64_t findMagic(uint64_t from) {
        constexpr size_t kChunk = 1 << 16;
        std::vector<char> bytes(kChunk + sizeof kFileMagic - 1);
        for (uint64_t pos = from; pos < size_; pos += kChunk) {
            const size_t n = readAt(pos, bytes.data(), bytes.size());
            for (size_t i = 0; i < n && i < kChunk; ++i) {
                const char* at = bytes.data() + i;
                if (*at == kBlockMagic[0] && n - i >= sizeof kBlockMagic &&
                    std::memcmp(at, kBlockMagic, sizeof kBlockMagic) == 0) {
                    return pos + i;
                }
                if (*at == kFileMagic[0] && n - i >= sizeof kFileMagic &&
                    std::memcmp(at, kFileMagic, sizeof kFileMagic) == 0) {
                    return pos + i;
                }
            }
        }
        return size_;
    }

    // Decodes the block of `header` from bytes [from, from + payloadSize)
    // into `block` with every check of the extractor; returns the message of
    // the check it fails, empty when it decodes exactly that payload.
    std::string decode(uint64_t from, uint64_t payloadSize, const BlockHeader& header,
                       std::vector<uint8_t>& block) {
        if (from > size_ || payloadSize > size_ - from) return kPastEndMessage;
        try {
            const CodecEntry& codec = codecForHeader(header.method, header.coder);
            block.resize(header.blockLength);
            RangeReader reader(in_, from, payloadSize);
            std::istream payload(&reader);
            NullBuffer nothing;
            std::ostream console(&nothing);
            BlockPlan plan;
            plan.prefixCode = options_.prefixCode;
            plan.rle0 = codec.rle0;
            const uint64_t used =
                codec.decompress(payload, block.data(), header.blockLength,
                                 BlockContext{console, options_.features, 1, plan, nullptr});
            if (used != payloadSize) return kPayloadSizeMismatchMessage;
        } catch (const Exception& e) {
            return e.what();
        }
        return std::string();
    }

    // decode() with the header's own payload size, remembered by position:
    // the walk asks it of a candidate and again of the block it becomes.
    const std::string& decodeOwn(uint64_t headerPos, const BlockHeader& header) {
        const auto known = ownDecodes_.find(headerPos);
        if (known != ownDecodes_.end()) return known->second;
        return ownDecodes_[headerPos] =
                   decode(headerPos + kBlockHeaderSize, header.payloadSize, header, scratch_);
    }

private:
    std::istream& in_;
    const RecoverOptions& options_;
    uint64_t size_ = 0;
    std::map<uint64_t, std::string> ownDecodes_;
    std::vector<uint8_t> scratch_;
};

// A stretch of one part of the packed file: a block found by its header, or
// a gap with no header where one belongs.
struct Region {
    bool isBlock = false;
    uint64_t start = 0;  // packed-file positions [start, end)
    uint64_t end = 0;
    BlockHeader header;        // blocks only
    uint64_t payloadSize = 0;  // the payload decoded: the header's, or up to the next header
    // Holds exactly its one block. False for a block whose payload size
    // leads past the next header found (it and maybe blocks whose headers
    // were lost) and for a gap (any number of lost blocks, or none).
    bool exact = true;
    bool decoded = false;   // the block passes every check
    bool repaired = false;  // its payload size was damaged; it decodes up to the next header
    // A stretch that runs to the end of the file: the blocks a file cut short
    // lost are not bounded by the bytes it holds.
    bool reachesEnd = false;
    bool oneBlock = false;  // a gap that is one block whose header is damaged
    std::string reason;     // why the block (or the first lost one in a gap) cannot be recovered
};

// One packed file of a concatenation.
struct Part {
    bool headerKnown = false;  // its file header was found (else it was damaged)
    uint32_t unpackedSize = 0;
    std::vector<Region> regions;

    uint64_t foundLength() const {
        uint64_t sum = 0;
        for (const Region& r : regions) sum += r.isBlock ? r.header.blockLength : 0;
        return sum;
    }
};

class Walker {
public:
    explicit Walker(PackedFile& file) : file_(file) {}

    std::vector<Part> walk() {
        const uint64_t size = file_.size();
        std::vector<Part> parts;
        uint64_t pos = 0;
        if (!file_.partHeaderAt(0)) {
            // A damaged file header, or no packed file at all: blocks found
            // further on make it the first.
            const uint64_t q = nextCandidate(0);
            if (q == size) throw Exception("Invalid file (header id does not match).");
            pos = q;
            if (!file_.partHeaderAt(q)) {
                parts.emplace_back();
                if (q > kFileHeaderSize) addGap(parts.back(), kFileHeaderSize, q);
            }
        }
        while (pos < size) {
            uint32_t unpackedSize = 0;
            if (file_.partHeaderAt(pos, &unpackedSize)) {
                Part part;
                part.headerKnown = true;
                part.unpackedSize = unpackedSize;
                parts.push_back(std::move(part));
                pos += kFileHeaderSize;
                continue;
            }
            Part& part = parts.back();
            BlockHeader header;
            if (file_.blockHeaderAt(pos, header)) {
                pos = takeBlock(part, pos, header);
                continue;
            }
            const uint64_t q = nextCandidate(pos);
            if (part.headerKnown && part.foundLength() == part.unpackedSize) {
                // The part is complete: what follows is ignored, as the
                // extractor ignores it, unless blocks follow, whose part's
                // file header was damaged.
                if (q < size && !file_.partHeaderAt(q)) parts.emplace_back();
                pos = q;
                continue;
            }
            addGap(part, pos, q);
            pos = q;
        }
        return parts;
    }

private:
    // The block whose valid header is at pos; returns where the next region
    // starts.
    uint64_t takeBlock(Part& part, uint64_t pos, const BlockHeader& header) {
        const uint64_t size = file_.size();
        const uint64_t payload = pos + kBlockHeaderSize;
        const uint64_t end = payload + header.payloadSize;
        Region r;
        r.isBlock = true;
        r.start = pos;
        r.header = header;
        r.payloadSize = header.payloadSize;
        if (end <= size && boundaryAt(end)) {
            r.end = end;
            r.reason = file_.decodeOwn(pos, header);
            r.decoded = r.reason.empty();
            part.regions.push_back(std::move(r));
            return end;
        }
        // The chain breaks here. A payload that decodes exactly up to the
        // next header had only its size damaged.
        const uint64_t next = nextCandidate(payload);
        const std::string upToNext = file_.decode(payload, next - payload, header, scratch_);
        if (upToNext.empty()) {
            r.end = next;
            r.payloadSize = next - payload;
            r.decoded = true;
            r.repaired = true;
            part.regions.push_back(std::move(r));
            return next;
        }
        if (end <= next) {
            // The block ends before the next header found: what lies between
            // is a gap (a damaged header, or bytes added).
            r.end = end;
            r.reason = file_.decodeOwn(pos, header);
            r.decoded = r.reason.empty();
            part.regions.push_back(std::move(r));
            return end;
        }
        r.end = next;
        r.exact = false;
        r.reachesEnd = next == size;
        r.reason = end > size ? std::string(kPastEndMessage) : file_.decodeOwn(pos, header);
        if (r.reason.empty()) r.reason = kPayloadSizeMismatchMessage;
        part.regions.push_back(std::move(r));
        return next;
    }

    void addGap(Part& part, uint64_t from, uint64_t to) {
        Region r;
        r.start = from;
        r.end = to;
        r.exact = false;
        r.reachesEnd = to == file_.size();
        r.reason = file_.headerMessageAt(from);
        // A damaged header whose payload size still spans the gap exactly:
        // the gap is that one block.
        uint8_t bytes[kBlockHeaderSize];
        if (to - from >= kBlockHeaderSize &&
            file_.readAt(from, reinterpret_cast<char*>(bytes), sizeof bytes) == sizeof bytes &&
            getLE32(bytes + 4) == to - from - kBlockHeaderSize) {
            r.exact = true;
            r.oneBlock = true;
            r.header.blockLength = getLE32(bytes + 8);
        }
        part.regions.push_back(std::move(r));
    }

    // Where the chain may go on: the end of the file, a file header, or a
    // block header with valid fields.
    bool boundaryAt(uint64_t pos) {
        BlockHeader header;
        return pos == file_.size() || file_.partHeaderAt(pos) || file_.blockHeaderAt(pos, header);
    }

    // The next header at or after `from` that is one: a file header, or a
    // block header with valid fields whose block decodes or whose payload
    // size leads to another header. size() when there is none.
    uint64_t nextCandidate(uint64_t from) {
        const uint64_t size = file_.size();
        for (uint64_t pos = from;; ++pos) {
            pos = file_.findMagic(pos);
            if (pos == size) return size;
            if (file_.partHeaderAt(pos)) return pos;
            BlockHeader header;
            if (!file_.blockHeaderAt(pos, header)) continue;
            const uint64_t end = pos + kBlockHeaderSize + header.payloadSize;
            if (end > size) continue;
            if (file_.decodeOwn(pos, header).empty() || boundaryAt(end)) return pos;
        }
    }

    PackedFile& file_;
    std::vector<uint8_t> scratch_;
};

// A stretch of the original, with its bytes from a block or lost.
struct Piece {
    uint64_t offset = 0;  // in the part's original
    uint64_t length = 0;
    const Region* block = nullptr;  // the block whose bytes these are; null: lost
    std::string reason;
};

struct PartLayout {
    uint64_t length = 0;       // of the part's original, as far as it can be told
    uint32_t blockLength = 0;  // the length of all its blocks but the last
    bool sizeDamaged = false;  // the file header, or its unpacked size, was not trusted
    std::vector<Piece> pieces;
};

// The most common block length of the part's headers; of two as common, the
// longer (only the last block is shorter).
uint32_t commonBlockLength(const Part& part) {
    std::map<uint32_t, uint64_t> counts;
    for (const Region& r : part.regions) {
        if (r.isBlock) ++counts[r.header.blockLength];
    }
    uint32_t best = 0;
    uint64_t bestCount = 0;
    for (const auto& [length, count] : counts) {
        if (count >= bestCount) {
            best = length;
            bestCount = count;
        }
    }
    return best;
}

PartLayout placePart(const Part& part) {
    PartLayout layout;
    const uint32_t B = commonBlockLength(part);
    layout.blockLength = B;
    const std::vector<Region>& regions = part.regions;
    const size_t m = regions.size();

    // The original bytes each region stands for, at the least. A block that
    // does not decode may have a damaged length field: all blocks but the
    // last are B long.
    std::vector<uint64_t> own(m, 0);
    size_t lastBlock = m;
    for (size_t i = 0; i < m; ++i) {
        const Region& r = regions[i];
        if (!r.isBlock) continue;
        lastBlock = i;
        own[i] = r.header.blockLength;
    }
    for (size_t i = 0; i < m; ++i) {
        const Region& r = regions[i];
        if (r.oneBlock) {
            // Its length field may be damaged with the rest of the header.
            own[i] = i + 1 == m && r.header.blockLength > 0 && r.header.blockLength <= B
                         ? r.header.blockLength
                         : B;
            continue;
        }
        if (r.isBlock && !r.decoded && own[i] != B && (i != lastBlock || own[i] > B)) own[i] = B;
    }
    size_t first = m;  // the first and last regions whose count of blocks is open
    size_t last = m;
    for (size_t i = 0; i < m; ++i) {
        if (regions[i].exact) continue;
        if (first == m) first = i;
        last = i;
    }
    uint64_t minTotal = 0;
    for (uint64_t length : own) minTotal += length;

    // The unpacked size counts the blocks lost in the open regions, when it
    // agrees with the blocks found.
    std::vector<uint64_t> lost(m, 0);  // bytes of lost blocks a region holds beyond its own
    bool trusted = false;
    bool unplaced = false;  // several open regions share the lost blocks: their range is lost whole
    uint64_t front = 0, back = 0;
    const uint64_t U = part.unpackedSize;
    if (part.headerKnown && first == m) {
        // A last block that does not decode takes the rest of the size.
        if (lastBlock < m && !regions[lastBlock].decoded && B > 0) {
            const uint64_t others = minTotal - own[lastBlock];
            if (U > others && U - others <= B) {
                own[lastBlock] = U - others;
                minTotal = U;
            }
        }
        trusted = minTotal == U;
    } else if (part.headerKnown && minTotal <= U) {
        for (size_t i = 0; i < first; ++i) front += own[i];
        for (size_t i = last + 1; i < m; ++i) back += own[i];
        const uint64_t extra = U - minTotal;
        bool fits = extra == 0;
        if (!fits && B > 0) {
            uint64_t openBytes = 0;
            bool unbounded = false;
            for (size_t i = first; i <= last; ++i) {
                if (regions[i].exact) continue;
                openBytes += regions[i].end - regions[i].start;
                unbounded = unbounded || regions[i].reachesEnd;
            }
            // Each lost block left some of its bytes, except at the end of a
            // file cut short. And the size is trusted for at most four times
            // what was found (at least a block), so that a damaged size never
            // has us write gigabytes of zeros after a few blocks.
            const uint64_t lostBlocks = (extra + B - 1) / B;
            fits = (unbounded || lostBlocks <= openBytes / kSmallestPackedBlock) &&
                   extra <= std::max<uint64_t>(4 * minTotal, B);
            // Blocks lost before the last one are whole blocks.
            if (first == last && last + 1 < m && extra % B != 0) fits = false;
        }
        trusted = fits;
        if (trusted && extra > 0) {
            if (first == last) {
                lost[first] = extra;
            } else {
                unplaced = true;
            }
        }
    }
    layout.sizeDamaged = !trusted;

    uint64_t offset = 0;
    const auto lose = [&](uint64_t length, const std::string& reason) {
        if (length == 0) return;
        layout.pieces.push_back(Piece{offset, length, nullptr, reason});
        offset += length;
    };
    for (size_t i = 0; i < m; ++i) {
        const Region& r = regions[i];
        if (unplaced && i == first) {
            // Where blocks were lost in more than one place, the blocks from
            // the first such place to the last cannot be placed.
            lose(U - back - front, r.reason);
            i = last;
            continue;
        }
        if (r.isBlock && r.decoded && r.exact) {
            layout.pieces.push_back(Piece{offset, own[i], &r, std::string()});
            offset += own[i];
        } else if (r.isBlock) {
            lose(own[i], r.reason);
            lose(lost[i], kHeaderIdMessage);
        } else {
            lose(own[i] + lost[i], r.reason);
        }
    }
    layout.length = offset;
    return layout;
}

void writeOrFail(std::ostream& out, const char* bytes, uint64_t n, const std::string& outputName) {
    out.write(bytes, static_cast<std::streamsize>(n));
    if (!out) throw Exception("Unable to write output file: " + outputName);
}

}  // namespace

RecoverSummary recoverPacked(std::istream& in, std::ostream& out, const std::string& outputName,
                             std::ostream& report, const RecoverOptions& options) {
    PackedFile file(in, options);
    Walker walker(file);
    const std::vector<Part> parts = walker.walk();

    std::vector<PartLayout> layouts;
    for (const Part& part : parts) layouts.push_back(placePart(part));

    // The lines, in the order of the original.
    RecoverSummary summary;
    uint64_t base = 0;       // the part's first byte in the original
    uint64_t blockBase = 0;  // the part's first block
    for (size_t p = 0; p < parts.size(); ++p) {
        const PartLayout& layout = layouts[p];
        if (layout.sizeDamaged) {
            summary.sizeUnsure = true;
            if (parts[p].headerKnown) {
                report << "unpacked size does not match: the file header says " << parts[p].unpackedSize
                       << " bytes, the blocks found hold " << layout.length
                       << " (a damaged size, or a file cut short after a block)" << std::endl;
            } else {
                report << "file header damaged: the blocks found hold " << layout.length << " bytes"
                       << std::endl;
            }
        }
        // A part without blocks has no pieces; 1 only keeps the division defined.
        const uint64_t B = std::max<uint64_t>(layout.blockLength, 1);
        for (const Piece& piece : layout.pieces) {
            if (piece.block != nullptr) {
                ++summary.recoveredBlocks;
                summary.recoveredBytes += piece.length;
                if (piece.block->repaired) {
                    report << "block " << blockBase + piece.offset / B << ": bytes "
                           << base + piece.offset << "-" << base + piece.offset + piece.length - 1
                           << " recovered (payload size damaged)" << std::endl;
                }
                continue;
            }
            // One line per block the lost range covers.
            for (uint64_t from = piece.offset; from < piece.offset + piece.length;) {
                const uint64_t to = std::min(piece.offset + piece.length, (from / B + 1) * B);
                report << "block " << blockBase + from / B << ": bytes " << base + from << "-"
                       << base + to - 1 << " lost (" << piece.reason << ")" << std::endl;
                from = to;
            }
        }
        const uint64_t blocks = (layout.length + B - 1) / B;
        summary.blocks += blocks;
        summary.bytes += layout.length;
        base += layout.length;
        blockBase += blocks;
    }
    report << "recovered " << summary.recoveredBlocks << " of " << summary.blocks << " blocks, "
           << summary.recoveredBytes << " of " << summary.bytes << " bytes" << std::endl;

    // Distance-coded blocks decode only with the -p choice they were packed
    // with, which the file does not record.
    bool anyDc = false;
    bool anyDcDecoded = false;
    for (const Part& part : parts) {
        for (const Region& r : part.regions) {
            if (!r.isBlock || r.header.method != static_cast<uint8_t>(BlockMethod::Dc)) continue;
            anyDc = true;
            anyDcDecoded = anyDcDecoded || r.decoded;
        }
    }
    if (anyDc && !anyDcDecoded) {
        report << (options.prefixCode
                       ? "hint: no distance-coded block decodes; the file may have been packed without "
                         "-p (try again without -p)"
                       : "hint: no distance-coded block decodes; the file may have been packed with -p "
                         "(try again with -p)")
               << std::endl;
    }
    if (summary.bytes > 0 && summary.recoveredBytes == 0) {
        throw Exception("No block could be recovered");
    }

    // The original, in order.
    std::vector<uint8_t> block;
    const std::vector<char> zeros(1 << 16, 0);
    for (const PartLayout& layout : layouts) {
        for (const Piece& piece : layout.pieces) {
            if (piece.block != nullptr) {
                const Region& r = *piece.block;
                const std::string failure =
                    file.decode(r.start + kBlockHeaderSize, r.payloadSize, r.header, block);
                if (!failure.empty()) throw Exception("Unable to read input file");
                writeOrFail(out, reinterpret_cast<const char*>(block.data()), piece.length, outputName);
                continue;
            }
            for (uint64_t left = piece.length; left > 0;) {
                const uint64_t n = std::min<uint64_t>(left, zeros.size());
                writeOrFail(out, zeros.data(), n, outputName);
                left -= n;
            }
        }
    }
    out.flush();
    if (!out) throw Exception("Unable to write output file: " + outputName);
    return summary;
}
