// engine_state.cpp - the process-wide engine state, its defaults, the arena and shared helpers.
#include "engine/engine_state.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vantrel::engine {

// Constant-initialised: every field holds its default before any code of the program runs.
EngineState engineState;

void initEngineDefaults()
{
    EngineState &e = engineState;
    e.readRequestCallback = nullptr;
    e.statsEventCallback = nullptr;
    e.logCallback = nullptr;
    e.maxNumSamples = 3400;
    e.engineType = ENGINE_TYPE_7_3;
    e.exhaustive = false;
    e.seed = 0;
    e.blockSize = 65536;
    e.compUnitSize = ENGINE_SAMPLE_UNIT_BYTES;
    e.contextMemorySize = defaultContextMemorySize;
    e.deltaError = 1e7;
    e.dataCards = e.parityCards = e.nodesPerCard = 0;
    e.stripeWidth = 0;
    e.adjustTable = nullptr;
    e.adjustCount = 0;
    e.threads = 0;
    e.deviceId = 0;
    e.deviceBytes = 0;
    e.contexts = nullptr;
    e.result = nullptr;
    e.status = ENGINE_STATUS_DONE;
    e.abortRequested = 0;
    e.measureFailed = 0;
    e.stopDecided = 0;
    e.zeroSamples = 0;
    e.nonZeroSamples = 0;
    e.measuredSamples = 0;
    e.finishedContexts = 0;
    std::lock_guard<std::mutex> guard(e.generatorLock);
    e.generator.reset();
}

int32_t unitBlocks()
{
    // regionBlock counts up to this many blocks in 16 bits, so small blocks are capped there.
    int32_t blocks = engineState.compUnitSize / engineState.blockSize;
    return std::clamp<int32_t>(blocks, 1, std::numeric_limits<int16_t>::max());
}

// Hands out the next bytes of the context's arena. Each allocation is aligned to 16 bytes so
// the library's records and arrays are properly aligned; a request past the arena's end gets
// null (the library then reports Z_MEM_ERROR) instead of memory beyond the work area.
void *arenaZalloc(void *opaque, uint32_t items, uint32_t size)
{
    auto *context = static_cast<ThreadContext *>(opaque);
    uint64_t start = (uint64_t{context->arenaUsed} + 15) & ~uint64_t{15};
    uint64_t end = start + uint64_t{items} * size;
    uint64_t arenaSize = engineState.contextMemorySize - zlibBlockSize;
    if (end > arenaSize)
        return nullptr;
    context->arenaUsed = static_cast<uint32_t>(end);
    return context->arenaBase + start;
}

// The library releases all of a stream's blocks together in deflateEnd, so any release
// empties the whole arena.
void arenaZfree(void *opaque, void * /*address*/)
{
    static_cast<ThreadContext *>(opaque)->arenaUsed = 0;
}

void requestRead(int32_t c, uint64_t location)
{
    engineState.readRequestCallback(engineState.deviceId, location / 512,
                                    static_cast<uint32_t>(engineState.blockSize / 512),
                                    static_cast<uint32_t>(c));
}

void logLine(const char *text, uint32_t level, int32_t c)
{
    LogCallback log = engineState.logCallback;
    if (log)
        log(text, static_cast<uint32_t>(std::strlen(text)), level, static_cast<uint32_t>(c));
}

}  // namespace vantrel::engine
