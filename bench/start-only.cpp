// start-only: the least a Windows program does to start another one, the baseline
// the benchmark sets finish-update.exe against. Starts the program its first
// argument names, without waiting for it, and ends.
//
// Built with -DIMPORT_USER32_SHLWAPI it also imports the two DLLs finish-update.exe
// imports beyond KERNEL32 and msvcrt, which shows what loading them costs.
#include <string.h>
#include <windows.h>
#ifdef IMPORT_USER32_SHLWAPI
#include <shlwapi.h>
#endif

// Returns 0 once the program has started; nonzero when there is no argument, it
// does not fit or CreateProcessA fails (its code is then the last error).
int main(int argc, char **argv) {
#ifdef IMPORT_USER32_SHLWAPI
    // Reached only without arguments; the calls are here to be imported.
    if (argc < 2) return MessageBoxA(NULL, "", "", MB_OK) + (PathFileExistsA("") ? 1 : 2);
#endif
    if (argc < 2) return 1;
    char line[MAX_PATH + 1];
    size_t length = strlen(argv[1]);
    if (length >= sizeof line) return 1;
    // CreateProcessA may write into the command line, so it gets a copy.
    memcpy(line, argv[1], length + 1);
    STARTUPINFOA startupInfo;
    memset(&startupInfo, 0, sizeof startupInfo);
    startupInfo.cb = sizeof startupInfo;
    PROCESS_INFORMATION processInformation;
    if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startupInfo, &processInformation)) return 1;
    CloseHandle(processInformation.hProcess);
    CloseHandle(processInformation.hThread);
    return 0;
}
