// Throughput of the forward and inverse Burrows–Wheeler transform on every
// corpus file, on a full-size block made of the corpus files back to back,
// and on generated worst cases for prefix doubling (one repeated byte, "ab"
// repeated, a random 1000-byte string repeated). When libdivsufsort is
// installed its divbwt is timed on the same blocks as a yardstick.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
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
    Bytes column;      // its transform, made on first use by the inverse
    uint32_t index = 0;
};

void runForward(benchmark::State& state, const Block* block) {
    Bytes work(block->data.size());
    const uint32_t n = static_cast<uint32_t>(work.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), block->data.data(), n);
        state.ResumeTiming();
        benchmark::DoNotOptimize(forwardBwt(work.data(), n));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

void runInverse(benchmark::State& state, Block* block) {
    if (block->column.size() != block->data.size()) {   // made once, outside the timing
        block->column = block->data;
        block->index = forwardBwt(block->column.data(), static_cast<uint32_t>(block->column.size()));
    }
    Bytes out(block->column.size());
    const uint32_t n = static_cast<uint32_t>(out.size());
    for (auto _ : state) {
        inverseBwt(out.data(), block->column.data(), n, block->index);
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

Bytes concatenatedCorpus(const std::vector<std::string>& files) {
    Bytes all;
    for (const auto& file : files) {
        const Bytes b = testdata::readFile(file);
        all.insert(all.end(), b.begin(), b.end());
    }
    if (all.empty()) return all;
    Bytes block;
    block.reserve(kFullBlock);
    while (block.size() < kFullBlock) {
        const size_t take = std::min(all.size(), kFullBlock - block.size());
        block.insert(block.end(), all.begin(), all.begin() + static_cast<std::ptrdiff_t>(take));
    }
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
    if (!files.empty()) add("corpus_10MiB", concatenatedCorpus(files));
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
        benchmark::RegisterBenchmark(("forwardBwt/" + block->name).c_str(), runForward, block)
            ->Unit(benchmark::kMillisecond);
#ifdef MORV_HAVE_DIVSUFSORT
        benchmark::RegisterBenchmark(("divbwt/" + block->name).c_str(), runDivbwt, block)
            ->Unit(benchmark::kMillisecond);
#endif
        benchmark::RegisterBenchmark(("inverseBwt/" + block->name).c_str(), runInverse, block)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
