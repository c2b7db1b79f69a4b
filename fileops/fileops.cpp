#include "fileops/fileops.h"

#include <string.h>

#include "diagnostics/diagnostics.h"

// The failure texts, in code page 936.
// "获取当前工作目录失败": getting the current working directory failed.
static const char workingDirectoryFailed[] =
    "\xbb\xf1\xc8\xa1\xb5\xb1\xc7\xb0\xb9\xa4\xd7\xf7\xc4\xbf\xc2\xbc\xca\xa7\xb0\xdc";
// "路径拼接失败": joining the path failed.
static const char joinFailed[] = "\xc2\xb7\xbe\xb6\xc6\xb4\xbd\xd3\xca\xa7\xb0\xdc";
// "删除旧文件失败": deleting the old file failed.
static const char deleteFailed[] = "\xc9\xbe\xb3\xfd\xbe\xc9\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc";
// "文件重命名失败": renaming the file failed.
static const char renameFailed[] = "\xce\xc4\xbc\xfe\xd6\xd8\xc3\xfc\xc3\xfb\xca\xa7\xb0\xdc";
// "启动应用程序失败": starting the application failed.
static const char startFailed[] = "\xc6\xf4\xb6\xaf\xd3\xa6\xd3\xc3\xb3\xcc\xd0\xf2\xca\xa7\xb0\xdc";

// Returns GetCurrentDirectoryA's count unchanged; its last error on failure.
DWORD GetWorkingDirectory(char *buffer, DWORD length) { return GetCurrentDirectoryA(length, buffer); }

// Returns 1 with name's full path in fullPath, or 0 after reporting why, with the
// failing call's code in the last error.
int BuildFullPath(const char *name, char *fullPath) {
    char directory[MAX_PATH];
    memset(directory, 0, sizeof directory);
    // A directory too long for the buffer gives a nonzero count and leaves the
    // buffer empty; the name is then joined to nothing and stays relative.
    if (GetWorkingDirectory(directory, MAX_PATH) == 0) {
        ShowErrorMessage(workingDirectoryFailed);
        return 0;
    }
    WriteLog("my_exePath1: %s\n", directory);
    if (PathCombineA(fullPath, directory, name) == NULL) {
        ShowErrorMessage(joinFailed);
        return 0;
    }
    return 1;
}

// What a look-up found out about a name.
#define NAME_ABSENT 0
#define NAME_PRESENT 1
#define NAME_UNKNOWN 2

// Returns NAME_PRESENT when path exists, NAME_ABSENT when it is known not to (not
// found, or a folder on the way missing) and NAME_UNKNOWN when it could not be
// examined; the last error is PathFileExistsA's.
static int LookUp(const char *path) {
    if (PathFileExistsA(path)) return NAME_PRESENT;
    DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? NAME_ABSENT : NAME_UNKNOWN;
}

// Returns 1 when the two paths are spelt alike but for letter case and the kind of
// separator, as Windows compares names.
static int SamePath(const char *first, const char *second) {
    for (;; first++, second++) {
        char a = *first == '\\' ? '/' : *first;
        char b = *second == '\\' ? '/' : *second;
        if (a >= 'A' && a <= 'Z') a = (char)(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = (char)(b - 'A' + 'a');
        if (a != b) return 0;
        if (a == '\0') return 1;
    }
}

// Returns 1 with dstPath + BACKUP_SUFFIX in backupPath (MAX_PATH bytes), or 0 with
// ERROR_FILENAME_EXCED_RANGE when that name does not fit.
static int MakeBackupPath(const char *dstPath, char *backupPath) {
    size_t length = strlen(dstPath);
    if (length + sizeof BACKUP_SUFFIX > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    memcpy(backupPath, dstPath, length);
    memcpy(backupPath + length, BACKUP_SUFFIX, sizeof BACKUP_SUFFIX);
    return 1;
}

// Reports that the old file could not be moved out of the way and logs it.
// Returns 0; the last error is the failing call's, as the report found it.
static int FailOldFile(const char *dstPath) {
    ShowErrorMessage(deleteFailed);
    WriteLog("del dstPath2: %s\n", dstPath);
    return 0;
}

// Puts the kept old file back when nothing took its place, then reports that the
// new copy could not be moved in. Returns 0 with the move's code in the last error.
static int FailNewCopy(const char *dstPath, const char *backupPath) {
    DWORD code = GetLastError();
    if (LookUp(dstPath) == NAME_ABSENT && LookUp(backupPath) == NAME_PRESENT) MoveFileA(backupPath, dstPath);
    SetLastError(code);
    ShowErrorMessage(renameFailed);
    return 0;
}

// Returns 1 once srcPath is in dstPath's place and exePath has started, or 0 after
// reporting the failure, with the failing call's code in the last error. A backup is
// taken for a stale one, and removed, only while the old file is known to be in
// place and the backup is not the new copy itself.
int RenameAndLaunch(const char *srcPath, const char *dstPath, const char *exePath) {
    WriteLog("del dstPath1: %s\n", dstPath);
    char backupPath[MAX_PATH];
    if (!MakeBackupPath(dstPath, backupPath)) return FailOldFile(dstPath);
    int backupIsNewCopy = SamePath(srcPath, backupPath);
    int newCopy = LookUp(srcPath);
    int oldFile = LookUp(dstPath);
    if (oldFile == NAME_UNKNOWN) return FailOldFile(dstPath);
    if (newCopy == NAME_ABSENT && oldFile == NAME_PRESENT) {
        // Nothing to replace: no new copy came, or an earlier attempt moved it in and
        // then could not start the application.
        if (!backupIsNewCopy && LookUp(backupPath) == NAME_PRESENT) DeleteFileA(backupPath);
        return StartApplication(exePath);
    }
    if (oldFile == NAME_PRESENT) {
        if (!backupIsNewCopy && LookUp(backupPath) == NAME_PRESENT && !DeleteFileA(backupPath)) {
            return FailOldFile(dstPath);
        }
        if (!MoveFileA(dstPath, backupPath)) return FailOldFile(dstPath);
    }
    if (newCopy == NAME_ABSENT) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FailNewCopy(dstPath, backupPath);
    }
    if (!MoveFileA(srcPath, dstPath)) return FailNewCopy(dstPath, backupPath);
    // The update is in place; a backup that cannot be removed now goes next time.
    if (LookUp(backupPath) == NAME_PRESENT) DeleteFileA(backupPath);
    return StartApplication(exePath);
}

// Returns 1 when commandLine is a path with blanks, which must be quoted to be read as
// one program name. It is quoted also when no such file exists: unquoted, a shorter
// name ending at a blank ("C:\my.exe" for "C:\my app\app.exe") could be started.
static int NeedsQuotes(const char *commandLine) {
    return strpbrk(commandLine, " \t") != NULL && strchr(commandLine, '"') == NULL;
}

// Returns 1 once the process has started and both its handles are closed, or 0
// after reporting the failure, with CreateProcessA's code in the last error.
int StartApplication(const char *commandLine) {
    char line[MAX_PATH + 2];
    size_t length = strlen(commandLine);
    if (length + 1 > sizeof line) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        ShowErrorMessage(startFailed);
        return 0;
    }
    // Quoted, the path cannot be read as a shorter program name followed by
    // arguments ("C:\Program.exe" for "C:\Program Files\...").
    if (length + 3 <= sizeof line && NeedsQuotes(commandLine)) {
        line[0] = '"';
        memcpy(line + 1, commandLine, length);
        line[length + 1] = '"';
        line[length + 2] = '\0';
    } else {
        memcpy(line, commandLine, length + 1);
    }
    STARTUPINFOA startupInfo;
    memset(&startupInfo, 0, sizeof startupInfo);
    startupInfo.cb = sizeof startupInfo;
    PROCESS_INFORMATION processInformation;
    memset(&processInformation, 0, sizeof processInformation);
    if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startupInfo, &processInformation)) {
        ShowErrorMessage(startFailed);
        return 0;
    }
    CloseHandle(processInformation.hProcess);
    CloseHandle(processInformation.hThread);
    return 1;
}
