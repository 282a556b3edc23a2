// Win32 device access: CreateFileW, positioned ReadFile, and the size from the disk geometry
// or, for a regular file, from the file system.
#include "windows/device_access.h"

#include <winioctl.h>

#include "windows/win32_calls.h"

static_assert(sizeof(DISK_GEOMETRY_EX) == 40, "the geometry request's output buffer is 40 bytes");

namespace {

// The code of a failed open: the thread's last-error code, or ERROR_INVALID_HANDLE when the
// system returned no handle without giving one. 0 when the open succeeded.
DWORD openFailure(HANDLE handle)
{
    const DWORD code = win32().getLastError();
    if (code == 0 && handle == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    return code;
}

}  // namespace

DeviceReader::~DeviceReader()
{
    close();
}

void DeviceReader::open(const std::wstring &name)
{
    path = name;
    ok = true;
    handle = win32().createFileW(name.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD code = openFailure(handle);
    if (code != 0) {
        ok = false;
        lastError = code;
    }
}

void DeviceReader::readAt(uint8_t *buffer, int64_t length, int64_t offset, uint32_t *count)
{
    LARGE_INTEGER position;
    position.QuadPart = offset;
    win32().setFilePointerEx(handle, position, nullptr, FILE_BEGIN);
    DWORD got = 0;
    const BOOL read = win32().readFile(handle, buffer, DWORD(length), &got, nullptr);
    const DWORD code = win32().getLastError();
    if (count != nullptr) *count = got;
    if (!read && code != 0) {
        ok = false;
        lastError = code;
    }
}

void DeviceReader::close()
{
    if (handle != INVALID_HANDLE_VALUE) win32().closeHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    path.clear();
}

int64_t deviceSize(const std::wstring &path)
{
    const Win32Calls &w = win32();
    const HANDLE handle =
        w.createFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (openFailure(handle) != 0) {
        if (handle != INVALID_HANDLE_VALUE) w.closeHandle(handle);
        return -1;
    }
    int64_t size = -1;
    DISK_GEOMETRY_EX geometry = {};
    DWORD returned = 0;
    const BOOL isDisk = w.deviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0,
                                          &geometry, sizeof geometry, &returned, nullptr);
    if (isDisk && w.getLastError() == 0) {
        size = geometry.DiskSize.QuadPart;
    } else {
        LARGE_INTEGER fileSize;
        if (w.getFileSizeEx(handle, &fileSize)) size = fileSize.QuadPart;
    }
    w.closeHandle(handle);
    return size;
}
