// Device end: the very-empty line and the reasons a device yields no figures.
#include "frontend/device_end.h"

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
    if (isVeryEmpty(figures) && (end.stoppedEarly || !end.yieldsFigures)) {
        return "Over 95% of the samples read from the device (" + name +
               ") are empty regions. Device is estimated to be very empty, aborting scan.";
    }
    if (end.yieldsFigures) return "";
    return "No figures for the device (" + name + "): " + noFiguresReason(figures, end) + ".";
}
