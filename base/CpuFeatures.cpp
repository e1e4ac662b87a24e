// Processor feature detection with the CPUID instruction on x86-64;
// elsewhere nothing is reported.
#include "base/CpuFeatures.h"

#include "base/Compiler.h"

#if MORV_HAVE_BIT_DEPOSIT
#include <cpuid.h>
#endif

namespace {

bool detectFastBitDeposit() {
#if MORV_HAVE_BIT_DEPOSIT
    // Each CPUID traps to the hypervisor in a virtual machine (some
    // microseconds), so each leaf is asked for once: leaf 0 for the highest
    // leaf and the vendor, leaf 1 for the family (AMD only), leaf 7 for BMI2.
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, eax, ebx, ecx, edx);
    if (eax < 7) return false;
    // "AuthenticAMD" and "HygonGenuine", by the vendor string's first word.
    if (ebx == 0x68747541u || ebx == 0x6F677948u) {
        __cpuid(1, eax, ebx, ecx, edx);
        const unsigned baseFamily = (eax >> 8) & 0xF;
        const unsigned family = baseFamily == 0xF ? baseFamily + ((eax >> 20) & 0xFF) : baseFamily;
        if (family < 0x19) return false;
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return (ebx >> 8) & 1u;  // BMI2
#else
    return false;
#endif
}

}  // namespace

CpuFeatures detectCpuFeatures() {
    CpuFeatures features;
    features.fastBitDeposit = detectFastBitDeposit();
    return features;
}
