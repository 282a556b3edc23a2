// entry_points.cpp - configuration, memory layout, start and abort of the engine's interface.
#include <cstring>
#include <ctime>
#include <new>

#include "engine/engine_state.h"
#include "engine/model_steps.h"

using namespace vantrel::engine;

namespace {

constexpr int32_t defaultBlockSize = 65536;

// Bytes one context slot needs: its records and their work areas.
uint64_t bytesPerThread()
{
    return uint64_t(recordsPerThread()) * (sizeof(ThreadContext) + engineState.contextMemorySize);
}

// Zeroes every count and record of the device and ends any stream a sample left open.
void resetEngineState()
{
    EngineState &e = engineState;
    e.zeroSamples = 0;
    e.nonZeroSamples = 0;
    e.measuredSamples = 0;
    e.finishedContexts = 0;
    if (e.result)
        *e.result = EngineResult{};
    e.abortRequested = 0;
    e.measureFailed = 0;
    e.status = ENGINE_STATUS_DONE;
    e.stopDecided = 0;
    if (!e.contexts)
        return;
    for (int32_t r = 0; r < e.threads * recordsPerThread(); r++) {
        ThreadContext &context = e.contexts[r];
        std::lock_guard<std::mutex> guard(context.lock);
        context.location = 0;
        context.regionBlock = 0;
        context.sampleBlocks = 0;
        context.zeroSamples = 0;
        context.nonZeroSamples = 0;
        context.compressedBytes = 0;
        context.inputBytes = 0;
        context.ratioSum = 0;
        if (context.stream.state)
            vdeflate::deflateEnd(&context.stream);
        context.arenaUsed = 0;
        context.stream.total_in = 0;
        context.stream.total_out = 0;
        context.stream.avail_in = zlibBlockSize;
        context.stream.avail_out = zlibBlockSize;
    }
}

// Whether any context's exhaustive range holds a block.
bool anyRangeToRead()
{
    for (int32_t c = 0; c < engineState.threads; c++)
        if (!isRangeExhausted(engineState.contexts[c]))
            return true;
    return false;
}

}  // namespace

extern "C" {

void VANTREL_CALL passGlobals(uint32_t maxNumSamples, uint32_t engineType, bool exhaustive,
                              uint64_t seed, int32_t blockSize, const double *adjustTable,
                              uint32_t adjustCount, LogCallback log, uint32_t dataCards,
                              uint32_t parityCards, uint32_t nodesPerCard, uint32_t stripeWidth)
{
    EngineState &e = engineState;
    e.maxNumSamples = maxNumSamples;
    e.engineType = engineType;
    e.logCallback = log;
    e.exhaustive = exhaustive;
    // Every size and location is a multiple of the block size; a block size that is not
    // positive would divide by zero, so the default takes its place.
    e.blockSize = blockSize > 0 ? blockSize : defaultBlockSize;
    e.adjustTable = adjustTable;
    e.adjustCount = adjustCount;
    e.dataCards = dataCards;
    e.parityCards = parityCards;
    e.nodesPerCard = nodesPerCard;
    e.stripeWidth = stripeWidth;
    // The record count and work-area size may change: the old layout is no longer valid.
    e.contexts = nullptr;
    if (isModelType(engineType))
        makeModelObject();
    e.seed = seed ? seed : static_cast<uint64_t>(std::time(nullptr));
    e.contextMemorySize = configuredContextMemorySize;
}

int32_t VANTREL_CALL vantrel_init(ReadRequestCallback readRequest, StatsEventCallback statsEvent,
                                  uint32_t threads, uint32_t *memoryNeeded)
{
    EngineState &e = engineState;
    e.readRequestCallback = readRequest;
    e.statsEventCallback = statsEvent;
    seedReadLocations(e.seed);
    e.threads = static_cast<int32_t>(threads);
    e.contexts = nullptr;  // lay out again for the new context count
    uint64_t need = uint64_t{threads} * bytesPerThread();
    if (memoryNeeded)
        *memoryNeeded = need > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(need);
    return 0;
}

int32_t VANTREL_CALL vantrel_set_memory(uint8_t *memory, uint32_t size)
{
    EngineState &e = engineState;
    e.contexts = nullptr;
    if (!memory)
        return 1;
    std::memset(memory, 0, size);
    const uint64_t need = bytesPerThread();
    if (size < need)
        return 1;
    const uint64_t fit = size / need;
    if (e.threads < 0 || uint64_t(e.threads) > fit)
        e.threads = static_cast<int32_t>(fit);
    const int32_t records = e.threads * recordsPerThread();
    auto *contexts = reinterpret_cast<ThreadContext *>(memory);
    uint8_t *workAreas = memory + size_t(records) * sizeof(ThreadContext);
    for (int32_t r = 0; r < records; r++) {
        ThreadContext *context = new (&contexts[r]) ThreadContext();
        context->workArea = workAreas + size_t(r) * e.contextMemorySize;
        context->arenaBase = context->workArea + zlibBlockSize;
        context->stream.next_out = context->workArea;
        context->stream.avail_in = zlibBlockSize;
        context->stream.avail_out = zlibBlockSize;
        context->stream.zalloc = arenaZalloc;
        context->stream.zfree = arenaZfree;
        context->stream.opaque = context;
    }
    e.contexts = contexts;
    return 0;
}

void VANTREL_CALL vantrel_threads_params(int32_t thread, int64_t firstByte, int64_t endByte)
{
    EngineState &e = engineState;
    if (!e.contexts || thread < 0 || thread >= e.threads)
        return;
    ThreadContext &context = e.contexts[thread];
    context.rangeStart = static_cast<uint64_t>(firstByte / e.blockSize);
    context.rangeEnd = static_cast<uint64_t>(endByte / e.blockSize);
}

int32_t VANTREL_CALL vantrel_start(uint32_t deviceId, uint64_t deviceSectors, EngineResult *result)
{
    EngineState &e = engineState;
    e.deviceId = deviceId;
    e.result = result;
    e.deviceBytes = deviceSectors * 512;
    resetEngineState();
    if (!e.contexts)  // no layout for this device: nothing to sample
        return 0;
    // Exhaustive mode: a context whose range is empty (a tiny device shared by many threads)
    // is finished here. Asking for a location past the end instead would make the caller stop
    // serving every context, and the pass would end before the other ranges were read. Only
    // when every range is empty are the past-the-end requests made, so the caller stops.
    const bool someRangeToRead = e.exhaustive && anyRangeToRead();
    for (int32_t c = 0; c < e.threads; c++) {
        if (someRangeToRead && isRangeExhausted(e.contexts[c])) {
            e.finishedContexts.fetch_add(1);
            continue;
        }
        uint64_t location = nextReadLocation(c);
        e.contexts[c].location = location;
        requestRead(c, location);
    }
    return 0;
}

int32_t VANTREL_CALL vantrel_abort(uint32_t /*unused*/)
{
    engineState.status = ENGINE_STATUS_ABORTED;
    int32_t expected = 0;
    return engineState.abortRequested.compare_exchange_strong(expected, 1) ? 0 : 3;
}

void VANTREL_CALL vantrel_startEx(uint32_t, uint32_t, uint32_t, uint32_t) {}

}  // extern "C"
