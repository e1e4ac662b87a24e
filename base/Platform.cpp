// Platform layer. The processor clock is converted to milliseconds here so
// that timing lines read the same on every system; on POSIX the CLOCKS_PER_SEC
// tick is microseconds, on Windows it already is milliseconds. The processor
// is asked for its features once, with the CPUID instruction on x86-64.
#include "base/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

int32_t clockMs() {
    const std::clock_t ticks = std::clock();
    if (ticks == static_cast<std::clock_t>(-1)) {
        return -1;
    }
    const long double ms = static_cast<long double>(ticks) * 1000.0L / CLOCKS_PER_SEC;
    // Wraps like a 32-bit clock would; printTiming takes differences modulo 2^32.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(ms)));
}

void pauseForOperator() {
#ifdef _WIN32
    // The command interpreter writes its prompt to the same console; nothing
    // the program printed may come after it.
    std::fflush(nullptr);
    const int ignored = std::system("pause");
    (void)ignored;
#endif
}

namespace {

bool detectFastBitDeposit() {
#if defined(__x86_64__) && defined(__GNUC__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0 || eax < 7) return false;
    // "AuthenticAMD" and "HygonGenuine", by the vendor string's first word.
    const bool amdDesign = ebx == 0x68747541u || ebx == 0x6F677948u;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const unsigned baseFamily = (eax >> 8) & 0xF;
    const unsigned family = baseFamily == 0xF ? baseFamily + ((eax >> 20) & 0xFF) : baseFamily;
    if (amdDesign && family < 0x19) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return (ebx >> 8) & 1u;   // BMI2
#else
    return false;
#endif
}

bool portableOnly = false;

}  // namespace

bool hasFastBitDeposit() {
    static const bool fast = detectFastBitDeposit();
    return fast && !portableOnly;
}

bool hasX86Level3() {
    // Asked through GCC's processor model; only GCC builds code for it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
    static const bool level3 = __builtin_cpu_supports("x86-64-v3");
    return level3 && !portableOnly;
#else
    return false;
#endif
}

void usePortableCodeOnly() { portableOnly = true; }
