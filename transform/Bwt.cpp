// Forward and inverse Burrows–Wheeler transform. The forward transform takes
// the result straight from the suffix sorter's last induced scan; a caller
// that wants the suffix array as well (for a listing) builds it and takes the
// transform from it.
//
// The inverse is an LF-mapping walk from the end of the block backwards. The
// byte at the first suffix index stands for the end symbol's row and is
// counted before all others. inverseBwtPlain is the walk as it is usually
// written (a count table and an occurrence array); the faster walks over
// other tables are in BwtInverseFast.cpp, and inverseBwt picks one by the
// block's length.
#include "transform/Bwt.h"

#include <cassert>
#include <cstring>
#include <memory>
#include <vector>

#include "base/Exception.h"
#include "transform/BwtWalkCheck.h"
#include "transform/SuffixSorter.h"
#ifndef MORV_PLAIN_KERNELS
#include "transform/BwtInverseFast.h"
#endif

uint32_t forwardBwt(uint8_t* data, uint32_t n, unsigned threads) {
    if (n == 0) return 0;
    return bwtInPlace(data, n, threads);
}

uint32_t bwtFromSuffixArray(uint8_t* data, uint32_t n, const uint32_t* sa) {
    if (n == 0) return 0;
    const auto copy = std::make_unique_for_overwrite<uint8_t[]>(n);
    std::memcpy(copy.get(), data, n);
    uint32_t firstIndex = 0;
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t p = sa[k];
        if (p != 0) {
            data[k] = copy[p - 1];
        } else {
            data[k] = copy[n - 1];
            firstIndex = k;
        }
    }
    return firstIndex;
}

namespace {

// The plain kernel. Occ[k] is the number of earlier occurrences of in[k] in
// the order in[I], in[0..I), in(I..n), and C[c] the number of bytes below c,
// so row j's LF image is C[in[j]] + Occ[j]: a permutation of 0..n-1, so the
// walk stays inside the column whatever bytes it holds.
void inverseBwtPlain(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex) {
    // The walk reads the column as it writes the block: a column given in
    // the output buffer is copied first.
    std::unique_ptr<uint8_t[]> copy;
    if (in == out) {
        copy = std::make_unique_for_overwrite<uint8_t[]>(n);
        std::memcpy(copy.get(), in, n);
        in = copy.get();
    }
    uint32_t C[256] = {};
    const auto occ = std::make_unique_for_overwrite<uint32_t[]>(n);
    C[in[firstIndex]] += 1;
    for (uint32_t k = 0; k < firstIndex; ++k) occ[k] = C[in[k]]++;
    occ[firstIndex] = 0;
    for (uint32_t k = firstIndex + 1; k < n; ++k) occ[k] = C[in[k]]++;
    uint32_t sum = 0;
    for (uint32_t c = 0; c < 256; ++c) {
        const uint32_t count = C[c];
        C[c] = sum;
        sum += count;
    }
    // From the first suffix index's row (the end of the block) backwards;
    // the walk must come back to it after exactly n steps.
    uint32_t j = firstIndex;
    uint32_t t = n;
    do {
        const uint8_t c = in[j];
        out[--t] = c;
        j = C[c] + occ[j];
    } while (j != firstIndex && t != 0);
    checkWalkEnd(t, j, firstIndex);
}

}  // namespace

#ifndef MORV_PLAIN_KERNELS
// Which walk runs by default, by block length: the word table walked
// serially below kLaneBlock bytes, in lanes below kPairRowsBlock (512 KiB),
// then the pair table (below), and from kPackedRowsBlock (1 MiB) on with
// more than one thread the packed table in lanes up to 2^24 - 1 bytes, the
// plain kernel beyond (blocks the program never makes). Measured side by side (bench_bwt
// inverseBwt<Kernel>/<block>, median of 3, one run, times in ms):
//   block            Plain  WordTable  WordTableLanes  PackedRows
//   alice29.txt       1.53       1.12            0.90        1.79
//   html              0.85       0.56            0.49        1.28
//   kppkn.gtb         1.65       1.20            0.96        2.25
//   urls.10K          16.5       8.95            5.56        8.42
//   corpus_768KiB        -          -            4.90        5.51
//   corpus_1024KiB       -          -            7.41        7.12
//   corpus_1536KiB       -          -            14.8        10.1
//   corpus_2048KiB       -          -            24.1        13.6
//   corpus_all (2.9 MB) 102       80.8            54.9        24.6
//   corpus_10MiB      1225          -               -         138
//   cc1plus_10MiB     1201          -               -         136
// ("-": not measured, or the block is too large for the word table, which
// then runs Plain.) The serial word table gains 27 to 46% over Plain; below
// 16 KiB, where the table stays in the second-level cache, the lanes'
// bookkeeping outweighs the reads they overlap. From 1 MiB on the word
// table (4 bytes a row, walked twice by 8 lanes) no longer fits that cache,
// and the packed table's single walk with 64 lanes takes half the time or
// less.
//
// The pair table (two steps a read, one thread) takes over from 512 KiB on,
// and on one thread from 1 MiB on too (bench_bwt, fastest of 9 interleaved):
//   block            WordTableLanes  PackedRows  PairRows
//   lcet10.txt                 2.07           -      2.04
//   plrabn12.txt               2.39           -      2.26
//   urls.10K                   3.79           -      3.24
//   corpus_768KiB              4.37           -      3.84
//   corpus_1024KiB             5.80           -      4.87
//   corpus_2048KiB                -       16.00     10.57
//   corpus_all (2.9 MB)           -       22.40     15.66
//   corpus_10MiB                  -       85.45     79.27
//   python_10MiB                  -       82.86     81.46
//   cc1plus_10MiB                 -       80.46     80.85
//   random1000_10MiB              -       92.31     66.37
// Within one benchmark process the table's pages are warm; extraction of a
// 10 MiB block by the program, one processor, fresh processes (fastest of
// 11, alternated): Python sources 215 -> 180 ms, cc1plus 373 -> 307 ms,
// corpus_all 78 -> 70 ms. With more threads the packed table's walk is
// spread over them instead.
constexpr uint32_t kLaneBlock = 1u << 14;
constexpr uint32_t kPairRowsBlock = 1u << 19;
constexpr uint32_t kPackedRowsBlock = 1u << 20;
#endif

namespace {

void inverseBwtWith(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex, unsigned threads,
                    InverseBwtKernel kernel, InverseBwtTable* table) {
    if (n == 0) return;
    if (firstIndex >= n) throw Exception(kFirstIndexMessage);
#ifndef MORV_PLAIN_KERNELS
    if (kernel == InverseBwtKernel::Automatic) {
        const bool oneWalker = n < kPackedRowsBlock || threads <= 1;
        kernel = n < kLaneBlock                     ? InverseBwtKernel::WordTable
                 : n < kPairRowsBlock               ? InverseBwtKernel::WordTableLanes
                 : oneWalker && n <= kPairRowsLimit ? InverseBwtKernel::PairRows
                 : n <= kPackedRowsLimit            ? InverseBwtKernel::PackedRows
                                                    : InverseBwtKernel::Plain;
    }
    switch (kernel) {
        case InverseBwtKernel::WordTable:
        case InverseBwtKernel::WordTableLanes:
            if (n <= kWordTableRowLimit) {
                inverseBwtWordTable(out, in, n, firstIndex, kernel == InverseBwtKernel::WordTableLanes);
                return;
            }
            break;
        case InverseBwtKernel::PackedRows:
            if (n <= kPackedRowsLimit) {
                inverseBwtPackedRows(out, in, n, firstIndex, threads,
                                     table ? table->take(packedRowsBytes(n)) : nullptr);
                return;
            }
            break;
        case InverseBwtKernel::PairRows:
            if (n <= kPairRowsLimit) {
                inverseBwtPairRows(out, in, n, firstIndex);
                return;
            }
            break;
        default:
            break;
    }
#else
    (void)kernel;
    (void)threads;
    (void)table;
#endif
    inverseBwtPlain(out, in, n, firstIndex);
}

}  // namespace

void inverseBwt(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex, unsigned threads,
                InverseBwtKernel kernel) {
    inverseBwtWith(out, in, n, firstIndex, threads, kernel, nullptr);
}

void inverseBwt(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex, unsigned threads,
                InverseBwtTable& table) {
    inverseBwtWith(out, in, n, firstIndex, threads, InverseBwtKernel::Automatic, &table);
}

bool InverseBwtTable::wanted(uint32_t n) {
#ifndef MORV_PLAIN_KERNELS
    return n >= kPackedRowsBlock && n <= kPackedRowsLimit;
#else
    (void)n;
    return false;
#endif
}

InverseBwtTable::InverseBwtTable(uint32_t n) {
#ifndef MORV_PLAIN_KERNELS
    if (!wanted(n)) return;
    size = packedRowsBytes(n);
    storage = allocatePackedRows(n);
    // The first touch of each page is what costs (the system clears it):
    // done here, it is off the transform's way.
    for (size_t k = 0; k < size; k += 4096) storage[k] = 0;
#else
    (void)n;
#endif
}

std::unique_ptr<uint8_t[]> InverseBwtTable::take(size_t bytes) {
    if (bytes != size) return nullptr;
    size = 0;
    return std::move(storage);
}

// The same blocks as the packed table, which it stands in for.
bool RunWordTable::wanted(uint32_t n) { return InverseBwtTable::wanted(n); }

RunWordTable::RunWordTable(uint32_t n, uint32_t firstIndex)
    : n_(n), firstIndex_(firstIndex), words_(std::make_unique_for_overwrite<uint32_t[]>(n)) {
    assert(firstIndex < n && n < (1u << 24));
    // On small pages, as the packed table (see allocatePackedRows).
}

void RunWordTable::bases(uint32_t* base) const {
    uint32_t sum = 0;
    for (uint32_t c = 0; c < 256; ++c) {
        const uint32_t first = c == last_ ? 1u : 0u;
        base[c] = sum + first;
        sum += counts_[c] + first;
    }
}

void RunWordTable::takeFirstIndex(uint32_t k, uint8_t c, uint32_t len) {
    uint32_t* w = words_.get();
    for (uint32_t j = firstIndex_ + 1; j < k + len; ++j) --w[j];
    w[firstIndex_] = (uint32_t{c} << 24) | 0xFFFFFFu;
    --counts_[c];
    last_ = c;
    seenFirst_ = true;
}

void inverseBwt(uint8_t* out, RunWordTable& table, unsigned threads) {
    // The runs must have covered every row once, the first suffix index's
    // among them; else the images could leave the table.
    if (!table.hasFirstIndex() || table.coveredRows() != table.size())
        throw Exception(kInvalidBwtMessage);
#ifndef MORV_PLAIN_KERNELS
    inverseBwtRunWordsLanes(out, table, threads);
#else
    // Where only the plain kernels are built nothing asks for the table
    // (wanted is false); the walk as the plain kernel would do it.
    (void)threads;
    uint32_t base[256];
    table.bases(base);
    const uint32_t* words = table.words();
    const uint32_t firstIndex = table.firstIndex();
    uint32_t j = firstIndex;
    uint32_t t = table.size();
    do {
        const uint32_t w = words[j];
        out[--t] = static_cast<uint8_t>(w >> 24);
        j = (base[w >> 24] + w) & 0xFFFFFFu;
    } while (j != firstIndex && t != 0);
    checkWalkEnd(t, j, firstIndex);
#endif
}
