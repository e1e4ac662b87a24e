// Platform layer: the few services the program takes from its host system.
// The program was made for a Windows console; elsewhere these keep the same
// contract so that printed lines and results do not change.
#pragma once

#include <cstdint>

// Milliseconds of processor time since the process started, as a signed
// 32-bit value; -1 when no clock is available.
int32_t clockMs();

// Waits for the operator at the end of a run: the console "pause" command on
// Windows, nothing elsewhere. Its outcome is ignored.
void pauseForOperator();

// Processor features that faster code paths rely on, checked once; always
// false on other processors and compilers.
//
// Whether the processor runs the 64-bit PDEP instruction (bit deposit), and
// runs it fast: x86-64 processors with BMI2, except AMD's before family 19h,
// where it is microcoded and takes up to hundreds of cycles.
bool hasFastBitDeposit();
// Whether the processor has the x86-64 level 3 instructions (AVX2, BMI1,
// BMI2, LZCNT, MOVBE and the rest of that level); false in builds by
// compilers other than GCC, which build no code for them.
bool hasX86Level3();
// From now on both of the above report false, so that only the portable
// code paths run (tests compare the two).
void usePortableCodeOnly();
