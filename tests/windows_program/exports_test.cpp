// The Windows program's exported engine: each ordinal names the right entry point under its
// decorated name, and a small device runs to a normal end through the entry points looked up by
// ordinal, with standard-call callbacks, as a caller that links to the program would drive it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "engine/vantrel_engine.h"

namespace {

HMODULE self() { return GetModuleHandleW(nullptr); }

FARPROC byOrdinal(int ordinal) { return GetProcAddress(self(), MAKEINTRESOURCEA(ordinal)); }

// Casts a looked-up address to the entry point's own type.
template <typename Function>
Function *entry(int ordinal, Function *)
{
    return reinterpret_cast<Function *>(reinterpret_cast<void *>(byOrdinal(ordinal)));
}

template <typename Function>
void *address(Function *function)
{
    return reinterpret_cast<void *>(function);
}

TEST(Exports, EachOrdinalIsItsEntryPointUnderItsDecoratedName)
{
    const struct {
        int ordinal;
        const char *name;
        void *function;
    } table[] = {
        {1, "_vantrel_abort@4", address(&vantrel_abort)},
        {2, "_vantrel_get_contextStats@8", address(&vantrel_get_contextStats)},
        {3, "_vantrel_get_zero_savings@0", address(&vantrel_get_zero_savings)},
        {4, "_vantrel_init@16", address(&vantrel_init)},
        {5, "_vantrel_read_done@28", address(&vantrel_read_done)},
        {6, "_vantrel_set_memory@8", address(&vantrel_set_memory)},
        {7, "_vantrel_start@16", address(&vantrel_start)},
        {8, "_vantrel_startEx@16", address(&vantrel_startEx)},
        {9, "_vantrel_threads_params@20", address(&vantrel_threads_params)},
        {10, "_passGlobals@52", address(&passGlobals)},
    };
    for (const auto &e : table) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(reinterpret_cast<void *>(byOrdinal(e.ordinal)), e.function);
        EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(self(), e.name)), e.function);
    }
    EXPECT_EQ(byOrdinal(11), nullptr);
    EXPECT_EQ(GetProcAddress(self(), "passGlobals"), nullptr) << "only the decorated names are exported";
}

// The caller's side of one device: its requests, what it was told, and the device's bytes.
struct Caller {
    struct Request {
        uint64_t sector;
        uint32_t sectors, thread;
    };
    static std::deque<Request> requests;
    static std::vector<uint32_t> eventCodes;
    static uint32_t eventBytesIn;
    static std::vector<std::string> logLines;

    static int32_t VANTREL_CALL onRead(uint32_t deviceId, uint64_t sector, uint32_t sectors, uint32_t thread)
    {
        EXPECT_EQ(deviceId, 1234u);
        requests.push_back({sector, sectors, thread});
        return 0;
    }
    static void VANTREL_CALL onEvent(uint32_t code, int32_t, uint32_t, uint32_t, uint32_t c, uint32_t)
    {
        eventCodes.push_back(code);
        eventBytesIn += c;
    }
    static void VANTREL_CALL onLog(const char *text, uint32_t length, uint32_t, uint32_t)
    {
        logLines.emplace_back(text, length);
    }
};
std::deque<Caller::Request> Caller::requests;
std::vector<uint32_t> Caller::eventCodes;
uint32_t Caller::eventBytesIn = 0;
std::vector<std::string> Caller::logLines;

// Text-like bytes: words from a small alphabet, which deflate shrinks.
std::vector<uint8_t> textImage(size_t size)
{
    std::vector<uint8_t> image(size);
    uint32_t x = 12345;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        image[i] = (x >> 16) % 9 == 0 ? ' ' : static_cast<uint8_t>('a' + (x >> 20) % 6);
    }
    return image;
}

TEST(Exports, ASmallDeviceRunsToANormalEndThroughTheOrdinals)
{
    auto *setGlobals = entry(10, &passGlobals);
    auto *init = entry(4, &vantrel_init);
    auto *setMemory = entry(6, &vantrel_set_memory);
    auto *threadsParams = entry(9, &vantrel_threads_params);
    auto *start = entry(7, &vantrel_start);
    auto *startEx = entry(8, &vantrel_startEx);
    auto *readDone = entry(5, &vantrel_read_done);
    auto *contextStats = entry(2, &vantrel_get_contextStats);
    auto *zeroSavings = entry(3, &vantrel_get_zero_savings);
    auto *abortRun = entry(1, &vantrel_abort);

    const uint32_t blockSize = 65536, samples = 12;
    const std::vector<uint8_t> image = textImage(16 * blockSize);

    setGlobals(samples, ENGINE_TYPE_6_4, false, 7, blockSize, nullptr, 0, &Caller::onLog, 0, 0, 0, 0);
    uint32_t need = 0;
    ASSERT_EQ(init(&Caller::onRead, &Caller::onEvent, 1, &need), 0);
    ASSERT_GT(need, 0u);
    std::vector<uint8_t> memory(need);
    ASSERT_EQ(setMemory(memory.data(), need), 0);
    threadsParams(0, 0, static_cast<int64_t>(image.size()));
    startEx(0, 0, 0, 0);
    EngineResult result{};
    ASSERT_EQ(start(1234, image.size() / 512, &result), 0);

    // Serve the requests as a front end's sampler would, on this one thread.
    int32_t status = 0;
    while (status == 0 && !Caller::requests.empty()) {
        const Caller::Request r = Caller::requests.front();
        Caller::requests.pop_front();
        const uint64_t offset = r.sector * 512, length = uint64_t(r.sectors) * 512;
        ASSERT_EQ(r.thread, 0u);
        ASSERT_LE(offset + length, image.size()) << "a sampled read stays on the device";
        status = readDone(1234, r.thread, 0, length, image.data() + offset, 2);
    }

    EXPECT_EQ(status, ENGINE_STATUS_DONE);
    EXPECT_EQ(result.nonZeroSamples, samples);
    EXPECT_EQ(result.zeroSamples, 0u);
    EXPECT_EQ(result.nonZeroSectors, image.size() / 512);
    EXPECT_GT(result.compressedSectors, 0u);
    EXPECT_LT(result.compressedSectors, result.nonZeroSectors);
    ContextStats stats{};
    contextStats(0, &stats);
    EXPECT_EQ(stats.nonZeroSamples, int64_t(samples));
    EXPECT_GT(stats.inputBytes, 0u);
    // Every argument of the six-argument callback arrived: one sample event per sample, whose
    // input bytes add up to the context's.
    EXPECT_EQ(Caller::eventCodes, std::vector<uint32_t>(samples, STATS_EVENT_SAMPLE));
    EXPECT_EQ(Caller::eventBytesIn, stats.inputBytes);
    EXPECT_FALSE(Caller::logLines.empty());
    EXPECT_EQ(zeroSavings(), 0.0);
    EXPECT_EQ(abortRun(0), 0);
    EXPECT_EQ(abortRun(0), 3);
}

}  // namespace
