#include "tests/support/RunProgram.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/TempDir.h"

namespace testdata {

namespace {

// Appends text to a shell command line as one single-quoted word.
void appendQuoted(std::string& command, const std::string& text) {
    command += '\'';
    for (char c : text) {
        if (c == '\'')
            command += "'\\''";
        else
            command += c;
    }
    command += '\'';
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const RunResult& r) {
    return os << "{status " << r.status << "\n--- stdout ---\n"
              << r.out << "--- stderr ---\n"
              << r.err << "---}";
}

std::string exePath() {
    const char* exe = std::getenv("MORV_EXE");
    return exe != nullptr ? exe : "";
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

RunResult runMorv(const std::vector<std::string>& args, const std::filesystem::path& workDir) {
    TempDir captures;
    const std::filesystem::path out = captures.path() / "stdout";
    const std::filesystem::path err = captures.path() / "stderr";
    std::string command = "cd ";
    appendQuoted(command, workDir.string());
    command += " && ";
    appendQuoted(command, exePath());
    for (const std::string& arg : args) {
        command += ' ';
        appendQuoted(command, arg);
    }
    command += " </dev/null >";
    appendQuoted(command, out.string());
    command += " 2>";
    appendQuoted(command, err.string());
    const int raw = std::system(command.c_str());
    RunResult result;
    result.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
    result.out = readText(out);
    result.err = readText(err);
    return result;
}

}  // namespace testdata
