// The Win32 error model on Linux: a per-thread last-error value, the one table that
// maps errno values to Win32 codes, and the system's texts for those codes.
#include <errno.h>
#include <string.h>

#include "posix-internal.h"

static thread_local DWORD lastError = ERROR_SUCCESS;

// Returns the calling thread's last-error value.
DWORD GetLastError(void) { return lastError; }

// Sets the calling thread's last-error value.
void SetLastError(DWORD code) { lastError = code; }

struct ErrnoMapping {
    int errnoValue;
    DWORD win32Code;
};

static const ErrnoMapping errnoMappings[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EROFS, ERROR_WRITE_PROTECT},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ENOEXEC, ERROR_BAD_EXE_FORMAT},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EIO, ERROR_IO_DEVICE},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
};

// Returns the Win32 code for errnoValue; an errno without its own code maps to
// ERROR_ACCESS_DENIED, the code Windows gives for most refusals.
DWORD Win32ErrorFromErrno(int errnoValue) {
    for (const ErrnoMapping &mapping : errnoMappings) {
        if (mapping.errnoValue == errnoValue) return mapping.win32Code;
    }
    return ERROR_ACCESS_DENIED;
}

// Returns 0 and leaves the Win32 code for the current errno in the last error.
int FailFromErrno(void) {
    SetLastError(Win32ErrorFromErrno(errno));
    return 0;
}

struct MessageText {
    DWORD code;
    const char *text;
};

static const MessageText messageTexts[] = {
    {ERROR_SUCCESS, "Success.\r\n"},
    {ERROR_FILE_NOT_FOUND, "File not found.\r\n"},
    {ERROR_PATH_NOT_FOUND, "Path not found.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many open files.\r\n"},
    {ERROR_ACCESS_DENIED, "Access denied.\r\n"},
    {ERROR_INVALID_HANDLE, "Invalid handle.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory.\r\n"},
    {ERROR_NOT_SAME_DEVICE, "Cannot move the file to a different disk drive.\r\n"},
    {ERROR_WRITE_PROTECT, "The medium is write-protected.\r\n"},
    {ERROR_SHARING_VIOLATION, "The file is in use by another process.\r\n"},
    {ERROR_NOT_SUPPORTED, "Not supported.\r\n"},
    {ERROR_INVALID_PARAMETER, "Invalid parameter.\r\n"},
    {ERROR_DISK_FULL, "The disk is full.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The buffer is too small.\r\n"},
    {ERROR_INVALID_NAME, "Invalid name.\r\n"},
    {ERROR_DIR_NOT_EMPTY, "The folder is not empty.\r\n"},
    {ERROR_ALREADY_EXISTS, "The file already exists.\r\n"},
    {ERROR_BAD_EXE_FORMAT, "Not a valid program.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The file name is too long.\r\n"},
    {ERROR_MR_MID_NOT_FOUND, "No text is known for this message number.\r\n"},
    {ERROR_IO_DEVICE, "Input/output error.\r\n"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name cannot be resolved.\r\n"},
};

// Writes the system's text for messageId into buffer (size bytes, NUL included)
// and returns its length. Only FORMAT_MESSAGE_FROM_SYSTEM is supported. Returns 0
// with ERROR_MR_MID_NOT_FOUND for a code without a text, ERROR_INSUFFICIENT_BUFFER
// when the text does not fit, or ERROR_INVALID_PARAMETER for other flags or no buffer.
DWORD FormatMessageA(DWORD flags, const void *source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, void *arguments) {
    (void)source;
    (void)languageId;
    (void)arguments;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const MessageText &message : messageTexts) {
        if (message.code != messageId) continue;
        size_t length = strlen(message.text);
        if (length + 1 > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        memcpy(buffer, message.text, length + 1);
        return (DWORD)length;
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}
