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
