// The Windows API header, included the one way the program wants it: without
// the rarely used parts and without the min and max macros. Nothing where
// _WIN32 is not defined.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
