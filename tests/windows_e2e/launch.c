/* launch.c - runs a Windows program and writes its full 32-bit exit status to a file.
 *
 * Wine hands a Linux shell only the low 8 bits of a process's exit status (433 arrives as 177),
 * so the end-to-end tests start the program under test through this launcher:
 *   launch [--hold <file>] <status file> <program> [arguments...]
 * The program inherits the launcher's standard streams; its arguments reach it exactly as the
 * launcher received them. The status file gets the status in decimal and a line feed. The
 * launcher's own exit status is the program's, or 255 (and a message on standard error, and no
 * status file) when the program cannot be started or the file to hold cannot be opened.
 * With --hold, the launcher keeps <file> open for writing while the program runs, letting
 * others only read it, as another run of the program holds its log and CSV files. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <wchar.h>

/* Appends `arg` to `out` quoted so that CommandLineToArgvW and the C runtime read it back
 * unchanged: backslashes double only before a quote or the closing quote. Returns the new end. */
static wchar_t *appendQuoted(wchar_t *out, const wchar_t *arg)
{
    *out++ = L'"';
    for (const wchar_t *p = arg;; p++) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            backslashes++;
            p++;
        }
        if (*p == L'\0' || *p == L'"') {
            /* Before a quote or the end, each backslash is written twice; a quote escaped. */
            for (size_t i = 0; i < 2 * backslashes; i++) *out++ = L'\\';
            if (*p == L'\0') break;
            *out++ = L'\\';
            *out++ = L'"';
        } else {
            for (size_t i = 0; i < backslashes; i++) *out++ = L'\\';
            *out++ = *p;
        }
    }
    *out++ = L'"';
    return out;
}

int wmain(void)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    /* argv[first] is the status file, the program follows it. */
    const int first = argv && argc > 2 && wcscmp(argv[1], L"--hold") == 0 ? 3 : 1;
    if (!argv || argc < first + 2) {
        fwprintf(stderr, L"usage: launch [--hold <file>] <status file> <program> [arguments...]\n");
        return 255;
    }
    if (first == 3) {
        /* Held until the launcher ends. */
        HANDLE held = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (held == INVALID_HANDLE_VALUE) {
            fwprintf(stderr, L"launch: cannot hold %ls (error %lu)\n", argv[2], GetLastError());
            return 255;
        }
    }
    size_t room = 1;
    for (int i = first + 1; i < argc; i++) room += 3 + 2 * wcslen(argv[i]);
    wchar_t *commandLine = HeapAlloc(GetProcessHeap(), 0, room * sizeof(wchar_t));
    if (!commandLine) return 255;
    wchar_t *end = commandLine;
    for (int i = first + 1; i < argc; i++) {
        if (i > first + 1) *end++ = L' ';
        end = appendQuoted(end, argv[i]);
    }
    *end = L'\0';

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        fwprintf(stderr, L"launch: cannot start %ls (error %lu)\n", argv[first + 1], GetLastError());
        return 255;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    FILE *file = _wfopen(argv[first], L"wb"); /* "\n" alone, as a Linux reader expects */
    if (!file || fprintf(file, "%lu\n", (unsigned long)status) < 0 || fclose(file) != 0) {
        fwprintf(stderr, L"launch: cannot write %ls\n", argv[first]);
        return 255;
    }
    return (int)status;
}
