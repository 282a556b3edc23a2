// Requested outputs that could not be written: one message each and the run's failure code.
#include "frontend/output_failures.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "frontend/console.h"
#include "frontend/exit_codes.h"
#include "frontend/platform.h"

namespace {

constexpr int kOutputCount = 3;
std::atomic<bool> failed[kOutputCount];
std::atomic<bool> standardOutputMissing{false};
std::atomic<void (*)(int, std::string)> logLineQueue{nullptr};

const int kFailureCode[kOutputCount] = {EXIT_CODE_REPORT_OUTPUT, EXIT_CODE_CSV_FILE,
                                        EXIT_CODE_LOG_OPEN};

std::string outputText(RunOutput output, const std::string &name)
{
    switch (output) {
    case RunOutput::Report: return "standard output";
    case RunOutput::Csv: return "csv file " + name;
    case RunOutput::Log: break;
    }
    return "logfile " + name;
}

} // namespace

void setOutputFailureLog(void (*queueLogLine)(int level, std::string line))
{
    logLineQueue.store(queueLogLine);
}

void noteOutputFailure(RunOutput output, const std::string &name, int error)
{
    // Before anything else can replace the system's code of the failure.
    const int reason = failedWriteError(error);
    if (failed[int(output)].exchange(true)) return;
    const std::string text = "Cannot write " + outputText(output, name) + " - " + std::strerror(reason);
    consoleLine(std::cerr, text);
    // The log's own failure cannot go into the log; the others' lines go there too.
    const auto queueLogLine = logLineQueue.load();
    if (output != RunOutput::Log && queueLogLine != nullptr) queueLogLine(2, text);
}

bool outputFailed(RunOutput output)
{
    return failed[int(output)].load();
}

int outputFailureCode()
{
    for (int i = 0; i < kOutputCount; ++i) {
        if (failed[i].load()) return kFailureCode[i];
    }
    return EXIT_CODE_OK;
}

void markStandardOutputMissing()
{
    standardOutputMissing.store(true);
}

void writeStandardOutput(const std::string &text)
{
    if (standardOutputMissing.load()) {
        noteOutputFailure(RunOutput::Report, "", EBADF);
        return;
    }
    std::cout << text << std::flush;
    // Right after the write errno still holds its error; a later flush no longer knows it.
    if (!std::cout.good()) noteOutputFailure(RunOutput::Report, "", errno != 0 ? errno : EIO);
}

void checkStandardOutput()
{
    // Not the stream's error indicator: the log and the CSV file set it too when they are
    // written through standard output and fail, and they report their own failures.
    errno = 0;
    std::cout.flush();
    const bool flushFailed = std::fflush(stdout) != 0;
    const int error = errno;
    if (flushFailed || !std::cout.good()) noteOutputFailure(RunOutput::Report, "", error != 0 ? error : EIO);
}
