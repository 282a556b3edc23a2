// The console enlargement and the elevation check, through the Win32 call table.
#include "windows/run_additions.h"

#include <windows.h>

#include "windows/win32_calls.h"

static_assert(sizeof(OSVERSIONINFOW) == 276, "the version record's size field is 276");
static_assert(sizeof(TOKEN_ELEVATION) == 4, "the elevation answer is 4 bytes");

void maximizeConsole()
{
    const Win32Calls &w = win32();
    const HANDLE out = w.getStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    if (!w.getConsoleScreenBufferInfo(out, &info)) return;
    const SMALL_RECT window = {0, 0, SHORT(info.dwMaximumWindowSize.X - 1), SHORT(info.dwMaximumWindowSize.Y - 1)};
    w.setConsoleWindowInfo(out, TRUE, &window);
}

bool administratorCheckPasses()
{
    const Win32Calls &w = win32();
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    // Without a known version the token decides.
    if (w.getVersionExW(&version) && version.dwMajorVersion < 6) return true;
    HANDLE token = nullptr;
    if (!w.openProcessToken(w.getCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD length = sizeof elevation;
    const BOOL answered = w.getTokenInformation(token, TokenElevation, &elevation, length, &length);
    w.closeHandle(token);
    return answered && elevation.TokenIsElevated != 0;
}
