// A fake platform layer for tests, linked in place of the real one. It keeps a small
// file system in memory, records every call with its arguments, result and code,
// records pauses, boxes and started command lines instead of acting on them, and can
// fail chosen calls of an operation with a chosen code.
//
// Paths are kept with '/' separators (backslashes are turned into slashes), and the
// path and command-line rules are the Linux layer's own.
#ifndef FINISH_UPDATE_FAKE_PLATFORM_H
#define FINISH_UPDATE_FAKE_PLATFORM_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform.h"

struct FakeCall {
    std::string operation;  // "MoveFileA", ...
    std::string arguments;  // the string arguments, joined by ", "
    long long result;       // the value returned (a pointer result as 0 or 1)
    DWORD error;            // the last error after the call
};

struct FakeBox {
    std::string text;
    std::string caption;
    unsigned int type;
};

struct FakeEntry {
    std::string content;
    bool directory = false;
    bool heldOpen = false;  // open elsewhere without sharing: no delete, no move
    bool readOnly = false;  // no delete
    bool program = true;    // a file CreateProcessA can run
};

// Clears everything and sets the current directory; "/" always exists.
void FakeReset(const std::string &currentDirectory = "/app");

// Sets the current directory GetCurrentDirectoryA reports.
void FakeSetCurrentDirectory(const std::string &directory);

// Adds a file (and the folders on its way) or a folder.
void FakePutFile(const std::string &path, const std::string &content);
void FakePutDirectory(const std::string &path);

// The file system, keyed by path with '/' separators.
std::map<std::string, FakeEntry> &FakeFiles();
bool FakeExists(const std::string &path);
std::string FakeContent(const std::string &path);

// Makes calls number first .. first + count - 1 of operation (counted from 1, over
// the whole run) fail with code and no effect; count -1 means every call from first.
// With argumentsPrefix, only the calls whose arguments start with it are counted
// and failed ("MoveFileA" with "/app/new" fails moves of that file only).
void FakeFailCalls(const std::string &operation, int first, int count, DWORD code,
                   const std::string &argumentsPrefix = "");

// Calls hook after every recorded call, with the call's index (from 0).
void FakeSetCallHook(std::function<void(size_t index, const FakeCall &call)> hook);

const std::vector<FakeCall> &FakeCalls();
const std::vector<FakeBox> &FakeBoxes();
const std::vector<DWORD> &FakeSleeps();
const std::vector<std::string> &FakeStartedCommandLines();

// The number of process and thread handles still open.
int FakeOpenHandles();

#endif
