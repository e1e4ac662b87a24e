// Temporary folders for tests that write files.
#include "tests/support/TempDir.h"

#include <atomic>
#include <chrono>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#define MORV_GETPID _getpid
#else
#include <unistd.h>
#define MORV_GETPID getpid
#endif

namespace testdata {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("morv-test-" + std::to_string(MORV_GETPID()) + "-" + std::to_string(stamp) + "-" +
             std::to_string(counter++));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace testdata
