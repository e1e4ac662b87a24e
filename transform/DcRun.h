// What every decoder of the inverse distance coding shares: the run it hands
// out and the one message for damaged value sequences.
#pragma once

#include "base/DamageMessages.h"

#include <cstdint>

// Throws Exception(kInvalidDcDataMessage). Out of line and cold, so that the
// checks cost the inlined decoding loops no code size.
[[noreturn]] void throwInvalidDcData();

struct DcRun {
    uint8_t symbol = 0;
    uint32_t length = 0;
};
