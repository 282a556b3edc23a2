// statistics.cpp - per-context figures while sampling runs, and the final record of a device.
#include <cmath>

#include "engine/engine_state.h"
#include "engine/model_steps.h"

namespace vantrel::engine {

double countedRatioSum(double measuredSum, int64_t counted)
{
    const long measured = engineState.measuredSamples.load();
    if (measured <= 0)
        return measuredSum;
    return measuredSum * double(counted) / double(measured);
}

void readContextStats(int32_t c, ContextStats *stats)
{
    ThreadContext &context = engineState.contexts[c];
    std::lock_guard<std::mutex> guard(context.lock);
    stats->nonZeroSamples = context.nonZeroSamples;
    stats->zeroSamples = context.zeroSamples;
    stats->inputBytes = context.inputBytes;
    stats->compressedBytes = context.compressedBytes;
    // A sample still open (or dropped) is counted but has no ratio: scaling by the engine-wide
    // counts lets the contexts' sums, divided by their counted samples, give the mean ratio of
    // the measured samples, whatever the number of contexts holding one open.
    stats->ratioSum = countedRatioSum(context.ratioSum, engineNonZeroSamples());
    if (isModelType(engineState.engineType))
        modelContextStats(stats);
}

void finalizeEngineResult()
{
    EngineState &e = engineState;
    EngineResult record{};
    int64_t nonZeros = 0, zeros = 0;
    for (int32_t c = 0; c < e.threads; c++) {
        ThreadContext &context = e.contexts[c];
        std::lock_guard<std::mutex> guard(context.lock);
        nonZeros += context.nonZeroSamples;
        zeros += context.zeroSamples;
        record.ratioSum += context.ratioSum;
    }
    record.ratioSum = countedRatioSum(record.ratioSum, nonZeros);
    if (isModelType(e.engineType))
        modelFinalRatio(&record, nonZeros);
    record.zeroSamples = static_cast<uint64_t>(zeros);
    record.nonZeroSamples = static_cast<uint64_t>(nonZeros);
    const int64_t n = zeros + nonZeros;

    // With nothing sampled the sizes are 0 and the accuracy is no better than 100 percent.
    if (!modelNonZeroSectors(&record) && n > 0)
        record.nonZeroSectors = static_cast<uint64_t>(double(e.deviceBytes) * (double(nonZeros) / double(n)) * (1.0 / 512));
    if (nonZeros > 0) {
        record.compressedSectors = static_cast<uint64_t>(double(record.nonZeroSectors) * record.ratioSum / double(nonZeros));
        record.accuracyPercent = 100.0 * std::sqrt(-std::log(0.5 / e.deltaError) / (2.0 * double(nonZeros)));
    } else {
        record.accuracyPercent = 100.0;
    }
    if (e.result)
        *e.result = record;
}

}  // namespace vantrel::engine

extern "C" void VANTREL_CALL vantrel_get_contextStats(uint32_t thread, ContextStats *stats)
{
    using namespace vantrel::engine;
    if (!stats)
        return;
    if (!engineState.contexts || thread >= uint32_t(engineState.threads)) {
        *stats = ContextStats{};
        return;
    }
    readContextStats(static_cast<int32_t>(thread), stats);
}
