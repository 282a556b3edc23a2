// The run's log: timestamped lines, the logger thread, the end-of-run lines and the exit routine.
#include "frontend/log.h"

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string_view>

#include "frontend/output_failures.h"
#include "frontend/platform.h"
#include "frontend/run_state.h"

std::atomic<int32_t> runStatus{0};
SyncQueue<std::string> logQueue;

namespace {

std::FILE *logFile = nullptr;
std::string logFileName;
std::unique_ptr<std::thread> loggerThreadHandle;
// The thread that performs the exit, once one has begun it.
std::atomic<std::thread::id> exitingThread{};

// The longest failure line that failureLine writes without allocating; a longer one is cut.
constexpr size_t kFailureLineMax = 4096;
// The log level of the messages of consoleAndLog and failureLine.
constexpr int kMessageLevel = 2;
// Failure lines that could not be queued for want of memory, kept for the log's end (a failed
// run has few distinct ones). Each distinct line is kept once. The lines of other threads than
// the main thread (the sampler threads' copies of their failure) take at most
// kKeptForOtherThreads slots, so that the main thread's failure road (the run's own failure,
// where the final report stopped) always finds room. A thread claims a slot under the spin
// lock, which needs no memory, fills it, then publishes its length for writeRunEnd.
constexpr int kKeptFailures = 4;
constexpr int kKeptForOtherThreads = 2;
std::atomic_flag keptFailuresBusy = ATOMIC_FLAG_INIT;
int keptFailureCount = 0;      // slots claimed; under keptFailuresBusy
int keptFromOtherThreads = 0;  // of them by other threads than the main thread; the same
std::atomic<size_t> keptFailureLength[kKeptFailures];
char keptFailure[kKeptFailures][kFailureLineMax];
// The main thread: the objects of a namespace are made on it, before main.
const std::thread::id mainThread = std::this_thread::get_id();

// Writes one line (after `stamp`, a timestamp and its blank, when given) and a newline,
// flushed. After a failed write, recorded as the log's failure, the file gets no more lines: a
// later line would follow a gap. Allocates
// nothing, so that the logger thread goes on when memory runs out. The stream is held for the
// line's pieces, so that a log on standard output never gets a report line between them.
void writeLine(std::string_view line, std::string_view stamp = {})
{
    if (outputFailed(RunOutput::Log)) return;
    errno = 0;
    lockOutputStream(logFile);
    // An empty view may hold no pointer at all, which fwrite must not be given.
    const bool stamped = stamp.empty() || std::fwrite(stamp.data(), 1, stamp.size(), logFile) == stamp.size();
    const bool written = stamped && std::fwrite(line.data(), 1, line.size(), logFile) == line.size() &&
                         std::fputc('\n', logFile) != EOF && std::fflush(logFile) == 0;
    const int error = errno;
    unlockOutputStream(logFile);
    if (!written) noteOutputFailure(RunOutput::Log, logFileName, error != 0 ? error : EIO);
}

// Writes every line still queued, in order, once the logger thread (stopped by now) has ended.
void flushQueuedLines()
{
    if (loggerThreadHandle && loggerThreadHandle->joinable()) loggerThreadHandle->join();
    while (auto line = logQueue.tryPop()) writeLine(*line);
}

// Body of the logger thread: writes lines until the log queue is closed; the lines still
// queued then are written by writeRunEnd, which joins the thread first. After a failed write
// the thread goes on taking lines but writes no more.
void loggerThreadBody()
{
    while (std::unique_ptr<std::string> line = logQueue.waitAndPop()) writeLine(*line);
}

// Whether `line` is kept already. Under keptFailuresBusy.
bool isKeptFailureLine(std::string_view line)
{
    for (int slot = 0; slot < keptFailureCount; ++slot) {
        if (std::string_view(keptFailure[slot], keptFailureLength[slot].load()) == line) return true;
    }
    return false;
}

// Keeps `line` for the log's end unless it is kept already or no slot is left for the
// calling thread (see kKeptForOtherThreads).
void keepFailureLine(std::string_view line) noexcept
{
    const bool fromMainThread = std::this_thread::get_id() == mainThread;
    while (keptFailuresBusy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    const bool roomLeft = keptFailureCount < kKeptFailures &&
                          (fromMainThread || keptFromOtherThreads < kKeptForOtherThreads);
    if (roomLeft && !isKeptFailureLine(line)) {
        const int slot = keptFailureCount++;
        if (!fromMainThread) ++keptFromOtherThreads;
        std::memcpy(keptFailure[slot], line.data(), line.size());
        keptFailureLength[slot].store(line.size());
    }
    keptFailuresBusy.clear(std::memory_order_release);
}

// The last steps of the exit: the outputs flushed, then the process ended with the status of
// `code`, or with that of outputFailureCode() when `code` is 0. Other threads may still be
// running: no static destructor runs (the CSV file is flushed line by line already).
[[noreturn]] void endProcess(int code) noexcept
{
    try {
        checkStandardOutput();
    } catch (const std::exception &) {
        // Its message could not be written; the status below still tells the failure.
    }
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(exitStatusFor(code != 0 ? code : outputFailureCode()));
}

} // namespace

int exitStatusFor(int code)
{
    return code == 0 ? 0 : code + kExitStatusOffset;
}

namespace {

// The longest timestamp text, its terminating zero included.
constexpr size_t kTimestampMax = 64;

// Formats `time` into `text` as formatTimestamp does, allocating nothing; returns its length.
size_t formatTimestampInto(char (&text)[kTimestampMax], const boost::posix_time::ptime &time)
{
    const boost::gregorian::date day = time.date();
    const boost::posix_time::time_duration clock = time.time_of_day();
    // Microseconds, whatever the clock's native resolution.
    const long long micros = clock.fractional_seconds() * 1000000LL /
                             boost::posix_time::time_duration::ticks_per_second();
    const int length = std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d.%06lld",
                                     int(day.day()), int(day.month()), int(day.year()),
                                     int(clock.hours()), int(clock.minutes()), int(clock.seconds()),
                                     micros);
    return std::min(size_t(length > 0 ? length : 0), sizeof text - 1);
}

// Writes `line` after the current time and a blank, allocating nothing.
void writeStampedLine(std::string_view line)
{
    char stamp[kTimestampMax];
    const size_t length = formatTimestampInto(stamp, boost::posix_time::microsec_clock::local_time());
    stamp[length] = ' ';  // in place of the terminating zero
    writeLine(line, std::string_view(stamp, length + 1));
}

} // namespace

std::string formatTimestamp(const boost::posix_time::ptime &time)
{
    char text[kTimestampMax];
    return std::string(text, formatTimestampInto(text, time));
}

std::string timestampText()
{
    return formatTimestamp(boost::posix_time::microsec_clock::local_time());
}

void threadWorkData::log(int level, std::string message) const
{
    if (level == 1) consoleLine(std::cerr, message);
    if (logLevel >= 0 && logLevel >= level) {
        logQueue.push(std::make_unique<std::string>(timestampText() + " " + message), level);
    }
}

void consoleAndLog(std::ostream &out, const std::string &text)
{
    consoleLine(out, text);
    queueLogLine(kMessageLevel, text);
}

void queueLogLine(int level, std::string line)
{
    logQueue.push(std::make_unique<std::string>(std::move(line)), level);
}

void failureLine(std::initializer_list<std::string_view> pieces) noexcept
{
    char line[kFailureLineMax + 1];
    size_t length = 0;
    for (std::string_view piece : pieces) {
        const size_t n = std::min(piece.size(), kFailureLineMax - length);
        std::memcpy(line + length, piece.data(), n);
        length += n;
    }
    line[length] = '\n';
    std::cerr.flush();
    std::fwrite(line, 1, length + 1, stderr);
    std::fflush(stderr);
    try {
        // The log's level rule, asked before any memory is needed: a line the log would refuse
        // is not kept either.
        if (logQueue.limit() < kMessageLevel) return;
        queueLogLine(kMessageLevel, std::string(line, length));
    } catch (const std::exception &) {
        keepFailureLine(std::string_view(line, length));
    }
}

void useLogFile(std::FILE *file, const std::string &name)
{
    logFileName = name;
    logFile = file;
    setOutputFailureLog(queueLogLine);
}

bool logFileIsOpen()
{
    return logFile != nullptr;
}

void startLoggerThread()
{
    if (!logFileIsOpen() || loggerThreadHandle) return;
    loggerThreadHandle = std::make_unique<std::thread>(loggerThreadBody);
}

void stopLoggerThread()
{
    if (!loggerThreadHandle) return;
    if (loggerThreadHandle->joinable()) {
        logQueue.close();
        loggerThreadHandle->join();
    }
}

RunEndLines runEndLines(const Calculations &record)
{
    return {"Number of non-zeroblocks: " + std::to_string(record.nonZeroBlocks) +
                " Number of zeroblocks: " + std::to_string(record.zeroBlocks) +
                " Total blocks: " + std::to_string(record.nonZeroBlocks + record.zeroBlocks),
            "Device size (bytes) " + std::to_string(record.deviceBytes)};
}

void writeRunEnd(std::string_view heading, const RunEndLines &lines)
{
    if (!logFileIsOpen()) return;
    flushQueuedLines();
    if (!heading.empty() && logQueue.takes(0)) writeLine(heading);
    writeStampedLine(lines.blocks);
    writeStampedLine(lines.deviceSize);
    writeStampedLine("End of run ");
}

void writeRunEnd(const Calculations *record)
{
    if (!logFileIsOpen()) return;
    if (record) {
        writeRunEnd({}, runEndLines(*record));
        return;
    }
    flushQueuedLines();
    for (int slot = 0; slot < kKeptFailures; ++slot) {
        if (const size_t kept = keptFailureLength[slot].load()) writeLine(std::string_view(keptFailure[slot], kept));
    }
    if (runStatus.load() != 0 || outputFailureCode() != 0) writeLine("Execution terminated");
    // Every line has been flushed: a failing close is a failure of the log all the same.
    if (!closeOutputFile(logFile)) noteOutputFailure(RunOutput::Log, logFileName, errno);
    logFile = nullptr;
}

void exitWith(int code) noexcept
{
    const std::thread::id self = std::this_thread::get_id();
    std::thread::id none;
    if (!exitingThread.compare_exchange_strong(none, self)) {
        // Another thread performs the exit: wait for the process to end.
        if (none != self) {
            for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        // This thread began the exit and came back here from one of its steps: end now.
        endProcess(code);
    }
    runStatus.store(code);
    // Closing the read queue stops every sampler thread at its next request; nothing on this
    // road allocates, so that it also ends a run whose memory has run out.
    readQueue.close();
    while (readQueue.tryPop()) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    try {
        // A failure of the standard output found here still gets its line in the log.
        checkStandardOutput();
    } catch (const std::exception &) {
    }
    try {
        stopLoggerThread();
        writeRunEnd(nullptr);
    } catch (const std::exception &) {
        // The log's end is lost; the process still ends with the failure's status.
    }
    endProcess(code);
}
