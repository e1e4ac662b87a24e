// The fast walks of the inverse Burrows–Wheeler transform, the variants that
// inverseBwt (transform/Bwt.h) dispatches to. Each has inverseBwt's contract
// (same bytes, same checks and messages) for the block lengths it takes, with
// n >= 1 and firstIndex < n already checked by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "transform/Bwt.h"

// Largest block the word table takes: the LF image shares its word with the
// row's byte and a marker flag.
inline constexpr uint32_t kWordTableRowLimit = 1u << 22;
// Largest block the packed table takes: images of 3 bytes.
inline constexpr uint32_t kPackedRowsLimit = (1u << 24) - 1;

// One word per row; walked serially, or in interleaved lanes when `lanes`.
void inverseBwtWordTable(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex, bool lanes);

// 3 bytes per row, walked in lanes (from 2^16 rows on, serially below), the
// lanes spread over `threads` threads (0 counts as 1; at most 64 are used,
// and one for every 2^18 rows).
// storage: packedRowsBytes(n) bytes from allocatePackedRows, or null (then
// it allocates them itself).
void inverseBwtPackedRows(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex,
                          unsigned threads, std::unique_ptr<uint8_t[]> storage = nullptr);

// Largest block the pair table takes: images of 3 bytes, and above the
// rows the ids of the lane walk's markers.
inline constexpr uint32_t kPairRowsLimit = (1u << 24) - (1u << 14);

// One word per row for two steps of the walk, walked in lanes on one thread
// (from 2^16 rows on; the packed table's walk below). 4 bytes a row.
void inverseBwtPairRows(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t firstIndex);

// The packed table's memory for n rows: its size, and the memory itself.
// Throws std::bad_alloc.
inline size_t packedRowsBytes(uint32_t n) { return static_cast<size_t>(n) * 3 + 1; }
std::unique_ptr<uint8_t[]> allocatePackedRows(uint32_t n);

// inverseBwt(out, table, threads) once the table has been checked to cover
// every row: its words walked in lanes, as the packed table's, spread over
// `threads` threads.
void inverseBwtRunWordsLanes(uint8_t* out, RunWordTable& table, unsigned threads);
