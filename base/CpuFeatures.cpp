// Processor feature detection with the CPUID instruction on x86-64;
// elsewhere nothing is reported.
#include "base/CpuFeatures.h"

#include "base/Compiler.h"

#if MORV_HAVE_BIT_DEPOSIT || MORV_HAVE_AVX2
#include <cpuid.h>
#endif

CpuFeatures detectCpuFeatures() {
    CpuFeatures features;
#if MORV_HAVE_BIT_DEPOSIT || MORV_HAVE_AVX2
    // Each CPUID traps to the hypervisor in a virtual machine (some
    // microseconds), so each leaf is asked for once: leaf 0 for the highest
    // leaf and the vendor, leaf 1 for the family and AVX, leaf 7 for BMI2
    // and AVX2.
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, eax, ebx, ecx, edx);
    if (eax < 7) return features;
    // "AuthenticAMD" and "HygonGenuine", by the vendor string's first word.
    const bool amd = ebx == 0x68747541u || ebx == 0x6F677948u;
    __cpuid(1, eax, ebx, ecx, edx);
    const unsigned baseFamily = (eax >> 8) & 0xF;
    const unsigned family = baseFamily == 0xF ? baseFamily + ((eax >> 20) & 0xFF) : baseFamily;
    // AVX needs the processor's support and the system's: OSXSAVE (bit 27)
    // and AVX (bit 28), and XCR0 saving the SSE and AVX state (bits 1, 2).
    bool avxState = false;
    if ((ecx & (3u << 27)) == (3u << 27)) {
        unsigned xcr0 = 0, xcr0High = 0;
        asm("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
        avxState = (xcr0 & 6u) == 6u;
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    features.fastBitDeposit = ((ebx >> 8) & 1u) != 0 && (!amd || family >= 0x19);  // BMI2
    features.avx2 = avxState && ((ebx >> 5) & 1u) != 0;
#endif
    return features;
}
