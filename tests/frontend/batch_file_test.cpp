// Batch-file lines: entries, comments, syntax warnings and duplicates.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "frontend/batch_file.h"
#include "frontend/log.h"

namespace {

using namespace std::string_literals;

struct Parsed {
    std::vector<BatchEntry> entries;
    std::vector<BatchWarning> warnings;
};

Parsed parse(const std::string &text)
{
    std::istringstream in(text);
    Parsed parsed;
    std::queue<ListedEntry> queue = parseBatchLines(in, &parsed.warnings);
    for (; !queue.empty(); queue.pop()) parsed.entries.push_back(queue.front());
    return parsed;
}

std::string syntaxError(int line, const std::string &text)
{
    return "batch file syntax error: (line " + std::to_string(line) + ") \"" + text + "\"";
}

TEST(BatchFile, EachKindOfLine)
{
    struct Case {
        std::string line;
        std::vector<std::pair<char, std::string>> entries;  // kind and text
        int number;                                          // of the first entry
        std::string warning;                                 // "" for none
        int level;
    } cases[] = {
        {"", {}, 0, "", 0},
        {"  # comment", {}, 0, "", 0},
        {"#/dev/sdb", {}, 0, "", 0},
        {"/dev/sdb   # main disk", {{'D', "/dev/sdb"}}, -1, "", 0},
        {"\t /dev/sdb", {{'D', "/dev/sdb"}}, -1, "", 0},
        {"\\\\.\\PhysicalDrive1", {{'D', "\\\\.\\PhysicalDrive1"}}, -1, "", 0},
        {"/dev/sdb extra",
         {{'D', "/dev/sdb"}}, -1,
         "batch file syntax error (assuming inline comment): (line 1) \"/dev/sdb extra\"", 0},
        {"[2]", {{'N', "2"}}, 2, "", 0},
        {"disk [12] x", {{'N', "12"}}, 12, "", 0},
        {"[12abc]", {{'N', "12abc"}}, 12, "", 0},
        {"/dev/sdb [1]", {{'N', "1"}}, 1, "", 0},
        {"[2]\r", {{'N', "2"}}, 2, "", 0},
        {"/dev/sdb\r", {{'D', "/dev/sdb"}}, -1, "", 0},
        {"[/dev/sdb]", {}, 0, syntaxError(1, "[/dev/sdb]"), 2},
        {"dev/sdb", {}, 0, syntaxError(1, "dev/sdb"), 2},
        {"3", {}, 0, syntaxError(1, "3"), 2},
        {"[ 2]", {}, 0, syntaxError(1, "[ 2]"), 2},
        {"[]", {}, 0, syntaxError(1, "[]"), 2},
        {"] [3]", {}, 0, syntaxError(1, "] [3]"), 2},
        {"  word", {}, 0, syntaxError(1, "  word"), 2},  // the line as read, untrimmed
        // A NUL byte anywhere refuses the line, NUL and all quoted.
        {"/dev/sdb\0/dev/sdc"s, {}, 0, syntaxError(1, "/dev/sdb\0/dev/sdc"s), 2},
        {"/dev/sdb # note\0"s, {}, 0, syntaxError(1, "/dev/sdb # note\0"s), 2},
        {"[2]\0"s, {}, 0, syntaxError(1, "[2]\0"s), 2},
        {"# comment\0"s, {}, 0, syntaxError(1, "# comment\0"s), 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        const Parsed parsed = parse(c.line + "\n");
        ASSERT_EQ(parsed.entries.size(), c.entries.size());
        for (size_t i = 0; i < c.entries.size(); i++) {
            EXPECT_EQ(parsed.entries[i].kind, c.entries[i].first);
            EXPECT_EQ(parsed.entries[i].text, c.entries[i].second);
        }
        if (!c.entries.empty()) {
            EXPECT_EQ(parsed.entries[0].number, c.number);
        }
        if (c.warning.empty()) {
            EXPECT_TRUE(parsed.warnings.empty());
        } else {
            ASSERT_EQ(parsed.warnings.size(), 1u);
            EXPECT_EQ(parsed.warnings[0].text, c.warning);
            EXPECT_EQ(parsed.warnings[0].level, c.level);
            // Only the inline-comment warning is queued without a timestamp.
            EXPECT_EQ(parsed.warnings[0].timestamped, c.level == 2);
        }
    }
}

TEST(BatchFile, FileOrderLineNumbersAndDuplicates)
{
    const Parsed parsed = parse(
        "# devices\n"
        "\n"
        "/dev/sdb\n"
        "[3]\n"
        "bogus\n"
        "  /dev/sdb  # again\n"
        "[03]\n"
        "/dev/sdc");  // the last line needs no newline
    ASSERT_EQ(parsed.entries.size(), 4u);
    EXPECT_EQ(parsed.entries[0].text, "/dev/sdb");
    EXPECT_EQ(parsed.entries[1].text, "3");
    EXPECT_EQ(parsed.entries[2].text, "03");  // [3] and [03] differ as texts
    EXPECT_EQ(parsed.entries[2].number, 3);
    EXPECT_EQ(parsed.entries[3].text, "/dev/sdc");
    ASSERT_EQ(parsed.warnings.size(), 2u);
    EXPECT_EQ(parsed.warnings[0].text, syntaxError(5, "bogus"));
    EXPECT_EQ(parsed.warnings[1].text,
              "batch file duplicate entry error: (line 6) \"  /dev/sdb  # again\" is already listed");
    EXPECT_EQ(parsed.warnings[1].level, 2);
}

TEST(BatchFile, ALineWithANulIsSkippedAndTheOthersRead)
{
    const Parsed parsed = parse("/dev/sda\n/dev/sdb\0tail\n/dev/sdb\n/dev/sdc\0/dev/sdd\0"s);
    ASSERT_EQ(parsed.entries.size(), 2u);
    EXPECT_EQ(parsed.entries[0].text, "/dev/sda");
    // The refused line listed nothing, so a later line of its path is no duplicate.
    EXPECT_EQ(parsed.entries[1].text, "/dev/sdb");
    ASSERT_EQ(parsed.warnings.size(), 2u);
    EXPECT_EQ(parsed.warnings[0].text, syntaxError(2, "/dev/sdb\0tail"s));
    EXPECT_EQ(parsed.warnings[1].text, syntaxError(4, "/dev/sdc\0/dev/sdd\0"s));
}

TEST(BatchFile, OnlyCommentsAndRejectedLinesGiveNoEntry)
{
    EXPECT_TRUE(parse("\n").entries.empty());
    EXPECT_TRUE(parse("# a\n  \nsdb\n").entries.empty());
}

class BatchFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vantrel_batch_XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        const std::string text = "/dev/sdb\r\n[7]\r\nnope\r\n/dev/sdb\r\n/dev/sdc more\n";
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        path = pattern;
    }
    void TearDown() override
    {
        std::remove(path.c_str());
        logQueue.setLimit(0);
        while (logQueue.tryPop()) {
        }
    }

    // Parses the file at log level `level` and returns the lines queued for the log.
    std::vector<std::string> parseAtLevel(int level, size_t *entryCount)
    {
        logQueue.setLimit(level);
        Calculations record(0, 0, 0);
        record.logLevel = level;
        *entryCount = parseBatchFile(path, &record)->size();
        std::vector<std::string> lines;
        while (auto line = logQueue.tryPop()) lines.push_back(*line);
        return lines;
    }

    std::string path;
};

TEST_F(BatchFileOnDisk, EntriesInFileOrder)
{
    Calculations record(0, 0, 0);
    record.logLevel = -1;  // logging off: the warnings are dropped
    auto entries = parseBatchFile(path, &record);
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_EQ(entries->front().text, "/dev/sdb");  // the carriage return ends the path
    entries->pop();
    EXPECT_EQ(entries->front().kind, 'N');
    EXPECT_EQ(entries->front().number, 7);
    entries->pop();
    EXPECT_EQ(entries->front().text, "/dev/sdc");
}

TEST_F(BatchFileOnDisk, WarningsReachTheLogByLevel)
{
    size_t entries = 0;
    std::vector<std::string> lines = parseAtLevel(2, &entries);
    EXPECT_EQ(entries, 3u);
    ASSERT_EQ(lines.size(), 3u);
    // Syntax and duplicate warnings carry a timestamp and a blank; the inline-comment warning
    // is queued as it stands.
    const size_t stamp = timestampText().size();
    EXPECT_EQ(lines[0].substr(stamp), " batch file syntax error: (line 3) \"nope\r\"");
    EXPECT_EQ(lines[1].substr(stamp),
              " batch file duplicate entry error: (line 4) \"/dev/sdb\r\" is already listed");
    EXPECT_EQ(lines[2], "batch file syntax error (assuming inline comment): (line 5) \"/dev/sdc more\"");

    // At level 1 only the inline-comment warning (level 0) is kept.
    lines = parseAtLevel(1, &entries);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("batch file syntax error (assuming inline comment)", 0), 0u);
}

}  // namespace
