// A small fake Windows for the platform layer's tests: files and disks, the disk enumeration,
// the process token and the console, installed in place of the real Win32 calls.
#ifndef VANTREL_TESTS_WINDOWS_FAKE_WIN32_H
#define VANTREL_TESTS_WINDOWS_FAKE_WIN32_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "windows/win32_calls.h"

// One name that CreateFileW may open.
struct FakeFile {
    std::string data;                      // the bytes read, and the size of a regular file
    std::optional<int64_t> diskSize;       // set: a disk, answering the geometry request
    std::optional<DWORD> deviceNumber;     // set: answers IOCTL_STORAGE_GET_DEVICE_NUMBER
    std::optional<uint64_t> fileIndex;     // set: a file, answering GetFileInformationByHandle
    DWORD volumeSerial = 0;                // with fileIndex: the file's volume serial number
    DWORD openError = 0;                   // non-zero: CreateFileW fails with this code
    bool handleDespiteError = false;       // with openError: a valid handle all the same
    bool invalidWithoutCode = false;       // CreateFileW gives no handle and no code
    DWORD readError = 0;                   // non-zero: ReadFile fails with this code
    bool sizeFails = false;                // GetFileSizeEx fails
};

// The enumeration calls that a test can make fail or succeed out of turn.
enum class EnumStep { DeviceInfo, Interface, PropertySize, Property, DetailSize, Detail };

// One forced answer: the call of `step` for device index `index` returns `result` and, when
// `code` is non-zero, leaves that last-error code.
struct EnumFault {
    EnumStep step;
    DWORD index;
    BOOL result;
    DWORD code;
};

// One CreateFileW call as the code under test made it.
struct OpenCall {
    std::wstring name;
    DWORD access, share, disposition, flags;
    bool plain;  // no security attributes and no template
};

// The fake itself. While one lives, win32() calls into it; only one may live at a time.
class FakeWin32 {
public:
    FakeWin32();
    ~FakeWin32();

    // Files and disks by name, and the disk interfaces the enumeration reports, in order.
    std::map<std::wstring, FakeFile> files;
    std::vector<std::wstring> interfaces;
    std::vector<EnumFault> faults;
    bool classDevsFails = false;

    DWORD lastError = 0;

    // Process and token.
    DWORD majorVersion = 10;
    bool versionFails = false;
    bool openTokenFails = false;
    bool tokenQueryFails = false;
    bool elevated = true;

    // Console.
    bool consoleQueryFails = false;
    bool consoleSetFails = false;
    COORD maximumWindow = {200, 80};
    std::vector<SMALL_RECT> windowsSet;

    // What the code under test did.
    std::vector<OpenCall> opens;
    std::set<HANDLE> openHandles;  // files, disks and tokens not closed yet
    int badCloses = 0;             // CloseHandle on a handle that is not open
    int badRecords = 0;            // a call given a wrong size field, buffer or argument
    int setsDestroyed = 0;
    std::vector<int64_t> seeks;    // offsets of SetFilePointerEx
    std::vector<DWORD> readSizes;  // byte counts asked of ReadFile
    bool tokenOpened = false;

    // Bookkeeping of the fake's handles: the name behind each and its file position.
    std::map<HANDLE, std::wstring> handleNames;
    std::map<HANDLE, int64_t> positions;
    uintptr_t nextHandle = 0x100;

    // The fake handle of the device information set.
    static HDEVINFO deviceSet();

private:
    Win32Calls calls_;
    ScopedWin32Override override_;
};

#endif
