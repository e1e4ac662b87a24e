// Suffix sorting by induced sorting (SA-IS), the work horse of the
// Burrows–Wheeler transform. Suffixes are classified by type; the LMS
// substrings are sorted by two induced scans and named, the string of names
// (the reduced string) is sorted the same way in the same array, and its
// order induces every suffix of the block in two more scans, the last of
// which emits the transform. The end of the block counts as one symbol below
// every byte, so all N+1 suffixes (the empty one included) are distinct and
// the sorted order is unique.
#pragma once

#include <cstdint>
#include <vector>

// The sorted suffix positions of text[0..n), the end suffix left out: result[k]
// is the start of the k-th smallest suffix. Requires 1 <= n < 2^31. The caller
// owns the result; text is not changed. `threads` (0 counts as 1) is how many
// threads the sort may use; the result is the same for any number. Throws
// only std::bad_alloc.
std::vector<uint32_t> suffixArrayOf(const uint8_t* text, uint32_t n, unsigned threads = 1);

// Replaces text[0..n) in place by its Burrows–Wheeler transform and returns
// the first suffix index (0 <= index < n). Requires 1 <= n < 2^31. No suffix
// array is kept: the last induced scan writes the transform. Memory: one
// array of n+2 32-bit entries, a bit per byte of the block (n/8 bytes) and
// at most 512 KiB of other tables; the reduced levels' bits and the rank
// tables stand in free parts of the array, as they do for text and binary
// blocks (1.3 MiB of tables in all for a 10 MiB block). Only strings with an
// LMS position at nearly every other symbol, level after level, leave no
// room there: those take up to n/8 bytes more. `threads` as for
// suffixArrayOf. Throws only std::bad_alloc.
uint32_t bwtInPlace(uint8_t* text, uint32_t n, unsigned threads = 1);
