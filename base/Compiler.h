// Compiler attributes in one place: force-inline, cold paths, prefetch,
// whether an x86-64 instruction beyond the base set may be written inline,
// and whether the standard library has threads.
// Nothing else in the program spells them, so a compiler without them needs
// changes here only.
#pragma once

#include <cstddef>  // the standard library's configuration macros

#if defined(__GNUC__) || defined(__clang__)
#define MORV_FORCE_INLINE inline __attribute__((always_inline))
// A type so marked may be read and written over storage of another type
// (the suffix sorter keeps some tables in free parts of its 32-bit array).
#define MORV_MAY_ALIAS __attribute__((may_alias))
#define MORV_COLD __attribute__((cold, noinline))
// Asks for the cache line at p ahead of a read or a write; no effect on
// results, and none at all where the compiler has no such hint.
#define MORV_PREFETCH_READ(p) __builtin_prefetch((p), 0)
#define MORV_PREFETCH_WRITE(p) __builtin_prefetch((p), 1)
#else
#define MORV_FORCE_INLINE inline
#define MORV_MAY_ALIAS
#define MORV_COLD
#define MORV_PREFETCH_READ(p) ((void)(p))
#define MORV_PREFETCH_WRITE(p) ((void)(p))
#endif

// MORV_HAVE_BIT_DEPOSIT is 1 where the PDEP instruction can be written
// inline (x86-64 with GCC or clang); it runs only where
// CpuFeatures::fastBitDeposit says so.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(MORV_PLAIN_KERNELS)
#define MORV_HAVE_BIT_DEPOSIT 1
#else
#define MORV_HAVE_BIT_DEPOSIT 0
#endif

// MORV_HAVE_AVX2 is 1 where functions built for AVX2 can stand beside the
// rest (x86-64 with GCC or clang); they run only where CpuFeatures::avx2
// says so, and the rest of the program needs no AVX.
#define MORV_HAVE_AVX2 MORV_HAVE_BIT_DEPOSIT
#if MORV_HAVE_AVX2
// A function built for AVX2 processors (it may use their intrinsics). Such a
// function inlines others into it, not the other way round; with
// MORV_FLATTEN everything it calls is inlined into it, so that a whole loop
// is built for AVX2 while the functions it was made of stay as they are.
#define MORV_TARGET_AVX2 __attribute__((target("avx2")))
#define MORV_FLATTEN __attribute__((flatten))
#endif

// MORV_HAVE_SSE2 is 1 where SSE2 can be written inline (every x86-64
// processor has it; 32-bit x86 builds only when the compiler targets it).
#if defined(__SSE2__) && !defined(MORV_PLAIN_KERNELS)
#define MORV_HAVE_SSE2 1
#else
#define MORV_HAVE_SSE2 0
#endif

// MORV_HAVE_THREADS is 1 where the standard library offers std::thread and
// its locks; not in MinGW's win32 thread model before GCC 13, where the
// worker pool runs its tasks on the caller and a block's suffix sort runs on
// one thread.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define MORV_HAVE_THREADS 0
#else
#define MORV_HAVE_THREADS 1
#endif
