// The fake Windows: each call checks its arguments, answers from the fake's state and keeps
// the last-error code the way the real calls do.
#include "tests/windows/fake_win32.h"

#include <algorithm>
#include <cstring>
#include <winioctl.h>

namespace {

FakeWin32 *fake = nullptr;

const GUID diskClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
const HANDLE processHandle = reinterpret_cast<HANDLE>(-1);
const HANDLE consoleHandle = reinterpret_cast<HANDLE>(0xC0);
const std::wstring tokenName = L"<token>";

// The size fields SetupDi accepts, facts of each platform's record layout (the 64-bit records
// carry a pointer-sized field and are padded to 8 bytes).
#if defined(_WIN64)
constexpr DWORD deviceInfoSize = 32, interfaceDataSize = 32, interfaceDetailSize = 8;
#else
constexpr DWORD deviceInfoSize = 28, interfaceDataSize = 28, interfaceDetailSize = 6;
#endif

BOOL fail(DWORD code)
{
    fake->lastError = code;
    return FALSE;
}

void check(bool good)
{
    if (!good) ++fake->badRecords;
}

HANDLE newHandle(const std::wstring &name)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(fake->nextHandle++);
    fake->openHandles.insert(handle);
    fake->handleNames[handle] = name;
    fake->positions[handle] = 0;
    return handle;
}

// The file behind an open handle, or null.
FakeFile *fileOf(HANDLE handle)
{
    if (fake->openHandles.count(handle) == 0) return nullptr;
    const auto file = fake->files.find(fake->handleNames[handle]);
    return file == fake->files.end() ? nullptr : &file->second;
}

// The forced answer of `step` for `index`, if the test set one.
const EnumFault *faultAt(EnumStep step, DWORD index)
{
    for (const EnumFault &f : fake->faults)
        if (f.step == step && f.index == index) return &f;
    return nullptr;
}

// Applies a forced answer: its code (if any) and its result.
BOOL forced(const EnumFault &f)
{
    if (f.code != 0) fake->lastError = f.code;
    return f.result;
}

HANDLE WINAPI fakeCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    fake->opens.push_back({name, access, share, disposition, flags, security == nullptr && templateFile == nullptr});
    const auto found = fake->files.find(name);
    if (found == fake->files.end()) {
        fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const FakeFile &file = found->second;
    if (file.invalidWithoutCode) {
        fake->lastError = 0;
        return INVALID_HANDLE_VALUE;
    }
    if (file.openError != 0) {
        fail(file.openError);
        return file.handleDespiteError ? newHandle(name) : INVALID_HANDLE_VALUE;
    }
    fake->lastError = 0;
    return newHandle(name);
}

BOOL WINAPI fakeReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    check(overlapped == nullptr && got != nullptr);
    fake->readSizes.push_back(size);
    if (got != nullptr) *got = 0;
    FakeFile *file = fileOf(handle);
    if (file == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (file->readError != 0) return fail(file->readError);
    const int64_t position = fake->positions[handle];
    const int64_t available = std::max<int64_t>(0, int64_t(file->data.size()) - position);
    const DWORD count = DWORD(std::min<int64_t>(size, available));
    if (count > 0) std::memcpy(buffer, file->data.data() + position, count);
    fake->positions[handle] = position + count;
    if (got != nullptr) *got = count;
    return TRUE;
}

BOOL WINAPI fakeSetFilePointerEx(HANDLE handle, LARGE_INTEGER offset, PLARGE_INTEGER newPosition, DWORD method)
{
    check(newPosition == nullptr && method == FILE_BEGIN);
    if (fileOf(handle) == nullptr) return fail(ERROR_INVALID_HANDLE);
    fake->seeks.push_back(offset.QuadPart);
    fake->positions[handle] = offset.QuadPart;
    return TRUE;
}

BOOL WINAPI fakeGetFileSizeEx(HANDLE handle, PLARGE_INTEGER size)
{
    FakeFile *file = fileOf(handle);
    if (file == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (file->sizeFails) return fail(ERROR_INVALID_FUNCTION);
    size->QuadPart = int64_t(file->data.size());
    return TRUE;
}

BOOL WINAPI fakeCloseHandle(HANDLE handle)
{
    if (fake->openHandles.erase(handle) == 0) {
        ++fake->badCloses;
        return fail(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

BOOL WINAPI fakeDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped)
{
    check(in == nullptr && inSize == 0 && returned != nullptr && overlapped == nullptr);
    FakeFile *file = fileOf(handle);
    if (file == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) {
        check(outSize == 40);
        if (!file->diskSize) return fail(ERROR_NOT_SUPPORTED);
        auto *geometry = static_cast<DISK_GEOMETRY_EX *>(out);
        geometry->Geometry.BytesPerSector = 512;
        geometry->DiskSize.QuadPart = *file->diskSize;
        *returned = outSize;
        return TRUE;
    }
    if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        check(outSize == 12);
        if (!file->deviceNumber) return fail(ERROR_INVALID_FUNCTION);
        auto *number = static_cast<STORAGE_DEVICE_NUMBER *>(out);
        number->DeviceType = FILE_DEVICE_DISK;
        number->DeviceNumber = *file->deviceNumber;
        number->PartitionNumber = 0;
        *returned = 12;
        return TRUE;
    }
    return fail(ERROR_INVALID_FUNCTION);
}

DWORD WINAPI fakeGetLastError()
{
    return fake->lastError;
}

BOOL WINAPI fakeGetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info)
{
    FakeFile *file = fileOf(handle);
    if (file == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (!file->fileIndex) return fail(ERROR_INVALID_FUNCTION);
    *info = {};
    info->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    info->dwVolumeSerialNumber = file->volumeSerial;
    info->nFileIndexHigh = DWORD(*file->fileIndex >> 32);
    info->nFileIndexLow = DWORD(*file->fileIndex);
    info->nFileSizeHigh = DWORD(uint64_t(file->data.size()) >> 32);
    info->nFileSizeLow = DWORD(file->data.size());
    fake->lastError = 0;
    return TRUE;
}

HDEVINFO WINAPI fakeSetupDiGetClassDevsW(const GUID *guid, PCWSTR enumerator, HWND window, DWORD flags)
{
    check(guid != nullptr && IsEqualGUID(*guid, diskClass) && enumerator == nullptr && window == nullptr &&
          flags == 0x12);
    if (fake->classDevsFails) {
        fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return FakeWin32::deviceSet();
}

BOOL WINAPI fakeSetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info)
{
    check(set == FakeWin32::deviceSet() && info->cbSize == deviceInfoSize);
    if (const EnumFault *f = faultAt(EnumStep::DeviceInfo, index)) return forced(*f);
    if (index >= fake->interfaces.size()) return fail(ERROR_NO_MORE_ITEMS);
    info->DevInst = index;
    return TRUE;
}

BOOL WINAPI fakeSetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID *guid, DWORD index,
                                            PSP_DEVICE_INTERFACE_DATA data)
{
    check(set == FakeWin32::deviceSet() && info == nullptr && IsEqualGUID(*guid, diskClass) && data->cbSize == interfaceDataSize);
    if (const EnumFault *f = faultAt(EnumStep::Interface, index)) return forced(*f);
    if (index >= fake->interfaces.size()) return fail(ERROR_NO_MORE_ITEMS);
    data->Reserved = index;  // which interface later calls mean
    return TRUE;
}

BOOL WINAPI fakeSetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property,
                                                  PDWORD type, PBYTE buffer, DWORD size, PDWORD required)
{
    check(set == FakeWin32::deviceSet() && info->cbSize == deviceInfoSize && property == SPDRP_HARDWAREID && type == nullptr);
    const DWORD index = info->DevInst;
    const DWORD needed = 40;
    if (buffer == nullptr) {
        check(size == 0 && required != nullptr);
        if (const EnumFault *f = faultAt(EnumStep::PropertySize, index)) return forced(*f);
        *required = needed;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    check(size == needed);
    if (const EnumFault *f = faultAt(EnumStep::Property, index)) return forced(*f);
    std::memset(buffer, 0, size);
    return TRUE;
}

BOOL WINAPI fakeSetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                                 PDWORD required, PSP_DEVINFO_DATA info)
{
    check(set == FakeWin32::deviceSet() && data->cbSize == interfaceDataSize);
    const DWORD index = DWORD(data->Reserved);
    const std::wstring &path = fake->interfaces.at(index);
    const DWORD needed = DWORD(4 + (path.size() + 1) * sizeof(WCHAR));
    if (detail == nullptr) {
        check(size == 0 && required != nullptr && info == nullptr);
        if (const EnumFault *f = faultAt(EnumStep::DetailSize, index)) return forced(*f);
        *required = needed;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    check(detail->cbSize == interfaceDetailSize && size >= needed && info != nullptr &&
          info->cbSize == deviceInfoSize);
    if (const EnumFault *f = faultAt(EnumStep::Detail, index)) return forced(*f);
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    info->DevInst = index;
    return TRUE;
}

BOOL WINAPI fakeSetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    check(set == FakeWin32::deviceSet());
    ++fake->setsDestroyed;
    return TRUE;
}

BOOL WINAPI fakeGetVersionExW(LPOSVERSIONINFOW version)
{
    check(version->dwOSVersionInfoSize == 276);
    if (fake->versionFails) return fail(ERROR_INVALID_PARAMETER);
    version->dwMajorVersion = fake->majorVersion;
    version->dwMinorVersion = 0;
    return TRUE;
}

HANDLE WINAPI fakeGetCurrentProcess()
{
    return processHandle;
}

BOOL WINAPI fakeOpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    check(process == processHandle && access == TOKEN_QUERY);
    if (fake->openTokenFails) return fail(ERROR_ACCESS_DENIED);
    fake->tokenOpened = true;
    *token = newHandle(tokenName);
    return TRUE;
}

BOOL WINAPI fakeGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID out, DWORD size,
                                    PDWORD returned)
{
    check(fake->openHandles.count(token) == 1 && fake->handleNames[token] == tokenName && kind == TokenElevation &&
          size == 4 && returned != nullptr && *returned == 4);
    if (fake->tokenQueryFails) return fail(ERROR_INVALID_PARAMETER);
    static_cast<TOKEN_ELEVATION *>(out)->TokenIsElevated = fake->elevated ? 1 : 0;
    *returned = 4;
    return TRUE;
}

HANDLE WINAPI fakeGetStdHandle(DWORD which)
{
    check(which == STD_OUTPUT_HANDLE);
    return consoleHandle;
}

BOOL WINAPI fakeGetConsoleScreenBufferInfo(HANDLE console, PCONSOLE_SCREEN_BUFFER_INFO info)
{
    check(console == consoleHandle);
    if (fake->consoleQueryFails) return fail(ERROR_INVALID_HANDLE);
    *info = {};
    info->dwMaximumWindowSize = fake->maximumWindow;
    return TRUE;
}

BOOL WINAPI fakeSetConsoleWindowInfo(HANDLE console, BOOL absolute, const SMALL_RECT *window)
{
    check(console == consoleHandle && absolute == TRUE);
    fake->windowsSet.push_back(*window);
    if (fake->consoleSetFails) return fail(ERROR_INVALID_PARAMETER);
    return TRUE;
}

}  // namespace

FakeWin32::FakeWin32() : calls_(), override_(calls_)
{
    calls_ = {
        fakeCreateFileW,
        fakeReadFile,
        fakeSetFilePointerEx,
        fakeGetFileSizeEx,
        fakeCloseHandle,
        fakeDeviceIoControl,
        fakeGetLastError,
        fakeGetFileInformationByHandle,
        // The type of a handle is the real one: the files the front end writes are real.
        &GetFileType,
        fakeSetupDiGetClassDevsW,
        fakeSetupDiEnumDeviceInfo,
        fakeSetupDiEnumDeviceInterfaces,
        fakeSetupDiGetDeviceRegistryPropertyW,
        fakeSetupDiGetDeviceInterfaceDetailW,
        fakeSetupDiDestroyDeviceInfoList,
        fakeGetVersionExW,
        fakeOpenProcessToken,
        fakeGetCurrentProcess,
        fakeGetTokenInformation,
        fakeGetStdHandle,
        fakeGetConsoleScreenBufferInfo,
        fakeSetConsoleWindowInfo,
        // Text conversions are the real ones.
        &MultiByteToWideChar,
        &WideCharToMultiByte,
    };
    fake = this;
}

FakeWin32::~FakeWin32()
{
    fake = nullptr;
}

HDEVINFO FakeWin32::deviceSet()
{
    return reinterpret_cast<HDEVINFO>(0x5E7);
}
