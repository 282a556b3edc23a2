// Device-namespace names: every spelling of a disk, volume or other device is told, whatever
// its slashes, case and prefix; files, pipes, the null device and the console reached through
// the namespace, and every name outside it, are not.
#include <gtest/gtest.h>

#include <string>

#include "windows/device_names.h"

namespace {

TEST(DeviceNamesTest, EverySpellingOfADeviceIsOne)
{
    const wchar_t *const devices[] = {
        // Disks and volumes under each prefix, with either slash, mixed, in any case.
        L"\\\\.\\PhysicalDrive0", L"\\\\?\\PhysicalDrive0", L"\\??\\PhysicalDrive0", L"//./PhysicalDrive0",
        L"//?/PhysicalDrive0", L"/\?\?/PhysicalDrive0", L"\\/.\\physicaldrive12", L"/\\?/PHYSICALDRIVE0",
        L"\\\\.\\C:", L"\\\\?\\C:", L"\\??\\C:", L"//./C:", L"//?/c:", L"\\\\.\\C:\\", L"\\\\?\\z:/",
        L"\\\\.\\Harddisk0Partition1", L"\\\\?\\HarddiskVolume3", L"\\\\.\\CdRom0", L"\\\\.\\Tape0",
        L"\\\\?\\Volume{3f2504e0-4f89-11d3-9a0c-0305e82c3301}",
        L"\\\\?\\Volume{3f2504e0-4f89-11d3-9a0c-0305e82c3301}\\",
        // Anything under GLOBALROOT, even a path below a device.
        L"\\\\?\\GLOBALROOT", L"\\\\.\\GLOBALROOT\\Device\\Harddisk0\\Partition0",
        L"\\\\?\\globalroot\\Device\\HarddiskVolume1\\dir\\file.log", L"//./GlobalRoot/Device/Null",
        // A device this list does not know, and the namespace's roots.
        L"\\\\.\\ScsiPort0", L"\\\\.\\COM1", L"\\\\.\\", L"\\\\?", L"\\??\\", L"\\\\.\\PIPE",
        // A file path on a device rather than a drive, volume or share.
        L"\\\\?\\Harddisk0Partition1\\dir\\file.log", L"\\\\?\\UNC\\server\\share",
        // Repeated slashes, and components of dots that may climb back to the device.
        L"\\\\.\\\\PhysicalDrive0", L"\\\\\\.\\PhysicalDrive0", L"\\\\.\\C:\\..\\PhysicalDrive0",
        L"\\\\.\\C:\\dir\\..", L"\\\\.\\C:\\.", L"\\\\.\\C:\\. ", L"\\\\?\\C:\\...",
        L"\\\\.\\pipe\\..\\PhysicalDrive0",
    };
    for (const wchar_t *name : devices) EXPECT_TRUE(isDeviceNamespaceName(name)) << std::wstring(name).c_str();
}

TEST(DeviceNamesTest, FilesPipesAndTheNullDeviceAreNoDevices)
{
    const wchar_t *const others[] = {
        // Long-path and device-path spellings of files, on a drive, a volume and a share.
        L"\\\\?\\C:\\dir\\file.log", L"\\\\.\\C:\\dir\\file.log", L"//?/c:/run.csv", L"\\??\\Z:\\tmp\\run.log",
        L"\\\\?\\Volume{3f2504e0-4f89-11d3-9a0c-0305e82c3301}\\logs\\run.log",
        L"\\\\?\\UNC\\server\\share\\run.csv", L"\\\\?\\C:\\dir\\.hidden\\run.log",
        // A named pipe, the null device and the console.
        L"\\\\.\\pipe\\vantrel", L"\\\\.\\NUL", L"\\\\?\\nul", L"//./CON",
        // Names outside the namespace.
        L"NUL", L"CON", L"C:", L"C:\\dir\\file.log", L"run.csv", L"PhysicalDrive0", L".\\PhysicalDrive0",
        L"\\\\server\\share\\run.csv", L"\\\\.hidden\\share\\run.csv", L"\\dir\\file.log", L"\\.\\file.log",
        L"",
    };
    for (const wchar_t *name : others) EXPECT_FALSE(isDeviceNamespaceName(name)) << std::wstring(name).c_str();
}

}  // namespace
