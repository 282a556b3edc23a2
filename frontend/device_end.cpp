// Device end: the short-read and very-empty lines and the reasons a device yields no figures.
#include "frontend/device_end.h"

#include "frontend/summaries.h"

namespace {

constexpr double kVeryEmptyPct = 95.0;

// Why a device without figures has none.
std::string noFiguresReason(const Calculations &figures, const DeviceEnd &end)
{
    if (figures.deviceBytes < uint64_t(end.blockSize)) {
        return "it is smaller than one block (" + std::to_string(end.blockSize) + " bytes)";
    }
    if (figures.nonZeroBlocks + figures.zeroBlocks == 0) {
        return end.readsFailed ? "every read of it failed" : "no block of it could be sampled";
    }
    // -e skips the last block of each sampler thread's range: data there was never seen.
    if (end.exhaustive && figures.nonZeroBlocks == 0) {
        return "every block read was zero (-e does not read the last block of each sampler thread's range)";
    }
    // Measured, yet a batch keeps no device without a compressed size (the stripe model's
    // zero savings take a device whose every stripe is zero down to 0 GB).
    if (hasMeasuredSamples(figures) && figures.compressedGB == 0) return "its compressed size is 0";
    return "no sample was measured to its end";
}

}  // namespace

bool isVeryEmpty(const Calculations &figures)
{
    // Not-a-number without samples compares false.
    return figures.thinProvisioningPct > kVeryEmptyPct;
}

std::string deviceEndNote(const Calculations &figures, const std::string &name, const DeviceEnd &end)
{
    // A short read that cut the sampling short: the figures hold only what came before it. Other
    // threads may still have reached the target, or the stop rule ended the device.
    if (end.shortReadOffset && !end.stoppedEarly && !end.reachedTarget) {
        return "The sampling of the device (" + name + ") ended early at byte offset " +
               std::to_string(*end.shortReadOffset) + ", after " + std::to_string(figures.nonZeroBlocks) +
               " samples: a read returned fewer bytes than asked.";
    }
    // The estimate from a share of the device: an exhaustive run has read all of it.
    if (!end.exhaustive && isVeryEmpty(figures) && (end.stoppedEarly || !end.yieldsFigures)) {
        return "Over 95% of the samples read from the device (" + name +
               ") are empty regions. Device is estimated to be very empty, aborting scan.";
    }
    if (end.yieldsFigures) return "";
    return "No figures for the device (" + name + "): " + noFiguresReason(figures, end) + ".";
}
