// Command-line options: turns the argument vector into the process-wide
// Settings record, checks the diagnostic files the options name, checks the
// combination of options, fills in defaults, warns about options that do not
// apply, and prints the help text.
#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>

// Parses argv[1..argc-1] into settings(); argv[0] is ignored.
// Returns true when the run is to go on with the chosen flow. Returns false
// when there is nothing more to do: no arguments at all (the help text has
// been printed), or a help request (-h, --help) without -c or -e (likewise).
// Every diagnostic file option checks, as it is met, that its file can be
// written: a missing file is created empty, an existing one keeps its bytes.
// Warnings about options that do not apply go to std::cout, one flushed line
// each; when the output (or the test file) is standard output's own file,
// std::cout is pointed at standard error's buffer first.
// Throws Exception with the exact usage-error text on the first error found.
bool parseCommandLine(int argc, char** argv);

// Writes the help text to `out`: 42 lines, each ended by a line feed and
// flushed.
void printHelp(std::ostream& out);

// Reads a decimal number the way the C library's atoi does: leading white
// space, an optional sign, then digits up to the first other character; no
// digits gives 0. The value is taken modulo 2^32, so a negative number comes
// back in its unsigned 32-bit form and no input overflows.
uint32_t parseNumber(std::string_view text);
