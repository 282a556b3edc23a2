// The sampling road: sampler threads, the engine's callbacks and the I/O-error check.
#include "frontend/sampler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>

#include "engine/vantrel_engine.h"
#include "frontend/log.h"
#include "frontend/platform.h"
#include "frontend/run_state.h"
#include "frontend/settings.h"

SyncQueue<ReadRequest> readQueue;
std::atomic<uint32_t> sampleCounter{0};
MonitorWake monitorWake;
std::atomic<uint32_t> ioErrors{0};
std::atomic<int32_t> engineEndStatus{0};
std::atomic<uint64_t> firstShortRead{kNoShortRead};
std::atomic<int32_t> firstAbortFlag{0};
uint64_t ioErrorLimit = 0;
int64_t deviceSizeBytes = 0;
std::string deviceName;
std::vector<std::string> runInputFiles;

namespace {

constexpr int kZeroTestByEngine = 2;
// Level of the per-read and per-sample traces.
constexpr int kTraceLevel = 5;

// Stops every sampler thread of the device at its next request, at once: the one way the
// sampler threads are stopped is closing the read queue, which needs no memory.
void stopSampling()
{
    readQueue.close();
}

// A sampler thread's way out: when `deviceDone` (the engine ended the device, or the thread
// cannot sample) it raises the counter to the target first, then sets the record's finished
// flag, so that the monitor never sees every thread finished while the counter is still below
// the target; then it wakes the monitor.
void leave(threadWorkData *record, bool deviceDone)
{
    if (deviceDone) sampleCounter.store(settings.maxNumSamples);
    record->finished.store(true);
    monitorWake.notify();
}

// A sampler thread's way out when the run fails on it (runStatus already holds the code):
// every other sampler thread is stopped too, and the main thread, woken through the finished
// flag, ends the run once they all have.
void leaveFailing(threadWorkData *record)
{
    stopSampling();
    leave(record, false);
}

} // namespace

int32_t VANTREL_CALL onReadRequest(uint32_t, uint64_t sector, uint32_t sectorCount, uint32_t context)
{
    const uint64_t offset = sector * 512;
    if (runStatus.load() != 0) {
        // The run fails: no read of this device is worth waiting for.
        stopSampling();
    } else if (offset > uint64_t(deviceSizeBytes)) {
        // The engine asks for no more reads of this context: the reads asked for before are
        // still served, then every sampler thread stops.
        readQueue.closeAfterQueued();
    } else {
        readQueue.push(std::make_unique<ReadRequest>(ReadRequest{offset, int32_t(sectorCount * 512), int32_t(context)}), 1);
    }
    return 1;
}

std::string statsEventText(uint32_t code, int32_t a, uint32_t b, uint32_t thread, uint32_t c,
                           uint32_t d)
{
    // Plain concatenation: this runs once per sample on the sampler threads.
    std::string text;
    for (uint32_t value : {code, uint32_t(a), b, thread, c, d}) {
        if (!text.empty()) text += ' ';
        text += std::to_string(value);
    }
    return text;
}

void VANTREL_CALL onLogNumbers(uint32_t code, int32_t a, uint32_t b, uint32_t thread, uint32_t c, uint32_t d)
{
    if (totalCalculations->logLevel < kTraceLevel) return;  // would be dropped: skip the text
    totalCalculations->log(kTraceLevel, statsEventText(code, a, b, thread, c, d));
}

void VANTREL_CALL onLogText(const char *text, uint32_t, uint32_t level, uint32_t)
{
    totalCalculations->log(int(level), std::string(text));
}

uint64_t ioErrorLimitFor(int64_t deviceBytes, int32_t blockSize, double fraction)
{
    return uint64_t(double(deviceBytes / blockSize) * fraction);
}

int ioErrorCheck(const threadWorkData *record)
{
    const uint32_t before = ioErrors.fetch_add(1);
    if (uint64_t(before) <= ioErrorLimit) return 1;
    int32_t expected = 0;
    if (firstAbortFlag.compare_exchange_strong(expected, 1)) {
        if (settings.ioErrorFraction == 0.01) {
            record->log(1, "Aborting run over current device due to a high number (>1%) of samples "
                           "returned from the storage with I/O error. Use -I <flag> to allow up to "
                           "5% of samples returned with errors.");
        } else {
            record->log(1, "Aborting run over current device due to a high number (>5%) of samples "
                           "returned from the storage with I/O error.");
        }
    }
    runStatus.store(EXIT_CODE_IO_ERRORS);
    return 0;
}

void makeThreadRanges(int64_t deviceBytes, std::vector<threadWorkData *> &records, int threadCount,
                      int64_t blockSize, int32_t logLevel)
{
    const int64_t share = deviceBytes / threadCount;
    for (int i = 0; i < threadCount; ++i) {
        int64_t start = i * share;
        start -= start % blockSize;
        int64_t end = (i + 1) * share;
        if (end % blockSize != 0) end += blockSize - end % blockSize;
        end = std::min(end, deviceBytes);
        auto *record = new threadWorkData(uint64_t(start), uint64_t(end), uint32_t(i));
        record->logLevel = logLevel;
        records.push_back(record);
    }
}

namespace {

// Text of a memory failure, whatever the platform's error codes.
const char *const kNoMemoryText = "Cannot allocate memory";

// Ends the run from a sampler thread that cannot go on: writes `action` + " : " + `name` +
// " - " + `reason` on the console and in the log, leaves `code` in runStatus unless another
// failure came first, stops the other sampler threads and leaves. Never throws, and the
// message needs no memory.
void failSampling(threadWorkData *record, int32_t code, const char *action, const char *name,
                  const char *reason)
{
    int32_t noFailure = 0;
    runStatus.compare_exchange_strong(noFailure, code);
    failureLine({action, " : ", name, " - ", reason});
    leaveFailing(record);
}

// Keeps the offset of a read of `length` bytes at `offset` that returned fewer bytes, when it
// is the device's first such read and the block lies wholly inside the device: the device
// then holds less than it did when it was sized (a file that shrank) or its read came back
// short, and the engine ends that share of the sampling. A partial block at the device's true
// end is no such read.
void noteShortRead(uint64_t offset, uint64_t length)
{
    if (offset + length > uint64_t(deviceSizeBytes)) return;
    uint64_t none = kNoShortRead;
    firstShortRead.compare_exchange_strong(none, offset);
}

// Serves read requests on `reader` until the read queue is closed, the engine ends the device
// or the thread fails. Returns true when the engine ended the device; false when the queue was
// closed or the thread failed the run (runStatus then holds the code).
bool serveReads(threadWorkData *record, const char *name, SamplerDevice &reader)
{
    const size_t bufferBytes = size_t(settings.inblockSize);
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[bufferBytes]);
    if (!buffer) {
        failSampling(record, EXIT_CODE_ENGINE_MEMORY, "Error sampling", name, kNoMemoryText);
        return false;
    }

    for (;;) {
        std::unique_ptr<ReadRequest> request = readQueue.waitAndPop();
        if (!request) {
            // The read queue is closed: the device is done, or the run fails.
            leave(record, false);
            return false;
        }

        uint64_t bytesRead = 0;
        // Never read past the buffer, whatever length a request carries.
        const int32_t length = std::min(request->length, int32_t(bufferBytes));
        const bool readOk = reader.readAt(buffer.get(), length, request->offset, bytesRead);
        // The engine sees the bytes read followed by zeros: zero only what the read left
        // (all of it after a failure), which spares clearing every block before reading it.
        std::memset(buffer.get() + bytesRead, 0, bufferBytes - size_t(bytesRead));
        if (readOk && bytesRead < uint64_t(length)) noteShortRead(request->offset, uint64_t(length));
        uint32_t readError = 0;
        if (!readOk) {
            readError = uint32_t(ioErrorCheck(record));
            if (readError == 0) {
                consoleAndLog(std::cerr, "Error reading : " + std::to_string(request->offset) + " - " +
                              deviceErrorText(reader.error()));
                leaveFailing(record);
                return false;
            }
        }

        const int32_t rc = vantrel_read_done(kSampledDeviceId, uint32_t(request->thread), readError,
                                             bytesRead, buffer.get(), kZeroTestByEngine);
        if (record->logLevel >= kTraceLevel) {
            record->log(kTraceLevel, "threadid: " + std::to_string(record->index) + " read_location " +
                                         std::to_string(request->offset) + " read_done rc " +
                                         std::to_string(rc) + " ");
        }
        if (rc == ENGINE_STATUS_MEASURE_FAILED) {
            // A sample could not be measured: figures without it would be no estimate.
            failSampling(record, EXIT_CODE_ENGINE_MEMORY, "Error sampling", name, kNoMemoryText);
            return false;
        }
        if (rc != 0) {
            // The main road tells the user what the end means once the figures are final.
            engineEndStatus.store(rc);
            stopSampling();
            return true;
        }
    }
}

} // namespace

void samplerThread(threadWorkData *record, const char *name, Calculations *)
{
    // No exception may leave the thread: it would end the process without a word.
    try {
        SamplerDevice reader;
        if (!reader.open(name)) {
            // The open's failure is the run's, whatever the thread count: it is not one of the
            // failed reads that the I/O-error limit tolerates.
            failSampling(record, EXIT_CODE_DEVICE_SIZE, "Error opening", name,
                         deviceErrorText(reader.error()).c_str());
            return;
        }
        if (serveReads(record, name, reader)) leave(record, true);
    } catch (const std::bad_alloc &) {
        failSampling(record, EXIT_CODE_ENGINE_MEMORY, "Error sampling", name, kNoMemoryText);
    } catch (const std::exception &error) {
        failSampling(record, EXIT_CODE_THREADS_ENDED, "Error sampling", name, error.what());
    }
}
