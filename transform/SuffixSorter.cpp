// The sorter's entry points: the block's own level of SA-IS (bytes, with
// bucket tables of 256 entries), on one array of n+2 entries, ending in the
// suffix array or in the transform.
#include "transform/SuffixSorter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "transform/ByteCounts.h"
#include "transform/SaisByteLmsStage.h"
#include "transform/SaisLmsStage.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

using namespace sais;

// The scans read the array all over; with small pages nearly every read also
// misses the address translation cache. Large arrays are therefore aligned to
// 2 MiB and, where the system offers it, marked for large pages. The hint
// changes no content and may be refused. (bench_bwt forwardBwt against plain
// allocation, four interleaved sessions, fastest run of each: corpus_10MiB
// and cc1plus_10MiB about 5% faster with it (sessions from -2% to +15%),
// python_10MiB about 3%.)
constexpr size_t kLargePage = size_t{1} << 21;
constexpr size_t kLargePageMinBytes = 4 * kLargePage;

struct ArrayFree {
    bool aligned;
    void operator()(uint32_t* p) const {
        if (aligned) {
            ::operator delete[](p, std::align_val_t{kLargePage});
        } else {
            ::operator delete[](p);
        }
    }
};
using Array = std::unique_ptr<uint32_t[], ArrayFree>;

Array allocateArray(size_t entries) {
    const size_t bytes = entries * sizeof(uint32_t);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kLargePageMinBytes) {
        void* p = ::operator new[](bytes, std::align_val_t{kLargePage});
        (void)madvise(p, bytes, MADV_HUGEPAGE);
        return Array(static_cast<uint32_t*>(p), ArrayFree{true});
    }
#endif
    return Array(static_cast<uint32_t*>(::operator new[](bytes)), ArrayFree{false});
}

// Sorts the LMS suffixes of text[0..n), n >= 2, and places them at the ends
// of their buckets in sa[0..n+2), ready for the final scans; b then holds
// the block's counts. The LMS positions are kept as a bit per byte (n/8
// bytes) while the reduced problem is sorted. Blocks under 2^30 bytes name
// their LMS substrings while sorting them; larger ones compare them after.
void prepareFinalScans(const uint8_t* text, uint32_t* sa, uint32_t n, BucketTable<uint8_t>& b,
                       unsigned threads) {
    const auto words = std::make_unique_for_overwrite<uint64_t[]>((size_t{n} + 63) / 64);
    LmsBits bits{words.get(), n};
    uint32_t m;
    bool named = n < kNamedScanMaxLength;
    if (named) {
        const std::array<uint32_t, 256> counts = countBytes(text, 0, n);
        std::copy(counts.begin(), counts.end(), b.cnt);
        m = sortAndMarkLmsSubstrings(text, sa, n, b.cnt, b.bkt, bits);
    } else {
        countSymbols(text, n, b.cnt, 256);
        m = sortLmsSubstrings(text, sa, n, b, bits);
    }
    sortLmsSuffixes(text, sa, n, n + 2, m, threads, bits, named);
    placeSortedLms(text, sa, n, m, b);
}

}  // namespace

std::vector<uint32_t> suffixArrayOf(const uint8_t* text, uint32_t n, unsigned threads) {
    std::vector<uint32_t> sa(size_t{n} + 2);
    if (n == 1) {
        sa.resize(1);
        sa[0] = 0;
        return sa;
    }
    uint32_t cnt[256];
    uint32_t bkt[256];
    BucketTable<uint8_t> b{text, n, 256, cnt, bkt};
    prepareFinalScans(text, sa.data(), n, b, threads);
    induceL<Scan::Sa>(text, sa.data(), n, b.starts());
    induceS<Scan::Sa>(text, sa.data(), n, b.ends());
    sa.resize(n);
    return sa;
}

uint32_t bwtInPlace(uint8_t* text, uint32_t n, unsigned threads) {
    if (n == 1) return 0;
    const Array array = allocateArray(size_t{n} + 2);
    uint32_t* sa = array.get();
    uint32_t cnt[256];
    uint32_t bkt[256];
    BucketTable<uint8_t> b{text, n, 256, cnt, bkt};
    prepareFinalScans(text, sa, n, b, threads);
    const uint32_t fromL = induceL<Scan::Bwt>(text, sa, n, b.starts());
    const uint32_t fromS = induceS<Scan::Bwt>(text, sa, n, b.ends());
    const uint32_t primary = fromL < n ? fromL : fromS;
    // Suffix 0's row stands for the end of the block: it takes the last byte.
    const uint8_t last = text[n - 1];
    runParts(partsFor(threads, n), n, [text, sa](unsigned, uint32_t lo, uint32_t hi) {
        for (uint32_t i = lo; i < hi; ++i) text[i] = static_cast<uint8_t>(sa[i]);
    });
    text[primary] = last;
    return primary;
}
