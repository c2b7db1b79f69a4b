// finish-update: finishes an application's automatic update. The application has
// put a new copy of one of its files beside the old one and quit; this program puts
// the new copy in the old one's place, starts the application again and ends.
//
//   finish-update                            the fixed names below
//   finish-update <source> <target> <exe>    the same three, named by the caller
//
// Names are relative to the current directory. Exit status: 0 when the application
// was started, 1 otherwise. The run is recorded in "autoUpdate_log.txt".
#include <string.h>

#include "diagnostics/diagnostics.h"
#include "fileops/fileops.h"
#include "platform.h"

// The fixed names used without arguments.
static const char fixedSourceName[] = "resources\\app1.txt";
static const char fixedDestinationName[] = "resources\\app.asar";
static const char fixedApplicationName[] = "quillbrook.exe";

#define ATTEMPT_PAUSE_MS 500
#define MAX_ATTEMPTS 4
// From this many failed attempts on, failures are shown to the user.
#define VISIBLE_FAILURES_FROM 3

// "参数格式: [源文件] [目标文件] [EXE路径]" (argument format: [source file]
// [target file] [EXE path]) and "提示" (notice), in code page 936.
static const char usageText[] =
    "\xb2\xce\xca\xfd\xb8\xf1\xca\xbd: [\xd4\xb4\xce\xc4\xbc\xfe] [\xc4\xbf\xb1\xea\xce\xc4\xbc\xfe] [EXE\xc2\xb7\xbe\xb6]";
static const char usageCaption[] = "\xcc\xe1\xca\xbe";

// "超过最大重试次数，操作失败": the maximum number of retries was exceeded, the
// operation failed.
static const char retriesExhausted[] =
    "\xb3\xac\xb9\xfd\xd7\xee\xb4\xf3\xd6\xd8\xca\xd4\xb4\xce\xca\xfd\xa3\xac\xb2\xd9\xd7\xf7\xca\xa7\xb0\xdc";

// Closes the run log, if it is open.
static void CloseRunLog(void) {
    if (logFile != NULL) fclose(logFile);
    logFile = NULL;
}

// Returns the exit status: 0 once the application has started, 1 after the usage
// box or after the last attempt failed.
int main(int argc, char **argv) {
    HardenProcess();
    char srcPath[MAX_PATH];
    char dstPath[MAX_PATH];
    char exePath[MAX_PATH];
    memset(srcPath, 0, sizeof srcPath);
    memset(dstPath, 0, sizeof dstPath);
    memset(exePath, 0, sizeof exePath);

    // A log that cannot be created is NULL; every log write then does nothing.
    logFile = fopen(RUN_LOG_NAME, "w");

    BuildFullPath(fixedSourceName, srcPath);
    BuildFullPath(fixedDestinationName, dstPath);
    BuildFullPath(fixedApplicationName, exePath);
    WriteLog("srcPath: %s\n", srcPath);
    WriteLog("dstPath: %s\n", dstPath);
    WriteLog("exePath: %s\n", exePath);

    int argumentCount = argc > 0 ? argc - 1 : 0;
    if (argumentCount == 1 || argumentCount == 2) {
        MessageBoxA(NULL, usageText, usageCaption, MB_OK);
        CloseRunLog();
        return 1;
    }
    if (argumentCount >= 3) {
        // A name that cannot be resolved leaves its buffer empty rather than holding
        // a fixed name's path, which would make the run touch a file it was not given.
        memset(srcPath, 0, sizeof srcPath);
        memset(dstPath, 0, sizeof dstPath);
        memset(exePath, 0, sizeof exePath);
        BuildFullPath(argv[1], srcPath);
        BuildFullPath(argv[2], dstPath);
        BuildFullPath(argv[3], exePath);
    }

    for (int retryCount = 0; retryCount < MAX_ATTEMPTS;) {
        Sleep(ATTEMPT_PAUSE_MS);
        WriteLog("retryCount: %d\n", retryCount);
        if (RenameAndLaunch(srcPath, dstPath, exePath)) {
            CloseRunLog();
            return 0;
        }
        retryCount++;
        if (retryCount >= VISIBLE_FAILURES_FROM) isShowErrorMessage = 1;
    }
    ShowErrorMessage(retriesExhausted);
    CloseRunLog();
    return 1;
}
