// The Burrows–Wheeler transform of a block and its inverse. The transform is
// that of the block followed by a unique end symbol, with the end symbol's own
// row left out and its place (the first suffix index) filled by the block's
// last byte, so the transformed block has exactly N bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/Compiler.h"
#include "base/DamageMessages.h"

// Transforms data[0..n) in place and returns the first suffix index I, the
// place of the whole block among its sorted suffixes (0 <= I < n). n = 0
// returns 0 and touches nothing; n must be below 2^31. Throws only
// std::bad_alloc; all its buffers are released then.
//
// threads: how many threads the sort of one block may use (the caller's
// share of the cores; 0 counts as 1). The transform and index are the same
// for any number. The sorter shares only passes of 2^16 entries or more
// (so a block of a few hundred KB or more); builds without std::thread use
// the calling thread alone.
uint32_t forwardBwt(uint8_t* data, uint32_t n, unsigned threads);
inline uint32_t forwardBwt(uint8_t* data, uint32_t n) { return forwardBwt(data, n, 1); }

// The same transform taken from the block's suffix array sa[0..n) (as
// suffixArrayOf gives it): replaces data[0..n) and returns the first suffix
// index. Throws only std::bad_alloc (an n-byte copy of the block).
uint32_t bwtFromSuffixArray(uint8_t* data, uint32_t n, const uint32_t* sa);

// Rebuilds the block out[0..n) from its transform in[0..n) and first suffix
// index firstIndex. out and in are caller-owned buffers of n bytes, either
// distinct or the same (the block then replaces its transform); nothing
// outside in[0..n) is read and nothing outside out[0..n) is written,
// whatever the bytes of `in`. n = 0 does nothing. Throws Exception "Error in
// compressed file (first suffix index out of range)" when n > 0 and
// firstIndex >= n, and kInvalidBwtMessage when the column and index are not
// the transform of any block (the LF-mapping walk from the first suffix
// index does not pass through all n rows before it comes back); out is then
// left partly written. std::bad_alloc for the working tables (4n bytes, and
// an n-byte copy of the column in place).
//
// threads: how many threads the walk of one block may use (the caller's
// share of the cores; 0 counts as 1). Blocks from 1 MiB on spread their lane
// walk over them; smaller blocks, and builds without std::thread, use the
// calling thread alone. The bytes written and the exceptions thrown are the
// same for any number.
//
// kernel: which walk runs. Automatic picks the fastest for n; the others
// force one (tests compare them with Plain, benchmarks time them), falling
// back to Plain for a block too large for their tables. Where only the plain
// kernels are built, every choice runs Plain. All give the same bytes and
// the same exceptions.
enum class InverseBwtKernel { Automatic, Plain, WordTable, WordTableLanes, PackedRows, PairRows };
void inverseBwt(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex, unsigned threads,
                InverseBwtKernel kernel = InverseBwtKernel::Automatic);
inline void inverseBwt(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex,
                       InverseBwtKernel kernel = InverseBwtKernel::Automatic) {
    inverseBwt(out, in, n, firstIndex, 1, kernel);
}

// Working memory of the inverse transform of one n-byte block, set up ahead
// of inverseBwt: allocated with its pages touched, so that a caller can have
// that done on another thread while it still decodes the column. It holds
// memory only where the walk for n takes a table of its own (the packed
// table, blocks from 1 MiB on: see wanted); otherwise it is empty and the
// transform allocates as usual. Throws std::bad_alloc.
class InverseBwtTable {
public:
    InverseBwtTable() = default;
    explicit InverseBwtTable(uint32_t n);

    // Whether a table for n bytes holds anything.
    static bool wanted(uint32_t n);

    // The memory, handed over when it is bytes long (and the table left
    // empty); null otherwise.
    std::unique_ptr<uint8_t[]> take(size_t bytes);

private:
    std::unique_ptr<uint8_t[]> storage;
    size_t size = 0;
};

// inverseBwt with its working memory taken from `table` where it fits (the
// bytes and exceptions are the same).
void inverseBwt(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex, unsigned threads,
                InverseBwtTable& table);

// The inverse transform's table built from the runs of the column as a
// decoder produces them, so that no pass over the column is left to build
// it once the column is whole: one word per row, the row's byte in bits
// 24..31 and below them the number of earlier rows holding that byte (the
// first suffix index's row not counted; its own word holds 2^24 - 1 there).
// A byte's rows then take its bucket in order, from one place further for
// the byte of the first suffix index's row, whose row comes first. Blocks
// for which wanted(n) holds (1 MiB up to 2^24 - 1 bytes, fast kernels
// only); 4n bytes.
class RunWordTable {
public:
    static bool wanted(uint32_t n);

    // n rows (1 <= n < 2^24), firstIndex < n. Throws std::bad_alloc.
    RunWordTable(uint32_t n, uint32_t firstIndex);

    // The run of len >= 1 copies of c at rows k .. k+len-1, k + len <= n
    // (the caller checks it: nothing is written past row n-1). The runs are
    // to come in row order, each starting where the one before ended; the
    // inverse refuses a table whose runs did not.
    MORV_FORCE_INLINE void addRun(uint32_t k, uint8_t c, uint32_t len) {
        contiguous_ &= k == covered_;
        covered_ = k + len;
        uint32_t* w = words_.get() + k;
        const uint32_t first = counts_[c] | (uint32_t{c} << 24);
        if (len <= kShortRun && n_ - k >= kShortRun) {
            // Most runs are short: kShortRun words at once, without a loop
            // whose end is hard to foretell. The words past the run are
            // the following runs' rows, which they write again. (Two
            // processors, text.10M, the program's iDC time, median of 21,
            // builds alternated: 93 -> 84 ms.)
            for (uint32_t i = 0; i < kShortRun; ++i) w[i] = first + i;
        } else {
            for (uint32_t i = 0; i < len; ++i) w[i] = first + i;
        }
        counts_[c] += len;
        if (firstIndex_ - k < len) [[unlikely]]
            takeFirstIndex(k, c, len);
    }

    uint32_t size() const { return n_; }
    uint32_t firstIndex() const { return firstIndex_; }
    // Whether the runs so far have covered the first suffix index's row, and
    // rows 0 .. coveredRows()-1 one after the other.
    bool hasFirstIndex() const { return seenFirst_; }
    uint32_t coveredRows() const { return contiguous_ ? covered_ : 0; }
    uint32_t* words() { return words_.get(); }
    // base[c]: where the rows of byte c begin in the LF order, one further
    // for the first suffix index's byte; a row's LF image is then (base[c] +
    // its word) mod 2^24.
    void bases(uint32_t* base) const;

private:
    // The run [k, k+len) holds the first suffix index's row: that row takes
    // the word of the bucket's first place, and the rows after it in the run
    // count one fewer.
    void takeFirstIndex(uint32_t k, uint8_t c, uint32_t len);

    static constexpr uint32_t kShortRun = 8;

    uint32_t n_;
    uint32_t firstIndex_;
    uint8_t last_ = 0;
    bool seenFirst_ = false;
    bool contiguous_ = true;
    uint32_t covered_ = 0;
    std::unique_ptr<uint32_t[]> words_;
    uint32_t counts_[256] = {};
};

// inverseBwt of the column whose runs filled `table` (every row, in order):
// the same bytes and exceptions as inverseBwt of that column and the table's
// first suffix index. The table's memory is used up.
void inverseBwt(uint8_t* out, RunWordTable& table, unsigned threads);
