#include "fake-platform.h"

#include <string.h>

#include <set>

#include "posix-internal.h"

namespace {

struct FaultRule {
    std::string operation;
    std::string argumentsPrefix;
    int first;
    int count;
    DWORD code;
    int seen;  // matching calls so far
};

struct FakeState {
    std::string currentDirectory = "/app";
    std::map<std::string, FakeEntry> files;
    std::vector<FaultRule> faults;
    std::vector<FakeCall> calls;
    std::vector<FakeBox> boxes;
    std::vector<DWORD> sleeps;
    std::vector<std::string> started;
    std::set<uintptr_t> openHandles;
    uintptr_t nextHandle = 0x100;
    std::function<void(size_t, const FakeCall &)> hook;
};

FakeState state;

std::string Normalize(const char *path) {
    std::string normalized = path ? path : "";
    for (char &c : normalized) {
        if (c == '\\') c = '/';
    }
    while (normalized.size() > 1 && normalized.back() == '/') normalized.pop_back();
    return normalized;
}

std::string Parent(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A relative path is taken against the current directory.
std::string Absolute(const char *path) {
    std::string normalized = Normalize(path);
    if (normalized.empty() || normalized[0] == '/') return normalized;
    return Normalize((state.currentDirectory + "/" + normalized).c_str());
}

bool IsDirectory(const std::string &path) {
    if (path == "/") return true;
    auto found = state.files.find(path);
    return found != state.files.end() && found->second.directory;
}

// Returns the code for a path that is not there: 3 when its folder is missing too.
DWORD MissingCode(const std::string &path) {
    return IsDirectory(Parent(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// Counts a call of operation with the rules it matches; returns true with the code
// in *code when one of them makes it fail.
bool ShouldFail(const std::string &operation, const std::string &arguments, DWORD *code) {
    bool fail = false;
    for (FaultRule &rule : state.faults) {
        if (rule.operation != operation || arguments.compare(0, rule.argumentsPrefix.size(), rule.argumentsPrefix) != 0) {
            continue;
        }
        int number = ++rule.seen;
        if (fail || number < rule.first || (rule.count >= 0 && number >= rule.first + rule.count)) continue;
        *code = rule.code;
        fail = true;
    }
    return fail;
}

long long Record(const std::string &operation, const std::string &arguments, long long result) {
    state.calls.push_back({operation, arguments, result, GetLastError()});
    if (state.hook) state.hook(state.calls.size() - 1, state.calls.back());
    return result;
}

// Records a failed call: the code is set and nothing else happens.
long long Fail(const std::string &operation, const std::string &arguments, DWORD code) {
    SetLastError(code);
    return Record(operation, arguments, 0);
}

std::string Text(const char *text) { return text ? text : "(null)"; }

int IsProgramFile(const char *path) {
    auto found = state.files.find(Absolute(path));
    return found != state.files.end() && !found->second.directory;
}

}  // namespace

void FakeReset(const std::string &currentDirectory) {
    state = FakeState();
    state.currentDirectory = currentDirectory;
}

void FakeSetCurrentDirectory(const std::string &directory) { state.currentDirectory = directory; }

void FakePutDirectory(const std::string &path) {
    std::string normalized = Normalize(path.c_str());
    for (std::string folder = normalized; !folder.empty() && folder != "/"; folder = Parent(folder)) {
        state.files[folder].directory = true;
    }
}

void FakePutFile(const std::string &path, const std::string &content) {
    std::string normalized = Normalize(path.c_str());
    FakePutDirectory(Parent(normalized));
    FakeEntry entry;
    entry.content = content;
    state.files[normalized] = entry;
}

std::map<std::string, FakeEntry> &FakeFiles() { return state.files; }

bool FakeExists(const std::string &path) { return state.files.count(Normalize(path.c_str())) > 0; }

std::string FakeContent(const std::string &path) {
    auto found = state.files.find(Normalize(path.c_str()));
    return found == state.files.end() ? std::string() : found->second.content;
}

void FakeFailCalls(const std::string &operation, int first, int count, DWORD code,
                   const std::string &argumentsPrefix) {
    state.faults.push_back({operation, argumentsPrefix, first, count, code, 0});
}

void FakeSetCallHook(std::function<void(size_t, const FakeCall &)> hook) { state.hook = std::move(hook); }

const std::vector<FakeCall> &FakeCalls() { return state.calls; }
const std::vector<FakeBox> &FakeBoxes() { return state.boxes; }
const std::vector<DWORD> &FakeSleeps() { return state.sleeps; }
const std::vector<std::string> &FakeStartedCommandLines() { return state.started; }
int FakeOpenHandles() { return (int)state.openHandles.size(); }

void HardenProcess(void) { Record("HardenProcess", "", 1); }

DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer) {
    DWORD code;
    if (ShouldFail("GetCurrentDirectoryA", "", &code)) return (DWORD)Fail("GetCurrentDirectoryA", "", code);
    size_t length = state.currentDirectory.size();
    if (length == 0) return (DWORD)Fail("GetCurrentDirectoryA", "", ERROR_FILE_NOT_FOUND);
    if (buffer == NULL || length + 1 > bufferLength) {
        return (DWORD)Record("GetCurrentDirectoryA", "", (long long)length + 1);
    }
    memcpy(buffer, state.currentDirectory.c_str(), length + 1);
    return (DWORD)Record("GetCurrentDirectoryA", "", (long long)length);
}

LPSTR PathCombineA(LPSTR dest, LPCSTR dir, LPCSTR file) {
    std::string arguments = Text(dir) + ", " + Text(file);
    DWORD code;
    if (ShouldFail("PathCombineA", arguments, &code)) {
        // As the real call does on failure.
        if (dest) dest[0] = '\0';
        Fail("PathCombineA", arguments, code);
        return NULL;
    }
    char *result = CombinePath(dest, dir, file);
    Record("PathCombineA", arguments, result != NULL);
    return result;
}

BOOL PathFileExistsA(LPCSTR pathOrNull) {
    std::string path = Text(pathOrNull);
    DWORD code;
    if (ShouldFail("PathFileExistsA", path, &code)) return (BOOL)Fail("PathFileExistsA", path, code);
    std::string name = Absolute(path.c_str());
    if (name.empty()) return (BOOL)Fail("PathFileExistsA", path, ERROR_PATH_NOT_FOUND);
    if (IsDirectory(name) || state.files.count(name)) return (BOOL)Record("PathFileExistsA", path, TRUE);
    return (BOOL)Fail("PathFileExistsA", path, MissingCode(name));
}

BOOL DeleteFileA(LPCSTR pathOrNull) {
    std::string path = Text(pathOrNull);
    DWORD code;
    if (ShouldFail("DeleteFileA", path, &code)) return (BOOL)Fail("DeleteFileA", path, code);
    std::string name = Absolute(path.c_str());
    auto found = state.files.find(name);
    if (found == state.files.end()) return (BOOL)Fail("DeleteFileA", path, MissingCode(name));
    if (found->second.directory || found->second.readOnly) return (BOOL)Fail("DeleteFileA", path, ERROR_ACCESS_DENIED);
    if (found->second.heldOpen) return (BOOL)Fail("DeleteFileA", path, ERROR_SHARING_VIOLATION);
    state.files.erase(found);
    return (BOOL)Record("DeleteFileA", path, TRUE);
}

BOOL MoveFileA(LPCSTR existingName, LPCSTR newName) {
    std::string arguments = Text(existingName) + ", " + Text(newName);
    DWORD code;
    if (ShouldFail("MoveFileA", arguments, &code)) return (BOOL)Fail("MoveFileA", arguments, code);
    std::string from = Absolute(existingName);
    std::string to = Absolute(newName);
    auto found = state.files.find(from);
    if (found == state.files.end()) return (BOOL)Fail("MoveFileA", arguments, MissingCode(from));
    if (state.files.count(to) || to == "/") return (BOOL)Fail("MoveFileA", arguments, ERROR_ALREADY_EXISTS);
    if (!IsDirectory(Parent(to))) return (BOOL)Fail("MoveFileA", arguments, ERROR_PATH_NOT_FOUND);
    if (found->second.heldOpen) return (BOOL)Fail("MoveFileA", arguments, ERROR_SHARING_VIOLATION);
    // A folder moves with everything in it.
    std::map<std::string, FakeEntry> moved;
    for (auto entry = state.files.begin(); entry != state.files.end();) {
        const std::string &name = entry->first;
        if (name == from || name.compare(0, from.size() + 1, from + "/") == 0) {
            moved[to + name.substr(from.size())] = entry->second;
            entry = state.files.erase(entry);
        } else {
            ++entry;
        }
    }
    state.files.insert(moved.begin(), moved.end());
    return (BOOL)Record("MoveFileA", arguments, TRUE);
}

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    SECURITY_ATTRIBUTES *processAttributes, SECURITY_ATTRIBUTES *threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, void *environment,
                    LPCSTR currentDirectory, STARTUPINFOA *startupInfo,
                    PROCESS_INFORMATION *processInformation) {
    std::string arguments = Text(commandLine);
    DWORD code;
    if (ShouldFail("CreateProcessA", arguments, &code)) return (BOOL)Fail("CreateProcessA", arguments, code);
    // The program asks for exactly this: the command line alone, nothing inherited
    // but the environment and the current directory.
    if (applicationName != NULL || commandLine == NULL || processAttributes != NULL ||
        threadAttributes != NULL || inheritHandles || creationFlags != 0 || environment != NULL ||
        currentDirectory != NULL || startupInfo == NULL || startupInfo->cb != 104 ||
        processInformation == NULL) {
        return (BOOL)Fail("CreateProcessA", arguments, ERROR_INVALID_PARAMETER);
    }
    char program[MAX_PATH];
    if (!FindProgram(commandLine, IsProgramFile, program, sizeof program)) {
        return (BOOL)Fail("CreateProcessA", arguments, GetLastError());
    }
    if (!state.files[Absolute(program)].program) return (BOOL)Fail("CreateProcessA", arguments, ERROR_BAD_EXE_FORMAT);
    state.started.push_back(commandLine);
    uintptr_t process = state.nextHandle, thread = state.nextHandle + 4;
    state.nextHandle += 8;
    state.openHandles.insert(process);
    state.openHandles.insert(thread);
    processInformation->hProcess = (HANDLE)process;
    processInformation->hThread = (HANDLE)thread;
    processInformation->dwProcessId = 1000;
    processInformation->dwThreadId = 1004;
    return (BOOL)Record("CreateProcessA", arguments, TRUE);
}

BOOL CloseHandle(HANDLE handle) {
    std::string arguments = std::to_string((uintptr_t)handle);
    DWORD code;
    if (ShouldFail("CloseHandle", arguments, &code)) return (BOOL)Fail("CloseHandle", arguments, code);
    if (state.openHandles.erase((uintptr_t)handle) == 0) return (BOOL)Fail("CloseHandle", arguments, ERROR_INVALID_HANDLE);
    return (BOOL)Record("CloseHandle", arguments, TRUE);
}

void Sleep(DWORD milliseconds) {
    state.sleeps.push_back(milliseconds);
    Record("Sleep", std::to_string(milliseconds), 0);
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, unsigned int type) {
    (void)owner;
    state.boxes.push_back({text ? text : "", caption ? caption : "", type});
    return (int)Record("MessageBoxA", std::string(caption ? caption : "") + ", " + (text ? text : ""), IDOK);
}
