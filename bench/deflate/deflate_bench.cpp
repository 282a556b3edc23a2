// Input throughput of the library as the engine uses it, against the system zlib at level 1 used
// the same way, on the same inputs. Prints MB/s per setting and input and each setting's ratio to
// zlib level 1. Usage: deflate_bench [seconds per measurement, default 0.5]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "sample_runner.h"
#include "tests/deflate/test_support.h"

namespace {

constexpr size_t kInputSize = 8u << 20;
constexpr size_t kSampleSpacing = 512u << 10;  // one sample starts every 512 KiB

struct Setting {
    const char* name;
    std::function<bench::SampleResult(const uint8_t*, size_t)> sample;
};

struct Measure {
    double mbPerSecond;
    double compressedShare;  // output over input
};

Measure measure(const Setting& setting, const std::vector<uint8_t>& data, double seconds) {
    using Clock = std::chrono::steady_clock;
    unsigned long input = 0, output = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
        for (size_t offset = 0; offset + kSampleSpacing <= data.size(); offset += kSampleSpacing) {
            const auto r = setting.sample(data.data() + offset, data.size() - offset);
            input += r.input;
            output += r.output;
        }
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < seconds);
    return {input / elapsed / 1e6, static_cast<double>(output) / static_cast<double>(input)};
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
    const std::vector<Setting> settings = {
        {"zlib-1", bench::zlibSample},
        {"level-1", [](const uint8_t* d, size_t n) { return bench::vantrelSample(d, n, 1); }},
        {"level-103", [](const uint8_t* d, size_t n) { return bench::vantrelSample(d, n, 103); }},
        {"level-111", [](const uint8_t* d, size_t n) { return bench::vantrelSample(d, n, 111); }},
    };
    const std::pair<const char*, testdata::Kind> inputs[] = {
        {"text", testdata::Kind::Text},     {"binary", testdata::Kind::Code}, {"random", testdata::Kind::Random},
        {"zeros", testdata::Kind::Zeros},   {"mix", testdata::Kind::Mixed},
    };

    std::printf("%-8s %-10s %10s %8s %12s\n", "input", "setting", "MB/s", "out/in", "vs zlib-1");
    std::vector<double> totalTime(settings.size(), 0.0);
    for (const auto& [inputName, kind] : inputs) {
        const auto data = testdata::make(kind, kInputSize, 7);
        double zlibRate = 0;
        for (size_t i = 0; i < settings.size(); i++) {
            const Measure m = measure(settings[i], data, seconds);
            if (i == 0) zlibRate = m.mbPerSecond;
            totalTime[i] += 1.0 / m.mbPerSecond;  // time per MB, summed over the inputs
            std::printf("%-8s %-10s %10.1f %8.3f %11.2fx\n", inputName, settings[i].name, m.mbPerSecond,
                        m.compressedShare, m.mbPerSecond / zlibRate);
        }
    }
    std::printf("\nall inputs (one MB of each):\n");
    for (size_t i = 0; i < settings.size(); i++) {
        std::printf("%-10s %10.1f MB/s %11.2fx\n", settings[i].name, 5 / totalTime[i],
                    totalTime[0] / totalTime[i]);
    }
    return 0;
}
