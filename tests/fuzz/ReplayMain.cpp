// Plain driver for a fuzz target where libFuzzer is not used: runs the target
// once on every file named on the command line and on every file inside each
// folder named there (in name order), so that the seed corpus and the inputs
// of past findings are replayed as an ordinary test. A target that finds a
// fault aborts, which fails the test; finding no input at all fails it too,
// since that means the corpus went missing.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputsOf(const fs::path& arg) {
    std::vector<fs::path> files;
    if (fs::is_directory(arg)) {
        for (const auto& entry : fs::directory_iterator(arg)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
    } else {
        files.push_back(arg);
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& file : inputsOf(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                std::cerr << "cannot read " << file.string() << std::endl;
                return 1;
            }
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
            std::cout << "replaying " << file.filename().string() << " (" << bytes.size() << " bytes)"
                      << std::endl;
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    std::cout << replayed << " inputs replayed" << std::endl;
    return replayed == 0 ? 1 : 0;
}
