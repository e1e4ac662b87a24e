// Runs the built program ($MORV_EXE) as a separate process and captures what
// it printed and its exit status (POSIX shell).
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace testdata {

// What one run of the program showed.
struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status, 0..255; -1 if the program did not exit normally

    bool operator==(const RunResult&) const = default;
};

std::ostream& operator<<(std::ostream& os, const RunResult& r);

// The program under test, from $MORV_EXE; empty when it is not set.
std::string exePath();

// The whole file, bytes as they are; empty if it cannot be read.
std::string readText(const std::filesystem::path& path);

// Runs the program with `args` in the folder `workDir` (so relative names
// and default output names land there), standard input empty. The captured
// streams are kept outside `workDir`, which holds only what the program made.
RunResult runMorv(const std::vector<std::string>& args, const std::filesystem::path& workDir);

}  // namespace testdata
