// Word-level parts of the bit streams. A word that has just become full stays
// in the accumulator until one more bit arrives (or until flush), so the
// writer never stores a word it might not need and flush can find a full
// word still pending. Byte order is fixed here, word by word, so the payload
// layout does not depend on the machine's endianness.
#include "io/BitStream.h"

#include <algorithm>
#include <cstring>

#include "io/ByteOrder.h"

namespace {

// The low n bits of v, n in 0..32.
uint32_t lowBits(uint32_t v, uint32_t n) { return n >= 32 ? v : v & ((1u << n) - 1u); }

}  // namespace

OutBitStream::OutBitStream(uint32_t capacityWords)
    : buffer(std::max(capacityWords, 1u)), capacity(std::max(capacityWords, 1u)) {}

void OutBitStream::reset() {
    writePos = 0;
    currentWord = 0;
    bitCount = 0;
}

void OutBitStream::emitWord() {
    if (writePos == capacity) overflow();
    buffer[writePos++] = currentWord;
    currentWord = 0;
    bitCount = 0;
}

void OutBitStream::writeBitsSlow(uint32_t value, uint32_t n) {
    if (n == 0) return;
    value = lowBits(value, n);
    if (bitCount == 32) emitWord();
    const uint32_t room = 32 - bitCount;
    currentWord |= value << bitCount;
    if (n <= room) {
        bitCount += n;
        return;
    }
    // The word is full and more bits follow: they start the next word.
    bitCount = 32;
    emitWord();
    currentWord = value >> room;
    bitCount = n - room;
}

void OutBitStream::writeZeros(uint32_t n) {
    if (n <= 32 - bitCount) {
        bitCount += n;
        return;
    }
    const uint32_t rest = bitCount + n - 32;
    bitCount = 32;
    emitWord();
    for (uint32_t words = rest / 32; words > 0; --words) emitWord();
    bitCount = rest % 32;
}

void OutBitStream::writeRun(uint32_t bit, uint32_t n) {
    if (bit == 0) {
        writeZeros(n);
        return;
    }
    for (; n >= 32; n -= 32) writeBits(0xFFFFFFFFu, 32);
    writeBits(0xFFFFFFFFu, n);
}

void OutBitStream::flush() {
    if (writePos == capacity) overflow();
    buffer[writePos] = currentWord;
}

void OutBitStream::overflow() {
    // writePos keeps its index; the used words move with the vector.
    capacity *= 2;
    buffer.resize(capacity);
}

StreamOutBitStream::StreamOutBitStream(std::ostream& out, uint32_t capacityWords)
    : OutBitStream(capacityWords), stream(out), bytes(static_cast<size_t>(capacity) * 4) {}

void StreamOutBitStream::writeWords(uint32_t words, uint32_t tailBytes) {
    char* p = bytes.data();
    for (uint32_t i = 0; i < words; ++i, p += 4) putLE32(reinterpret_cast<uint8_t*>(p), buffer[i]);
    if (tailBytes > 0) {
        char tail[4];
        putLE32(reinterpret_cast<uint8_t*>(tail), buffer[words]);
        std::copy(tail, tail + tailBytes, p);
    }
    const size_t total = static_cast<size_t>(words) * 4 + tailBytes;
    if (total > 0) stream.write(bytes.data(), static_cast<std::streamsize>(total));
}

void StreamOutBitStream::overflow() {
    writeWords(capacity, 0);
    writePos = 0;
}

void StreamOutBitStream::flush() {
    OutBitStream::flush();
    writeWords(writePos, (bitCount + 7) / 8);
}

InBitStream::InBitStream(uint32_t capacityWords)
    : readPos(std::max(capacityWords, 1u)),
      buffer(std::make_unique_for_overwrite<uint32_t[]>(std::max(capacityWords, 1u))),
      capacity(std::max(capacityWords, 1u)) {}

void InBitStream::nextWord() {
    if (readPos == capacity) {
        wordsBefore += capacity;
        underflow();
    }
    // Without a source there is nothing left: the stream reads as zeros, as
    // do the words of a short refill past what it filled.
    if (readPos < capacity) {
        currentWord = readPos < filled ? buffer[readPos] : 0;
        ++readPos;
    } else {
        currentWord = 0;
        wordsBefore -= capacity - 1;  // one word handed out, not a buffer
    }
    bitCount = 32;
}

uint32_t InBitStream::readBitsSlow(uint32_t n) {
    if (n == 0) return 0;
    if (bitCount == 0) nextWord();
    if (n <= bitCount) {
        const uint32_t result = lowBits(currentWord, n);
        currentWord = n == 32 ? 0 : currentWord >> n;
        bitCount -= n;
        return result;
    }
    // The field continues in the next word.
    const uint32_t have = bitCount;
    const uint32_t first = currentWord;  // holds exactly `have` bits
    nextWord();
    const uint32_t need = n - have;
    const uint32_t second = lowBits(currentWord, need);
    currentWord >>= need;  // need < 32 because have > 0
    bitCount -= need;
    return first | (second << have);
}

StreamInBitStream::StreamInBitStream(std::istream& in, uint32_t capacityWords)
    : InBitStream(capacityWords),
      stream(in),
      bytes(std::make_unique_for_overwrite<char[]>(static_cast<size_t>(capacity) * 4)) {}

void StreamInBitStream::underflow() {
    const std::streamsize wanted = static_cast<std::streamsize>(capacity) * 4;
    stream.read(bytes.get(), wanted);
    const std::streamsize got = stream.gcount();
    uint32_t words = capacity;
    if (got < wanted) {
        // End of the input: the rest of the chunk reads as zeros, and the
        // stream stays usable so the caller can seek past the payload. Only
        // the words that hold input are converted and nothing is cleared
        // beyond them: a short final payload (the usual case for small
        // blocks) costs no pass over the whole chunk, nor its memory.
        stream.clear();
        const size_t have = static_cast<size_t>(got);
        words = static_cast<uint32_t>((have + 3) / 4);
        std::memset(bytes.get() + have, 0, static_cast<size_t>(words) * 4 - have);
    }
    const char* p = bytes.get();
    for (uint32_t i = 0; i < words; ++i, p += 4)
        buffer[i] = getLE32(reinterpret_cast<const uint8_t*>(p));
    filled = words;
    readPos = 0;
}
