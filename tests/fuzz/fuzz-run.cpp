// libFuzzer target: one whole run of the driver over the fake platform layer, with a
// current directory, an argument vector, the files present and at most one failing
// platform call taken from the input. AddressSanitizer and UndefinedBehaviorSanitizer
// watch the 260-byte buffers; the target itself checks that the exit status is 0 or
// 1 and matches what the run did, and that no call leaves the update's files lost.
//
// The input is text, one item per line, so that seeds and findings can be read:
//   line 1   flags: n new copy under the source's name, o old file under the
//            destination's, k old file under the backup name, b a stale backup,
//            x the application, N the application is not a program, h the new copy
//            held open, H the old file held open, r the backup read-only, and
//            f<operation><digit><code> call <digit> of the operation fails with the
//            code (operation d delete, m move, e exists, c start, l close; upper case
//            from then on; code s sharing, a access, e exists, n not found, p path
//            not found, b bad program, f disk full)
//   line 2   the current directory
//   line 3+  the arguments, at most 6
// In a name, "{N}" pads what comes before it to N bytes (N up to 4000), so that
// lengths of 258 to 262 and over 1,000 bytes are a few bytes of input away.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "fake-platform.h"
#include "posix-internal.h"
#include "run-driver.h"


namespace {

const char kNew[] = "new copy";
const char kOld[] = "old file";
const char kStale[] = "stale backup";
const char kUsageCaption[] = "\xcc\xe1\xca\xbe";
const char kErrorCaption[] = "\xb4\xed\xce\xf3";

// Returns name with every "{N}" replaced by padding up to N bytes.
std::string Expand(const std::string &name) {
    std::string out;
    for (size_t i = 0; i < name.size(); i++) {
        size_t close = name.find('}', i);
        if (name[i] == '{' && close != std::string::npos && close > i + 1 && close - i <= 5 &&
            strspn(name.c_str() + i + 1, "0123456789") == close - i - 1) {
            size_t length = (size_t)atoi(name.substr(i + 1, close - i - 1).c_str());
            if (length > 4000) length = 4000;
            if (out.size() < length) out.append(length - out.size(), 'p');
            i = close;
            continue;
        }
        out += name[i];
    }
    return out;
}

// Returns the fake's key for a name the program uses: slashes for backslashes, no
// trailing slash, relative names taken against the current directory; "" for "".
std::string KeyOf(const std::string &currentDirectory, const std::string &path) {
    if (path.empty()) return "";
    std::string key = path;
    if (!key.empty() && key[0] != '/' && key[0] != '\\') key = currentDirectory + "/" + key;
    for (char &c : key) {
        if (c == '\\') c = '/';
    }
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    return key;
}

// Returns the full name the program forms for name, as BuildFullPath does, or ""
// when it cannot be formed.
std::string FullName(const std::string &currentDirectory, const std::string &name) {
    // A directory too long for the 260-byte buffer is read as nothing.
    std::string directory = currentDirectory.size() + 1 > MAX_PATH ? "" : currentDirectory;
    char full[MAX_PATH];
    if (CombinePath(full, directory.c_str(), name.c_str()) == NULL) return "";
    return full;
}

struct Names {
    std::string source, destination, backup, application;  // the fake's keys
};

// What the run must keep: the new copy once there, and the old file or the new copy.
struct Watch {
    bool newCopy;
    bool oldFile;
    std::string currentDirectory, source;  // the source's key
    std::string lost;
};

// Returns 1 when content lies under any name. Hostile names may make a move take a
// file somewhere odd (a destination that is the folder holding the source moves the
// source with it), so only a file that is gone altogether counts as lost here; where
// the files end up is the sweeps' business.
int Kept(const char *content) {
    for (const auto &entry : FakeFiles()) {
        if (entry.second.content == content) return 1;
    }
    return 0;
}

Watch watch;

// Notes the first call after which something the run must keep is gone.
void CheckAfterCall(size_t index, const FakeCall &call) {
    if (!watch.lost.empty()) return;
    int newKept = Kept(kNew);
    int oldKept = Kept(kOld);
    const char *what = NULL;
    if (watch.newCopy && !newKept) what = "the new copy";
    else if ((watch.newCopy || watch.oldFile) && !newKept && !oldKept) what = "both the old file and the new copy";
    if (what == NULL) return;
    watch.lost = std::string(what) + " after call #" + std::to_string(index) + " " + call.operation + "(" +
                 call.arguments + ")";
}

// Returns the code a fault letter stands for, or 0.
DWORD CodeOf(char letter) {
    switch (letter) {
        case 's': return ERROR_SHARING_VIOLATION;
        case 'a': return ERROR_ACCESS_DENIED;
        case 'e': return ERROR_ALREADY_EXISTS;
        case 'n': return ERROR_FILE_NOT_FOUND;
        case 'p': return ERROR_PATH_NOT_FOUND;
        case 'b': return ERROR_BAD_EXE_FORMAT;
        case 'f': return ERROR_DISK_FULL;
        default: return 0;
    }
}

// Returns the operation a fault letter stands for (either case), or NULL.
const char *OperationOf(char letter) {
    switch (letter | 0x20) {
        case 'd': return "DeleteFileA";
        case 'm': return "MoveFileA";
        case 'e': return "PathFileExistsA";
        case 'c': return "CreateProcessA";
        case 'l': return "CloseHandle";
        default: return NULL;
    }
}

// Puts a file under key unless the key is no usable file name.
void PutFile(const std::string &key, const char *content) {
    if (key.empty() || key == "/" || key.find('/') == std::string::npos) return;
    FakePutFile(key, content);
}

// Stops the process with the input's description when check fails.
void Require(bool check, const char *what, const std::string &detail) {
    if (check) return;
    fprintf(stderr, "finish-update-fuzz: %s %s\n", what, detail.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == '\n') lines.emplace_back();
        else if (data[i] != '\0') lines.back() += (char)data[i];  // argv cannot hold a NUL
    }
    if (lines.size() > 8) return -1;
    const std::string &flags = lines[0];
    std::string currentDirectory = lines.size() > 1 ? Expand(lines[1]) : "/app";
    std::vector<std::string> arguments;
    arguments.push_back("finish-update");
    for (size_t i = 2; i < lines.size(); i++) arguments.push_back(Expand(lines[i]));
    int argumentCount = (int)arguments.size() - 1;

    // The names the run works on, as the program forms them.
    const char *given[3] = {"resources\\app1.txt", "resources\\app.asar", "quillbrook.exe"};
    if (argumentCount >= 3) {
        for (int i = 0; i < 3; i++) given[i] = arguments[i + 1].c_str();
    }
    std::string source = FullName(currentDirectory, given[0]);
    std::string destination = FullName(currentDirectory, given[1]);
    std::string application = FullName(currentDirectory, given[2]);
    Names names;
    if (!currentDirectory.empty()) {
        names.source = KeyOf(currentDirectory, source);
        names.destination = KeyOf(currentDirectory, destination);
        names.backup = KeyOf(currentDirectory, destination + ".update-backup");
        names.application = KeyOf(currentDirectory, application);
    }

    FakeReset(currentDirectory);
    // The flags are the letters before the failing call's "f".
    size_t fault = flags.find('f');
    std::string letters = flags.substr(0, fault);
    auto has = [&](char letter) { return letters.find(letter) != std::string::npos; };
    if (has('x')) PutFile(names.application, "program");
    if (has('N') && FakeExists(names.application)) FakeFiles()[names.application].program = false;
    if (has('b')) PutFile(names.backup, kStale);
    if (has('k')) PutFile(names.backup, kOld);
    if (has('o')) PutFile(names.destination, kOld);
    if (has('n')) PutFile(names.source, kNew);
    // The names may coincide, so what each file is follows from where it lies: the
    // file under the source's name is the new copy, the one under the destination's
    // the old file; while something is under the destination's name, whatever is
    // under its backup name is left from an earlier run and may go.
    std::map<std::string, FakeEntry> &files = FakeFiles();
    // Either may be a folder, which moves as a whole like a file.
    if (FakeExists(names.source)) files[names.source].content = kNew;
    if (FakeExists(names.destination) && names.destination != names.source) files[names.destination].content = kOld;
    bool destinationThere = names.destination == "/" || FakeExists(names.destination);  // "/" always is
    if (destinationThere && FakeExists(names.backup) && files[names.backup].content == kOld) {
        files[names.backup].content = kStale;
    }
    if (has('h') && FakeExists(names.source)) FakeFiles()[names.source].heldOpen = true;
    if (has('H') && FakeExists(names.destination)) FakeFiles()[names.destination].heldOpen = true;
    if (has('r') && FakeExists(names.backup)) FakeFiles()[names.backup].readOnly = true;
    const char *failing = NULL;
    if (fault != std::string::npos && fault + 3 < flags.size() && OperationOf(flags[fault + 1]) != NULL &&
        flags[fault + 2] >= '1' && flags[fault + 2] <= '9' && CodeOf(flags[fault + 3]) != 0) {
        failing = OperationOf(flags[fault + 1]);
        bool lasting = flags[fault + 1] >= 'A' && flags[fault + 1] <= 'Z';
        FakeFailCalls(failing, flags[fault + 2] - '0', lasting ? -1 : 1, CodeOf(flags[fault + 3]));
    }

    watch.newCopy = Kept(kNew);
    watch.oldFile = Kept(kOld);
    watch.currentDirectory = currentDirectory;
    watch.source = names.source;
    watch.lost.clear();
    FakeSetCallHook(CheckAfterCall);

    int status = RunDriverArgv(arguments);
    FakeSetCallHook(nullptr);

    Require(status == 0 || status == 1, "exit status", std::to_string(status));
    Require(logFile == NULL, "the run log is still open", "");
    Require(watch.lost.empty(), "lost", watch.lost);
    // A handle whose closing fails stays open; there is nothing more to do about it.
    if (failing == NULL || strcmp(failing, "CloseHandle") != 0) {
        Require(FakeOpenHandles() == 0, "handles left open", std::to_string(FakeOpenHandles()));
    }
    if (argumentCount == 1 || argumentCount == 2) {
        Require(status == 1 && FakeBoxes().size() == 1 && FakeBoxes()[0].caption == kUsageCaption,
                "usage", "no single usage box");
        Require(FakeSleeps().empty(), "usage", "attempted");
    } else if (status == 0) {
        Require(FakeStartedCommandLines().size() == 1, "exit status 0", "without one start");
        Require(FakeBoxes().empty(), "exit status 0", "with a box");
    } else {
        Require(FakeSleeps().size() == 4, "exit status 1", "before four attempts");
        Require(FakeStartedCommandLines().empty(), "exit status 1", "after a start");
        Require(FakeBoxes().size() == 2 && FakeBoxes().back().caption == kErrorCaption, "exit status 1",
                "without the failure's box and the final box");
    }
    return 0;
}
