// Throughput of Zov::compressZov on stripes of width 12 (ten 256 KiB data strips), with one
// thread and with eight threads sharing one model as the engine's sampler threads do.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include <boost/random/mersenne_twister.hpp>

#include "model/Zov.h"

namespace {

using orvane::tessaline::kbx::tarnel::Zov;
using orvane::tessaline::kbx::tarnel::ZOV_STRIP_SIZE;

constexpr uint32_t kWidth = 12;
constexpr uint32_t kDataStrips = kWidth - 2;

// A mixed stripe: four strips of word-like text, three of structured binary records, two of
// random bytes and one all zero.
std::vector<uint8_t> mixedStripe() {
    std::vector<uint8_t> stripe(size_t(kDataStrips) * ZOV_STRIP_SIZE, 0);
    boost::random::mt19937 gen(42);
    static const char* const words[] = {"the ", "storage ", "block ", "of ", "data ",
                                        "compress ", "and ", "device ", "sample ", "zero "};
    for (uint32_t s = 0; s < kDataStrips; ++s) {
        uint8_t* strip = &stripe[size_t(s) * ZOV_STRIP_SIZE];
        if (s < 4) {
            for (uint32_t j = 0; j < ZOV_STRIP_SIZE;)
                for (const char* w = words[gen() % 10]; *w && j < ZOV_STRIP_SIZE; ++w)
                    strip[j++] = uint8_t(*w);
        } else if (s < 7) {
            for (uint32_t j = 0; j + 16 <= ZOV_STRIP_SIZE; j += 16) {
                const uint32_t id = j / 16, value = gen() % 1000;
                for (int b = 0; b < 4; ++b) strip[j + b] = uint8_t(id >> (8 * b));
                for (int b = 0; b < 4; ++b) strip[j + 8 + b] = uint8_t(value >> (8 * b));
            }
        } else if (s < 9) {
            for (uint32_t j = 0; j < ZOV_STRIP_SIZE; ++j) strip[j] = uint8_t(gen() >> 24);
        }
    }
    return stripe;
}

void BM_CompressZov(benchmark::State& state) {
    static const std::vector<uint8_t> stripe = mixedStripe();
    static Zov zov(kWidth);
    for (auto _ : state) benchmark::DoNotOptimize(zov.compressZov(stripe));
    state.SetItemsProcessed(state.iterations());  // stripes
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stripe.size()));
}
BENCHMARK(BM_CompressZov)->Threads(1)->Threads(8)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
