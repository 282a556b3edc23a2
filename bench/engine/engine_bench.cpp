// engine_bench.cpp - samples whole in-memory devices and compares with the library's own cost.
//
// Each iteration is one device sampled to the default target of 3400 non-zero samples by N sampler
// threads (N contexts, as the front end uses). "library" runs deflate alone over the same
// kind of data, sample by sample the way a single-stream measurement feeds it, on one thread
// (no random start offset for 116, so its figures are only roughly comparable).
// Device size: VANTREL_BENCH_MIB (default 1024) MiB per data kind, built when first needed.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "deflate/deflate.h"
#include "engine/incompressibility_check.h"
#include "device_content.h"
#include "engine_harness.h"

namespace {

using namespace vantrel::testing;

struct DataSet {
    const char *name;
    std::vector<Region> (*layout)(size_t bytes);
};

std::vector<Region> uniform(ContentKind kind, size_t bytes) { return {{kind, bytes}}; }

const DataSet dataSets[] = {
    {"text", [](size_t bytes) { return uniform(ContentKind::text, bytes); }},
    {"binary", [](size_t bytes) { return uniform(ContentKind::binary, bytes); }},
    {"random", [](size_t bytes) { return uniform(ContentKind::random, bytes); }},
    {"mix50zero",
     [](size_t bytes) {
         // 1 MiB regions: zero, text, zero, binary, zero, random, ...
         std::vector<Region> regions;
         const ContentKind data[] = {ContentKind::text, ContentKind::binary, ContentKind::random};
         for (size_t at = 0, i = 0; at < bytes; at += 1 << 20, i++)
             regions.push_back({i % 2 ? data[(i / 2) % 3] : ContentKind::zero, 1 << 20});
         return regions;
     }},
};

const uint32_t engineTypes[] = {ENGINE_TYPE_6_4, ENGINE_TYPE_7_1, ENGINE_TYPE_7_2, ENGINE_TYPE_7_3, ENGINE_TYPE_11_6};

size_t deviceBytes()
{
    const char *mib = std::getenv("VANTREL_BENCH_MIB");
    return size_t(mib ? std::atoi(mib) : 1024) << 20;
}

// One device image at a time: building the next one frees the last.
const std::vector<uint8_t> &imageFor(const DataSet &set)
{
    static std::string current;
    static std::vector<uint8_t> image;
    if (current != set.name) {
        image.clear();
        image.shrink_to_fit();
        image = buildImage(set.layout(deviceBytes()), 11);
        current = set.name;
    }
    return image;
}

struct Usage {
    double cpuSeconds;
    long voluntarySwitches;
};

// CPU time and voluntary context switches of the whole process so far.
Usage processUsage()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec),
            u.ru_nvcsw};
}

// Samples per second of every engine run, for the speed-up table.
std::map<std::string, double> samplesPerSecond;

void engineRun(benchmark::State &state, const DataSet *set, uint32_t type, int threads)
{
    const std::vector<uint8_t> &image = imageFor(*set);
    double seconds = 0, samples = 0, input = 0;
    const Usage before = processUsage();
    for (auto _ : state) {
        InMemoryDevice device(image);
        EngineSetup setup = makeSetup(type, uint32_t(threads), 0);
        setup.withLog = false;
        setup.withEvents = false;
        setup.seed = 1;
        auto start = std::chrono::steady_clock::now();
        RunOutcome outcome = device.run(setup, threads);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        samples += double(outcome.result.nonZeroSamples);
        input += double(outcome.totals.inputBytes);
        state.counters["ratio"] = outcome.result.nonZeroSectors
                                      ? double(outcome.result.compressedSectors) / outcome.result.nonZeroSectors
                                      : 0;
    }
    const Usage after = processUsage();
    state.counters["samples/s"] = samples / seconds;
    state.counters["inMB/s"] = input / seconds / 1e6;
    // Cores kept busy, and how often a thread went to sleep (a lock or an empty queue) per sample.
    state.counters["cores"] = (after.cpuSeconds - before.cpuSeconds) / seconds;
    state.counters["sleeps/sample"] = double(after.voluntarySwitches - before.voluntarySwitches) / samples;
    samplesPerSecond[std::string(set->name) + "/" + std::to_string(type) + "/" + std::to_string(threads)] =
        samples / seconds;
}

// Deflate alone: random sample starts, 32 KiB slices into a 32 KiB buffer until it is full or
// the input cap is passed, as one measurement stream does (with the incompressibility hint for
// types 71 and 72); zero blocks are skipped.
void libraryRun(benchmark::State &state, const DataSet *set, uint32_t type)
{
    const std::vector<uint8_t> &image = imageFor(*set);
    const int level = type == ENGINE_TYPE_6_4 || type == ENGINE_TYPE_7_1 ? 1 : 103;
    const bool hinted = type == ENGINE_TYPE_7_1 || type == ENGINE_TYPE_7_2;
    vantrel::engine::IncompressibilityCheck check;
    std::vector<uint8_t> arena(1 << 20), output(32768);
    struct Arena {
        uint8_t *base;
        size_t used;
    } pool{arena.data(), 0};
    auto alloc = [](void *opaque, uint32_t items, uint32_t size) -> void * {
        auto *a = static_cast<Arena *>(opaque);
        void *p = a->base + a->used;
        a->used += (size_t(items) * size + 15) & ~size_t(15);
        return p;
    };
    auto release = [](void *opaque, void *) { static_cast<Arena *>(opaque)->used = 0; };
    const uint64_t blocks = image.size() / 65536;
    std::mt19937_64 rng(1);
    double input = 0, samples = 0;
    for (auto _ : state) {
        for (int n = 0; n < 3400; n++) {
            uint64_t block = rng() % blocks;
            while (block < blocks && std::all_of(&image[block * 65536], &image[block * 65536] + 65536,
                                                 [](uint8_t b) { return b == 0; }))
                block = rng() % blocks;
            vdeflate::z_stream s{};
            s.zalloc = alloc;
            s.zfree = release;
            s.opaque = &pool;
            vdeflate::deflateInit2_(&s, level, 8, 47, 6, 0, "1.2.3", sizeof s);
            s.next_out = output.data();
            s.avail_out = 32768;
            for (uint64_t at = block * 65536; s.avail_out && s.total_in <= 491519 && at + 32768 <= image.size();
                 at += 32768) {
                s.next_in = const_cast<uint8_t *>(&image[at]);
                s.avail_in = 32768;
                uint32_t hint = hinted ? check.isIncompressible(s.next_in, 32768) : 0;
                vdeflate::deflateWithHint(&s, vdeflate::Z_SYNC_FLUSH, hint);
            }
            input += double(s.total_in);
            samples += 1;
            vdeflate::deflateEnd(&s);
        }
    }
    state.counters["samples/s"] = benchmark::Counter(samples, benchmark::Counter::kIsRate);
    state.counters["inMB/s"] = benchmark::Counter(input / 1e6, benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char **argv)
{
    for (const DataSet &set : dataSets) {
        for (uint32_t type : engineTypes) {
            for (int threads : {1, 8}) {
                std::string name = std::string("engine/") + set.name + "/" + std::to_string(type) + "/threads:" +
                                   std::to_string(threads);
                // Fast data samples a whole device in milliseconds: repeat it for a steadier rate.
                benchmark::RegisterBenchmark(name.c_str(), engineRun, &set, type, threads)
                    ->MinTime(0.5)
                    ->UseRealTime()
                    ->Unit(benchmark::kMillisecond);
            }
            if (type != ENGINE_TYPE_7_3) {
                std::string name = std::string("library/") + set.name + "/" + std::to_string(type);
                benchmark::RegisterBenchmark(name.c_str(), libraryRun, &set, type)
                    ->MinTime(0.5)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nspeed-up from 1 to 8 threads (non-zero samples per second)\n");
    for (const DataSet &set : dataSets)
        for (uint32_t type : engineTypes) {
            std::string key = std::string(set.name) + "/" + std::to_string(type) + "/";
            if (samplesPerSecond.count(key + "1") && samplesPerSecond.count(key + "8"))
                std::printf("%-10s %3u  %6.2fx\n", set.name, type, samplesPerSecond[key + "8"] / samplesPerSecond[key + "1"]);
        }
    return 0;
}
