// The run's log: timestamped lines, the logger thread, the end-of-run lines and the exit routine.
#include "frontend/log.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "frontend/output_failures.h"
#include "frontend/platform.h"
#include "frontend/run_state.h"

const char *const kEndMarker = "END OF EXECUTION";

std::atomic<int32_t> runStatus{0};
SyncQueue<std::string> logQueue;

namespace {

std::FILE *logFile = nullptr;
std::string logFileName;
std::unique_ptr<std::thread> loggerThreadHandle;
std::atomic<bool> exitInProgress{false};

// Only the marker itself ends the logger thread: a log line that merely quotes the marker's
// words (a device path holding them, say) is written like any other.
bool isEndMarker(const std::string &line)
{
    return line == kEndMarker;
}

// Writes one line and a newline, flushed. After a failed write, recorded as the
// log's failure, the file gets no more lines: a later line would follow a gap. Allocates
// nothing, so that the logger thread goes on when memory runs out (only one thread writes the
// file at a time, so the two pieces stay together).
void writeLine(const std::string &line)
{
    if (outputFailed(RunOutput::Log)) return;
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), logFile) != line.size() ||
        std::fputc('\n', logFile) == EOF || std::fflush(logFile) != 0) {
        noteOutputFailure(RunOutput::Log, logFileName, errno != 0 ? errno : EIO);
    }
}

// Writes every line still queued, in order.
void flushQueuedLines()
{
    while (auto line = logQueue.tryPop()) {
        if (!isEndMarker(*line)) writeLine(*line);
    }
}

// Body of the logger thread: writes lines until the end marker. After a failed write the
// thread goes on taking lines (so that the end marker still ends it) but writes no more.
void loggerThreadBody()
{
    for (;;) {
        std::unique_ptr<std::string> line = logQueue.waitAndPop();
        if (isEndMarker(*line)) return;
        writeLine(*line);
    }
}

} // namespace

int exitStatusFor(int code)
{
    return code == 0 ? 0 : code + kExitStatusOffset;
}

std::string formatTimestamp(const boost::posix_time::ptime &time)
{
    const boost::gregorian::date day = time.date();
    const boost::posix_time::time_duration clock = time.time_of_day();
    // Microseconds, whatever the clock's native resolution.
    const long long micros = clock.fractional_seconds() * 1000000LL /
                             boost::posix_time::time_duration::ticks_per_second();
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d.%06lld",
                  int(day.day()), int(day.month()), int(day.year()), int(clock.hours()),
                  int(clock.minutes()), int(clock.seconds()), micros);
    return text;
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

void consoleLine(std::ostream &out, const std::string &text)
{
    out << (text + '\n') << std::flush;
}

void consoleAndLog(std::ostream &out, const std::string &text)
{
    consoleLine(out, text);
    queueLogLine(2, text);
}

void queueLogLine(int level, std::string line)
{
    logQueue.push(std::make_unique<std::string>(std::move(line)), level);
}

void useLogFile(std::FILE *file, const std::string &name)
{
    logFileName = name;
    logFile = file;
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
        logQueue.pushAlways(std::make_unique<std::string>(kEndMarker));
        loggerThreadHandle->join();
    }
}

void writeRunEnd(const Calculations *record)
{
    if (!logFileIsOpen()) return;
    if (loggerThreadHandle && loggerThreadHandle->joinable()) loggerThreadHandle->join();
    flushQueuedLines();
    if (record) {
        writeLine(timestampText() + " Number of non-zeroblocks: " +
                  std::to_string(record->nonZeroBlocks) + " Number of zeroblocks: " +
                  std::to_string(record->zeroBlocks) + " Total blocks: " +
                  std::to_string(record->nonZeroBlocks + record->zeroBlocks));
        writeLine(timestampText() + " Device size (bytes) " + std::to_string(record->deviceBytes));
        writeLine(timestampText() + " End of run ");
        return;
    }
    if (runStatus.load() != 0) writeLine("Execution terminated");
    // Every line has been flushed: a failing close is a failure of the log all the same.
    if (std::fclose(logFile) != 0) noteOutputFailure(RunOutput::Log, logFileName, errno);
    logFile = nullptr;
}

void exitWith(int code)
{
    if (exitInProgress.exchange(true)) {
        // Another thread performs the exit; wait for the process to end.
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    runStatus.store(code);
    while (readQueue.tryPop()) {
    }
    const int stops = 2 * startedSamplerThreads.load();
    for (int i = 0; i < stops; ++i) {
        readQueue.push(std::make_unique<ReadRequest>(ReadRequest{kStopOffset, kStopLength, -1}), 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stopLoggerThread();
    writeRunEnd(nullptr);
    // Other threads may still be running: leave without running static destructors, after
    // flushing every output stream (the CSV file is flushed line by line already).
    checkStandardOutput();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(exitStatusFor(code != 0 ? code : outputFailureCode()));
}
