// The damage check every walk of the inverse Burrows–Wheeler transform ends
// with, shared by the plain kernel and the fast walks.
#pragma once

#include <cstdint>

#include "base/Exception.h"
#include "transform/Bwt.h"

// The LF mapping of the transform of a real block is one cycle through all
// n rows, so the walk from the first suffix index comes back to it after
// exactly n steps. A damaged column or first suffix index nearly always
// splits the rows into several cycles: the walk comes back early (t > 0
// steps left) or is elsewhere after n steps. Either way the bytes written are
// not a block, and they are refused.
inline void checkWalkEnd(uint32_t stepsLeft, uint32_t row, uint32_t firstIndex) {
    if (stepsLeft != 0 || row != firstIndex) throw Exception(kInvalidBwtMessage);
}
