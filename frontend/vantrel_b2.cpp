// The vantrel program: start-up, then each device in turn (size, ranges, engine, sampler
// threads, monitor), then the final reports and the log's end.
#include <boost/format.hpp>
#include <chrono>
#include <thread>
#include <ctime>
#include <iostream>
#include <memory>
#include <new>
#include <queue>
#include <vector>

#include "engine/vantrel_engine.h"
#include "frontend/batch_file.h"
#include "frontend/device_end.h"
#include "frontend/log.h"
#include "frontend/options.h"
#include "frontend/output_failures.h"
#include "frontend/platform.h"
#include "frontend/reports.h"
#include "frontend/run_state.h"
#include "frontend/sampler.h"
#include "frontend/settings.h"
#include "frontend/summaries.h"

namespace {

constexpr int kMonitorIntervalMs = 3200;
constexpr int kSettleMs = 200;
// Card-model values handed to the engine; only the card model (never selected here) reads them.
constexpr uint32_t kDataCards = 4294967293u;
constexpr uint32_t kNodesPerCard = 2;

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void emptyReadQueue()
{
    while (readQueue.tryPop()) {
    }
}

void freeRecords(std::vector<threadWorkData *> &records)
{
    while (!records.empty()) {
        delete records.back();
        records.pop_back();
    }
}

// The device could not be sized: a batch skips it, a single-device run ends with code 12.
// `error` is the sizing's reason, 0 for an empty device.
void reportUnsizedDevice(const std::string &path, bool batchRun, int error)
{
    if (batchRun) {
        const std::string name = warningName(path);
        totalCalculations->log(2, (boost::format("Can't evaluate \"%1%\" size, skipping") % name).str());
        consoleLine(std::cerr, "Can't evaluate " + name + " size, skipping");
        return;
    }
    const std::string text = "Cannot read (" + deviceName + ") device size Errno : " +
                             std::to_string(error) + " Error Message: " +
                             (error == 0 ? "The device is empty" : deviceErrorText(error));
    totalCalculations->log(2, text);
    consoleAndLog(std::cerr, text);
    sleepMs(kSettleMs);
    exitWith(EXIT_CODE_DEVICE_SIZE);
}

// One monitor tick: the figures from the engine and, with -v, a progress row once a sample
// has been measured.
void monitorTick(Calculations *figures, DeviceResult *row)
{
    summarize(settings.threadCount, figures, 1);
    if (settings.verbose && hasMeasuredSamples(*figures)) printReport(row, REPORT_ROW);
}

// Writes, on the console and in the log, why the device just sampled has no figures, or that it
// is very empty (see deviceEndNote).
void reportDeviceEnd(const Calculations &figures, const DeviceEnd &end)
{
    const std::string note = deviceEndNote(figures, deviceName, end);
    if (!note.empty()) totalCalculations->log(1, note);
}

// Samples the current device (devicePath, already sized) and leaves its figures in
// `figures`. `deviceCount` is the number of devices sampled before it. Returns false when a
// sampler thread failed the run (runStatus holds the code); the threads are joined either way.
bool sampleDevice(Calculations *figures, int deviceCount)
{
    ioErrorLimit = ioErrorLimitFor(deviceSizeBytes, settings.inblockSize, settings.ioErrorFraction);

    std::vector<threadWorkData *> threadRecords;
    makeThreadRanges(deviceSizeBytes, threadRecords, settings.threadCount, settings.inblockSize,
                     settings.loglevel);

    const uint64_t seed = settings.qa != 0 ? settings.qa : uint64_t(std::time(nullptr));
    passGlobals(settings.maxNumSamples, settings.engineType, settings.exhaustive, seed,
                settings.inblockSize, settings.adjustTable.data(),
                uint32_t(settings.adjustTable.size()), onLogText, kDataCards,
                uint32_t(settings.parityCards), kNodesPerCard, uint32_t(settings.stripewidth));
    if (settings.qa == 0) totalCalculations->log(2, "Random seed: " + std::to_string(seed));

    uint32_t memorySize = 0;
    vantrel_init(onReadRequest, onLogNumbers, uint32_t(settings.threadCount), &memorySize);
    std::unique_ptr<uint8_t[]> engineMemory(new (std::nothrow) uint8_t[memorySize]);
    if (!engineMemory) {
        queueLogLine(2, "Cannot allocate memory for threads");
        exitWith(EXIT_CODE_ENGINE_MEMORY);
    }
    vantrel_set_memory(engineMemory.get(), memorySize);

    emptyReadQueue();
    sampleCounter.store(0);
    engineEndStatus.store(0);
    for (int i = 0; i < settings.threadCount; ++i) {
        threadRecords[i]->reset();
        vantrel_threads_params(i, int64_t(threadRecords[i]->rangeStart),
                               int64_t(threadRecords[i]->rangeEnd));
    }
    EngineResult engineResult{};
    vantrel_start(kSampledDeviceId, uint64_t(deviceSizeBytes) >> 9, &engineResult);

    // The threads' own copy of the name: devicePath changes with the next batch entry.
    const std::string threadDeviceName = settings.devicePath;
    std::vector<std::unique_ptr<std::thread>> samplerThreads;
    for (int i = 0; i < settings.threadCount && runStatus.load() == 0; ++i) {
        startedSamplerThreads.fetch_add(1);
        samplerThreads.push_back(std::make_unique<std::thread>(
            samplerThread, threadRecords[i], threadDeviceName.c_str(), figures));
    }

    if (settings.verbose) {
        printRunHeader(settings.devicePath);
    } else if (deviceCount == 0) {
        const std::string started = "Analysis started at: " + timestampText();
        consoleAndLog(std::cerr, started);
    }
    DeviceResult row{figures, deviceName};
    printReport(&row, REPORT_REGISTER);

    // The device is done when the sample target is reached, every sampler thread has finished
    // (an exhaustive pass: only these two) or a sampler thread failed the run. The sampler
    // threads wake the monitor as they leave; a tick comes only when a whole interval has
    // passed without the device done.
    const uint32_t target = settings.maxNumSamples;
    const bool exhaustive = settings.exhaustive;
    const auto deviceDone = [&] {
        return runStatus.load() != 0 || allThreadsFinished(threadRecords) ||
               (!exhaustive && sampleCounter.load() >= target);
    };
    const auto interval = std::chrono::milliseconds(kMonitorIntervalMs);
    while (!monitorWake.waitUntil(std::chrono::steady_clock::now() + interval, deviceDone)) {
        monitorTick(figures, &row);
    }
    // The finished flags first, then the status and the counter: a thread stores either of
    // them before its flag when it leaves after a failure or the engine's end.
    if (!exhaustive && allThreadsFinished(threadRecords) && runStatus.load() == 0 &&
        sampleCounter.load() < target) {
        exitWith(EXIT_CODE_THREADS_ENDED);
    }

    // After a failure too: every request has become a stop request, so each thread ends after
    // its current read, and the run's end then finds no sampler thread still writing to the log.
    for (auto &thread : samplerThreads) thread->join();
    samplerThreads.clear();
    startedSamplerThreads.store(0);

    // A failure seen here, even one after the engine ended the device, leaves it without figures.
    const bool sampled = runStatus.load() == 0;
    // The device's last tick, with its final figures now that every sampler thread is done.
    if (sampled) monitorTick(figures, &row);
    freeRecords(threadRecords);
    return sampled;
}

// The devices of a run that have a result, in order, and how many of them the totals cover.
struct RunResults {
    std::queue<std::unique_ptr<DeviceResult>> kept;
    int totalled = 0;
};

// Keeps the result of the device `name` for the final summaries; a device that reached the
// sample target also joins the totals (totalCalculations).
void keepResult(const Calculations &figures, const std::string &name, RunResults &results)
{
    if (!belowSampleTarget(figures)) {
        *totalCalculations += figures;
        finaliseTotals(totalCalculations);
        results.totalled++;
    }
    results.kept.push(std::make_unique<DeviceResult>(DeviceResult{new Calculations(figures), name}));
}

// A batch's final summaries, under a fresh table header: each kept device's summary on the
// console, in the CSV file and the log, then the totals, whose device count is that of the
// devices they cover. Frees the kept results. The logger thread must be stopped.
void reportBatchResults(RunResults &results)
{
    reportHeaderShown = false;
    resultCount = results.totalled;
    while (!results.kept.empty()) {
        std::unique_ptr<DeviceResult> kept = std::move(results.kept.front());
        results.kept.pop();
        printReport(kept.get(), REPORT_DEVICE);
        queueLogLine(0, "Summarize device " + kept->name + ":");
        writeRunEnd(kept->figures);
        delete kept->figures;
    }
    queueLogLine(0, "Summarize total " + std::to_string(resultCount) + " devices");
    writeRunEnd(totalCalculations);
    DeviceResult totals{totalCalculations, ""};
    printReport(&totals, REPORT_TOTAL);
}

// Ends the run that a sampler thread failed with `code`. A batch aborted by I/O errors first
// reports the devices it finished before the aborted one, as at a normal end; the aborted
// device has no result, and the devices after it are not read. `deviceCount` is the number of
// devices finished.
[[noreturn]] void endFailedRun(int code, bool batchRun, int deviceCount, RunResults &results)
{
    if (batchRun && code == EXIT_CODE_IO_ERRORS && deviceCount > 0) {
        stopLoggerThread();
        reportBatchResults(results);
    }
    exitWith(code);
}

} // namespace

int main(int argc, char **argv)
{
    // An output on a pipe whose reader has left fails like a full disk, with its message.
    ignoreBrokenPipeSignal();
    // A closed standard stream must not lend its number to the log or the CSV file.
    if (fillClosedStandardStreams()) markStandardOutputMissing();
    csvSeparator = ",";
    // The arguments as UTF-8 text, whatever form the platform hands them in.
    std::vector<std::string> arguments = commandLineArguments(argc, argv);
    std::vector<char *> argumentPointers;
    for (std::string &argument : arguments) argumentPointers.push_back(argument.data());
    argumentPointers.push_back(nullptr);
    if (!startUp(int(arguments.size()), argumentPointers.data())) return 1;

    const bool batchRun = !settings.config.empty();
    std::unique_ptr<std::queue<ListedEntry>> batch;
    if (batchRun) {
        batch = parseBatchFile(settings.config, totalCalculations);
        if (!batch || batch->empty()) exitWith(EXIT_CODE_BATCH_NO_DEVICE);
    } else {
        batch = std::make_unique<std::queue<ListedEntry>>();
    }

    auto *runCalculations = new Calculations(0, 0, 0);
    if (logFileIsOpen()) {
        startLoggerThread();
        sleepMs(kSettleMs);
    }
    platformBeforeDevices(batchRun, *batch);
    // One device under several names is sampled once: disk numbers are resolved by now.
    if (batchRun) dropBatchDuplicates(*batch, totalCalculations);

    RunResults results;
    int deviceCount = 0;
    do {
        runCalculations->reset();
        sampleCounter.store(0);
        reportHeaderShown = false;
        runStatus.store(0);

        if (batchRun) {
            settings.devicePath = batch->front().text;
            batch->pop();
        }
        deviceName = reportName(settings.devicePath);
        platformBeforeSizing();

        int sizeError = 0;
        deviceSizeBytes = sizeDevice(settings.devicePath, sizeError);
        runCalculations->deviceBytes = uint64_t(deviceSizeBytes);
        if (deviceSizeBytes <= 0) {
            reportUnsizedDevice(settings.devicePath, batchRun, sizeError);
            continue;
        }

        const uint32_t failedReadsBefore = ioErrors.load();
        if (!sampleDevice(runCalculations, deviceCount)) {
            endFailedRun(runStatus.load(), batchRun, deviceCount, results);
        }

        // Without a measured sample the figures are not numbers, or not measurements: such a
        // device has no result, and says why.
        const bool printable = hasMeasuredSamples(*runCalculations);
        const bool kept = printable && runCalculations->sizeGB != 0 && runCalculations->compressedGB != 0;
        const DeviceEnd end{batchRun ? kept : printable,
                            !settings.exhaustive && engineEndStatus.load() == ENGINE_STATUS_EARLY_STOP,
                            ioErrors.load() != failedReadsBefore, settings.inblockSize};
        reportDeviceEnd(*runCalculations, end);
        if (kept) keepResult(*runCalculations, deviceName, results);
        ++deviceCount;
        if (settings.verbose) writeStandardOutput("\nFinish time: " + timestampText() + "\n");
    } while (!batch->empty());

    stopLoggerThread();
    if (batchRun) {
        reportBatchResults(results);
    } else {
        reportHeaderShown = false;
        DeviceResult row{runCalculations, deviceName};
        if (!settings.verbose && hasMeasuredSamples(*runCalculations)) printReport(&row, REPORT_ROW);
        writeRunEnd(runCalculations);
        for (; !results.kept.empty(); results.kept.pop()) delete results.kept.front()->figures;
    }
    delete runCalculations;
    closeCsvFile();
    emptyReadQueue();

    queueLogLine(2, "Finished vantrel");
    writeRunEnd(nullptr);
    delete totalCalculations;
    totalCalculations = nullptr;
    // The estimate has run to its end; an output that could not be written still fails the run.
    // The same status rule as exitWith: the run's own failure code first, then the outputs'.
    checkStandardOutput();
    const int32_t code = runStatus.load();
    return exitStatusFor(code != 0 ? code : outputFailureCode());
}
