// Shared by the sweeps: whole runs of the driver over the fake platform layer, the
// "nothing lost" check made after every platform call, and what a run left behind.
#ifndef FINISH_UPDATE_SWEEP_SUPPORT_H
#define FINISH_UPDATE_SWEEP_SUPPORT_H

#include <map>
#include <string>
#include <vector>

#include "fake-platform.h"
#include "run-driver.h"

// The failure contexts of the boxes, in code page 936.
extern const char kWorkingDirectoryFailed[];  // 获取当前工作目录失败
extern const char kJoinFailed[];              // 路径拼接失败
extern const char kOldFileFailed[];           // 删除旧文件失败
extern const char kRenameFailed[];            // 文件重命名失败
extern const char kStartFailed[];             // 启动应用程序失败
extern const char kRetriesExhausted[];        // 超过最大重试次数，操作失败
extern const char kErrorCaption[];            // 错误

// The contents the sweeps give the files, so that each can be recognised anywhere.
extern const char kOldContent[];
extern const char kNewContent[];
extern const char kStaleContent[];

// One starting situation: the current directory, the arguments and which of the
// three files exist. Names are the fake's keys ('/' separators, absolute).
struct Layout {
    const char *title;
    std::string currentDirectory;
    std::vector<std::string> arguments;  // without argv[0]
    std::string source, destination, application;
    bool newCopy;     // the new copy lies under the source's name
    bool oldFile;     // the old file lies under the destination's name
    bool oldAsBackup; // the old file lies under the backup name (an interrupted run)
    bool staleBackup; // an unrelated earlier file lies under the backup name
};

// The typical run with the fixed names; the same, named by arguments in a folder
// with blanks and with a stale backup beside; and a run that finds the state an
// interrupted earlier run left between its two moves.
Layout TypicalLayout();
Layout NamedLayout();
Layout InterruptedLayout();

// Returns the backup name of destination.
std::string BackupOf(const std::string &destination);

// Resets the fake and puts layout's files (and the application) in place.
void SetUpLayout(const Layout &layout);

// Puts the file system back to files with nothing failing and nothing recorded, as a
// new process would find it after an earlier one stopped.
void RestoreFiles(const std::string &currentDirectory, const std::map<std::string, FakeEntry> &files);

// What a run must never lose: the new copy, once it came, and always either the old
// file or the new copy, each under the source's, the destination's or the backup name.
struct ContentWatch {
    std::string source, destination, backup;
    bool newCopyCame = false;
    std::string violation;  // the first call after which the check failed, or ""
};

// Returns a watch for layout's names, noting whether the new copy is there now.
ContentWatch WatchFor(const Layout &layout);

// Checks the file system against watch after call index; records the first failure.
void CheckContent(ContentWatch *watch, size_t index, const FakeCall &call);

// Returns the exit status of one whole run with layout's arguments, with the content
// check made after every call into *watch (made afresh for layout).
int RunWatched(const Layout &layout, ContentWatch *watch);

// Returns the run log the last run wrote, or "" when there is none.
std::string ReadRunLog();

// Returns the box text the program shows for context and code.
std::string BoxText(const char *context, DWORD code);

// Returns the calls of the file system, process and message operations, without
// HardenProcess, Sleep and the path building, split into the attempts (each begins
// after a Sleep). Calls before the first Sleep are left out.
std::vector<std::vector<FakeCall>> CallsByAttempt();

// Returns how often operation was called in the last run.
int CountCalls(const std::string &operation);

// Returns the lines of text.
std::vector<std::string> SplitLines(const std::string &text);

#endif
