// The disk enumeration through SetupDi, the -l listing, disk-number resolution and the
// short device names.
#include "windows/disk_list.h"

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <vector>

#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include "windows/win32_calls.h"

namespace {

// The device interface class of disks, {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}.
const GUID diskInterfaceClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// The size fields the 32-bit build puts into the SetupDi records.
constexpr DWORD deviceInfoSize = sizeof(SP_DEVINFO_DATA);
constexpr DWORD interfaceDataSize = sizeof(SP_DEVICE_INTERFACE_DATA);
constexpr DWORD interfaceDetailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
#if !defined(_WIN64)
static_assert(deviceInfoSize == 28 && interfaceDataSize == 28 && interfaceDetailSize == 6,
              "32-bit SetupDi record sizes");
#endif
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12, "the device-number answer is 12 bytes");

// The step of one enumeration call that failed: ERROR_NO_MORE_ITEMS ends the enumeration
// normally (0), any other code is the enumeration error `error`.
int endOrError(int error)
{
    return win32().getLastError() == ERROR_NO_MORE_ITEMS ? 0 : error;
}

// The hardware-identifier check of the device in `info`: asks for the property's size, then
// for the property itself. Returns 0 or the enumeration error 3, 4 or 5.
int checkHardwareId(HDEVINFO set, SP_DEVINFO_DATA &info)
{
    const Win32Calls &w = win32();
    DWORD required = 0;
    if (w.setupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required))
        return 5;
    if (w.getLastError() != ERROR_INSUFFICIENT_BUFFER) return 4;
    std::vector<BYTE> property(required);
    if (!w.setupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr, property.data(),
                                             required, nullptr))
        return 3;
    return 0;
}

// The device path of `interfaceData` into `path`, refilling `info` with the interface's
// device. Returns 0 or the enumeration error 6 or 7.
int interfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA &interfaceData, SP_DEVINFO_DATA &info,
                  std::wstring &path)
{
    const Win32Calls &w = win32();
    DWORD required = 0;
    if (w.setupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr)) return 7;
    if (w.getLastError() != ERROR_INSUFFICIENT_BUFFER) return 6;
    // Never smaller than the record's fixed part, whose size field is written below.
    const DWORD size = std::max(required, DWORD(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)));
    std::vector<BYTE> buffer(size);
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.data());
    detail->cbSize = interfaceDetailSize;
    info.cbSize = deviceInfoSize;
    if (!w.setupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, size, nullptr, &info)) return 6;
    // The path ends at its terminating zero, or at the buffer's end when a driver left none.
    const size_t capacity = (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
    path.assign(detail->DevicePath, wcsnlen(detail->DevicePath, capacity));
    return 0;
}

// Adds the disk at `path` under the number its storage driver reports, unless the number is
// already taken. A disk that cannot be opened or gives no number is left out.
void addDisk(const std::wstring &path, DiskMap &disks)
{
    const Win32Calls &w = win32();
    const HANDLE handle = w.createFileW(path.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    STORAGE_DEVICE_NUMBER number = {};
    DWORD returned = 0;
    if (w.deviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                          &returned, nullptr)) {
        disks.emplace(int32_t(number.DeviceNumber), path);
    }
    w.closeHandle(handle);
}

// Walks the set's devices and disk interfaces by one index into `disks`. Returns 0 at the
// normal end, or the enumeration error 1 to 7 that stopped it.
int enumerateDisks(HDEVINFO set, DiskMap &disks)
{
    const Win32Calls &w = win32();
    SP_DEVINFO_DATA info = {};
    info.cbSize = deviceInfoSize;
    DWORD index = 0;
    if (!w.setupDiEnumDeviceInfo(set, index, &info)) return endOrError(1);
    for (;;) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = interfaceDataSize;
        if (!w.setupDiEnumDeviceInterfaces(set, nullptr, &diskInterfaceClass, index, &interfaceData))
            return endOrError(2);
        ++index;
        if (const int error = checkHardwareId(set, info)) return error;
        std::wstring path;
        if (const int error = interfacePath(set, interfaceData, info, path)) return error;
        addDisk(path, disks);
        info.cbSize = deviceInfoSize;
        if (!w.setupDiEnumDeviceInfo(set, index, &info)) return endOrError(1);
    }
}

}  // namespace

std::optional<DiskMap> listDisks(std::wostream &errors)
{
    const Win32Calls &w = win32();
    const HDEVINFO set =
        w.setupDiGetClassDevsW(&diskInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        errors << L"Could net list disks" << L'\n';
        return std::nullopt;
    }
    DiskMap disks;
    if (const int error = enumerateDisks(set, disks)) errors << L"Could net list disks " << error << L'\n';
    w.setupDiDestroyDeviceInfoList(set);
    return disks;
}

void printDiskList(const DiskMap &disks, std::wostream &out)
{
    for (const auto &disk : disks) out << L"Drive number [" << disk.first << L"]\t" << disk.second << std::endl;
}

std::string missingDiskText(int32_t number)
{
    return "Drive number (" + std::to_string(number) + ") not found";
}

bool resolveDiskNumber(int32_t driveNumber, bool batch, const DiskMap &disks, std::wstring &devicePath,
                       const DiskLogLine &log, std::ostream &console)
{
    if (driveNumber == -1) return true;
    const auto disk = disks.find(driveNumber);
    if (disk == disks.end()) {
        const std::string text = "Drive number not found";
        console << text << '\n';
        log(text);
        return false;
    }
    if (!batch && driveNumber >= 0) devicePath = disk->second;
    return true;
}

std::wstring displayName(const std::wstring &devicePath)
{
    const size_t first = devicePath.find(L'#');
    if (first == std::wstring::npos) return devicePath;
    const size_t second = devicePath.find(L'#', first + 1);
    if (second == std::wstring::npos) return devicePath;
    const size_t third = devicePath.find(L'#', second + 1);
    return devicePath.substr(second + 1, third == std::wstring::npos ? std::wstring::npos : third - second - 1);
}

std::string narrowName(const std::wstring &name)
{
    std::string narrow(name.size(), '\0');
    std::transform(name.begin(), name.end(), narrow.begin(), [](wchar_t c) { return char(c & 0xFF); });
    return narrow;
}
