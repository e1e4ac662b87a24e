// Compiler attributes in one place: force-inline, cold paths, prefetch and
// the x86-64 level 3 target. Nothing else in the program spells them, so a
// compiler without them needs changes here only.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define MORV_FORCE_INLINE inline __attribute__((always_inline))
#define MORV_COLD __attribute__((cold, noinline))
// Asks for the cache line at p ahead of a read or a write; no effect on
// results, and none at all where the compiler has no such hint.
#define MORV_PREFETCH_READ(p) __builtin_prefetch((p), 0)
#define MORV_PREFETCH_WRITE(p) __builtin_prefetch((p), 1)
#else
#define MORV_FORCE_INLINE inline
#define MORV_COLD
#define MORV_PREFETCH_READ(p) ((void)(p))
#define MORV_PREFETCH_WRITE(p) ((void)(p))
#endif

// MORV_HAVE_X86_64_V3 is 1 where code for the x86-64 level 3 instructions
// (AVX2, BMI1/2, LZCNT, MOVBE, ...) can be built next to the portable code:
// GCC on x86-64, unless only the plain kernels are built. Such code runs only
// where CpuFeatures::x86Level3 says the processor has them.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(MORV_PLAIN_KERNELS)
#define MORV_HAVE_X86_64_V3 1
// Everything defined or instantiated between the two is built for level 3.
#define MORV_BEGIN_X86_64_V3 _Pragma("GCC push_options") _Pragma("GCC target(\"arch=x86-64-v3\")")
#define MORV_END_X86_64_V3 _Pragma("GCC pop_options")
#else
#define MORV_HAVE_X86_64_V3 0
#define MORV_BEGIN_X86_64_V3
#define MORV_END_X86_64_V3
#endif

// MORV_HAVE_BIT_DEPOSIT is 1 where the PDEP instruction can be written
// inline (x86-64 with GCC or clang); it runs only where
// CpuFeatures::fastBitDeposit says so.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(MORV_PLAIN_KERNELS)
#define MORV_HAVE_BIT_DEPOSIT 1
#else
#define MORV_HAVE_BIT_DEPOSIT 0
#endif
