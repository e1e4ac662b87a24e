// Bit-level writer and reader for block payloads. Bits are packed into 32-bit
// words from the least significant bit upward and words travel as four bytes,
// least significant first, so bit n of a payload is bit (n mod 8) of byte
// (n div 8). The per-bit paths are inline because the arithmetic coders call
// them for every code bit.
#pragma once

#include <cstdint>

#include <istream>
#include <memory>
#include <ostream>
#include <vector>
#include "base/DamageMessages.h"

// Word capacity every block codec gives its bit streams: 64 KiB chunks.
inline constexpr uint32_t kBitStreamWords = 16384;

// What a decoder reports when the bits after its last symbol are not what an
// encoder writes there: an arithmetic coder's closing bits, or the zero bits
// up to the byte boundary that every payload ends with.

// What a decoder's codeEnd() gives for such bits instead of a bit position.
inline constexpr uint64_t kNoCodeEnd = ~uint64_t{0};

// Bytes a payload of `bits` bits takes: the flush rounds up to whole bytes.
inline uint64_t payloadBytes(uint64_t bits) { return (bits + 7) / 8; }

// Bit reversal of bytes, for coders that shift several code bits at once:
// they hold code bits most significant first, the streams least first.
struct BitReverseTable {
    uint8_t byte[256] = {};
    constexpr BitReverseTable() {
        for (uint32_t v = 0; v < 256; ++v) {
            uint32_t r = 0;
            for (uint32_t b = 0; b < 8; ++b) r |= ((v >> b) & 1u) << (7 - b);
            byte[v] = static_cast<uint8_t>(r);
        }
    }
};
inline constexpr BitReverseTable kBitReverse{};

// The low n bits of v (n in 0..16) in reverse order; the rest is 0.
inline uint32_t reverseLowBits(uint32_t v, uint32_t n) {
    const uint32_t r =
        (static_cast<uint32_t>(kBitReverse.byte[v & 0xFF]) << 8) | kBitReverse.byte[(v >> 8) & 0xFF];
    return r >> (16 - n);
}

// Packs bits into a word buffer that doubles whenever it fills. Only its
// subclass is used on files; on its own it keeps everything in memory.
class OutBitStream {
public:
    // Allocates a zeroed buffer of capacityWords words (0 is taken as 1).
    // Throws std::bad_alloc when the buffer cannot be allocated.
    explicit OutBitStream(uint32_t capacityWords);
    virtual ~OutBitStream() = default;
    OutBitStream(const OutBitStream&) = delete;
    OutBitStream& operator=(const OutBitStream&) = delete;

    // Forgets every bit written so far and starts again at the buffer's start.
    void reset();

    // Appends bit 0 of `bit` (the other bits must be 0).
    void putBit(uint32_t bit) {
        if (bitCount == 32) emitWord();
        currentWord |= bit << bitCount;
        ++bitCount;
    }

    // Appends the low n bits of value (n in 0..32), bit 0 first.
    void writeBits(uint32_t value, uint32_t n) {
        if (n < 32 && n <= 32 - bitCount) {  // fits the current word
            currentWord |= (value & ((1u << n) - 1u)) << (bitCount & 31u);
            bitCount += n;
            return;
        }
        writeBitsSlow(value, n);
    }
    // Appends the low n bits of value (n in 0..16), bit n-1 first: a coder's
    // most significant code bits go out in the order they were decided.
    void writeBitsMsbFirst(uint32_t value, uint32_t n) { writeBits(reverseLowBits(value, n), n); }
    // Appends n zero bits (any n).
    void writeZeros(uint32_t n);
    // Appends n copies of `bit` (0 or 1).
    void writeRun(uint32_t bit, uint32_t n);

    // Stores the partial last word after the full ones (without advancing).
    // Called once, after the last bit; nothing may be written afterwards.
    virtual void flush();
    // Makes room when the buffer is full: here by doubling the buffer.
    virtual void overflow();

protected:
    // Moves the full current word into the buffer (making room first).
    void emitWord();
    // writeBits when the bits do not fit the current word (or n is 32).
    void writeBitsSlow(uint32_t value, uint32_t n);

    uint32_t bitCount = 0;     // bits placed in currentWord, 0..32
    uint32_t currentWord = 0;  // word being filled, from bit 0 upward
    uint32_t writePos = 0;     // index of the next free word in buffer
    std::vector<uint32_t> buffer;
    uint32_t capacity;  // buffer.size()
};

// An OutBitStream that empties its buffer into a byte stream instead of
// growing it: one write of capacityWords * 4 bytes per full buffer, and one
// final write at flush. The stream is not owned and must outlive this object;
// its write errors are left for the caller to detect.
class StreamOutBitStream : public OutBitStream {
public:
    // Throws std::bad_alloc when the buffers cannot be allocated.
    StreamOutBitStream(std::ostream& out, uint32_t capacityWords);

    // Writes every bit still held: ceil(bits / 8) bytes in all over the
    // stream's life, the high bits of the last byte being 0.
    void flush() override;
    void overflow() override;

private:
    // Writes words [0, words) and then the low `tailBytes` bytes of
    // buffer[words] with a single stream write.
    void writeWords(uint32_t words, uint32_t tailBytes);

    std::ostream& stream;
    std::vector<char> bytes;  // staging area of capacity * 4 bytes
};

// Hands out bits from a word buffer, next bit first. Has no source of its
// own: once the buffer is used up (or when nothing ever filled it) every
// further bit is 0.
class InBitStream {
public:
    // Allocates a buffer of capacityWords words (0 is taken as 1), holding no
    // data yet; the first read calls underflow. Throws std::bad_alloc.
    explicit InBitStream(uint32_t capacityWords);
    virtual ~InBitStream() = default;
    InBitStream(const InBitStream&) = delete;
    InBitStream& operator=(const InBitStream&) = delete;

    // Returns the next bit (0 or 1).
    uint32_t getBit() {
        if (bitCount == 0) nextWord();
        const uint32_t bit = currentWord & 1u;
        currentWord >>= 1;
        --bitCount;
        return bit;
    }

    // Reads n bits (n in 0..32); the i-th bit read becomes bit i of the result.
    uint32_t readBits(uint32_t n) {
        if (n < 32 && n <= bitCount) {  // all in the current word
            const uint32_t result = currentWord & ((1u << n) - 1u);
            currentWord >>= n;
            bitCount -= n;
            return result;
        }
        return readBitsSlow(n);
    }

    // readBits(32). Coders that take their bits a word at a time read the
    // stream on word boundaries, where the word can come straight from the
    // buffer.
    uint32_t readWord() {
        if (bitCount == 0 && readPos < filled) return buffer[readPos++];
        return readBitsSlow(32);
    }

    // Number of bits handed out so far (including those a readWord took):
    // where the next bit lies, counted from the start of the source. Decoders
    // compare it with where the coded data has to end.
    uint64_t bitsRead() const { return (wordsBefore + readPos - capacity) * 32 - bitCount; }

    // Refills the buffer and sets readPos to its start; here it does nothing.
    virtual void underflow() {}

protected:
    // Loads the next buffered word, refilling the buffer when it is used up.
    void nextWord();
    // readBits when the field reaches past the current word (or n is 32).
    uint32_t readBitsSlow(uint32_t n);

    uint32_t bitCount = 0;     // unread bits of currentWord, 0..32
    uint32_t currentWord = 0;  // the unread bits, next one in bit 0
    uint32_t readPos;          // index of the next unread word in buffer
    // capacity words; only the first `filled` hold data, the rest read as 0
    // (so a short refill need not clear the buffer, nor its pages be touched).
    std::unique_ptr<uint32_t[]> buffer;
    uint32_t capacity;
    uint32_t filled = 0;
    // Words of the buffers before the current one, plus one buffer: readPos
    // starts at the end of an empty buffer.
    uint64_t wordsBefore = 0;
};

// Code bits of an InBitStream handed out first-read-highest, as the
// arithmetic decoders shift them in: taken from the stream 32 at a time,
// reversed once per word, and kept most significant first in a 64-bit
// window, so that taking n of them is two shifts. The stream is read at most
// 63 bits further than the bits taken. Not owned; a pointer, so that a
// decoder holding this can be copied.
class MsbFirstBits {
public:
    explicit MsbFirstBits(InBitStream& in) : input(&in) {}

    // Drops what the window holds; the next bits come from the stream.
    void clear() {
        window = 0;
        windowBits = 0;
    }

    // Makes sure the window holds at least 32 bits.
    void refill() {
        if (windowBits < 32) {
            const uint32_t w = input->readWord();
            const uint32_t reversed = (static_cast<uint32_t>(kBitReverse.byte[w & 0xFF]) << 24) |
                                      (static_cast<uint32_t>(kBitReverse.byte[(w >> 8) & 0xFF]) << 16) |
                                      (static_cast<uint32_t>(kBitReverse.byte[(w >> 16) & 0xFF]) << 8) |
                                      kBitReverse.byte[w >> 24];
            window |= static_cast<uint64_t>(reversed) << (32 - windowBits);
            windowBits += 32;
        }
    }

    // The next n bits (n in 0..32, at most what the window holds), the first
    // one highest; 0 bits give 0.
    uint32_t take(uint32_t n) {
        const uint32_t bits = static_cast<uint32_t>((window >> (63 - n)) >> 1);
        window <<= n;
        windowBits -= n;
        return bits;
    }

    // Bits taken so far, counted as InBitStream::bitsRead counts them.
    uint64_t bitsTaken() const { return input->bitsRead() - windowBits; }

private:
    uint64_t window = 0;      // bits not taken yet, from bit 63 down
    uint32_t windowBits = 0;  // how many, 0..63
    InBitStream* input;
};

// An InBitStream that refills its buffer from a byte stream positioned at the
// payload, one read of capacityWords * 4 bytes at a time. It reads ahead, so
// it may consume bytes beyond the payload. When the stream ends early the
// missing bytes read as 0 and the stream's error state is cleared, so the
// caller can still reposition it; this class never reports an error. The
// stream is not owned and must outlive this object.
class StreamInBitStream : public InBitStream {
public:
    // Throws std::bad_alloc when the buffers cannot be allocated.
    StreamInBitStream(std::istream& in, uint32_t capacityWords);

    void underflow() override;

private:
    std::istream& stream;
    std::unique_ptr<char[]> bytes;  // staging area of capacity * 4 bytes
};
