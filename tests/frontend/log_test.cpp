// The log: timestamp text, level rule, logger thread, end-of-run lines and exit statuses.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <unistd.h>
#include <vector>

#include "frontend/log.h"

namespace {

// Whether `line` is a timestamp ("08/12/2024 19:21:05.123456") followed by `rest`.
bool isStamped(const std::string &line, const std::string &rest)
{
    const std::string shape = "00/00/0000 00:00:00.000000";
    if (line.size() != shape.size() + rest.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == '0' ? !digit : line[i] != shape[i]) return false;
    }
    return line.compare(shape.size(), std::string::npos, rest) == 0;
}

std::vector<std::string> drainLog()
{
    std::vector<std::string> lines;
    while (auto line = logQueue.tryPop()) lines.push_back(*line);
    return lines;
}

std::vector<std::string> readLines(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(LogTest, TimestampHasDayMonthYearAndMicroseconds)
{
    using namespace boost::posix_time;
    const ptime time(boost::gregorian::date(2024, 12, 8), hours(19) + minutes(21) + seconds(5) +
                                                              microseconds(123456));
    EXPECT_EQ(formatTimestamp(time), "08/12/2024 19:21:05.123456");
    const ptime midnight(boost::gregorian::date(2025, 1, 31), microseconds(7));
    EXPECT_EQ(formatTimestamp(midnight), "31/01/2025 00:00:00.000007");
    EXPECT_TRUE(isStamped(timestampText(), ""));
    EXPECT_FALSE(isStamped("8/12/2024 19:21:05.123456", ""));
}

TEST(LogTest, LevelRuleDecidesQueueAndStandardError)
{
    const struct {
        int runLevel;  // record's logLevel and the queue's limit
        int lineLevel;
        bool queued;
        bool onStandardError;
    } cases[] = {
        {2, 2, true, false}, {2, 3, false, false}, {2, 1, true, true}, {0, 1, false, true},
        {0, 0, false, false}, {-1, 1, false, true}, {6, 5, true, false}, {6, 0, true, false},
    };
    for (const auto &c : cases) {
        logQueue.setLimit(c.runLevel);
        threadWorkData record(0, 0, 0);
        record.logLevel = c.runLevel;
        testing::internal::CaptureStderr();
        record.log(c.lineLevel, "Random seed: 42");
        const std::string err = testing::internal::GetCapturedStderr();
        const std::vector<std::string> lines = drainLog();
        SCOPED_TRACE(testing::Message() << "run level " << c.runLevel << ", line level " << c.lineLevel);
        EXPECT_EQ(err, c.onStandardError ? "Random seed: 42\n" : "");
        ASSERT_EQ(lines.size(), c.queued ? 1u : 0u);
        if (c.queued) {
            EXPECT_TRUE(isStamped(lines[0], " Random seed: 42")) << lines[0];
        }
    }
    // Lines queued directly keep their text as it stands.
    logQueue.setLimit(2);
    queueLogLine(2, "starting");
    queueLogLine(3, "too detailed");
    EXPECT_EQ(drainLog(), std::vector<std::string>{"starting"});
}

TEST(LogTest, ExitStatusIsCodePlusThree)
{
    EXPECT_EQ(exitStatusFor(EXIT_CODE_OK), 0);
    EXPECT_EQ(exitStatusFor(EXIT_CODE_BAD_OPTION), 4);
    EXPECT_EQ(exitStatusFor(EXIT_CODE_THREAD_COUNT), 11);
    EXPECT_EQ(exitStatusFor(EXIT_CODE_IO_ERRORS), 17);
    EXPECT_EQ(exitStatusFor(EXIT_CODE_ENGINE_MEMORY), 26);
}

TEST(LogTest, LoggerThreadAndRunEndWriteTheFileInOrder)
{
    char dir[] = "/tmp/vantrel_log_test_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/run.log";

    logQueue.setLimit(2);
    useLogFile(std::fopen(path.c_str(), "w"), path);
    ASSERT_TRUE(logFileIsOpen());
    queueLogLine(2, "starting line");
    // A line that only quotes the end marker's words is an ordinary line.
    queueLogLine(2, "Error opening : /images/END OF EXECUTION.img - Permission denied");
    startLoggerThread();
    threadWorkData record(0, 0, 0);
    record.logLevel = 2;
    record.log(3, "engine trace");
    record.log(2, "Random seed: 7");
    stopLoggerThread();

    // Lines queued after the logger thread stopped reach the file through writeRunEnd.
    queueLogLine(0, "Summarize device /dev/sdb:");
    Calculations figures(0, 0, 0);
    figures.nonZeroBlocks = 3400;
    figures.zeroBlocks = 600;
    figures.deviceBytes = 1000000;
    writeRunEnd(&figures);
    queueLogLine(2, "Finished vantrel");
    runStatus.store(EXIT_CODE_IO_ERRORS);
    writeRunEnd(nullptr);
    runStatus.store(0);
    EXPECT_FALSE(logFileIsOpen());
    writeRunEnd(nullptr);  // a closed log is left alone

    // (stamped, text) per line.
    const std::vector<std::pair<bool, std::string>> expected = {
        {false, "starting line"},
        {false, "Error opening : /images/END OF EXECUTION.img - Permission denied"},
        {true, " Random seed: 7"},
        {false, "Summarize device /dev/sdb:"},
        {true, " Number of non-zeroblocks: 3400 Number of zeroblocks: 600 Total blocks: 4000"},
        {true, " Device size (bytes) 1000000"},
        {true, " End of run "},
        {false, "Finished vantrel"},
        {false, "Execution terminated"},
    };
    const std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto &[stamped, text] = expected[i];
        EXPECT_TRUE(stamped ? isStamped(lines[i], text) : lines[i] == text) << "line " << i << ": " << lines[i];
    }
    std::remove(path.c_str());
    rmdir(dir);
}

} // namespace
