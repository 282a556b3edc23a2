// Table, paragraph and CSV reports, character by character, and printReport's choices.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "frontend/reports.h"
#include "frontend/settings.h"

namespace {

constexpr uint64_t kGiB = uint64_t(1) << 30;

std::string blanks(int n) { return std::string(n, ' '); }

// The device of the worked example: 3400 samples, 100 GiB, 42.5 GiB compressed, 15 percent
// thin-provisioning and 50 percent compression savings, a 4.97 percent accuracy range.
Calculations exampleDevice(int64_t samples = 3400)
{
    Calculations c(0, 0, 0);
    c.nonZeroBlocks = samples;
    c.deviceBytes = 100 * kGiB;
    c.sizeGB = 85;
    c.compressedGB = 42.5;
    c.thinProvisioningPct = 15;
    c.compressionPct = 50;
    c.accuracyPct = 4.972;
    return c;
}

const std::string kExampleNumbers = blanks(4) + "100.0 |" + blanks(7) + "42.5 |" + blanks(7) +
                                    "57.5 |" + blanks(6) + "57.5% |" + blanks(13) + "15.0% |" +
                                    blanks(7) + "50.0% |" + blanks(13) + "5.0%\n";

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Reports, TableHeaderAndRowsToTheCharacter)
{
    EXPECT_EQ(tableHeader(2),
              "\n"
              " Sample#     | Device  | Size(GB) | Compressed |   Total    |   Total    | Thin "
              "Provisioning | Compression |   Compression\n"
              "             |  Name   |          |  Size(GB)  | Savings(GB)| Savings(%) |    "
              "Savings(%)     | Savings(%)  | Accuracy Range(%)\n"
              "-------------+---------+----------+------------+------------+------------+------"
              "-------------+-------------+------------------\n");

    const Calculations device = exampleDevice();
    EXPECT_EQ(tableDeviceRow(device, "/dev/sdb", false, 2),
              "3400" + blanks(9) + "|/dev/sdb |" + kExampleNumbers);
    // Marked below the sample target: "**" after the count, the column still 14 wide.
    EXPECT_EQ(tableDeviceRow(device, "/dev/sdb", true, 2),
              "3400**" + blanks(7) + "|/dev/sdb |" + kExampleNumbers);
    EXPECT_EQ(tableDeviceRow(exampleDevice(100), "/dev/sdb", true, 2).substr(0, 14),
              "100**" + blanks(8) + "|");
    // A shorter name is padded to the column; a longer one pushes the row to the right.
    EXPECT_EQ(tableDeviceRow(device, "/dev/a", false, 2).substr(14, 10), "/dev/a   |");
    EXPECT_EQ(tableDeviceRow(device, "/dev/sdb12", false, 2).substr(14, 12), "/dev/sdb12 |");
}

TEST(Reports, TotalRowCountsDevices)
{
    Calculations totals = exampleDevice();
    const std::string separator =
        "-------------+--" + std::string("-------+----------+------------+------------+--------"
                                         "----+-------------------+-------------+-------------"
                                         "-----\n");
    EXPECT_EQ(tableSeparator(2), separator);
    const std::string numbers = kExampleNumbers.substr(0, kExampleNumbers.size() - 18);
    EXPECT_EQ(tableTotalRow(totals, 1, 2),
              separator + "Total        |1 Device " + "|" + numbers + blanks(13) + "N/A\n");
    EXPECT_EQ(tableTotalRow(totals, 2, 2).substr(separator.size(), 24),
              "Total        |2 Devices|");
    // Ten devices and more: the word gets one character less, the column stays W + 7 wide.
    EXPECT_EQ(tableTotalRow(totals, 12, 3).substr(tableSeparator(3).size(), 25),
              "Total        |12 Devices|");
}

TEST(Reports, ConsoleShowsTinyCompressionSavingsAsZero)
{
    Calculations c = exampleDevice();
    c.compressionPct = -0.04;
    EXPECT_NE(tableDeviceRow(c, "/dev/sdb", false, 2).find("|        0.0% |"), std::string::npos);
    EXPECT_NE(paragraphDevice(c, "/dev/sdb").find("Compression Savings:\t\t0.0%\n"),
              std::string::npos);
    EXPECT_NE(csvDeviceLine(c, "/dev/sdb", false, ",").find(",-0.040,"), std::string::npos);
    c.compressionPct = -0.1;
    EXPECT_NE(tableDeviceRow(c, "/dev/sdb", false, 2).find("|       -0.1% |"), std::string::npos);
}

TEST(Reports, ParagraphsToTheCharacter)
{
    const std::string rule(70, '=');
    EXPECT_EQ(paragraphDevice(exampleDevice(), "/dev/sdb"),
              "\nDevice Name:\t\t\t/dev/sdb\nSample #:\t\t\t3400\nSize(GB):\t\t\t100.0 \n"
              "Compressed Size(GB):\t\t42.5  \nTotal Savings(GB):\t\t57.5  \n"
              "Total Savings:\t\t\t57.5%\nCompression Savings:\t\t50.0%\n"
              "Compression Accuracy Range:\t5.0%\nThin Provisioning Savings:\t15.0%\n" +
                  rule + "\n");
    EXPECT_EQ(paragraphTotal(exampleDevice(), 3),
              "\nTotal for analyzed devices:\n\nNumber of devices analyzed:\t3\n"
              "Total size(GB):\t\t\t100.0 \nTotal compressed size(GB):\t42.5  \n"
              "Total Savings(GB):\t\t57.5  \nTotal Savings:\t\t\t57.5%\n"
              "Compression Savings:\t\t50.0%\nThin Provisioning Savings:\t15.0%\n" + rule + "\n");
}

TEST(Reports, CsvLinesToTheCharacter)
{
    EXPECT_EQ(csvHeader(","),
              "Sample#,Device Name,Size(GB),Compressed Size(GB),Total Savings(GB),Total Savings %,"
              "Thin Provisioning Savings %,Compression Savings %,Accuracy Range %\n");
    EXPECT_EQ(csvDeviceLine(exampleDevice(), "/dev/sdb", false, ","),
              "3400,/dev/sdb,100.000,42.500,57.500,57.500,15.000,50.000,4.972\n");
    EXPECT_EQ(csvDeviceLine(exampleDevice(12), "/dev/a,b", true, ";"),
              "12**;/dev/a,b;100.000;42.500;57.500;57.500;15.000;50.000;4.972\n");
    // A line break in a name would split the row: such a name is quoted, whatever the separator.
    EXPECT_EQ(csvDeviceLine(exampleDevice(), "/dev/a\nb", false, ";"),
              "3400;\"/dev/a\nb\";100.000;42.500;57.500;57.500;15.000;50.000;4.972\n");
    EXPECT_EQ(csvDeviceLine(exampleDevice(), "/dev/a\r", false, ",").substr(0, 15), "3400,\"/dev/a\r\",");
    EXPECT_EQ(csvTotalLine(exampleDevice(), 1, ","),
              "Total,1 Device,100.000,42.500,57.500,57.500,15.000,50.000,N/A\n");
    EXPECT_EQ(csvTotalLine(exampleDevice(), 2, ",").substr(0, 15), "Total,2 Devices");
}

class PrintReport : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vantrel_reports_XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        csvPath = pattern;
        saved = settings;
        settings.maxNumSamples = 3400;
        nameColumnWidth = 0;
        reportHeaderShown = false;
        csvHeaderWritten = false;
        resultCount = 0;
    }
    void TearDown() override
    {
        closeCsvFile();
        std::remove(csvPath.c_str());
        settings = saved;
    }

    // -c names the test's file, created as start-up creates it.
    void useCsvFile()
    {
        settings.csvFileName = csvPath;
        setCsvFile(std::fopen(csvPath.c_str(), "w"));
    }

    // Runs printReport for each item and returns what it printed on the console.
    std::string print(std::initializer_list<std::pair<DeviceResult, ReportMode>> items)
    {
        ::testing::internal::CaptureStdout();
        for (const auto &item : items) printReport(&item.first, item.second);
        return ::testing::internal::GetCapturedStdout();
    }

    std::string csvPath;
    RunSettings saved;
};

TEST_F(PrintReport, RegisteredNamesSetTheNameColumn)
{
    Calculations c = exampleDevice();
    print({{{&c, "/dev/a"}, REPORT_REGISTER}});
    EXPECT_EQ(nameColumnWidth, 0);  // a name of 5 or 6 characters leaves the column 7 wide
    print({{{&c, "/dev/sdb12ab"}, REPORT_REGISTER}, {{&c, "/dev/sdb"}, REPORT_REGISTER}});
    EXPECT_EQ(nameColumnWidth, 6);  // 12 characters: a column of 13
}

TEST_F(PrintReport, SingleDeviceRunWritesEveryRowToTheCsvFile)
{
    useCsvFile();
    Calculations c = exampleDevice();
    DeviceResult row{&c, "/dev/sdb"};
    const std::string console = print({{row, REPORT_REGISTER}, {row, REPORT_ROW}, {row, REPORT_ROW}});
    EXPECT_EQ(console, tableHeader(2) + tableDeviceRow(c, "/dev/sdb", false, 2) +
                           tableDeviceRow(c, "/dev/sdb", false, 2));
    EXPECT_EQ(readFile(csvPath), csvHeader(",") + csvDeviceLine(c, "/dev/sdb", false, ",") +
                                     csvDeviceLine(c, "/dev/sdb", false, ","));
}

TEST_F(PrintReport, BatchRunMarksDevicesBelowTheTargetAndLeavesThemOutOfTheCount)
{
    useCsvFile();
    settings.config = "devices.txt";
    Calculations full = exampleDevice(), partial = exampleDevice(100), totals = exampleDevice();
    DeviceResult sdb{&full, "/dev/sdb"}, sdc{&partial, "/dev/sdc"}, total{&totals, ""};
    print({{sdb, REPORT_REGISTER}, {sdb, REPORT_ROW}, {sdc, REPORT_REGISTER}});
    EXPECT_EQ(readFile(csvPath), "");  // no progress rows in a batch's CSV file

    // The main road counts the devices the totals cover: /dev/sdb only.
    reportHeaderShown = false;
    resultCount = 1;
    const std::string console = print({{sdb, REPORT_DEVICE}, {sdc, REPORT_DEVICE}, {total, REPORT_TOTAL}});
    EXPECT_EQ(resultCount, 1);
    EXPECT_EQ(console, tableHeader(2) + tableDeviceRow(full, "/dev/sdb", false, 2) +
                           tableDeviceRow(partial, "/dev/sdc", true, 2) +
                           tableTotalRow(totals, 1, 2));
    EXPECT_EQ(readFile(csvPath),
              csvHeader(",") + csvDeviceLine(full, "/dev/sdb", false, ",") +
                  "100**,/dev/sdc,100.000,42.500,57.500,57.500,15.000,50.000,4.972\n"
                  "\n\nSummary:\nTotal,1 Device,100.000,42.500,57.500,57.500,15.000,50.000,N/A\n");
}

TEST_F(PrintReport, ParagraphForm)
{
    settings.paragraphFormat = true;
    settings.config = "devices.txt";
    Calculations partial = exampleDevice(100), totals = exampleDevice();
    DeviceResult sdc{&partial, "/dev/sdc"}, total{&totals, ""};

    // Without a CSV file a device below the target is not marked.
    resultCount = 0;
    EXPECT_EQ(print({{sdc, REPORT_DEVICE}}), paragraphDevice(partial, "/dev/sdc"));
    EXPECT_EQ(resultCount, 0);

    // With -v the progress paragraphs stand for the device summaries; the CSV file still
    // marks the device, which the totals' count (none) leaves out.
    settings.verbose = true;
    useCsvFile();
    resultCount = 0;
    EXPECT_EQ(print({{sdc, REPORT_ROW}, {sdc, REPORT_DEVICE}, {total, REPORT_TOTAL}}),
              paragraphDevice(partial, "/dev/sdc") + paragraphTotal(totals, 0));
    EXPECT_EQ(readFile(csvPath).substr(csvHeader(",").size(), 6), "100**,");
}

TEST_F(PrintReport, RecordWithoutSamplesPrintsNothingAnywhere)
{
    useCsvFile();
    Calculations empty(0, 0, 0);
    empty.deviceBytes = kGiB;
    EXPECT_EQ(print({{{&empty, "/dev/sdb"}, REPORT_ROW}, {{&empty, ""}, REPORT_TOTAL}}), "");
    EXPECT_EQ(readFile(csvPath), "");
}

}  // namespace
