// Text dumps of a block's intermediate data for study: the block after the
// Burrows–Wheeler transform, after move-to-front, and the sorted-suffix and
// suffix-array listings. Writers keep no state; each call appends one
// section. Write errors are not checked: a failing stream keeps its error
// state and later writes to it do nothing.
#pragma once

#include <cstdint>
#include <ostream>

// Appends one transform-dump section for data[0..n) (the transformed block)
// and its first suffix index to `out`. Bytes are written raw; every line end
// is followed by a flush.
void dumpBwt(std::ostream& out, const uint8_t* data, uint32_t n, uint32_t firstIndex);

// Appends one move-to-front dump section for data[0..n) (the block's
// move-to-front output) to `out`: the values in decimal, one blank between
// two of them.
void dumpMtf(std::ostream& out, const uint8_t* data, uint32_t n);

// Writes the sorted-suffix listing of text[0..n): for k = 0..n-1 the line
// "k suffix sa[k]: " padded with blanks to 20 characters, then the first
// min(maxSize, n - sa[k]) bytes of that suffix raw, then a line end and flush.
// sa[0..n) must hold positions below n. maxSize is unsigned: 4294967295 (the
// default, -1) writes whole suffixes, 0 writes none.
void writeSuffixListing(std::ostream& out, const uint8_t* text, uint32_t n, const uint32_t* sa,
                        uint32_t maxSize);

// Writes sa[0..n) in decimal with one blank between two numbers and nothing
// after the last one (no blank, no line end). When the stream already holds
// text (an earlier block's listing), a line end and flush come first, so the
// listings of consecutive blocks stay apart.
void writeSuffixArrayListing(std::ostream& out, const uint32_t* sa, uint32_t n);
