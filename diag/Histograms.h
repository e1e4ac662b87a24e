// Symbol histograms written while compressing: one section per block with the
// frequency of every symbol that one stage sees (input bytes, MTF indices or
// DC values), appended to the stream that its option opened.
//
// Section layout, every line ended by a line break and a flush:
//   "[Block] "
//   "Block size = " <number of items>
//   <title>
//   one line per distinct key, in key order:
//     <key> " - " <count> "     [" <items before this key> ", " <items after> "]"
//   two empty lines
// Byte keys are ordered as signed 8-bit values (128..255, then 0..127);
// DC values in plain unsigned order.
#pragma once

#include <cstdint>
#include <ostream>

// Section "Data histogram:" of the L input bytes, each key written as the raw
// byte, to `out`. Does not modify bytes.
void recordInputHistogram(std::ostream& out, const uint8_t* bytes, uint32_t L);

// Section "Data MTF histogram:" of the L MTF indices, keys in decimal, to
// `out`.
void recordMtfHistogram(std::ostream& out, const uint8_t* indices, uint32_t L);

// Section "Data DC histogram:" of the n DC values, keys in decimal, to
// `out`. The size line shows n, not the block length.
void recordDcHistogram(std::ostream& out, const uint32_t* values, uint32_t n);

using ByteKeyPrinter = void (*)(std::ostream& out, uint8_t key);
using ValueKeyPrinter = void (*)(std::ostream& out, uint32_t key);

// The table lines of a section (no header, no trailing empty lines) for
// items[0..count-1]: bytes in signed 8-bit key order, 32-bit values in
// unsigned order. printKey writes one key. Write errors are not checked.
void printHistogramTable(std::ostream& out, const uint8_t* items, uint32_t count,
                         ByteKeyPrinter printKey);
void printHistogramTable(std::ostream& out, const uint32_t* items, uint32_t count,
                         ValueKeyPrinter printKey);
