// Files and folders on Linux with the Win32 behaviour finish-update relies on:
// a move never replaces an existing name and also works across file systems, a
// read-only file cannot be deleted, and a missing folder on the way is "path not
// found" rather than "file not found".
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix-internal.h"

// Returns 0 and leaves the code for a name that could not be found: ERROR_PATH_NOT_FOUND
// when a folder on the way is missing, ERROR_FILE_NOT_FOUND otherwise.
static int FailMissing(const char *native) {
    char parent[PATH_MAX];
    size_t length = strlen(native);
    if (length >= sizeof parent) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    memcpy(parent, native, length + 1);
    while (length > 0 && parent[length - 1] == '/') parent[--length] = '\0';
    char *slash = strrchr(parent, '/');
    struct stat info;
    if (slash == NULL) {
        SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
        if (slash == parent) slash[1] = '\0';
        else *slash = '\0';
        SetLastError(stat(parent, &info) == 0 && S_ISDIR(info.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                      : ERROR_PATH_NOT_FOUND);
    }
    return 0;
}

// Returns 0 with the code for the current errno, naming `native` for a missing file.
static int FailFor(const char *native) {
    if (errno == ENOENT) return FailMissing(native);
    return FailFromErrno();
}

// Converts path into native (PATH_MAX bytes). Returns 1, or 0 with
// ERROR_INVALID_PARAMETER for NULL, ERROR_PATH_NOT_FOUND for "" or
// ERROR_FILENAME_EXCED_RANGE when it is too long.
static int NativeName(const char *path, char *native) {
    if (path == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (path[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    return ToNativePath(path, native, PATH_MAX);
}

// Returns the length of the current directory written to buffer, or the size needed
// (NUL included) with the buffer untouched when it is too small; 0 on failure with
// the code (ERROR_FILE_NOT_FOUND when the directory was removed).
DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer) {
    char directory[PATH_MAX];
    if (getcwd(directory, sizeof directory) == NULL) return (DWORD)FailFromErrno();
    size_t length = strlen(directory);
    if (buffer == NULL || length + 1 > bufferLength) return (DWORD)(length + 1);
    memcpy(buffer, directory, length + 1);
    return (DWORD)length;
}

// Returns dest with dir and file joined, or NULL (see CombinePath).
LPSTR PathCombineA(LPSTR dest, LPCSTR dir, LPCSTR file) { return CombinePath(dest, dir, file); }

// Returns TRUE when path names an existing file or folder; FALSE with the code
// otherwise. The last error is left as it was on success.
BOOL PathFileExistsA(LPCSTR path) {
    char native[PATH_MAX];
    if (!NativeName(path, native)) return FALSE;
    struct stat info;
    if (stat(native, &info) != 0) return FailFor(native);
    return TRUE;
}

// Returns TRUE when the file is deleted; FALSE with the code otherwise: a folder or
// a read-only file (no owner write permission) gives ERROR_ACCESS_DENIED.
BOOL DeleteFileA(LPCSTR path) {
    char native[PATH_MAX];
    if (!NativeName(path, native)) return FALSE;
    struct stat info;
    if (lstat(native, &info) != 0) return FailFor(native);
    if (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && !(info.st_mode & S_IWUSR))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(native) != 0) return FailFor(native);
    return TRUE;
}

// Writes all of `count` bytes to fd. Returns 1, or 0 with errno set.
static int WriteAll(int fd, const char *data, size_t count) {
    while (count > 0) {
        ssize_t written = write(fd, data, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        data += written;
        count -= (size_t)written;
    }
    return 1;
}

// Copies regular file `from` to the new name `to` (which must not exist), makes the
// copy durable, then removes `from`. Returns 1, or 0 with the code and neither name
// changed: a partial copy is removed.
static int MoveByCopy(const char *from, const char *to, const struct stat *fromInfo) {
    if (!S_ISREG(fromInfo->st_mode)) {
        SetLastError(ERROR_NOT_SAME_DEVICE);
        return 0;
    }
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return FailFor(from);
    int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, fromInfo->st_mode & 07777);
    if (out < 0) {
        int saved = errno;
        close(in);
        errno = saved;
        return FailFor(to);
    }
    char chunk[65536];
    int ok = 1;
    for (;;) {
        ssize_t got = read(in, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (!WriteAll(out, chunk, (size_t)got)) {
            ok = 0;
            break;
        }
    }
    if (ok && fsync(out) != 0) ok = 0;
    int saved = errno;
    if (close(out) != 0 && ok) {
        ok = 0;
        saved = errno;
    }
    close(in);
    if (ok && unlink(from) != 0) {
        ok = 0;
        saved = errno;
    }
    if (!ok) {
        unlink(to);
        errno = saved;
        return FailFromErrno();
    }
    return 1;
}

// Returns TRUE when existingName now has the name newName; FALSE with the code
// otherwise: ERROR_ALREADY_EXISTS when newName exists (it is never replaced),
// ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND for a missing name or folder.
// Files move across file systems by copying; folders do not.
BOOL MoveFileA(LPCSTR existingName, LPCSTR newName) {
    char from[PATH_MAX];
    char to[PATH_MAX];
    if (!NativeName(existingName, from) || !NativeName(newName, to)) return FALSE;
    struct stat fromInfo;
    if (lstat(from, &fromInfo) != 0) return FailFor(from);
    struct stat toInfo;
    if (lstat(to, &toInfo) == 0 && toInfo.st_dev == fromInfo.st_dev && toInfo.st_ino == fromInfo.st_ino &&
        fromInfo.st_nlink == 1) {
        // The same name spelt another way: nothing to move. (Two hard links are two
        // names, and the new one exists.)
        return rename(from, to) == 0 ? TRUE : FailFor(to);
    }
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return TRUE;
    if (errno == EINVAL || errno == ENOSYS) {
        // A file system without RENAME_NOREPLACE: check, then rename.
        if (lstat(to, &toInfo) == 0) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        if (rename(from, to) == 0) return TRUE;
    }
    if (errno == EXDEV) return MoveByCopy(from, to, &fromInfo);
    return FailFor(to);
}
