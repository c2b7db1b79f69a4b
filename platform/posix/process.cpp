// Starting programs, process handles and pauses on Linux, with the Win32 behaviour
// finish-update relies on: the command line is read by the Windows rules, the new
// process is not waited for, a failed start is reported by the call itself, and no
// descriptor of ours leaks into the new process.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "posix-internal.h"

#define MAX_HANDLES 64
#define MAX_ARGUMENTS 256
#define COMMAND_LINE_LIMIT 32768

// Open process and thread handles: a handle is 4 times its slot number plus 4,
// so that NULL is never a handle.
static pid_t handleOwners[MAX_HANDLES];
static int handleInUse[MAX_HANDLES];

// Returns a new handle for process pid, or NULL when the table is full.
static HANDLE OpenHandle(pid_t pid) {
    for (int slot = 0; slot < MAX_HANDLES; slot++) {
        if (handleInUse[slot]) continue;
        handleInUse[slot] = 1;
        handleOwners[slot] = pid;
        return (HANDLE)(uintptr_t)(4 * slot + 4);
    }
    return NULL;
}

// Returns TRUE when handle was open and is now closed; FALSE with
// ERROR_INVALID_HANDLE otherwise.
BOOL CloseHandle(HANDLE handle) {
    uintptr_t value = (uintptr_t)handle;
    if (value < 4 || value % 4 != 0 || value / 4 - 1 >= MAX_HANDLES || !handleInUse[value / 4 - 1]) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    handleInUse[value / 4 - 1] = 0;
    return TRUE;
}

// Returns 1 when path (either separator) names a regular file.
static int IsRegularFile(const char *path) {
    char native[PATH_MAX];
    struct stat info;
    return ToNativePath(path, native, sizeof native) && stat(native, &info) == 0 && S_ISREG(info.st_mode);
}

// In the new process: leaves only the standard descriptors and errorPipe open,
// detaches from the caller's session and runs program. Never returns; reports the
// exec failure's errno through errorPipe.
static void RunInChild(const char *program, char **argv, int errorPipe) {
    if (errorPipe > 3) close_range(3, (unsigned)errorPipe - 1, 0);
    close_range((unsigned)errorPipe + 1, ~0u, 0);
    setsid();
    execv(program, argv);
    int reason = errno;
    ssize_t ignored = write(errorPipe, &reason, sizeof reason);
    (void)ignored;
    _exit(127);
}

// Starts the program that commandLine (or applicationName) names, with the
// command line split into its arguments, and does not wait for it. Returns TRUE
// with the process and thread handles in processInformation; FALSE with the code:
// ERROR_FILE_NOT_FOUND for a missing program, ERROR_ACCESS_DENIED for one that may
// not be run, ERROR_BAD_EXE_FORMAT for a file that is not a program.
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    SECURITY_ATTRIBUTES *processAttributes, SECURITY_ATTRIBUTES *threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, void *environment,
                    LPCSTR currentDirectory, STARTUPINFOA *startupInfo,
                    PROCESS_INFORMATION *processInformation) {
    (void)processAttributes;
    (void)threadAttributes;
    (void)inheritHandles;
    (void)creationFlags;
    if ((applicationName == NULL && commandLine == NULL) || environment != NULL ||
        currentDirectory != NULL || startupInfo == NULL || processInformation == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const char *line = commandLine ? commandLine : applicationName;
    if (strlen(line) >= COMMAND_LINE_LIMIT) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    char program[PATH_MAX];
    char found[PATH_MAX];
    if (applicationName != NULL) {
        if (!IsRegularFile(applicationName)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        if (!ToNativePath(applicationName, program, sizeof program)) return FALSE;
    } else {
        if (!FindProgram(line, IsRegularFile, found, sizeof found)) return FALSE;
        if (!ToNativePath(found, program, sizeof program)) return FALSE;
    }
    static char storage[COMMAND_LINE_LIMIT + MAX_ARGUMENTS];
    char *argv[MAX_ARGUMENTS + 1];
    if (SplitCommandLine(line, argv, MAX_ARGUMENTS, storage, sizeof storage) < 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) return FailFromErrno();
    pid_t pid = fork();
    if (pid < 0) {
        int saved = errno;
        close(errorPipe[0]);
        close(errorPipe[1]);
        errno = saved;
        return FailFromErrno();
    }
    if (pid == 0) RunInChild(program, argv, errorPipe[1]);
    close(errorPipe[1]);
    int reason = 0;
    ssize_t got;
    do {
        got = read(errorPipe[0], &reason, sizeof reason);
    } while (got < 0 && errno == EINTR);
    close(errorPipe[0]);
    if (got == (ssize_t)sizeof reason) {
        waitpid(pid, NULL, 0);
        SetLastError(Win32ErrorFromErrno(reason));
        return FALSE;
    }
    HANDLE process = OpenHandle(pid);
    HANDLE thread = process ? OpenHandle(pid) : NULL;
    if (thread == NULL) {
        // The program runs; only our bookkeeping of it failed.
        if (process) CloseHandle(process);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return FALSE;
    }
    processInformation->hProcess = process;
    processInformation->hThread = thread;
    processInformation->dwProcessId = (DWORD)pid;
    processInformation->dwThreadId = (DWORD)pid;
    // Windows clears the last error when a process starts.
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// Blocks the calling thread for the given number of milliseconds.
void Sleep(DWORD milliseconds) {
    struct timespec remaining = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// Nothing to harden on Linux: programs do not load libraries from the current folder.
void HardenProcess(void) {}
