// The program's own road on the fake Windows: vantrel_fake_windows.exe (the real main with the
// fake of tests/windows installed, see fake_windows_program.cpp) is started as a process with a
// command line, and its exit status, console output, log and journal of Win32 calls are
// checked: the disk list before the devices, the -l listing, -n, the batch's disk numbers, the
// administrator check before each device is sized, and -x. One case starts the real program on
// the real system for the message of a device that cannot be sized.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Far above any honest run: the program under test ends within seconds.
constexpr DWORD kHangGuardMs = 10 * 60 * 1000;

const std::string timestamp = "[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}";

// Three disk interfaces; the third "#" piece is the name the reports show.
const std::string diskOne = "\\\\?\\scsi#disk&ven_fake&prod_one#4&1a2b&0&000001#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const std::string diskTwo = "\\\\?\\scsi#disk&ven_fake&prod_two#4&1a2b&0&000002#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const std::string diskThree = "\\\\?\\ide#disk&ven_fake&prod_three#5&77&0&000003#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

std::wstring wide(const std::string &text)
{
    return std::wstring(text.begin(), text.end());  // the texts here are ASCII
}

// The file's bytes with carriage returns removed; empty when it does not exist.
std::string fileText(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(in), {});
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::vector<std::string> linesOf(const std::string &text)
{
    std::vector<std::string> lines;
    std::string line;
    for (std::istringstream in(text); std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The lines of `text` that start with one of `prefixes`, in order.
std::vector<std::string> linesStartingWith(const std::string &text, const std::vector<std::string> &prefixes)
{
    std::vector<std::string> found;
    for (const std::string &line : linesOf(text)) {
        for (const std::string &prefix : prefixes) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                found.push_back(line);
                break;
            }
        }
    }
    return found;
}

// The journal's calls that size or read a device: opens for reading, geometry requests, file
// sizes and reads. The disk list's opens ask for no access and do not count.
std::vector<std::string> sizingCalls(const std::string &journal)
{
    return linesStartingWith(journal, {"open 80000000 ", "geometry request", "file size", "read"});
}

bool hasLine(const std::string &text, const std::string &pattern)
{
    return std::regex_search(text, std::regex("(^|\n)" + pattern + "(\n|$)"));
}

// A literal text as a regular expression.
std::string literal(const std::string &text)
{
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// What one run of a program left behind.
struct ProgramRun {
    DWORD status = 0;
    std::string out, err;  // standard output and error
};

// A file handle the started program inherits as a standard stream.
HANDLE inheritableFile(const fs::path &path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts `program` with `arguments` (no argument may hold a quote or end in a backslash), the
// variables of `environment` added to this process's, and its standard output and error in
// files of `folder`; waits for its end.
ProgramRun runProgram(const fs::path &program, const std::vector<std::string> &arguments,
                      const std::vector<std::pair<std::wstring, std::wstring>> &environment, const fs::path &folder)
{
    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    for (const std::string &argument : arguments) commandLine += L" \"" + wide(argument) + L"\"";
    for (const auto &variable : environment) SetEnvironmentVariableW(variable.first.c_str(), variable.second.c_str());

    const fs::path outPath = folder / "out.txt", errPath = folder / "err.txt";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING);
    startup.hStdOutput = inheritableFile(outPath, GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = inheritableFile(errPath, GENERIC_WRITE, CREATE_ALWAYS);
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    const DWORD startError = GetLastError();
    for (HANDLE stream : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) CloseHandle(stream);
    for (const auto &variable : environment) SetEnvironmentVariableW(variable.first.c_str(), nullptr);

    ProgramRun run;
    if (!started) {
        ADD_FAILURE() << "cannot start " << program.string() << " (Win32 error " << startError << ")";
        return run;
    }
    if (WaitForSingleObject(process.hProcess, kHangGuardMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        ADD_FAILURE() << "the program did not end: " << fs::path(commandLine).string();
    }
    GetExitCodeProcess(process.hProcess, &run.status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.out = fileText(outPath);
    run.err = fileText(errPath);
    return run;
}

// One run of the fake Windows program: what it left behind, with its log and journal.
struct FakeRun : ProgramRun {
    std::string log, journal;
};

// The fake Windows: the disks its enumeration reports ("number=path;..."), and the words of
// VANTREL_FAKE_WINDOWS.
struct FakeWindows {
    std::string disks;
    std::string words;
};

class ProgramRoadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = fs::temp_directory_path() /
                  ("vantrel_road_" + std::to_string(GetCurrentProcessId()) + "_" + test->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }

    void TearDown() override { fs::remove_all(folder_); }

    fs::path file(const std::string &name) const { return folder_ / name; }

    // Runs the fake Windows program with `arguments` and a log file of its own.
    FakeRun runFake(const FakeWindows &windows, std::vector<std::string> arguments)
    {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const fs::path program = fs::path(self).parent_path() / "vantrel_fake_windows.exe";
        const fs::path log = file("run.log"), journal = file("journal.txt");
        fs::remove(log);
        fs::remove(journal);
        arguments.push_back("--logfile");
        arguments.push_back(log.string());
        FakeRun run;
        static_cast<ProgramRun &>(run) = runProgram(program, arguments,
                                                    {{L"VANTREL_FAKE_DISKS", wide(windows.disks)},
                                                     {L"VANTREL_FAKE_WINDOWS", wide(windows.words)},
                                                     {L"VANTREL_FAKE_JOURNAL", journal.wstring()}},
                                                    folder_);
        run.log = fileText(log);
        run.journal = fileText(journal);
        return run;
    }

    // Writes a batch file of `lines` and returns its name.
    std::string batchFile(const std::string &lines)
    {
        std::ofstream(file("batch.txt"), std::ios::binary) << lines;
        return file("batch.txt").string();
    }

    fs::path folder_;
};

TEST_F(ProgramRoadTest, ADiskSetThatCannotBeMadeEndsWith404BeforeAnyDevice)
{
    const FakeRun run = runFake({"1=" + diskOne, "no-disk-set"}, {"-s", "VRT", "-d", "\\fake\\a.img"});
    EXPECT_EQ(run.status, 404u);
    EXPECT_EQ(run.err, "Could net list disks\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(linesStartingWith(run.journal, {"open "}), std::vector<std::string>{}) << run.journal;
    EXPECT_TRUE(hasLine(run.log, "Execution terminated")) << run.log;
}

TEST_F(ProgramRoadTest, TheListingGoesToTheErrorStreamInNumberOrderAndEndsWith0)
{
    const FakeRun run = runFake({"3=" + diskThree + ";1=" + diskOne + ";2=" + diskTwo, ""}, {"-l"});
    EXPECT_EQ(run.status, 0u);
    EXPECT_EQ(run.err, "Drive number [1]\t" + diskOne + "\nDrive number [2]\t" + diskTwo + "\nDrive number [3]\t" +
                           diskThree + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(sizingCalls(run.journal), std::vector<std::string>{}) << run.journal;
}

TEST_F(ProgramRoadTest, ADiskNumberReplacesTheDevicePath)
{
    const FakeRun run = runFake({"1=" + diskOne + ";2=" + diskTwo, ""}, {"-s", "VRT", "-n", "1", "-d", "\\fake\\given.img"});
    // Disk 1 has size 0: the run ends on it, under the name the reports show.
    EXPECT_EQ(run.status, 415u);
    EXPECT_EQ(run.err, "Cannot read (4&1a2b&0&000001) device size Errno : 0 Error Message: The device is empty\n");
    EXPECT_EQ(linesStartingWith(run.journal, {"open 80000000 "}), std::vector<std::string>{"open 80000000 " + diskOne})
        << run.journal;
}

TEST_F(ProgramRoadTest, TheBatchDiskNumbersFlowIntoTheDeviceListInFileOrder)
{
    const std::string batch = batchFile("[1]\n\\fake\\a.img\n[7]\n");
    const FakeRun run = runFake({"1=" + diskOne, ""}, {"-s", "VRT", "--config", batch});
    // Disk 7 is dropped before the first device; disk 1 (size 0) and the path (missing) are
    // each sized in turn and skipped. With no device sized the batch fails as a single device
    // that cannot be sized does.
    EXPECT_EQ(run.status, 415u) << run.err;
    EXPECT_EQ(linesStartingWith(run.err, {"Drive number", "Can't evaluate"}),
              (std::vector<std::string>{"Drive number (7) not found", "Can't evaluate " + diskOne + " size, skipping",
                                        "Can't evaluate \\fake\\a.img size, skipping"}));
    EXPECT_EQ(linesStartingWith(run.journal, {"open 80000000 "}),
              (std::vector<std::string>{"open 80000000 " + diskOne, "open 80000000 \\fake\\a.img"}));
    EXPECT_TRUE(hasLine(run.log, timestamp + literal(" Drive number (7) not found"))) << run.log;
    EXPECT_TRUE(hasLine(run.log, timestamp + literal(" Can't evaluate \"" + diskOne + "\" size, skipping"))) << run.log;
}

TEST_F(ProgramRoadTest, TheAdministratorCheckRunsBeforeEachDeviceIsSized)
{
    const std::string batch = batchFile("\\fake\\a.img\n\\fake\\b.img\n");
    const std::vector<std::string> arguments = {"-s", "VRT", "--config", batch};

    const FakeRun refused = runFake({"", "not-elevated"}, arguments);
    EXPECT_EQ(refused.status, 433u);
    EXPECT_EQ(refused.err, "");
    EXPECT_EQ(refused.out, "");
    EXPECT_TRUE(hasLine(refused.log, timestamp + " This program privilege level requires to run as administrator"))
        << refused.log;
    EXPECT_EQ(linesStartingWith(refused.journal, {"elevation query"}).size(), 1u) << refused.journal;
    EXPECT_EQ(sizingCalls(refused.journal), std::vector<std::string>{}) << refused.journal;

    // Elevated, each image is sized after its own check; neither exists, so the batch sized no
    // device and fails as a single unsizable device does.
    const FakeRun elevated = runFake({"", ""}, arguments);
    EXPECT_EQ(elevated.status, 415u) << elevated.err;
    EXPECT_EQ(linesStartingWith(elevated.journal, {"elevation query", "open 80000000 "}),
              (std::vector<std::string>{"elevation query", "open 80000000 \\fake\\a.img", "elevation query",
                                        "open 80000000 \\fake\\b.img"}));
}

// A batch file in UTF-16 LE (as Windows PowerShell 5.1 writes it) whose second line holds a NUL
// character, as a list made by find -print0 does: that line is a syntax error, quoted whole in
// the log, and opens nothing; the lines around it are read. The zero bytes that every character
// holds in UTF-16 are no NUL.
TEST_F(ProgramRoadTest, ABatchLineHoldingANulCharacterIsRefused)
{
    using namespace std::string_literals;
    const std::string lines = "\\fake\\a.img\n\\fake\\b.img\0tail\n\\fake\\c.img\n"s;
    std::string utf16 = "\xFF\xFE";
    for (char c : lines) utf16 += std::string{c, '\0'};
    const FakeRun run = runFake({"", ""}, {"-s", "VRT", "--config", batchFile(utf16)});
    // The fake images do not exist: both are sized, skipped, and the batch fails as sizing.
    EXPECT_EQ(run.status, 415u) << run.err;
    EXPECT_EQ(linesStartingWith(run.journal, {"open 80000000 "}),
              (std::vector<std::string>{"open 80000000 \\fake\\a.img", "open 80000000 \\fake\\c.img"}))
        << run.journal;
    const std::string warning = " batch file syntax error: (line 2) \"\\fake\\b.img\0tail\""s;
    std::vector<std::string> warnings;
    for (const std::string &line : linesOf(run.log)) {
        if (line.find("syntax error") != std::string::npos) warnings.push_back(line);
    }
    ASSERT_EQ(warnings.size(), 1u) << run.log;
    const size_t stamp = warnings[0].size() - std::min(warnings[0].size(), warning.size());
    EXPECT_EQ(warnings[0].substr(stamp), warning);
    EXPECT_TRUE(std::regex_match(warnings[0].substr(0, stamp), std::regex(timestamp))) << warnings[0];
}

TEST_F(ProgramRoadTest, TheConsoleOptionSetsTheLargestWindowAndIsHarmlessWithoutAConsole)
{
    const FakeWindows withConsole = {"1=" + diskOne, ""};
    const FakeRun plain = runFake(withConsole, {"-l"});
    EXPECT_EQ(linesStartingWith(plain.journal, {"console"}), std::vector<std::string>{});

    // The fake console's largest window is 200 x 80.
    const FakeRun maximized = runFake(withConsole, {"-l", "-x"});
    EXPECT_EQ(linesStartingWith(maximized.journal, {"console"}),
              (std::vector<std::string>{"console query", "console window 0 0 199 79"}));

    // Redirected output, no console: no window is set and the run goes on as without -x.
    const FakeRun redirected = runFake({withConsole.disks, "no-console"}, {"-l", "-x"});
    EXPECT_EQ(linesStartingWith(redirected.journal, {"console"}), std::vector<std::string>{"console query"});
    EXPECT_EQ(redirected.status, plain.status);
    EXPECT_EQ(redirected.err, plain.err);
    EXPECT_EQ(redirected.out, plain.out);
}

// The system's text for a Win32 error code, without its line end.
std::string systemMessage(DWORD code)
{
    wchar_t text[512] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  DWORD(std::size(text)), nullptr);
    while (length > 0 && std::iswspace(text[length - 1])) --length;
    char utf8[2048] = {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, int(length), utf8, sizeof utf8, nullptr, nullptr);
    return std::string(utf8, size_t(std::max(size, 0)));
}

// The real program on the real system: a single device that does not exist ends the run with
// the Win32 code of the failed open and the system's text for it.
TEST_F(ProgramRoadTest, AnUnreadableDeviceIsNamedWithItsWin32CodeAndTheSystemText)
{
    const char *program = std::getenv("VANTREL_PROGRAM");
    if (program == nullptr) GTEST_SKIP() << "VANTREL_PROGRAM (vantrel_Win32.exe) is not set";
    const std::string missing = file("missing.img").string();
    const ProgramRun run = runProgram(fs::path(program).make_preferred(), {"-s", "VRT", "-d", missing, "--logfile",
                                      file("run.log").string()}, {}, folder_);
    EXPECT_EQ(run.status, 415u);
    const std::string message = systemMessage(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(run.err, "Cannot read (" + missing + ") device size Errno : 2 Error Message: " + message +
                           " (Win32 error 2)\n");
}

}  // namespace
