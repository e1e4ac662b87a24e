// The processor features that fast code paths rely on. Detected once when the
// program starts (detectCpuFeatures) and handed down as a value to the
// decoders that have such paths; a value with everything off runs the
// portable code only, which is what tests compare the fast paths against.
#pragma once

struct CpuFeatures {
    // The processor runs the 64-bit PDEP instruction (bit deposit), and runs
    // it fast: x86-64 with BMI2, except AMD's before family 19h, where it is
    // microcoded and takes up to hundreds of cycles.
    bool fastBitDeposit = false;
    // The processor has AVX2 and the operating system saves the 256-bit
    // registers: the value decoder's eight-lane comparisons may run.
    bool avx2 = false;
};

// Everything off: only the portable code paths run.
inline constexpr CpuFeatures kPortableCpuFeatures{};

// Asks the processor which features the fast code paths may use; called once
// at the start of a run (or of a library call), and the answer is passed down
// as a value. All false on other processors and compilers, and in builds of
// the plain kernels only.
CpuFeatures detectCpuFeatures();
