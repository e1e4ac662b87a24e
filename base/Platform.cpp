// Platform layer. The clock counts from the first reading the program takes
// at its start (a static of this file, set before main), so that timing lines
// read the same on every system.
#include "base/Platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>

#ifndef _WIN32
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#endif

#include "base/WindowsApi.h"
#include "base/WorkerPool.h"

namespace {
const std::chrono::steady_clock::time_point processStart = std::chrono::steady_clock::now();
}  // namespace

int32_t clockMs() {
    const auto elapsed = std::chrono::steady_clock::now() - processStart;
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
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

unsigned availableProcessors() {
    unsigned count = 0;
#if defined(_WIN32)
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) {
        for (; processMask != 0; processMask &= processMask - 1) ++count;
    }
#elif defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) count = static_cast<unsigned>(CPU_COUNT(&set));
#endif
#if MORV_HAVE_THREADS
    if (count == 0) count = std::thread::hardware_concurrency();
#endif
    return std::max(count, 1u);
}

uint64_t usableMemoryBytes() {
    uint64_t bytes = 0;
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status)) bytes = status.ullTotalPhys;
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0)
        bytes = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
#endif
    if (bytes == 0) bytes = uint64_t{1} << 30;
    if (sizeof(void*) == 4) bytes = std::min<uint64_t>(bytes, uint64_t{2} << 30);
    return bytes;
}

uint64_t addressSpaceLeft() {
    constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();
#if defined(__linux__)
    struct rlimit limit {};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kNoLimit;
    // The first field of statm: the pages mapped now, the figure the limit
    // is checked against.
    uint64_t pages = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> pages;
    const long pageSize = sysconf(_SC_PAGESIZE);
    const uint64_t mapped = pages * static_cast<uint64_t>(pageSize > 0 ? pageSize : 4096);
    const uint64_t cap = static_cast<uint64_t>(limit.rlim_cur);
    return cap > mapped ? cap - mapped : 0;
#else
    return kNoLimit;
#endif
}

uint64_t threadAddressSpace() {
#if defined(__linux__)
    // A new thread's stack is as large as the stack limit (32 MiB where that
    // is unlimited); the allocator reserves an arena of 64 MiB (1 MiB in a
    // 32-bit program) for a thread that allocates.
    uint64_t stack = uint64_t{32} << 20;
    struct rlimit limit {};
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        stack = static_cast<uint64_t>(limit.rlim_cur);
    }
    const uint64_t arena = sizeof(void*) == 8 ? uint64_t{64} << 20 : uint64_t{1} << 20;
    return stack + arena;
#else
    return 0;
#endif
}
