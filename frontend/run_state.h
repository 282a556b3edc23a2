// Process-wide values of the sampling road, shared by the main thread and the sampler threads.
#ifndef VANTREL_FRONTEND_RUN_STATE_H
#define VANTREL_FRONTEND_RUN_STATE_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "frontend/records.h"
#include "frontend/sync_queue.h"

// Device identifier handed to the engine for every device.
constexpr uint32_t kSampledDeviceId = 1234;

// Read requests from the engine's callback to the sampler threads (limit 100, pushed at 1).
extern SyncQueue<ReadRequest> readQueue;

// 0 at each device's start; set to maxNumSamples by a sampler thread leaving after the
// engine's end; the monitor waits on it.
extern std::atomic<uint32_t> sampleCounter;
// Failed reads and opens over the whole run.
extern std::atomic<uint32_t> ioErrors;
// The engine status that ended the current device (0 until the engine ends it); stored by the
// sampler thread that sees it, read by the main thread after the join.
extern std::atomic<int32_t> engineEndStatus;
// Set once per run by the thread that reports the I/O-error abort.
extern std::atomic<int32_t> firstAbortFlag;
// Failed reads allowed before the run aborts, per device.
extern uint64_t ioErrorLimit;
// The current device's size in bytes and name as the reports show it.
extern int64_t deviceSizeBytes;
extern std::string deviceName;
// Sampler threads started for the current device (0 between devices); the exit routine
// pushes two stop requests for each.
extern std::atomic<int> startedSamplerThreads;
// Every device path of the run (the -d path, or each batch entry), set before the first
// device: the CSV file must never be created on one of them.
extern std::vector<std::string> runDevicePaths;

#endif
