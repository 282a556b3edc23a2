// Block compressor throughput beside system zlib level 1 on the same blocks.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "model/Compressor.h"
#include "tests/model/sample_data.h"

using namespace orvane::tessaline::kbx::tarnel;

namespace {

enum Kind { kText, kBinary, kRandom, kZero };

// Eight different blocks of one kind, so a run does not keep compressing one cached block.
std::vector<std::vector<uint8_t>> sampleBlocks(Kind kind, uint32_t size) {
    std::vector<std::vector<uint8_t>> blocks;
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        switch (kind) {
            case kText: blocks.push_back(vantrel_model_samples::textBlock(size, seed)); break;
            case kBinary: blocks.push_back(vantrel_model_samples::binaryBlock(size, seed)); break;
            case kRandom: blocks.push_back(vantrel_model_samples::randomBlock(size, seed)); break;
            case kZero: blocks.emplace_back(size, 0); break;
        }
    }
    return blocks;
}

void setLabel(benchmark::State& state, Kind kind) {
    static const char* const names[] = {"text", "binary", "random", "zero"};
    state.SetLabel(names[kind]);
}

// Args: kind, block size.
void BM_ModelCompress(benchmark::State& state) {
    const Kind kind = static_cast<Kind>(state.range(0));
    const uint32_t size = static_cast<uint32_t>(state.range(1));
    const bool page = size == 16896;
    const CodeBook books(page ? pageLitLenLengths : cardLitLenLengths,
                         page ? pageDistLengths : cardDistLengths);
    Compressor compressor(size, 2, 3, 5, 1, &books);
    const auto blocks = sampleBlocks(kind, size);
    std::size_t i = 0, out = 0;
    for (auto _ : state) {
        uint32_t book = 0;
        const std::vector<uint8_t> result = compressor.compress(blocks[i++ % blocks.size()].data(), &book);
        out += result.size();
        benchmark::DoNotOptimize(result.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
    state.counters["ratio"] = double(state.iterations()) * size / double(out);
    setLabel(state, kind);
}

// zlib level 1 with one reused stream (deflateReset per block), its cheapest use per block.
void BM_Zlib1(benchmark::State& state) {
    const Kind kind = static_cast<Kind>(state.range(0));
    const uint32_t size = static_cast<uint32_t>(state.range(1));
    const auto blocks = sampleBlocks(kind, size);
    z_stream stream{};
    if (deflateInit(&stream, 1) != Z_OK) throw std::runtime_error("deflateInit failed");
    std::vector<uint8_t> out(compressBound(size));
    std::size_t i = 0, total = 0;
    for (auto _ : state) {
        deflateReset(&stream);
        stream.next_in = const_cast<Bytef*>(blocks[i++ % blocks.size()].data());
        stream.avail_in = size;
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        if (deflate(&stream, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate failed");
        total += stream.total_out;
        benchmark::DoNotOptimize(out.data());
    }
    deflateEnd(&stream);
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
    state.counters["ratio"] = double(state.iterations()) * size / double(total);
    setLabel(state, kind);
}

void blockArgs(benchmark::internal::Benchmark* b) {
    for (int64_t size : {16896, 4224})
        for (int64_t kind : {kText, kBinary, kRandom, kZero}) b->Args({kind, size});
}

}  // namespace

BENCHMARK(BM_ModelCompress)->Apply(blockArgs);
BENCHMARK(BM_Zlib1)->Apply(blockArgs);
