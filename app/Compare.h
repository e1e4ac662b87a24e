// Byte-for-byte comparison of two files, used by the round-trip test after a
// compression with --test.
#pragma once

#include <string>

// Returns true when the files named `a` and `b` have the same length and the
// same bytes. Both are read in binary mode through two 32 KiB chunk buffers,
// so memory use does not grow with the file length.
// At the first differing byte it prints "ERROR at position: " and that byte's
// 0-based position on std::cout (one flushed line) and returns false.
// Files of different lengths, a file that cannot be opened or a read that
// comes up short give false with nothing printed. Never throws Exception.
bool compareFiles(const std::string& a, const std::string& b);
