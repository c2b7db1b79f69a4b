// Helpers shared by the Linux system layer and the test doubles that stand in for it:
// the errno-to-Win32 mapping and the pure path and command-line rules.
#ifndef FINISH_UPDATE_POSIX_INTERNAL_H
#define FINISH_UPDATE_POSIX_INTERNAL_H

#include <stddef.h>

#include "platform.h"

// Returns the Win32 code for an errno value (ERROR_ACCESS_DENIED for EACCES, ...).
DWORD Win32ErrorFromErrno(int errnoValue);

// Sets the last error from errno; returns 0 so that failures read `return FailFromErrno();`.
int FailFromErrno(void);

// Copies `path` into `native` (size `size`), turning backslashes into slashes.
// Returns 1, or 0 with ERROR_FILENAME_EXCED_RANGE when it does not fit.
int ToNativePath(const char *path, char *native, size_t size);

// Joins `dir` and `file` the way PathCombineA does, with '/' as separator, and
// removes "." and ".." parts. Returns `dest`, or NULL with dest holding "": with
// ERROR_INVALID_PARAMETER when dest is NULL or both inputs are NULL, with
// ERROR_INSUFFICIENT_BUFFER when an input alone has MAX_PATH bytes or more, and with
// the last error unchanged when the result needs more than MAX_PATH bytes.
char *CombinePath(char *dest, const char *dir, const char *file);

// Finds the program a command line names, by the Windows rules: a quoted first
// token is the program; otherwise each prefix that ends at a blank is tried in turn,
// then the whole line, each also with ".exe" added when it has no extension, and
// the first that `isFile` accepts is the program, stored in `program` (`size` bytes).
// Returns 1, or 0 with ERROR_FILE_NOT_FOUND when no candidate is a file, or
// ERROR_FILENAME_EXCED_RANGE when a candidate does not fit `size`.
int FindProgram(const char *commandLine, int (*isFile)(const char *path),
                char *program, size_t size);

// Splits a command line into at most `maxArgs` arguments the way the C runtime
// builds argv: the first ends at the first blank unless it is quoted; the others
// follow the backslash and double-quote rules. The arguments are written
// NUL-terminated into `storage` (`storageSize` bytes) and pointed to from argv,
// which gets a final NULL (so it needs maxArgs + 1 slots). Returns the count, or
// -1 when they do not fit.
int SplitCommandLine(const char *commandLine, char **argv, int maxArgs,
                     char *storage, size_t storageSize);

#endif
