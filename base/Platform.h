// Platform layer: the few services the program takes from its host system.
// The program was made for a Windows console; elsewhere these keep the same
// contract so that printed lines and results do not change.
#pragma once

#include <cstdint>

// Milliseconds of wall-clock time since the process started, as a signed
// 32-bit value that wraps like a 32-bit counter (what the C library's clock
// gives on Windows): the timing lines show the time the user waited, also
// when several threads work.
int32_t clockMs();

// Waits for the operator at the end of a run: the console "pause" command on
// Windows, nothing elsewhere. Its outcome is ignored.
void pauseForOperator();

// The processors this process may run on: its affinity mask (so `taskset -c 0`
// gives 1), else what the system reports; at least 1.
unsigned availableProcessors();

// The memory the process can use for its work: the physical memory, and in a
// 32-bit program at most the 2 GiB of its address space; 1 GiB when the
// system does not say.
uint64_t usableMemoryBytes();

// Address space the process may still map where the system limits it
// (RLIMIT_AS, `ulimit -v`): the limit less what is mapped now. UINT64_MAX
// where there is no such limit.
uint64_t addressSpaceLeft();

// Address space one more thread takes before it does any work: its stack
// and, with the GNU C library, the allocator arena it may reserve. 0 where
// threads cost no address space worth counting.
uint64_t threadAddressSpace();
