// The front end's Windows seam against the fake Windows: the administrator check's wiring into
// the run, the batch's disk numbers resolved before the devices, UTF-8 names widened at the Win32 calls and narrowed for the reports, the reader's
// failures and codes, and the exit statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <queue>
#include <regex>
#include <string>

#include "frontend/log.h"
#include "frontend/output_guard.h"
#include "frontend/platform.h"
#include "frontend/records.h"
#include "frontend/run_state.h"
#include "tests/windows/fake_win32.h"
#include "windows/win32_calls.h"
#include "tests/windows_seam/listed_entry.h"

namespace {

// "Z:\images\Ωд.img" as UTF-8, and the same name as the fake Windows sees it.
const std::string wideImage = "Z:\\images\\\xCE\xA9\xD0\xB4.img";
const std::wstring wideImageW = L"Z:\\images\\\u03A9\u0434.img";

std::string fileText(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A run not elevated ends before the device is sized: status 433, the administrator line in
// the log (timestamped, at level 2), nothing on the console, no device opened.
TEST(PlatformSeamTest, UnelevatedRunEndsWith433BeforeAnyDeviceIsSized)
{
    // One name for the test and its death-test child, which is another process.
    const std::filesystem::path log = std::filesystem::temp_directory_path() / "vantrel_seam_433.log";
    std::filesystem::remove(log);
    FakeWin32 fake;
    fake.elevated = false;
    fake.files[wideImageW].data = std::string(4096, 'x');
    EXPECT_EXIT(
        {
            logQueue.setLimit(2);
            OutputVerdict verdict;
            useLogFile(openOutputFile(log.string(), {}, verdict), log.string());
            totalCalculations = new Calculations(0, 0, 0);
            totalCalculations->logLevel = 2;
            platformBeforeSizing();
            int error = 0;
            sizeDevice(wideImage, error);
            std::exit(0);
        },
        ::testing::ExitedWithCode(433), "^$");
    const std::string text = fileText(log);
    EXPECT_TRUE(std::regex_search(
        text, std::regex("(^|\n)[0-9/]+ [0-9:.]+ This program privilege level requires to run as administrator\r?\n")))
        << text;
    EXPECT_NE(text.find("Execution terminated"), std::string::npos) << text;
    std::filesystem::remove(log);

    // Elevated (Wine's case), the check asks the token and lets the run go on to the sizing.
    fake.elevated = true;
    platformBeforeSizing();
    EXPECT_TRUE(fake.tokenOpened);
    int error = -1;
    EXPECT_EQ(sizeDevice(wideImage, error), 4096);
    EXPECT_EQ(error, 0);
}

// A standard error stream that first moves the log lines queued so far into its transcript,
// then what is written to it: the transcript shows whether a line was logged before or after
// it was printed.
class LogThenConsoleTranscript : public std::streambuf {
public:
    std::string transcript;

protected:
    std::streamsize xsputn(const char *text, std::streamsize count) override
    {
        takeLogLines();
        transcript.append(text, size_t(count));
        return count;
    }

    int overflow(int c) override
    {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        const char one = char(c);
        xsputn(&one, 1);
        return c;
    }

private:
    void takeLogLines()
    {
        while (std::unique_ptr<std::string> line = logQueue.tryPop()) transcript += "log: " + *line + "\n";
    }
};

// A batch of [1], a path and [7] on a machine with disk 1 only: disk 1 becomes its path, the
// path stays (a wide name kept whole), 7 is dropped after its line is logged (timestamped) and
// then printed; the disk's path joins the run's inputs, which the outputs may never overwrite.
TEST(PlatformSeamTest, BatchDiskNumbersBecomePathsAndAMissingOneIsLoggedThenPrinted)
{
    FakeWin32 fake;
    const std::wstring disk = L"\\\\?\\scsi#disk&ven_fake#4&1a2b&0&000001#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    fake.interfaces.push_back(disk);
    fake.files[disk].deviceNumber = 1;
    std::queue<ListedEntry> batch;
    batch.push(listedEntry('N', 1, "1", 1, "[1]"));
    batch.push(listedEntry('D', -1, wideImage, 2, wideImage));
    batch.push(listedEntry('N', 7, "7", 3, "[7]"));

    const int logLimit = logQueue.limit();
    logQueue.setLimit(2);
    totalCalculations = new Calculations(0, 0, 0);
    totalCalculations->logLevel = 2;
    LogThenConsoleTranscript console;
    std::streambuf *const stderrBuffer = std::cerr.rdbuf(&console);
    platformBeforeDevices(true, batch);
    std::cerr.rdbuf(stderrBuffer);
    delete totalCalculations;
    totalCalculations = nullptr;
    logQueue.setLimit(logLimit);

    const std::string diskPath(disk.begin(), disk.end());
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch.front().text, diskPath);
    EXPECT_EQ(batch.back().text, wideImage);
    EXPECT_TRUE(std::regex_match(console.transcript,
                                 std::regex("log: [0-9/]+ [0-9:.]+ Drive number \\(7\\) not found\nDrive number \\(7\\) not found\n")))
        << console.transcript;
    EXPECT_NE(std::find(runInputFiles.begin(), runInputFiles.end(), diskPath), runInputFiles.end());
}

TEST(PlatformSeamTest, NamesAreWidenedForWin32AndNarrowedForTheReports)
{
    FakeWin32 fake;
    fake.files[wideImageW].data = "abcdefgh";
    SamplerDevice device;
    ASSERT_TRUE(device.open(wideImage));
    ASSERT_EQ(fake.opens.size(), 1u);
    EXPECT_EQ(fake.opens[0].name, wideImageW);

    const struct {
        std::string path, report, warning;
    } cases[] = {
        {wideImage, "Z:\\images\\\xA9\x34.img", "Z:\\images\\\xA9\x34.img"},
        {"\\\\?\\scsi#disk&ven_\xC3\xA9#4&1a2b&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
         "4&1a2b&0&000000", "\\\\?\\scsi#disk&ven_\xE9#4&1a2b&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"},
        {"a##b", "b", "a##b"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(reportName(c.path), c.report) << c.path;
        EXPECT_EQ(warningName(c.path), c.warning) << c.path;
    }
}

TEST(PlatformSeamTest, ReadFailuresGiveTheWin32CodeAndTheNextReadIsJudgedAlone)
{
    FakeWin32 fake;
    fake.files[wideImageW].data = "abcdefgh";
    SamplerDevice device;
    ASSERT_TRUE(device.open(wideImage));
    uint8_t buffer[16] = {};
    uint64_t bytesRead = 99;
    EXPECT_TRUE(device.readAt(buffer, 16, 4, bytesRead));
    EXPECT_EQ(bytesRead, 4u);  // the end of the file: a short read, no failure
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 4), "efgh");

    fake.files[wideImageW].readError = ERROR_CRC;
    EXPECT_FALSE(device.readAt(buffer, 8, 0, bytesRead));
    EXPECT_EQ(bytesRead, 0u);
    EXPECT_EQ(device.error(), ERROR_CRC);
    fake.files[wideImageW].readError = 0;
    EXPECT_TRUE(device.readAt(buffer, 8, 0, bytesRead));
    EXPECT_EQ(bytesRead, 8u);

    SamplerDevice missing;
    EXPECT_FALSE(missing.open("Z:\\images\\none.img"));
    EXPECT_EQ(missing.error(), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(deviceErrorText(ERROR_FILE_NOT_FOUND).find("(Win32 error 2)"), std::string::npos);
    EXPECT_EQ(deviceErrorText(0x2345678), "Win32 error 36984440");

    int error = -1;
    EXPECT_EQ(sizeDevice("Z:\\images\\none.img", error), -1);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    fake.files[L"Z:\\images\\empty.img"].data = "";
    EXPECT_EQ(sizeDevice("Z:\\images\\empty.img", error), 0);
    EXPECT_EQ(error, 0);  // empty, not the failed geometry request's code
    EXPECT_TRUE(fake.openHandles.size() == 1u);  // only `device`'s own handle
}

// An output file is held for writing by the one run that opened it, whose opening keeps what
// the file held until it is emptied; others may still read it. The null device is shared.
TEST(PlatformSeamTest, OutputFileIsHeldForWritingUntilClosed)
{
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "vantrel_seam_held.csv";
    std::ofstream(path, std::ios::binary) << "earlier run\n";
    OutputVerdict verdict;
    std::FILE *held = openOutputFile(path.string(), {}, verdict);
    ASSERT_NE(held, nullptr) << verdict.text();
    EXPECT_EQ(fileText(path), "earlier run\n");  // readable, and not emptied by the opening

    EXPECT_EQ(openOutputFile(path.string(), {}, verdict), nullptr);
    EXPECT_EQ(verdict.refusal, OutputRefusal::Held);

    ASSERT_TRUE(emptyOutputFile(held));
    std::fputs("new\n", held);
    std::fflush(held);
    EXPECT_EQ(fileText(path), "new\r\n");
    std::fclose(held);
    std::FILE *again = openOutputFile(path.string(), {}, verdict);
    EXPECT_NE(again, nullptr);
    if (again != nullptr) std::fclose(again);
    std::filesystem::remove(path);

    std::FILE *first = openOutputFile("NUL", {}, verdict);
    std::FILE *second = openOutputFile("NUL", {}, verdict);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    for (std::FILE *file : {first, second}) {
        if (file != nullptr) {
            EXPECT_TRUE(emptyOutputFile(file));
            std::fclose(file);
        }
    }
}

// What an output's open reached is judged before anything is written: a run's input under
// another name and a disk are refused and kept whole; a file created new and an unrelated
// existing file are written.
TEST(PlatformSeamTest, OutputFilesThatAreInputsAreRefusedAfterTheirOpen)
{
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    const std::filesystem::path input = folder / "vantrel_seam_input.img";
    const std::filesystem::path other = folder / "vantrel_seam_other.csv";
    const std::filesystem::path fresh = folder / "vantrel_seam_fresh.csv";
    std::ofstream(input, std::ios::binary) << "image";
    std::ofstream(other, std::ios::binary) << "other";
    std::filesystem::remove(fresh);
    const std::vector<std::string> inputs = {"", (folder / "missing.img").string(), input.string()};
    const struct {
        std::string output;
        OutputRefusal refusal;
    } cases[] = {
        {input.string(), OutputRefusal::Input},
        {(folder / "." / "VANTREL_SEAM_INPUT.IMG").string(), OutputRefusal::Input},
        {"\\\\.\\PhysicalDrive0", OutputRefusal::Device},
        {other.string(), OutputRefusal::None},
        {fresh.string(), OutputRefusal::None},
    };
    for (const auto &c : cases) {
        OutputVerdict verdict;
        std::FILE *file = openOutputFile(c.output, inputs, verdict);
        EXPECT_EQ(file == nullptr, c.refusal != OutputRefusal::None) << c.output;
        EXPECT_EQ(verdict.refusal, c.refusal) << c.output;
        if (file != nullptr) closeOutputFile(file);
    }
    EXPECT_EQ(fileText(input), "image");
    for (const auto &path : {input, other, fresh}) std::filesystem::remove(path);
}

// The type the system reports for every handle in OutputsOfAnUnknownTypeAreRefusedAfterTheirOpen.
DWORD reportedFileType = FILE_TYPE_UNKNOWN;

DWORD WINAPI reportFileType(HANDLE)
{
    return reportedFileType;
}

// Only a file of a file system, a character device and a pipe take an output: a handle of any
// other type (a disk under a name the system does not call one a disk) is refused after its
// open, and the file is left as it was.
TEST(PlatformSeamTest, OutputsOfAnUnknownTypeAreRefusedAfterTheirOpen)
{
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "vantrel_seam_type.csv";
    Win32Calls calls = realWin32Calls();
    calls.getFileType = reportFileType;
    const ScopedWin32Override override(calls);
    const struct {
        DWORD type;
        OutputRefusal refusal;
    } cases[] = {
        {FILE_TYPE_UNKNOWN, OutputRefusal::Device}, {FILE_TYPE_REMOTE, OutputRefusal::Device},
        {FILE_TYPE_CHAR, OutputRefusal::None},      {FILE_TYPE_PIPE, OutputRefusal::None},
        {FILE_TYPE_DISK, OutputRefusal::None},
    };
    for (const auto &c : cases) {
        std::ofstream(path, std::ios::binary) << "earlier run\n";
        reportedFileType = c.type;
        OutputVerdict verdict;
        std::FILE *file = openOutputFile(path.string(), {}, verdict);
        EXPECT_EQ(file == nullptr, c.refusal != OutputRefusal::None) << c.type;
        EXPECT_EQ(verdict.refusal, c.refusal) << c.type;
        if (file != nullptr) closeOutputFile(file);
        EXPECT_EQ(fileText(path), "earlier run\n") << c.type;
    }
    std::filesystem::remove(path);
}

TEST(PlatformSeamTest, ExitStatusesAreTheCodePlus403)
{
    EXPECT_EQ(exitStatusFor(EXIT_CODE_OK), 0);
    EXPECT_EQ(exitStatusFor(EXIT_CODE_BAD_OPTION), 404);
    EXPECT_EQ(exitStatusFor(EXIT_CODE_DISK_NUMBER), 414);
    EXPECT_EQ(exitStatusFor(EXIT_CODE_BATCH_NO_DEVICE), 425);
    EXPECT_EQ(exitStatusFor(EXIT_CODE_NOT_ELEVATED), 433);
}

}  // namespace
