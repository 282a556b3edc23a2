// The sampling road: sampler threads, engine callbacks, the I/O-error check and thread ranges.
#ifndef VANTREL_FRONTEND_SAMPLER_H
#define VANTREL_FRONTEND_SAMPLER_H

#include <cstdint>
#include <string>
#include <vector>

#include "engine/vantrel_engine.h"
#include "frontend/records.h"

// Read-request callback: queues a read of `sectorCount` sectors at `sector` for engine
// context `context`. Instead, while the run is failing, it closes the read queue at once; for an
// offset past the device's end (the engine wants no more reads of that context), once the
// reads queued before have been served (closeAfterQueued). Returns 1. Thread-safe; takes only
// the read queue's lock.
int32_t VANTREL_CALL onReadRequest(uint32_t deviceId, uint64_t sector, uint32_t sectorCount, uint32_t context);

// Statistics callback: logs the six values as unsigned decimals at level 5. Thread-safe.
void VANTREL_CALL onLogNumbers(uint32_t code, int32_t a, uint32_t b, uint32_t thread, uint32_t c, uint32_t d);

// Log callback: logs `text` (zero-terminated) at `level`. Thread-safe.
void VANTREL_CALL onLogText(const char *text, uint32_t length, uint32_t level, uint32_t context);

// The text onLogNumbers logs: the six values as unsigned 32-bit decimals, blank-separated.
std::string statsEventText(uint32_t code, int32_t a, uint32_t b, uint32_t thread, uint32_t c,
                           uint32_t d);

// Failed reads allowed on a device of `deviceBytes` read in `blockSize` blocks: its whole
// blocks times `fraction`, truncated. Pure.
uint64_t ioErrorLimitFor(int64_t deviceBytes, int32_t blockSize, double fraction);

// Counts one failed read or open. Returns 1 when the caller may go on, 0 when the run's
// I/O-error limit is exceeded (runStatus is then 14; the first such thread of the run logs
// the abort message). Thread-safe.
int ioErrorCheck(const threadWorkData *record);

// Appends one new record per thread to `records`: `threadCount` ranges of the device of
// `deviceBytes` bytes, aligned to `blockSize` (neighbours share a boundary block), each
// record's logLevel set to `logLevel`. The caller owns the records. Pure.
void makeThreadRanges(int64_t deviceBytes, std::vector<threadWorkData *> &records, int threadCount,
                      int64_t blockSize, int32_t logLevel);

// Body of one sampler thread: opens `deviceName` read-only and serves read requests until the
// read queue is closed to it or it sees the engine end the device, whose status it then stores in
// engineEndStatus. A thread that cannot go on writes the failure's message, leaves its code in
// runStatus (unless another failure came first) and stops every sampler thread: 12 when the
// device cannot be opened ("Error opening : "), 14 when a failed read exceeds the I/O-error
// limit ("Error reading : "), 23 when memory runs out for its buffer or for measuring a sample
// ("Error sampling : " name " - Cannot allocate memory"), 13 for any other exception. It never
// ends the process and no exception leaves it: the main thread ends the run once the threads
// are joined. `figures` is not used.
void samplerThread(threadWorkData *record, const char *deviceName, Calculations *figures);

#endif
