// The PDEP instruction (BMI2) for the bit-map decoder of the inverse distance
// coding: the r-th set bit of a word in one instruction. Depositing bit r into
// the set bits of a mask puts it on the mask's set bit with r others below it.
// It ends the chain of steps that each run's search is, where counting bits
// in plain arithmetic takes several times as long. Written out as an
// instruction so that the rest of the program needs no BMI2; called only where
// CpuFeatures::fastBitDeposit says the processor runs it fast.
#pragma once

#include <bit>
#include <cstdint>

#include "base/Compiler.h"

#if MORV_HAVE_BIT_DEPOSIT
// Position (0..63) of the set bit of w with r set bits below it; w must have
// more than r set bits.
MORV_FORCE_INLINE uint32_t selectBitByDeposit(uint64_t w, uint32_t r) {
    uint64_t deposited;
    asm("pdepq %[mask], %[bits], %[out]"
        : [out] "=r"(deposited)
        : [bits] "r"(uint64_t{1} << r), [mask] "r"(w));
    return static_cast<uint32_t>(std::countr_zero(deposited));
}
#endif
