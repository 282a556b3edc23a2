// Device end: the line that tells why a sampled device has no figures, that it is very empty, or
// that its sampling ended early on a short read.
#ifndef VANTREL_FRONTEND_DEVICE_END_H
#define VANTREL_FRONTEND_DEVICE_END_H

#include <cstdint>
#include <optional>
#include <string>

#include "frontend/records.h"

// How one device's sampling ended, as the main road saw it.
struct DeviceEnd {
    bool yieldsFigures;  // the device gets a result row (a batch also keeps it for its summary)
    bool stoppedEarly;   // a sampled run that the engine ended with its stop rule
    bool readsFailed;    // at least one read of the device failed (and was tolerated)
    int32_t blockSize;   // the bytes of one block the engine samples (KSM: a stripe's data strips)
    bool exhaustive;     // an exhaustive run: the device was read block by block to its end
    // The byte offset of the first read inside the device that returned fewer bytes than
    // asked, which ended that read's share of the sampling; none when every read was whole.
    std::optional<uint64_t> shortReadOffset;
    bool reachedTarget;  // a sampled run whose figures reached the sample target
};

// Whether `figures` show a device in fact empty: over 95 percent of it in zero regions (the
// thin-provisioning share). False without samples. Pure, thread-safe.
bool isVeryEmpty(const Calculations &figures);

// The line to write for the device `name` whose final figures are `figures` (deviceBytes is
// its size), or "" when none is due:
// - "The sampling of the device (<name>) ended early at byte offset <offset>, after <n>
//   samples: a read returned fewer bytes than asked." when a read inside the device came back
//   short and the sampling fell short of its target for it (not ended by the stop rule; an
//   exhaustive run always) (n: the non-zero samples the figures hold);
// - "Over 95% of the samples read from the device (<name>) are empty regions. Device is
//   estimated to be very empty, aborting scan." when a sampled run finds the device very empty
//   and either the stop rule ended it or it yields no figures;
// - otherwise, for a device without figures, "No figures for the device (<name>): " and the
//   reason: it is smaller than one block, every read of it failed, no block of it could be
//   sampled, every block read was zero (an exhaustive run, which does not read the last block
//   of each sampler thread's range), its compressed size is 0 (its samples were measured, yet
//   a batch keeps no such device), or no sample was measured to its end.
// Pure, thread-safe.
std::string deviceEndNote(const Calculations &figures, const std::string &name, const DeviceEnd &end);

#endif
