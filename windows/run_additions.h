// Windows run steps: enlarging the console window (-x) and the elevation check before a
// device is sized.
#ifndef VANTREL_WINDOWS_RUN_ADDITIONS_H
#define VANTREL_WINDOWS_RUN_ADDITIONS_H

// Sets the standard output's console window to the largest size its screen buffer allows.
// Any failure (standard output redirected, no console) is ignored and leaves the window as it
// was. Main thread.
void maximizeConsole();

// Whether the process may go on to size and read devices: always on Windows versions before
// 6 (Vista); from 6 on, or when the version cannot be read, only when the process token is
// elevated. A token query that fails counts as not elevated. The token handle is closed again. When this returns
// false the caller logs "This program privilege level requires to run as administrator" and
// ends the run with code 30. Thread-safe.
bool administratorCheckPasses();

#endif
