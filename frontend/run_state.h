// Process-wide values of the sampling road, shared by the main thread and the sampler threads.
#ifndef VANTREL_FRONTEND_RUN_STATE_H
#define VANTREL_FRONTEND_RUN_STATE_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "frontend/monitor_wake.h"
#include "frontend/records.h"
#include "frontend/sync_queue.h"

// Device identifier handed to the engine for every device.
constexpr uint32_t kSampledDeviceId = 1234;

// Read requests from the engine's callback to the sampler threads (limit 100, pushed at 1).
extern SyncQueue<ReadRequest> readQueue;

// 0 at each device's start; set to maxNumSamples by a sampler thread leaving after the
// engine's end; the monitor waits on it.
extern std::atomic<uint32_t> sampleCounter;
// Notified by a sampler thread after it set sampleCounter and its record's finished flag on
// leaving; the device monitor waits on it between its ticks.
extern MonitorWake monitorWake;
// Failed reads and opens over the whole run.
extern std::atomic<uint32_t> ioErrors;
// The engine status that ended the current device (0 until the engine ends it); stored by the
// sampler thread that sees it, read by the main thread after the join.
extern std::atomic<int32_t> engineEndStatus;
// firstShortRead while the current device has had no short read.
constexpr uint64_t kNoShortRead = ~uint64_t(0);
// The byte offset of the current device's first read that returned fewer bytes than asked for
// a block wholly inside the device (a partial last block at the device's true end does not
// count); kNoShortRead while none. Set once per device by the sampler thread that meets it,
// reset before the device's sampling starts, read by the main thread after the join.
extern std::atomic<uint64_t> firstShortRead;
// Set once per run by the thread that reports the I/O-error abort.
extern std::atomic<int32_t> firstAbortFlag;
// Failed reads allowed before the run aborts, per device.
extern uint64_t ioErrorLimit;
// The current device's size in bytes and name as the reports show it.
extern int64_t deviceSizeBytes;
extern std::string deviceName;
// Every file the run reads: its devices (the -d path, or each device of the batch file) and
// the batch file itself, set at start-up before the log file is created: neither the log
// nor the CSV file may ever be created on one of them.
extern std::vector<std::string> runInputFiles;

#endif
