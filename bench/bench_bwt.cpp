// Throughput of the forward and inverse Burrows–Wheeler transform on every
// corpus file, on the corpus files back to back once (corpus_blk, about 2.9
// MB), on full-size blocks of real data (the corpus files back to back
// repeated, Python library sources, the C++ compiler's binary; the last two are
// read from this machine at run time and skipped when absent), and on
// generated worst cases (one repeated byte, "ab" repeated, a random
// 1000-byte string repeated). When libdivsufsort is installed its divbwt is
// timed on the same blocks as a yardstick.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/DataGen.h"
#include "transform/Bwt.h"

#ifdef MORV_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace {

using testdata::Bytes;

constexpr size_t kFullBlock = 10485760;

struct Block {
    std::string name;
    Bytes data;
    Bytes column;  // its transform, made on first use by the inverse
    uint32_t index = 0;
};

// threads: as many as forwardBwt may use.
void runForward(benchmark::State& state, const Block* block, unsigned threads) {
    Bytes work(block->data.size());
    const uint32_t n = static_cast<uint32_t>(work.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), block->data.data(), n);
        state.ResumeTiming();
        benchmark::DoNotOptimize(forwardBwt(work.data(), n, threads));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

// The block's transform, made once, outside the timing.
void makeColumn(Block* block) {
    if (block->column.size() != block->data.size()) {
        block->column = block->data;
        block->index = forwardBwt(block->column.data(), static_cast<uint32_t>(block->column.size()));
    }
}

// kernel: the walk to time (Automatic: the one inverseBwt picks); threads:
// as many as inverseBwt may use.
void runInverse(benchmark::State& state, Block* block, InverseBwtKernel kernel, unsigned threads) {
    makeColumn(block);
    Bytes out(block->column.size());
    const uint32_t n = static_cast<uint32_t>(out.size());
    for (auto _ : state) {
        inverseBwt(out.data(), block->column.data(), n, block->index, threads, kernel);
        benchmark::ClobberMemory();
    }
    if (out != block->data) state.SkipWithError("inverse does not give the block back");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

// The inverse through the table extraction builds from the column's runs
// while it decodes them (on two processors): only the walk on `threads`
// threads is timed, what the iBWT stage then takes; the table is filled run
// by run before each, outside the timing.
void runInverseRunTable(benchmark::State& state, Block* block, unsigned threads) {
    makeColumn(block);
    const Bytes& column = block->column;
    Bytes out(column.size());
    const uint32_t n = static_cast<uint32_t>(out.size());
    for (auto _ : state) {
        state.PauseTiming();
        RunWordTable table(n, block->index);
        for (uint32_t k = 0; k < n;) {
            uint32_t end = k + 1;
            while (end < n && column[end] == column[k]) ++end;
            table.addRun(k, column[k], end - k);
            k = end;
        }
        state.ResumeTiming();
        inverseBwt(out.data(), table, threads);
        benchmark::ClobberMemory();
    }
    if (out != block->data) state.SkipWithError("inverse does not give the block back");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

#ifdef MORV_HAVE_DIVSUFSORT
void runDivbwt(benchmark::State& state, const Block* block) {
    const auto n = static_cast<saidx_t>(block->data.size());
    Bytes out(block->data.size());
    std::vector<saidx_t> work(block->data.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(divbwt(block->data.data(), out.data(), work.data(), n));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
#endif

// The corpus files back to back, once (about 2.9 MB: the size of blocks where
// the table no longer fits the caches but is still small), or repeated up to
// a full block when `full`.
Bytes concatenatedCorpus(const std::vector<std::string>& files, bool full) {
    Bytes all;
    for (const auto& file : files) {
        const Bytes b = testdata::readFile(file);
        all.insert(all.end(), b.begin(), b.end());
    }
    if (all.empty() || !full || all.size() >= kFullBlock) return all;
    Bytes block;
    block.reserve(kFullBlock);
    while (block.size() < kFullBlock) {
        const size_t take = std::min(all.size(), kFullBlock - block.size());
        block.insert(block.end(), all.begin(), all.begin() + static_cast<std::ptrdiff_t>(take));
    }
    return block;
}

// Python sources under /usr/lib/python3.x, in name order, back to back until
// a full block; empty when no such folder is found.
Bytes pythonSources() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const char* dir : {"/usr/lib/python3.11", "/usr/lib/python3.12", "/usr/lib/python3.10"}) {
        if (!fs::is_directory(dir, ec)) continue;
        std::vector<std::string> files;
        for (auto it = fs::recursive_directory_iterator(
                 dir, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file(ec) && it->path().extension() == ".py")
                files.push_back(it->path().string());
        }
        std::sort(files.begin(), files.end());
        Bytes block;
        for (const auto& file : files) {
            if (block.size() >= kFullBlock) break;
            const Bytes b = testdata::readFile(file);
            block.insert(
                block.end(), b.begin(),
                b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), kFullBlock - block.size())));
        }
        if (block.size() == kFullBlock) return block;
    }
    return {};
}

// The first full block of the C++ compiler proper (an x86-64 binary), found
// through the compiler driver; empty when that fails or the file is short.
Bytes compilerBinary() {
    Bytes block;
    FILE* pipe = popen("g++ -print-prog-name=cc1plus 2>/dev/null", "r");
    if (pipe == nullptr) return block;
    std::array<char, 4096> path{};
    const bool got = std::fgets(path.data(), static_cast<int>(path.size()), pipe) != nullptr;
    pclose(pipe);
    if (!got) return block;
    std::string name(path.data());
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    std::error_code ec;
    if (name.empty() || !std::filesystem::is_regular_file(name, ec)) return block;
    block = testdata::readFile(name);
    if (block.size() < kFullBlock) return {};
    block.resize(kFullBlock);
    return block;
}

std::vector<std::unique_ptr<Block>> makeBlocks() {
    std::vector<std::unique_ptr<Block>> blocks;
    auto add = [&blocks](std::string name, Bytes data) {
        auto b = std::make_unique<Block>();
        b->name = std::move(name);
        b->data = std::move(data);
        blocks.push_back(std::move(b));
    };
    const auto files = testdata::corpusFiles();
    for (const auto& file : files) {
        Bytes data = testdata::readFile(file);
        if (data.empty()) continue;
        add(file.substr(file.find_last_of("/\\") + 1), std::move(data));
    }
    if (!files.empty()) {
        Bytes all = concatenatedCorpus(files, false);
        for (const size_t kib : {768u, 1024u, 1536u, 2048u}) {
            if (all.size() > kib * 1024)
                add("corpus_" + std::to_string(kib) + "KiB",
                    Bytes(all.begin(), all.begin() + kib * 1024));
        }
        add("corpus_blk", std::move(all));
        add("corpus_10MiB", concatenatedCorpus(files, true));
    }
    if (Bytes py = pythonSources(); !py.empty()) add("python_10MiB", std::move(py));
    if (Bytes bin = compilerBinary(); !bin.empty()) add("cc1plus_10MiB", std::move(bin));
    add("one_byte_10MiB", Bytes(kFullBlock, 'a'));
    add("ab_10MiB", testdata::repeatedPattern(Bytes{'a', 'b'}, kFullBlock));
    add("random1000_10MiB", testdata::repeatedPattern(testdata::randomBytes(1, 1000), kFullBlock));
    return blocks;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const auto blocks = makeBlocks();
    for (const auto& b : blocks) {
        Block* block = b.get();
        benchmark::RegisterBenchmark(("forwardBwt/" + block->name).c_str(), runForward, block, 1u)
            ->Unit(benchmark::kMillisecond);
        {
            // One block on one and on two threads, in wall time (for the
            // corpus files: whether a second thread pays for its start).
            for (const unsigned threads : {1u, 2u}) {
                benchmark::RegisterBenchmark(
                    ("forwardBwtThreads/" + block->name + "/threads:" + std::to_string(threads)).c_str(),
                    runForward, block, threads)
                    ->UseRealTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
#ifdef MORV_HAVE_DIVSUFSORT
        benchmark::RegisterBenchmark(("divbwt/" + block->name).c_str(), runDivbwt, block)
            ->Unit(benchmark::kMillisecond);
#endif
        benchmark::RegisterBenchmark(("inverseBwt/" + block->name).c_str(), runInverse, block,
                                     InverseBwtKernel::Automatic, 1u)
            ->Unit(benchmark::kMillisecond);
        // One block on one and on two threads, in wall time.
        for (const unsigned threads : {1u, 2u}) {
            benchmark::RegisterBenchmark(
                ("inverseBwtThreads/" + block->name + "/threads:" + std::to_string(threads)).c_str(),
                runInverse, block, InverseBwtKernel::Automatic, threads)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
        if (RunWordTable::wanted(static_cast<uint32_t>(block->data.size()))) {
            for (const unsigned threads : {1u, 2u}) {
                benchmark::RegisterBenchmark(
                    ("inverseBwtRunTable/" + block->name + "/threads:" + std::to_string(threads))
                        .c_str(),
                    runInverseRunTable, block, threads)
                    ->UseRealTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
        for (const auto& [name, kernel] : {std::pair{"Plain", InverseBwtKernel::Plain},
                                           std::pair{"WordTable", InverseBwtKernel::WordTable},
                                           std::pair{"WordTableLanes", InverseBwtKernel::WordTableLanes},
                                           std::pair{"PackedRows", InverseBwtKernel::PackedRows},
                                           std::pair{"PairRows", InverseBwtKernel::PairRows}}) {
            benchmark::RegisterBenchmark(("inverseBwt" + std::string(name) + "/" + block->name).c_str(),
                                         runInverse, block, kernel, 1u)
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
