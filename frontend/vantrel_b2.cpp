// The vantrel program: start-up, then each device in turn (size, ranges, engine, sampler
// threads, monitor), then the final reports and the log's end.
#include <boost/format.hpp>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <new>
#include <queue>
#include <string_view>
#include <system_error>
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

// The sampler threads' records of one device, freed with it.
struct ThreadRecords {
    std::vector<threadWorkData *> list;
    ThreadRecords() = default;
    ThreadRecords(const ThreadRecords &) = delete;
    ThreadRecords &operator=(const ThreadRecords &) = delete;
    ~ThreadRecords()
    {
        for (threadWorkData *record : list) delete record;
    }
};

// What the sampler threads of one device use besides the run's shared state: their records,
// their own copy of the device's name (devicePath changes with the next batch entry) and the
// engine's memory.
struct SamplingMemory {
    ThreadRecords records;
    std::string deviceName;
    std::unique_ptr<uint8_t[]> engineMemory;
};

// The sampler threads of one device and the memory they use. Leaving its scope stops them, after
// a failure or an exception too.
class SamplerCrew {
public:
    // Takes over `memory`; room for `count` threads is made up front: once a thread runs,
    // owning it must not need memory (a thread destroyed unjoined ends the process). Throws
    // std::bad_alloc.
    SamplerCrew(int count, std::unique_ptr<SamplingMemory> memory) : memory_(std::move(memory))
    {
        threads_.reserve(size_t(count));
    }
    SamplerCrew(const SamplerCrew &) = delete;
    SamplerCrew &operator=(const SamplerCrew &) = delete;
    ~SamplerCrew() { stop(); }

    // Starts the sampler thread of record `index` on the crew's device, at most as many as the
    // crew has room for. Throws std::system_error when the system cannot start a thread, and
    // std::bad_alloc; no thread is started then.
    void start(int index, Calculations *figures)
    {
        if (threads_.size() == threads_.capacity()) return;
        threads_.emplace_back(samplerThread, memory_->records.list[size_t(index)],
                              memory_->deviceName.c_str(), figures);
    }

    // Stops the threads, closing the read queue (which needs no memory). While the run goes
    // well, joins every thread: the device is done by now (the engine ended it or every thread
    // finished), so no thread has work left that the stop would cut short. After a failure
    // (runStatus set, or an exception on its way out), it gives the threads kStopGraceMs to
    // leave, joins those that did and leaves the others running, each in a read that may never
    // end (a dying disk's retries): the run's end must not wait for them. The crew's memory is
    // then never freed, so that no thread left behind touches freed memory before the process
    // ends (exitWith's _Exit does not wait for them).
    void stop() noexcept
    {
        if (threads_.empty()) return;
        readQueue.close();
        const bool failing = runStatus.load() != 0 || std::uncaught_exceptions() > 0;
        if (failing && !threadsLeaveInTime()) {
            leaveUnfinishedThreads();
            return;
        }
        for (std::thread &thread : threads_) thread.join();
        threads_.clear();
    }

private:
    // How long a stop after a failure waits for the threads to leave.
    static constexpr int kStopGraceMs = 500;

    // The records of the started threads (threads_[i] serves records.list[i]).
    bool startedThreadsFinished() const
    {
        for (size_t i = 0; i < threads_.size(); ++i) {
            if (!memory_->records.list[i]->finished.load()) return false;
        }
        return true;
    }

    // Waits up to kStopGraceMs for every started thread to set its finished flag; whether all did.
    bool threadsLeaveInTime()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopGraceMs);
        return monitorWake.waitUntil(deadline, [this] { return startedThreadsFinished(); });
    }

    // Joins the threads that have finished, lets the others run on and leaks the memory they use.
    void leaveUnfinishedThreads() noexcept
    {
        for (size_t i = 0; i < threads_.size(); ++i) {
            if (memory_->records.list[i]->finished.load()) {
                threads_[i].join();
            } else {
                threads_[i].detach();
            }
        }
        threads_.clear();
        static_cast<void>(memory_.release());
    }

    std::unique_ptr<SamplingMemory> memory_;
    std::vector<std::thread> threads_;
};

// Fails the run (unless a failure came first) because the `what` thread could not be started:
// "Cannot start <what> thread - " and the system's reason, on the console and in the log.
void reportThreadStartFailure(const char *what, const std::system_error &error)
{
    int32_t noFailure = 0;
    runStatus.compare_exchange_strong(noFailure, EXIT_CODE_ENGINE_MEMORY);
    consoleAndLog(std::cerr, std::string("Cannot start ") + what + " thread - " + error.code().message());
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

// One monitor tick: the figures from the engine and, with -v, a row once a sample has been
// measured. A `progress` tick (one while the device is still sampled) that finds the sample
// target reached shows no row: the samplers are leaving, and the device's last tick shows
// those figures right after it.
void monitorTick(Calculations *figures, DeviceResult *row, bool progress)
{
    summarize(settings.threadCount, figures, 1);
    const bool ending = progress && !settings.exhaustive && !belowSampleTarget(*figures);
    if (settings.verbose && hasMeasuredSamples(*figures) && !ending) printReport(row, REPORT_ROW);
}

// Writes, on the console and in the log, why the device just sampled has no figures, or that it
// is very empty (see deviceEndNote).
void reportDeviceEnd(const Calculations &figures, const DeviceEnd &end)
{
    const std::string note = deviceEndNote(figures, deviceName, end);
    if (!note.empty()) totalCalculations->log(1, note);
}

// A finished device of a batch, kept for the final summaries.
struct KeptDevice {
    Calculations figures;
    std::string name;
};

// One item of the final report made ready: its console and CSV texts, and its log lines (a
// heading, then the end-of-run lines).
struct PreparedSummary {
    PreparedReport report;
    std::string logHeading;
    RunEndLines logLines;
};

// A batch's final report made ready whenever what it shows changes (a device kept, the name
// column widened), while memory is there, so that writing it asks for no memory at all.
struct PreparedFinalReport {
    int width = -1;  // the name column it was made for; -1 before it was first made
    ReportHeaders headers;
    std::vector<PreparedSummary> devices;
    PreparedSummary totals;
};

// The devices of a run that have a result, in order, and how many of them the totals cover,
// with their final report made ready; and how far the run has come, so that a run that fails
// part-way still reports the devices it finished, and a report that fails part-way is never
// begun again. Making it allocates nothing: the one instance is made before main.
struct RunResults {
    std::vector<KeptDevice> kept;
    int totalled = 0;
    PreparedFinalReport finalReport;
    bool batchRun = false;
    int sampledDevices = 0;  // devices sampled to their end, with or without figures
    bool reportBegun = false;
    bool reportDone = false;
    // Where the final report is: "device " and the name of the device being reported, or
    // "the totals" (for the line that says where a failed report stopped).
    std::string_view reportAt;
    std::string_view reportAtName;
};

RunResults runResults;

// The final report of the devices `kept` and of `totals`, which cover `totalled` of them, for a
// name column of `width`. Throws std::bad_alloc.
PreparedFinalReport prepareFinalReport(const std::vector<KeptDevice> &kept, const Calculations &totals,
                                       int totalled, int width)
{
    PreparedFinalReport ready;
    ready.width = width;
    ready.headers = prepareReportHeaders(width);
    ready.devices.reserve(kept.size());
    for (const KeptDevice &device : kept) {
        ready.devices.push_back({prepareReport(device.figures, device.name, REPORT_DEVICE, totalled, width),
                                 "Summarize device " + device.name + ":", runEndLines(device.figures)});
    }
    ready.totals = {prepareReport(totals, std::string(), REPORT_TOTAL, totalled, width),
                    "Summarize total " + std::to_string(totalled) + " devices", runEndLines(totals)};
    return ready;
}

// Makes a batch's final report ready again when the name column has widened since it was made
// (a device just registered its name). A failure (std::bad_alloc) leaves the report as it was,
// whole for its own width.
void keepFinalReportReady(RunResults &results)
{
    if (!results.batchRun || results.finalReport.width == nameColumnWidth) return;
    results.finalReport = prepareFinalReport(results.kept, *totalCalculations, results.totalled, nameColumnWidth);
}

// Keeps the result of the device `name` for the final summaries and makes the final report
// ready with it; a device that reached the sample target also joins the totals
// (totalCalculations). A failure (std::bad_alloc) leaves the results and their report as they
// were, so that the totals always cover the devices kept.
void keepResult(const Calculations &figures, const std::string &name, RunResults &results)
{
    Calculations totals = *totalCalculations;
    int totalled = results.totalled;
    if (!belowSampleTarget(figures)) {
        totals += figures;
        finaliseTotals(&totals);
        ++totalled;
    }
    results.kept.push_back({figures, name});
    try {
        results.finalReport = prepareFinalReport(results.kept, totals, totalled, nameColumnWidth);
    } catch (...) {
        results.kept.pop_back();
        throw;
    }
    *totalCalculations = totals;
    results.totalled = totalled;
}

// A batch's final summaries, under a fresh table header: each kept device's summary on the
// console, in the CSV file and the log, then the totals, whose device count is that of the
// devices they cover. Writes what was made ready, so that it needs no memory. The logger thread
// must be stopped. The report is written once: when it is asked for again after it failed
// part-way (std::bad_alloc from an output failure's message), it writes no row twice but says,
// on the console and in the log, where it stopped.
void reportBatchResults(RunResults &results)
{
    if (results.reportBegun) {
        if (!results.reportDone) {
            failureLine({"The final report stopped at ", results.reportAt, results.reportAtName});
            results.reportDone = true;
        }
        return;
    }
    results.reportBegun = true;
    const PreparedFinalReport &ready = results.finalReport;
    reportHeaderShown = false;
    for (size_t i = 0; i < ready.devices.size(); ++i) {
        const PreparedSummary &device = ready.devices[i];
        results.reportAt = "device ";
        results.reportAtName = results.kept[i].name;
        writePreparedReport(device.report, ready.headers);
        writeRunEnd(device.logHeading, device.logLines);
    }
    results.reportAt = "the totals";
    results.reportAtName = {};
    writeRunEnd(ready.totals.logHeading, ready.totals.logLines);
    writePreparedReport(ready.totals.report, ready.headers);
    results.reportDone = true;
}

// Samples the current device (devicePath, already sized) and leaves its figures in
// `figures`; a batch's final report is made ready for its name. Returns false when the
// run failed on it (runStatus holds the code): a sampler thread failed, a thread could not be
// started, the engine's memory could not be had or every sampler thread ended early. The
// sampler threads are stopped either way: joined, or after a failure left in reads that do not
// end (see SamplerCrew::stop).
bool sampleDevice(Calculations *figures, RunResults &results)
{
    ioErrorLimit = ioErrorLimitFor(deviceSizeBytes, settings.inblockSize, settings.ioErrorFraction);

    auto memory = std::make_unique<SamplingMemory>();
    // Stays valid while the crew owns the memory, and for good once the crew leaves it behind.
    SamplingMemory &sampling = *memory;
    std::vector<threadWorkData *> &records = sampling.records.list;
    makeThreadRanges(deviceSizeBytes, records, settings.threadCount, settings.inblockSize,
                     settings.loglevel);

    const uint64_t seed = settings.qa != 0 ? settings.qa : uint64_t(std::time(nullptr));
    passGlobals(settings.maxNumSamples, settings.engineType, settings.exhaustive, seed,
                settings.inblockSize, settings.adjustTable.data(),
                uint32_t(settings.adjustTable.size()), onLogText, kDataCards,
                uint32_t(settings.parityCards), kNodesPerCard, uint32_t(settings.stripewidth));
    if (settings.qa == 0) totalCalculations->log(2, "Random seed: " + std::to_string(seed));

    uint32_t memorySize = 0;
    vantrel_init(onReadRequest, onLogNumbers, uint32_t(settings.threadCount), &memorySize);
    sampling.engineMemory.reset(new (std::nothrow) uint8_t[memorySize]);
    if (!sampling.engineMemory) {
        // The memory of the deflate streams and sample contexts: on the console too, so that a
        // run without a log does not end without a word.
        failureLine({"Cannot allocate memory for threads"});
        runStatus.store(EXIT_CODE_ENGINE_MEMORY);
        return false;
    }
    vantrel_set_memory(sampling.engineMemory.get(), memorySize);

    emptyReadQueue();
    readQueue.open();
    sampleCounter.store(0);
    engineEndStatus.store(0);
    firstShortRead.store(kNoShortRead);
    for (int i = 0; i < settings.threadCount; ++i) {
        records[i]->reset();
        vantrel_threads_params(i, int64_t(records[i]->rangeStart), int64_t(records[i]->rangeEnd));
    }
    EngineResult engineResult{};
    vantrel_start(kSampledDeviceId, uint64_t(deviceSizeBytes) >> 9, &engineResult);

    sampling.deviceName = settings.devicePath;
    SamplerCrew crew(settings.threadCount, std::move(memory));
    try {
        for (int i = 0; i < settings.threadCount && runStatus.load() == 0; ++i) crew.start(i, figures);
    } catch (const std::system_error &error) {
        reportThreadStartFailure("sampler", error);
    }

    if (settings.verbose) {
        printRunHeader(settings.devicePath);
    } else if (results.sampledDevices == 0) {
        const std::string started = "Analysis started at: " + timestampText();
        consoleAndLog(std::cerr, started);
    }
    DeviceResult row{figures, deviceName};
    printReport(&row, REPORT_REGISTER);
    keepFinalReportReady(results);

    // The device is done when the sample target is reached, every sampler thread has finished
    // (an exhaustive pass: only these two) or the run failed. The sampler threads wake the
    // monitor as they leave; a tick comes only when a whole interval has passed without the
    // device done.
    const uint32_t target = settings.maxNumSamples;
    const bool exhaustive = settings.exhaustive;
    const auto deviceDone = [&] {
        return runStatus.load() != 0 || allThreadsFinished(records) ||
               (!exhaustive && sampleCounter.load() >= target);
    };
    const auto interval = std::chrono::milliseconds(kMonitorIntervalMs);
    while (!monitorWake.waitUntil(std::chrono::steady_clock::now() + interval, deviceDone)) {
        monitorTick(figures, &row, true);
    }
    // The finished flags first, then the status and the counter: a thread stores either of
    // them before its flag when it leaves after a failure or the engine's end.
    if (!exhaustive && allThreadsFinished(records) && runStatus.load() == 0 &&
        sampleCounter.load() < target) {
        runStatus.store(EXIT_CODE_THREADS_ENDED);
    }

    // After a failure, a thread still inside a read after a short grace is left behind: the
    // finished devices are reported and the process ends whatever that read does.
    crew.stop();

    // A failure seen here, even one after the engine ended the device, leaves it without figures.
    const bool sampled = runStatus.load() == 0;
    // The device's last tick, with its final figures now that every sampler thread is joined.
    if (sampled) monitorTick(figures, &row, false);
    return sampled;
}

// Ends a run that failed with `code`. A batch that fails after it finished devices first
// reports them as at a normal end (console, CSV file, "Summarize" lines in the log, totals of
// those devices); the device it failed on has no result, and the devices after it are not read.
// May throw (std::bad_alloc) from that report.
[[noreturn]] void endFailedRun(int code)
{
    if (runResults.batchRun && runResults.sampledDevices > 0) {
        stopLoggerThread();
        reportBatchResults(runResults);
    }
    exitWith(code);
}

// Ends the run after an exception reached main; called inside its handler. The exception's
// message ("Cannot allocate memory for the run", or "Unexpected error - " and its text) goes to
// the console and the log, needing no memory; the status is that of a failure already under
// way, else 26 or 16. A failure while the finished devices are reported ends the run the same
// way, the report saying where it stopped.
[[noreturn]] void endOnException() noexcept
{
    int code = EXIT_CODE_THREADS_ENDED;
    try {
        throw;
    } catch (const std::bad_alloc &) {
        code = EXIT_CODE_ENGINE_MEMORY;
        failureLine({"Cannot allocate memory for the run"});
    } catch (const std::exception &error) {
        failureLine({"Unexpected error - ", error.what()});
    }
    const int32_t failure = runStatus.load();
    try {
        endFailedRun(failure != 0 ? failure : code);
    } catch (const std::exception &) {
        endOnException();
    }
}

// The run after start-up: the device list, the logger thread, each device in turn, the final
// reports and the log's end. Returns the process status.
int runDevices()
{
    RunResults &results = runResults;
    const bool batchRun = !settings.config.empty();
    results.batchRun = batchRun;
    std::unique_ptr<std::queue<ListedEntry>> batch;
    if (batchRun) {
        batch = parseBatchFile(settings.config, totalCalculations);
        if (!batch || batch->empty()) exitWith(EXIT_CODE_BATCH_NO_DEVICE);
    } else {
        batch = std::make_unique<std::queue<ListedEntry>>();
    }

    auto runCalculations = std::make_unique<Calculations>(0, 0, 0);
    if (logFileIsOpen()) {
        try {
            startLoggerThread();
        } catch (const std::system_error &error) {
            reportThreadStartFailure("logger", error);
            exitWith(EXIT_CODE_ENGINE_MEMORY);
        }
        sleepMs(kSettleMs);
    }
    platformBeforeDevices(batchRun, *batch);
    // One device under several names is sampled once: disk numbers are resolved by now.
    if (batchRun) dropBatchDuplicates(*batch, totalCalculations);
    // A batch in which no device can be sized still ends with its (empty) totals.
    keepFinalReportReady(results);

    int &deviceCount = results.sampledDevices;
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
        if (!sampleDevice(runCalculations.get(), results)) endFailedRun(runStatus.load());

        // Without a measured sample the figures are not numbers, or not measurements: such a
        // device has no result, and says why.
        const bool printable = hasMeasuredSamples(*runCalculations);
        const bool kept = printable && runCalculations->sizeGB != 0 && runCalculations->compressedGB != 0;
        const uint64_t shortRead = firstShortRead.load();
        const DeviceEnd end{batchRun ? kept : printable,
                            !settings.exhaustive && engineEndStatus.load() == ENGINE_STATUS_EARLY_STOP,
                            ioErrors.load() != failedReadsBefore,
                            sampledBlockSizeFor(settings.engineType, settings.inblockSize, settings.stripewidth),
                            settings.exhaustive,
                            shortRead == kNoShortRead ? std::nullopt : std::optional<uint64_t>(shortRead),
                            !settings.exhaustive && !belowSampleTarget(*runCalculations)};
        reportDeviceEnd(*runCalculations, end);
        if (kept && batchRun) keepResult(*runCalculations, deviceName, results);
        ++deviceCount;
        if (settings.verbose) writeStandardOutput("\nFinish time: " + timestampText() + "\n");
    } while (!batch->empty());

    stopLoggerThread();
    if (batchRun) {
        reportBatchResults(results);
    } else {
        reportHeaderShown = false;
        DeviceResult row{runCalculations.get(), deviceName};
        if (!settings.verbose && hasMeasuredSamples(*runCalculations)) printReport(&row, REPORT_ROW);
        writeRunEnd(runCalculations.get());
    }
    runCalculations.reset();
    closeCsvFile();
    emptyReadQueue();

    // A batch in which no device could even be sized estimated nothing: it fails as a single
    // device that cannot be sized does, after its messages and summaries.
    if (batchRun && deviceCount == 0) runStatus.store(EXIT_CODE_DEVICE_SIZE);
    // The estimate has run to its end; an output that could not be written still fails the run,
    // and its line comes before the log's end.
    checkStandardOutput();
    queueLogLine(2, "Finished vantrel");
    writeRunEnd(nullptr);
    delete totalCalculations;
    totalCalculations = nullptr;
    // The same status rule as exitWith: the run's own failure code first, then the outputs'.
    const int32_t code = runStatus.load();
    return exitStatusFor(code != 0 ? code : outputFailureCode());
}

// Memory that a run must be able to take at its start: far more than a thrown exception needs
// and far less than a run itself uses.
constexpr size_t kStartMemoryProbe = size_t(1) << 20;

// Whether the process can still take memory at all. Where it cannot (an address-space limit
// reached before main), no exception can even be thrown: the C++ runtime's reserve for them
// could not be made either, so the first failure would end the process without its message.
bool memoryAtStart()
{
    void *probe = std::malloc(kStartMemoryProbe);
    std::free(probe);
    return probe != nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    if (!memoryAtStart()) {
        failureLine({"Cannot allocate memory for the run"});
        return exitStatusFor(EXIT_CODE_ENGINE_MEMORY);
    }
    // No exception leaves main: a failure that reaches here still ends the run in order, with
    // its message, the finished devices of a batch reported and a non-zero status.
    try {
        // An output on a pipe whose reader has left fails like a full disk, with its message.
        ignoreBrokenPipeSignal();
        // A closed standard stream must not lend its number to the log or the CSV file.
        if (fillClosedStandardStreams()) markStandardOutputMissing();
        csvSeparator = ",";
        settings.logfile = kInitialLogFileName;
        // The arguments as UTF-8 text, whatever form the platform hands them in.
        std::vector<std::string> arguments = commandLineArguments(argc, argv);
        std::vector<char *> argumentPointers;
        for (std::string &argument : arguments) argumentPointers.push_back(argument.data());
        argumentPointers.push_back(nullptr);
        if (!startUp(int(arguments.size()), argumentPointers.data())) return 1;
        return runDevices();
    } catch (const std::exception &) {
        endOnException();
    }
}
