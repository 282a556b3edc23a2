// read_done.cpp - the sampling state machine: one call per block the caller has read.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/engine_state.h"
#include "engine/model_steps.h"

namespace vantrel::engine {

int32_t shouldStopSampling()
{
    if (engineState.engineType == ENGINE_TYPE_TARNEL)
        return 0;
    const int32_t zeros = engineZeroSamples();
    const int32_t nonZeros = engineNonZeroSamples();
    if (zeros <= 0)
        return 0;
    const int64_t n = int64_t{zeros} + nonZeros;
    const double eps = std::sqrt(hoeffdingLogTerm / (2.0 * n));
    const int64_t zeroPercent = static_cast<int64_t>(100.0 * (1.0 - double(nonZeros) / double(n)));
    const int64_t bound = static_cast<int64_t>(100.0 * eps);
    const bool veryEmpty = zeroPercent - bound > EARLY_STOP_MARGIN && zeros > int64_t{engineState.maxNumSamples};
    if (!veryEmpty && n <= EARLY_STOP_SAMPLE_CAP)
        return 0;
    int32_t expected = 0;
    return engineState.stopDecided.compare_exchange_strong(expected, 1) ? 1 : 2;
}

bool isRangeExhausted(const ThreadContext &context)
{
    return context.rangeStart + context.cursor >= context.rangeEnd;
}

bool isZeroBlock(const uint8_t *buffer, int32_t length)
{
    // Zero when the first byte is zero and every byte equals its successor.
    if (length <= 0)
        return true;
    return buffer[0] == 0 && std::memcmp(buffer, buffer + 1, size_t(length) - 1) == 0;
}

}  // namespace vantrel::engine

using namespace vantrel::engine;

namespace {

// Counts context c as finished; the last one fills the final record and returns the status.
int32_t finishContext()
{
    long finished = engineState.finishedContexts.fetch_add(1) + 1;
    if (finished != engineState.threads)
        return 0;
    finalizeEngineResult();
    return engineState.measureFailed.load() ? ENGINE_STATUS_MEASURE_FAILED : engineState.status.load();
}

// A block that could not be measured ends the device: its figures would leave out what the
// block holds, or count it as measured when it was not. Every context finishes at its next
// call; this one finishes now.
int32_t endUnmeasured()
{
    engineState.measureFailed = 1;
    engineState.abortRequested = 1;
    return finishContext();
}

int32_t measureBlock(int32_t c, int32_t *measureState, const uint8_t *buffer)
{
    if (engineState.engineType == ENGINE_TYPE_7_3)
        return measureTwoStreams(c, measureState, buffer);
    return measureStream(c, measureState, buffer);
}

// Ends the open sample's bookkeeping and asks for a new start location, all under the lock.
// The next read may be served on another thread at once, so the state changes come first.
int32_t startOver(int32_t c)
{
    ThreadContext &context = engineState.contexts[c];
    std::lock_guard<std::mutex> guard(context.lock);
    context.regionBlock = 0;
    context.location = nextReadLocation(c);
    requestRead(c, context.location);
    return 0;
}

// Counts one sample of context c, in the context (under its lock) and engine-wide. A non-zero
// block either opens a sample or, in exhaustive mode, adds a block to the open one.
void countSample(ThreadContext &context, bool zero)
{
    {
        std::lock_guard<std::mutex> guard(context.lock);
        if (zero) {
            context.zeroSamples += 1;
        } else {
            context.nonZeroSamples += 1;
            context.sampleBlocks = context.regionBlock == 0 ? 1 : context.sampleBlocks + 1;
        }
    }
    (zero ? engineState.zeroSamples : engineState.nonZeroSamples).fetch_add(1);
}

// Moves the open sample on to its next block; in exhaustive mode the block comes off the range.
uint64_t stepToNextBlock(ThreadContext &context)
{
    uint64_t next = context.location + uint64_t(context.regionBlock) * uint64_t(engineState.blockSize);
    context.regionBlock += 1;
    if (engineState.exhaustive) {
        std::lock_guard<std::mutex> guard(context.lock);
        context.cursor += 1;
    }
    return next;
}

void reportCompressionError(int32_t c, int32_t r)
{
    char text[64];
    std::snprintf(text, sizeof text, "Compression error: (%" PRId32 ")", r);
    logLine(text, 0, c);
    if (StatsEventCallback stats = engineState.statsEventCallback)
        stats(STATS_EVENT_COMPRESSION_ERROR, r,
              static_cast<uint32_t>(engineState.contexts[c].location / uint64_t(engineState.blockSize)),
              static_cast<uint32_t>(c), static_cast<uint32_t>(engineZeroSamples()),
              static_cast<uint32_t>(engineNonZeroSamples()));
}

// The deflate types: zero blocks, opening a sample, and feeding it block by block.
int32_t sampleDeflateBlock(int32_t c, const uint8_t *buffer, bool zero)
{
    ThreadContext &context = engineState.contexts[c];
    const bool exhaustive = engineState.exhaustive;
    if (context.regionBlock == 0) {
        countSample(context, zero);
        if (zero) {
            context.location = nextReadLocation(c);
            requestRead(c, context.location);
            return 0;
        }
        context.regionBlock = 1;
    }

    uint64_t next;
    if (zero && context.regionBlock < unitBlocks()) {
        // A zero block inside a sample is skipped; only an exhaustive pass counts it.
        if (exhaustive)
            countSample(context, true);
        next = stepToNextBlock(context);
    } else {
        int32_t measureState = MEASURE_SAMPLE_ENDED;
        int32_t r = measureBlock(c, &measureState, buffer);
        if (r < 0)
            reportCompressionError(c, r);
        if (measureState != MEASURE_NEEDS_NEXT_BLOCK)
            return startOver(c);
        if (exhaustive)
            countSample(context, false);
        next = stepToNextBlock(context);
    }

    if (next + uint64_t(engineState.blockSize) > engineState.deviceBytes) {
        // The device ends before the sample's next block: close the sample as it stands.
        int32_t measureState = MEASURE_CLOSE;
        measureBlock(c, &measureState, buffer);
        return startOver(c);
    }
    requestRead(c, next);
    return 0;
}

}  // namespace

extern "C" int32_t VANTREL_CALL vantrel_read_done(uint32_t deviceId, uint32_t thread, uint32_t readError,
                                                  uint64_t bytesRead, const uint8_t *buffer,
                                                  uint32_t zeroTest)
{
    EngineState &e = engineState;
    // A call for a context that does not exist would touch memory outside the layout.
    if (!e.contexts || thread >= uint32_t(e.threads))
        return 0;
    const int32_t c = static_cast<int32_t>(thread);
    ThreadContext &context = e.contexts[c];

    if (e.abortRequested.load())
        return finishContext();
    if (deviceId != e.deviceId) {
        e.status = ENGINE_STATUS_WRONG_DEVICE;
        return finishContext();
    }
    if (readError != 0) {
        const uint64_t next = nextReadLocation(c);
        // Exhaustive mode: the failed block was the range's last, so the range is used up, just
        // as when that block arrives. Asking for a location past the end instead would leave
        // the context unfinished (no final record) and makes a front end stop every reader.
        if (next == END_OF_RANGE)
            return finishContext();
        context.location = next;
        requestRead(c, next);
        return 0;
    }
    if (bytesRead != uint64_t(e.blockSize)) {
        e.status = ENGINE_STATUS_SHORT_READ;
        return finishContext();
    }
    if (shouldStopSampling() != 0 && !e.exhaustive) {
        e.status = ENGINE_STATUS_EARLY_STOP;
        return finishContext();
    }
    if (e.exhaustive) {
        if (isRangeExhausted(context))
            return finishContext();
    } else if (static_cast<uint32_t>(engineNonZeroSamples()) >= e.maxNumSamples) {
        return finishContext();
    }

    if (e.logCallback) {
        char text[96];
        std::snprintf(text, sizeof text, "Read location: %" PRIu64 " rc:%" PRIu32 " bytes read :%" PRIu64,
                      context.location, readError, bytesRead);
        logLine(text, 3, c);
    }
    if (isModelType(e.engineType))
        return measureModelBlock(c, buffer) ? 0 : endUnmeasured();
    const bool zero = zeroTest >= 2 ? isZeroBlock(buffer, e.blockSize) : zeroTest == 1;
    return sampleDeflateBlock(c, buffer, zero);
}
