// The system operations finish-update uses, for Linux: the Win32 names, types and
// behaviour the program relies on, implemented over POSIX. Errors are Win32 codes
// in a per-thread last-error value. Paths are byte strings; a backslash and a
// slash both separate path parts.
#ifndef FINISH_UPDATE_PLATFORM_POSIX_H
#define FINISH_UPDATE_PLATFORM_POSIX_H

#include <stdint.h>

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef int BOOL;
typedef unsigned char BYTE;
typedef void *HANDLE;
typedef void *HWND;
typedef char *LPSTR;
typedef const char *LPCSTR;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define IDOK 1

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(primary, sub) ((DWORD)((((WORD)(sub)) << 10) | (WORD)(primary)))

// The Win32 error codes this layer reports.
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NOT_SAME_DEVICE 17
#define ERROR_WRITE_PROTECT 19
#define ERROR_SHARING_VIOLATION 32
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_BAD_EXE_FORMAT 193
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_ALREADY_EXISTS 183
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_IO_DEVICE 1117
#define ERROR_CANT_RESOLVE_FILENAME 1921

typedef struct {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE *lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA;

typedef struct {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION;

typedef struct {
    DWORD nLength;
    void *lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES;

// Last error of the calling thread.
DWORD GetLastError(void);
void SetLastError(DWORD code);

// Files and paths.
DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer);
LPSTR PathCombineA(LPSTR dest, LPCSTR dir, LPCSTR file);
BOOL PathFileExistsA(LPCSTR path);
BOOL DeleteFileA(LPCSTR path);
BOOL MoveFileA(LPCSTR existingName, LPCSTR newName);

// Processes and time.
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    SECURITY_ATTRIBUTES *processAttributes, SECURITY_ATTRIBUTES *threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, void *environment,
                    LPCSTR currentDirectory, STARTUPINFOA *startupInfo,
                    PROCESS_INFORMATION *processInformation);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);

// Messages.
DWORD FormatMessageA(DWORD flags, const void *source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, void *arguments);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, unsigned int type);

// Process-wide hardening done first thing at start; nothing to do on Linux.
void HardenProcess(void);

#endif
