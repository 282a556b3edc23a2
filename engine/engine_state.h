// engine_state.h - the engine's process-wide state, its per-context record and internal steps.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "deflate/deflate.h"
#include "engine/mt19937_64.h"
#include "engine/vantrel_engine.h"

namespace orvane::tessaline::kbx::tarnel {
class Tarnel;
class Zov;
}  // namespace orvane::tessaline::kbx::tarnel

namespace vantrel::engine {

constexpr uint32_t zlibBlockSize = 32768;          // deflate output buffer at the start of a work area
constexpr int32_t sliceSize = 32768;               // input handed to deflate per call
constexpr uint32_t defaultContextMemorySize = 262144;
constexpr uint32_t configuredContextMemorySize = 393216;
constexpr uint64_t END_OF_RANGE = ~0ULL;           // a context's exhaustive range is used up
constexpr double hoeffdingLogTerm = 16.811242831518264;  // ln(2 x 10^7), fixed for the stop rule
constexpr int EARLY_STOP_MARGIN = 94;
constexpr int64_t EARLY_STOP_SAMPLE_CAP = 70000;

// One sampling context. Records live in the caller's memory, laid out by vantrel_set_memory.
struct ThreadContext {
    uint8_t *workArea = nullptr;   // output buffer (zlibBlockSize bytes), then the arena
    uint64_t location = 0;         // first block of the open sample, else the block requested last
    uint64_t rangeStart = 0;       // exhaustive range: first block
    uint64_t rangeEnd = 0;         // exhaustive range: block past the end
    uint64_t cursor = 0;           // blocks of the range handed out so far
    int16_t regionBlock = 0;       // 0: no sample open; else blocks the open sample spans
    uint8_t *arenaBase = nullptr;  // workArea + zlibBlockSize
    uint32_t arenaUsed = 0;
    int32_t zeroSamples = 0;
    int32_t nonZeroSamples = 0;
    uint64_t compressedBytes = 0;
    uint64_t inputBytes = 0;
    vdeflate::z_stream stream = {};
    double ratioSum = 0;
    uint16_t overflowSeen = 0;     // two-stream measurement: the last sample overflowed
    int32_t sampleBlocks = 0;      // exhaustive mode: non-zero samples the open sample counted
    std::mutex lock;               // guards counters, stream and sample state
};

struct EngineState {
    ReadRequestCallback readRequestCallback = nullptr;
    StatsEventCallback statsEventCallback = nullptr;
    LogCallback logCallback = nullptr;
    uint32_t maxNumSamples = 3400;
    uint32_t engineType = ENGINE_TYPE_7_3;
    bool exhaustive = false;
    uint64_t seed = 0;
    int32_t blockSize = 65536;
    int32_t compUnitSize = ENGINE_SAMPLE_UNIT_BYTES;
    uint32_t contextMemorySize = defaultContextMemorySize;
    double deltaError = 1e7;
    uint32_t dataCards = 0, parityCards = 0, nodesPerCard = 0;
    uint32_t stripeWidth = 0;
    const double *adjustTable = nullptr;
    uint32_t adjustCount = 0;
    orvane::tessaline::kbx::tarnel::Tarnel *tarnelModel = nullptr;
    orvane::tessaline::kbx::tarnel::Zov *zovModel = nullptr;
    int32_t threads = 0;
    uint32_t deviceId = 0;
    uint64_t deviceBytes = 0;
    ThreadContext *contexts = nullptr;  // null while no valid layout exists
    EngineResult *result = nullptr;
    std::atomic<int32_t> status{ENGINE_STATUS_DONE};
    std::atomic<int32_t> abortRequested{0};
    // A block could not be measured: the device ends with ENGINE_STATUS_MEASURE_FAILED, whatever
    // status another context stores meanwhile.
    std::atomic<int32_t> measureFailed{0};
    std::atomic<int32_t> stopDecided{0};
    // The counters change on every sample: a cache line of their own keeps the settings above,
    // which every call reads, from bouncing between the sampler threads.
    alignas(64) std::atomic<long> zeroSamples{0};
    std::atomic<long> nonZeroSamples{0};
    // Non-zero samples whose ratio was credited (in exhaustive mode each with the weight of its
    // counted blocks); the rest were still open when their context finished, or were dropped.
    std::atomic<long> measuredSamples{0};
    std::atomic<long> finishedContexts{0};
    alignas(64) std::mutex generatorLock;
    Mt19937_64 generator;
};

extern EngineState engineState;

// Restores every setting, counter and the generator to their program-start values. Model objects
// are not touched. Call only while no other engine call runs.
void initEngineDefaults();

// Records per context slot: 2 for the two-stream type (twin contexts), else 1.
inline int recordsPerThread() { return engineState.engineType == ENGINE_TYPE_7_3 ? 2 : 1; }

// Engine-wide counters read as the signed 32-bit values every decision uses.
inline int32_t engineZeroSamples() { return static_cast<int32_t>(engineState.zeroSamples.load()); }
inline int32_t engineNonZeroSamples() { return static_cast<int32_t>(engineState.nonZeroSamples.load()); }

// Blocks a deflate sample may span (1 to 32767).
int32_t unitBlocks();

// Arena callbacks for the context streams (opaque is the ThreadContext).
void *arenaZalloc(void *opaque, uint32_t items, uint32_t size);
void arenaZfree(void *opaque, void *address);

// Seeds the read-location generator from `seed` (four derived keys). Takes the generator lock.
void seedReadLocations(uint64_t seed);
// Next start location of context c (a byte offset), or END_OF_RANGE in exhaustive mode.
uint64_t nextReadLocation(int32_t c);
// One draw on [0, 1] under the generator lock.
double drawUnitReal1();

// Issues the read request for context c at byte offset `location`.
void requestRead(int32_t c, uint64_t location);
// Logs `text` at `level` for context c when a log callback is set.
void logLine(const char *text, uint32_t level, int32_t c);

// Deflate measurement of one block of context c's open sample; see measure.cpp.
int32_t measureStream(int32_t c, int32_t *measureState, const uint8_t *buffer);
int32_t measureTwoStreams(int32_t c, int32_t *measureState, const uint8_t *buffer);
// The input credited to a two-stream sample that gained nothing (0 < in <= out): lowered so
// that the ratio becomes out / in + 0.02, computed in single precision as the target does.
unsigned long noGainInput(unsigned long in, unsigned long out);

// Statistics: one context's figures, and the final record of a device.
// The ratio sum that stands for `counted` non-zero samples when the measured samples' ratios sum
// to `measuredSum`: scaled by counted / measured, so that dividing it by the counted samples
// gives the mean ratio of the measured ones. Unchanged while no sample is measured.
double countedRatioSum(double measuredSum, int64_t counted);
void readContextStats(int32_t c, ContextStats *stats);
void finalizeEngineResult();

// The stop rule: 0 go on, 1 first stop, 2 a further stop.
int32_t shouldStopSampling();
bool isRangeExhausted(const ThreadContext &context);
bool isZeroBlock(const uint8_t *buffer, int32_t length);

}  // namespace vantrel::engine
