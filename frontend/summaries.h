// Summaries: turns the engine's per-context counts into a device's figures and adds devices into the run's totals.
#ifndef VANTREL_FRONTEND_SUMMARIES_H
#define VANTREL_FRONTEND_SUMMARIES_H

#include <cstdint>
#include <vector>

#include "engine/vantrel_engine.h"
#include "frontend/records.h"
#include "frontend/settings.h"

// Bytes per GiB: every size in the figures and reports is in units of 2^30 bytes.
constexpr double kBytesPerGiB = 1073741824.0;

// Mean ratio used in place of a ratio above 1 (data that grows) unless --allowNegativeComp.
constexpr double kRatioCap = 0.99999;

// Hoeffding accuracy bound for n samples and the inverse confidence deltaError:
// sqrt(ln(2 deltaError) / (2 n)). n = 0 gives infinity. Pure, thread-safe.
double accuracyBound(int64_t samples, double deltaError);

// The figures of one device from the statistics of its `count` engine contexts (`stats`),
// for a device of deviceBytes bytes. `zeroSavings` is the stripe model's zero fraction (read
// for KSM only). `kind`, `allowNegativeComp` and `deltaError` are the run settings. Resets
// `figures` first (deviceBytes stays) and fills counters, ratioSum and the five figures.
// Without samples the figures are not-a-number or infinite. Pure, thread-safe for distinct
// records.
void summarizeStats(const ContextStats *stats, int count, double zeroSavings, int64_t deviceBytes,
                    StorageType kind, bool allowNegativeComp, double deltaError,
                    Calculations *figures);

// Recomputes `figures` for the device being sampled from engine contexts 0 to threadCount - 1
// (vantrel_get_contextStats; for KSM also vantrel_get_zero_savings), with the current device's
// size deviceSizeBytes and the run settings. `flag` is not used. Returns `figures`. Main thread
// only, any time after the engine's memory is laid out.
Calculations *summarize(int threadCount, Calculations *figures, int flag);

// Recomputes the percentages of the run's totals from their summed sizes: compression savings
// of the summed compressed size over the summed non-zero size, thin-provisioning savings of the
// summed non-zero size over the summed device size. accuracyPct is left as it is (0). Returns
// `totals`. Pure.
Calculations *finaliseTotals(Calculations *totals);

// Whether `figures` hold a result: a non-zero sample counted and at least one sample measured
// (input credited). The compression figures of a device without a measured sample are not
// measurements. Pure, thread-safe.
bool hasMeasuredSamples(const Calculations &figures);

// Whether a device of a batch falls short of the run's sample target (settings maxNumSamples),
// which leaves it out of the totals: never in an exhaustive pass, which reads each device to its
// end. Reads the settings; main thread.
bool belowSampleTarget(const Calculations &figures);

// True when every record's `finished` flag is set; true for an empty vector. Reads the atomic
// flags, so it may run while the sampler threads work.
bool allThreadsFinished(const std::vector<threadWorkData *> &records);

#endif
