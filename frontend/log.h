// The run's log (levels, timestamped lines, logger thread, end-of-run lines) and the exit routine.
#ifndef VANTREL_FRONTEND_LOG_H
#define VANTREL_FRONTEND_LOG_H

#include <atomic>
#include <boost/date_time/posix_time/ptime.hpp>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>

#include "frontend/console.h"
#include "frontend/exit_codes.h"
#include "frontend/records.h"
#include "frontend/sync_queue.h"

// 0 while the run goes well, else the failure code; reset to 0 at each device's start.
extern std::atomic<int32_t> runStatus;

// Log lines on their way to the logger thread; its limit is the run's log level (-1: off).
extern SyncQueue<std::string> logQueue;

// Process exit status for a failure code: 0 for 0, otherwise code + kExitStatusOffset. Pure.
int exitStatusFor(int code);

// Formats `time` as "%d/%m/%Y %H:%M:%S.%f" (six fractional digits). Pure, thread-safe.
std::string formatTimestamp(const boost::posix_time::ptime &time);

// The current local time formatted as above. Thread-safe.
std::string timestampText();

// Queues `line` unchanged (no timestamp) on the log queue at `level`. Thread-safe.
void queueLogLine(int level, std::string line);

// consoleLine on `out`, then the text queued unchanged at level 2 (failure messages and the
// start line). Thread-safe.
void consoleAndLog(std::ostream &out, const std::string &text);

// The failure line made of `pieces`, joined: written with a newline to the standard error
// stream in one write and queued at level 2, like consoleAndLog, but without throwing. The
// console line needs no memory (a line longer than 4096 bytes is cut); a log line that cannot
// be queued for want of memory is kept aside, needing none, and written by the last
// writeRunEnd, before "Execution terminated": each distinct line once, up to four, of which
// the lines of other threads than the main thread take at most two, so that the main thread's
// own failure lines always find room. A line the log's level refuses is neither queued nor
// kept. For the messages of memory failures, so that every failed run says why. Thread-safe.
void failureLine(std::initializer_list<std::string_view> pieces) noexcept;

// Takes over `file`, the log file named `name`, open for writing (start-up opens and empties
// it); the log writes its lines there, each flushed, and writeRunEnd closes it. A write that
// fails is recorded as a failure of the log output (one message, no more writes). From then on
// the failure lines of the other outputs are queued for the log too (setOutputFailureLog).
// Main thread, start-up only.
void useLogFile(std::FILE *file, const std::string &name);

// Whether the log file is open.
bool logFileIsOpen();

// Starts the logger thread, which writes queued lines to the log file until it meets the end
// marker; does nothing when the log file is not open. Main thread only.
void startLoggerThread();

// Stops the logger thread when it runs (closing the log queue, which needs no memory, so
// that the thread also stops when memory has run out) and joins it; the lines still queued
// are left for writeRunEnd. Main thread, or the one thread inside exitWith.
void stopLoggerThread();

// A record's end-of-run lines without their timestamps: its block counts and its device size
// (the third line, "End of run ", is the same for every record). Throws std::bad_alloc.
struct RunEndLines {
    std::string blocks;
    std::string deviceSize;
};
RunEndLines runEndLines(const Calculations &record);

// Joins the logger thread and writes what is queued, then `heading` unchanged when it is not
// empty and the log takes level-0 lines (as queueLogLine(0, heading) would), then `lines` and
// "End of run ", each after a timestamp. Allocates nothing, so that lines made ahead are still
// written when memory has run out. Does nothing when the log file is not open. Not
// thread-safe: one caller at a time, with the logger thread stopped.
void writeRunEnd(std::string_view heading, const RunEndLines &lines);

// With a record: joins the logger thread, writes what is queued, then the record's three
// end-of-run lines, each with a timestamp. With null: the same flush, the failure line kept
// by failureLine, then "Execution terminated" when the run failed (runStatus is not 0, or an
// output could not be written: outputFailureCode), and closes the log. Does nothing when the log file
// is not open. Not thread-safe: one caller at a time, with the logger thread stopped.
void writeRunEnd(const Calculations *record);

// Ends the process in order: sets runStatus, stops the sampler threads (closing the read
// queue) and empties it, checks the standard output, stops the logger thread, flushes and
// closes the log, exits with exitStatusFor(code), or with that of outputFailureCode() when
// `code` is 0 and an output could not be written. Allocates nothing of its own and throws
// nothing: a step that fails (the log's end, for want of memory) is passed over and the
// process still ends with that status. Safe from any thread; when several threads enter, the
// first one performs the exit and the others wait for the process to end; the thread that
// began the exit, entering again from one of its steps, ends the process at once.
[[noreturn]] void exitWith(int code) noexcept;

#endif
