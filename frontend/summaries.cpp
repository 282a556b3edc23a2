// Summaries: a device's figures from the engine's counts, the run's totals and the finished test.
#include "frontend/summaries.h"

#include <cmath>

#include "frontend/run_state.h"

double accuracyBound(int64_t samples, double deltaError)
{
    const double doubled = static_cast<double>(2 * samples);
    return std::sqrt(-std::log(0.5 / deltaError) / doubled);
}

void summarizeStats(const ContextStats *stats, int count, double zeroSavings, int64_t deviceBytes,
                    StorageType kind, bool allowNegativeComp, double deltaError,
                    Calculations *figures)
{
    const bool model = kind == STORAGE_KSM;
    figures->reset();
    for (int c = 0; c < count; c++) {
        const ContextStats &s = stats[c];
        figures->nonZeroBlocks += s.nonZeroSamples;
        figures->zeroBlocks += s.zeroSamples;
        figures->inputBytes += s.inputBytes;
        figures->compressedBytes += s.compressedBytes;
        if (s.nonZeroSamples >= 1) {
            // The stripe model reports one overall ratio, the same in every context.
            figures->ratioSum = model ? s.ratioSum : figures->ratioSum + s.ratioSum;
        }
    }

    const double nonZero = static_cast<double>(figures->nonZeroBlocks);
    const double total = static_cast<double>(figures->nonZeroBlocks + figures->zeroBlocks);
    const double sizeGiB = static_cast<double>(deviceBytes) / kBytesPerGiB;
    if (model) {
        figures->sizeGB = sizeGiB * (1.0 - zeroSavings);
        figures->thinProvisioningPct = 100.0 * zeroSavings;
    } else {
        figures->sizeGB = sizeGiB * nonZero / total;
        figures->thinProvisioningPct = (1.0 - nonZero / total) * 100.0;
    }

    double ratio = model ? figures->ratioSum : figures->ratioSum / nonZero;
    if (ratio > 1.0 && !allowNegativeComp) ratio = kRatioCap;
    figures->compressedGB = figures->sizeGB * ratio;
    figures->compressionPct = (1.0 - ratio) * 100.0;

    const double accuracy = 100.0 * accuracyBound(figures->nonZeroBlocks, deltaError);
    figures->accuracyPct = accuracy > 100.0 ? 100.0 : accuracy;
}

Calculations *summarize(int threadCount, Calculations *figures, int /*flag*/)
{
    std::vector<ContextStats> stats(threadCount > 0 ? threadCount : 0);
    for (int c = 0; c < threadCount; c++) vantrel_get_contextStats(c, &stats[c]);
    const double zeroSavings = settings.storageSys == STORAGE_KSM ? vantrel_get_zero_savings() : 0.0;
    summarizeStats(stats.data(), threadCount, zeroSavings, deviceSizeBytes, settings.storageSys,
                   settings.allowNegativeComp, settings.deltaError, figures);
    return figures;
}

Calculations *finaliseTotals(Calculations *totals)
{
    totals->compressionPct = (1.0 - totals->compressedGB / totals->sizeGB) * 100.0;
    const double deviceGiB = static_cast<double>(totals->deviceBytes) / kBytesPerGiB;
    totals->thinProvisioningPct = (1.0 - totals->sizeGB / deviceGiB) * 100.0;
    return totals;
}

bool hasMeasuredSamples(const Calculations &figures)
{
    return figures.nonZeroBlocks >= 1 && figures.inputBytes > 0;
}

bool belowSampleTarget(const Calculations &figures)
{
    return !settings.exhaustive && figures.nonZeroBlocks < int64_t(settings.maxNumSamples);
}

bool allThreadsFinished(const std::vector<threadWorkData *> &records)
{
    for (const threadWorkData *record : records) {
        if (!record->finished.load()) return false;
    }
    return true;
}
