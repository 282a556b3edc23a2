// The Win32 calls of the Windows platform layer, reached through one table so tests can fake them.
#ifndef VANTREL_WINDOWS_WIN32_CALLS_H
#define VANTREL_WINDOWS_WIN32_CALLS_H

#include <windows.h>
#include <setupapi.h>

// One pointer per Win32 function this layer calls, with the function's own signature and
// calling convention. The platform code calls nothing of Win32 except through this table.
struct Win32Calls {
    HANDLE(WINAPI *createFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI *readFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI *setFilePointerEx)(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD);
    BOOL(WINAPI *getFileSizeEx)(HANDLE, PLARGE_INTEGER);
    BOOL(WINAPI *closeHandle)(HANDLE);
    BOOL(WINAPI *deviceIoControl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    DWORD(WINAPI *getLastError)();
    BOOL(WINAPI *getFileInformationByHandle)(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
    DWORD(WINAPI *getFileType)(HANDLE);

    HDEVINFO(WINAPI *setupDiGetClassDevsW)(const GUID *, PCWSTR, HWND, DWORD);
    BOOL(WINAPI *setupDiEnumDeviceInfo)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
    BOOL(WINAPI *setupDiEnumDeviceInterfaces)(HDEVINFO, PSP_DEVINFO_DATA, const GUID *, DWORD,
                                              PSP_DEVICE_INTERFACE_DATA);
    BOOL(WINAPI *setupDiGetDeviceRegistryPropertyW)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE,
                                                    DWORD, PDWORD);
    BOOL(WINAPI *setupDiGetDeviceInterfaceDetailW)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
                                                   PSP_DEVINFO_DATA);
    BOOL(WINAPI *setupDiDestroyDeviceInfoList)(HDEVINFO);

    BOOL(WINAPI *getVersionExW)(LPOSVERSIONINFOW);
    BOOL(WINAPI *openProcessToken)(HANDLE, DWORD, PHANDLE);
    HANDLE(WINAPI *getCurrentProcess)();
    BOOL(WINAPI *getTokenInformation)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);

    HANDLE(WINAPI *getStdHandle)(DWORD);
    BOOL(WINAPI *getConsoleScreenBufferInfo)(HANDLE, PCONSOLE_SCREEN_BUFFER_INFO);
    BOOL(WINAPI *setConsoleWindowInfo)(HANDLE, BOOL, const SMALL_RECT *);

    int(WINAPI *multiByteToWideChar)(UINT, DWORD, LPCCH, int, LPWSTR, int);
    int(WINAPI *wideCharToMultiByte)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL);
};

// The table holding the real Win32 functions. Never changes; thread-safe.
const Win32Calls &realWin32Calls();

// The table the platform code calls through right now: the real one unless a
// ScopedWin32Override is alive. Reading it is thread-safe while no override starts or ends.
const Win32Calls &win32();

// Makes `calls` the table of win32() for its lifetime and puts the previous one back when it
// ends; overrides nest. For tests: start and end it while no other thread calls through
// win32(). `calls` must outlive the override.
class ScopedWin32Override {
public:
    explicit ScopedWin32Override(const Win32Calls &calls);
    ~ScopedWin32Override();
    ScopedWin32Override(const ScopedWin32Override &) = delete;
    ScopedWin32Override &operator=(const ScopedWin32Override &) = delete;

private:
    const Win32Calls *previous_;
};

#endif
