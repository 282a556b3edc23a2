// Linked into the real program (frontend/vantrel_b2.cpp) to make vantrel_fake_windows.exe: the
// fake Windows of tests/windows is installed before main runs, so the program's own road meets
// the disks, token and console that the environment describes, and every Win32 call that touches
// a device, the token or the console is appended to a journal file as it happens (the program
// may end through _Exit, which would lose anything kept in memory).
//
// Environment:
//   VANTREL_FAKE_DISKS    "number=path;number=path...": the disk interfaces the enumeration
//                         reports, in that order; each disk opens and has size 0
//   VANTREL_FAKE_WINDOWS  words: "no-disk-set" (the device information set cannot be made),
//                         "not-elevated" (the token is not elevated), "no-console" (the
//                         standard output is no console)
//   VANTREL_FAKE_JOURNAL  the file the journal lines are appended to
// Any other name fails to open with ERROR_FILE_NOT_FOUND.
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <sstream>
#include <string>

#include <windows.h>
#include <winioctl.h>

#include "tests/windows/fake_win32.h"
#include "windows/disk_list.h"

namespace {

std::wstring environmentText(const wchar_t *name)
{
    const wchar_t *value = _wgetenv(name);
    return value != nullptr ? value : L"";
}

std::wstring journalPath;
std::mutex journalLock;
Win32Calls fakeCalls;  // the fake's own table, which the journaled calls forward to

// Appends one line; the file is closed after each line so that no exit can lose it.
void journal(const std::string &line)
{
    if (journalPath.empty()) return;
    std::lock_guard<std::mutex> lock(journalLock);
    if (std::FILE *file = _wfopen(journalPath.c_str(), L"ab")) {
        std::fputs((line + "\n").c_str(), file);
        std::fclose(file);
    }
}

HANDLE WINAPI journaledCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE templateFile)
{
    std::ostringstream line;
    line << "open " << std::hex << access << ' ' << narrowName(name);
    journal(line.str());
    return fakeCalls.createFileW(name, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI journaledDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                     DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped)
{
    journal(code == IOCTL_DISK_GET_DRIVE_GEOMETRY_EX   ? "geometry request"
            : code == IOCTL_STORAGE_GET_DEVICE_NUMBER ? "device number request"
                                                      : "device control " + std::to_string(code));
    return fakeCalls.deviceIoControl(handle, code, in, inSize, out, outSize, returned, overlapped);
}

BOOL WINAPI journaledGetFileSizeEx(HANDLE handle, PLARGE_INTEGER size)
{
    journal("file size");
    return fakeCalls.getFileSizeEx(handle, size);
}

BOOL WINAPI journaledReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    journal("read");
    return fakeCalls.readFile(handle, buffer, size, got, overlapped);
}

BOOL WINAPI journaledGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID out, DWORD size,
                                         PDWORD returned)
{
    journal("elevation query");
    return fakeCalls.getTokenInformation(token, kind, out, size, returned);
}

BOOL WINAPI journaledGetConsoleScreenBufferInfo(HANDLE console, PCONSOLE_SCREEN_BUFFER_INFO info)
{
    journal("console query");
    return fakeCalls.getConsoleScreenBufferInfo(console, info);
}

BOOL WINAPI journaledSetConsoleWindowInfo(HANDLE console, BOOL absolute, const SMALL_RECT *window)
{
    journal("console window " + std::to_string(window->Left) + " " + std::to_string(window->Top) + " " +
            std::to_string(window->Right) + " " + std::to_string(window->Bottom));
    return fakeCalls.setConsoleWindowInfo(console, absolute, window);
}

// The table in force (the fake's), with the journaled calls in place of its own.
Win32Calls journaledCalls()
{
    fakeCalls = win32();
    Win32Calls calls = fakeCalls;
    calls.createFileW = journaledCreateFileW;
    calls.deviceIoControl = journaledDeviceIoControl;
    calls.getFileSizeEx = journaledGetFileSizeEx;
    calls.readFile = journaledReadFile;
    calls.getTokenInformation = journaledGetTokenInformation;
    calls.getConsoleScreenBufferInfo = journaledGetConsoleScreenBufferInfo;
    calls.setConsoleWindowInfo = journaledSetConsoleWindowInfo;
    return calls;
}

// Adds the disks of "number=path;number=path..." to the enumeration, in order.
void addDisks(FakeWin32 &fake, const std::wstring &disks)
{
    std::wistringstream entries(disks);
    std::wstring entry;
    while (std::getline(entries, entry, L';')) {
        const size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) continue;
        const std::wstring path = entry.substr(equals + 1);
        fake.interfaces.push_back(path);
        fake.files[path].deviceNumber = DWORD(std::wcstoul(entry.c_str(), nullptr, 10));
    }
}

bool hasWord(const std::wstring &words, const wchar_t *word)
{
    std::wistringstream in(words);
    std::wstring each;
    while (in >> each)
        if (each == word) return true;
    return false;
}

// The fake Windows of this run, alive from before main to the process's end.
struct FakeWindowsOfRun {
    FakeWin32 fake;
    Win32Calls journaled;
    ScopedWin32Override override;

    FakeWindowsOfRun() : journaled(journaledCalls()), override(journaled)
    {
        journalPath = environmentText(L"VANTREL_FAKE_JOURNAL");
        addDisks(fake, environmentText(L"VANTREL_FAKE_DISKS"));
        const std::wstring words = environmentText(L"VANTREL_FAKE_WINDOWS");
        fake.classDevsFails = hasWord(words, L"no-disk-set");
        fake.elevated = !hasWord(words, L"not-elevated");
        fake.consoleQueryFails = hasWord(words, L"no-console");
    }
};

FakeWindowsOfRun fakeWindows;

}  // namespace
