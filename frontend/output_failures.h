// Requested outputs (the report on standard output, the CSV file, the log) that could not be written.
#ifndef VANTREL_FRONTEND_OUTPUT_FAILURES_H
#define VANTREL_FRONTEND_OUTPUT_FAILURES_H

#include <string>

// The outputs a run writes besides the console's messages, in the order in which a failure
// of theirs decides the run's status (the report first).
enum class RunOutput { Report, Csv, Log };

// Sets `queueLogLine`, through which the failure lines below are queued for the log (with
// their level and text); until it is set they go to the standard error stream alone. The log
// sets it when it takes its file. Thread-safe.
void setOutputFailureLog(void (*queueLogLine)(int level, std::string line));

// Records that `output` could not be written completely, for the system error `error`. The
// first failure of each output writes one line on the standard error stream:
// "Cannot write " + what + " - " + the error's text, where what is "standard output",
// "csv file " + `name` or "logfile " + `name`, queued for the log too (at level 2, through the
// function set above) unless the log is the output that failed; later failures of the same
// output write nothing. Nothing is retried. Thread-safe.
void noteOutputFailure(RunOutput output, const std::string &name, int error);

// Whether a failure of `output` has been recorded. Thread-safe.
bool outputFailed(RunOutput output);

// The failure code of the run's outputs: 0 when every output was written, otherwise that of
// the first failed output in the order report (EXIT_CODE_REPORT_OUTPUT), CSV file
// (EXIT_CODE_CSV_FILE), log (EXIT_CODE_LOG_OPEN). Thread-safe.
int outputFailureCode();

// Records that the process started without a standard output: from then on each
// writeStandardOutput writes nothing and records a failure of the report (EBADF). Main
// thread, before anything is written.
void markStandardOutputMissing();

// Writes `text` to the standard output stream and flushes it, then checks the stream: a
// failed write is recorded as a failure of the report with the error of that write. Main
// thread (or the thread inside exitWith).
void writeStandardOutput(const std::string &text);

// Flushes the standard output stream and records a failure of the report when that flush
// fails or a write of the report (through std::cout, also one made outside
// writeStandardOutput) has failed. A failed write of the log or the CSV file on standard output
// is that output's failure, never the report's. Main thread (or the thread inside exitWith).
void checkStandardOutput();

#endif
