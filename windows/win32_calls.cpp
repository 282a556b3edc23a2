// The real Win32 call table and the process-wide choice of table.
#include "windows/win32_calls.h"

namespace {

const Win32Calls realCalls = {
    &CreateFileW,
    &ReadFile,
    &SetFilePointerEx,
    &GetFileSizeEx,
    &CloseHandle,
    &DeviceIoControl,
    &GetLastError,
    &GetFileInformationByHandle,
    &GetFileType,
    &SetupDiGetClassDevsW,
    &SetupDiEnumDeviceInfo,
    &SetupDiEnumDeviceInterfaces,
    &SetupDiGetDeviceRegistryPropertyW,
    &SetupDiGetDeviceInterfaceDetailW,
    &SetupDiDestroyDeviceInfoList,
    &GetVersionExW,
    &OpenProcessToken,
    &GetCurrentProcess,
    &GetTokenInformation,
    &GetStdHandle,
    &GetConsoleScreenBufferInfo,
    &SetConsoleWindowInfo,
    &MultiByteToWideChar,
    &WideCharToMultiByte,
};

const Win32Calls *currentCalls = &realCalls;

}  // namespace

const Win32Calls &realWin32Calls()
{
    return realCalls;
}

const Win32Calls &win32()
{
    return *currentCalls;
}

ScopedWin32Override::ScopedWin32Override(const Win32Calls &calls) : previous_(currentCalls)
{
    currentCalls = &calls;
}

ScopedWin32Override::~ScopedWin32Override()
{
    currentCalls = previous_;
}
