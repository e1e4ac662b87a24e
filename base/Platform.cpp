// Platform layer. The processor clock is converted to milliseconds here so
// that timing lines read the same on every system; on POSIX the CLOCKS_PER_SEC
// tick is microseconds, on Windows it already is milliseconds.
#include "base/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

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
