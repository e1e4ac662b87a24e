// The timing line printed by the drivers and, in verbose mode, by the codecs.
#pragma once

#include <cstdint>
#include <ostream>

// Writes `label`, then "-" if either reading is -1, otherwise the elapsed
// seconds ((end - start) * 0.001, difference taken in signed 32-bit arithmetic)
// in the stream's current general notation followed by "s"; then a line end
// and a flush.
void printTiming(std::ostream& out, const char* label, int32_t start, int32_t end);
