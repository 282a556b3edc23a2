/* exit_with.c - a stand-in program for the launcher's self-test: prints each argument after the
 * first on a line of its own, as UTF-8, and exits with the status that the first one gives. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>

int main(void)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return 1;
    for (int i = 2; i < argc; i++) {
        char text[1024];
        int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text, sizeof text, NULL, NULL);
        printf("%s\n", n > 0 ? text : "?");
    }
    fflush(stdout);
    ExitProcess((UINT)wcstoul(argv[1], NULL, 10));
}
