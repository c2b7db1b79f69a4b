#include "sweep-support.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "diagnostics/diagnostics.h"

const char kWorkingDirectoryFailed[] =
    "\xbb\xf1\xc8\xa1\xb5\xb1\xc7\xb0\xb9\xa4\xd7\xf7\xc4\xbf\xc2\xbc\xca\xa7\xb0\xdc";
const char kJoinFailed[] = "\xc2\xb7\xbe\xb6\xc6\xb4\xbd\xd3\xca\xa7\xb0\xdc";
const char kOldFileFailed[] = "\xc9\xbe\xb3\xfd\xbe\xc9\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc";
const char kRenameFailed[] = "\xce\xc4\xbc\xfe\xd6\xd8\xc3\xfc\xc3\xfb\xca\xa7\xb0\xdc";
const char kStartFailed[] = "\xc6\xf4\xb6\xaf\xd3\xa6\xd3\xc3\xb3\xcc\xd0\xf2\xca\xa7\xb0\xdc";
const char kRetriesExhausted[] =
    "\xb3\xac\xb9\xfd\xd7\xee\xb4\xf3\xd6\xd8\xca\xd4\xb4\xce\xca\xfd\xa3\xac\xb2\xd9\xd7\xf7\xca\xa7\xb0\xdc";
const char kErrorCaption[] = "\xb4\xed\xce\xf3";

const char kOldContent[] = "old application file";
const char kNewContent[] = "new copy of the application file";
const char kStaleContent[] = "backup left by an update long ago";

// Returns the layout of a run with the fixed names in /app.
Layout TypicalLayout() {
    Layout layout;
    layout.title = "fixed names";
    layout.currentDirectory = "/app";
    layout.source = "/app/resources/app1.txt";
    layout.destination = "/app/resources/app.asar";
    layout.application = "/app/quillbrook.exe";
    layout.newCopy = true;
    layout.oldFile = true;
    layout.oldAsBackup = false;
    layout.staleBackup = false;
    return layout;
}

// Returns the layout of a run with the names given as arguments, in a folder whose
// name has a blank (so the application is started quoted), with a stale backup.
Layout NamedLayout() {
    Layout layout;
    layout.title = "named files, blanks, stale backup";
    layout.currentDirectory = "/home/user/Quill Brook";
    layout.arguments = {"update\\app.asar.new", "resources\\app.asar", "Quill Brook.exe"};
    layout.source = "/home/user/Quill Brook/update/app.asar.new";
    layout.destination = "/home/user/Quill Brook/resources/app.asar";
    layout.application = "/home/user/Quill Brook/Quill Brook.exe";
    layout.newCopy = true;
    layout.oldFile = true;
    layout.oldAsBackup = false;
    layout.staleBackup = true;
    return layout;
}

// Returns the typical layout as an earlier run left it after moving the old file
// aside and before moving the new copy in.
Layout InterruptedLayout() {
    Layout layout = TypicalLayout();
    layout.title = "interrupted between the moves";
    layout.oldFile = false;
    layout.oldAsBackup = true;
    return layout;
}

// Returns destination with the backup suffix.
std::string BackupOf(const std::string &destination) { return destination + ".update-backup"; }

// Resets the fake to layout's current directory and files.
void SetUpLayout(const Layout &layout) {
    FakeReset(layout.currentDirectory);
    FakePutFile(layout.application, "program");
    FakePutDirectory(layout.destination.substr(0, layout.destination.rfind('/')));
    if (layout.newCopy) FakePutFile(layout.source, kNewContent);
    if (layout.oldFile) FakePutFile(layout.destination, kOldContent);
    if (layout.oldAsBackup) FakePutFile(BackupOf(layout.destination), kOldContent);
    if (layout.staleBackup) FakePutFile(BackupOf(layout.destination), kStaleContent);
}

// Resets the fake and puts files back.
void RestoreFiles(const std::string &currentDirectory, const std::map<std::string, FakeEntry> &files) {
    FakeReset(currentDirectory);
    FakeFiles() = files;
}

// Returns 1 when content lies under one of watch's three names.
static int Kept(const ContentWatch &watch, const char *content) {
    for (const std::string *name : {&watch.source, &watch.destination, &watch.backup}) {
        if (FakeExists(*name) && FakeContent(*name) == content) return 1;
    }
    return 0;
}

// Returns a watch over layout's three names.
ContentWatch WatchFor(const Layout &layout) {
    ContentWatch watch;
    watch.source = layout.source;
    watch.destination = layout.destination;
    watch.backup = BackupOf(layout.destination);
    watch.newCopyCame = Kept(watch, kNewContent);
    return watch;
}

// Records in watch the first call after which the new copy (once it came) or both
// contents are gone from the three names.
void CheckContent(ContentWatch *watch, size_t index, const FakeCall &call) {
    if (!watch->violation.empty()) return;
    int newKept = Kept(*watch, kNewContent);
    int oldKept = Kept(*watch, kOldContent);
    const char *lost = NULL;
    if (watch->newCopyCame && !newKept) lost = "the new copy is gone";
    else if (!newKept && !oldKept) lost = "neither the old file nor the new copy is left";
    if (newKept) watch->newCopyCame = true;
    if (lost == NULL) return;
    watch->violation = std::string(lost) + " after call #" + std::to_string(index) + " " + call.operation +
                       "(" + call.arguments + ") -> " + std::to_string(call.result);
}

int RunWatched(const Layout &layout, ContentWatch *watch) {
    *watch = WatchFor(layout);
    FakeSetCallHook([watch](size_t index, const FakeCall &call) { CheckContent(watch, index, call); });
    int status = RunDriver(layout.arguments);
    FakeSetCallHook(nullptr);
    return status;
}

// Returns the content of the run log in the current directory.
std::string ReadRunLog() {
    FILE *log = fopen(RUN_LOG_NAME, "rb");
    if (log == NULL) return "";
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, log)) > 0) text.append(chunk, got);
    fclose(log);
    return text;
}

// Returns the text of the error box for context and code.
std::string BoxText(const char *context, DWORD code) {
    char text[512];
    snprintf(text, sizeof text, "%s\n\xb4\xed\xce\xf3\xb4\xfa\xc2\xeb: 0x%08lX", context, (unsigned long)code);
    return text;
}

// Returns the attempt-time calls grouped by attempt.
std::vector<std::vector<FakeCall>> CallsByAttempt() {
    std::vector<std::vector<FakeCall>> attempts;
    for (const FakeCall &call : FakeCalls()) {
        if (call.operation == "Sleep") {
            attempts.emplace_back();
        } else if (!attempts.empty() && call.operation != "GetCurrentDirectoryA" && call.operation != "PathCombineA") {
            attempts.back().push_back(call);
        }
    }
    return attempts;
}

// Returns the number of recorded calls of operation.
int CountCalls(const std::string &operation) {
    int count = 0;
    for (const FakeCall &call : FakeCalls()) count += call.operation == operation;
    return count;
}

// Returns text split at '\n', without the empty piece after a final newline.
std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Runs every test inside a scratch folder of its own: the driver writes its run log
// into the real current directory, and CTest runs several test processes at once.
int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::string pattern = (error ? std::string("/tmp") : base.string()) + "/finish-update-sweeps.XXXXXX";
    std::vector<char> folder(pattern.begin(), pattern.end());
    folder.push_back('\0');
    if (mkdtemp(folder.data()) == NULL || chdir(folder.data()) != 0) {
        perror("sweeps: scratch folder");
        return 2;
    }
    int status = RUN_ALL_TESTS();
    if (chdir("/") == 0) std::filesystem::remove_all(folder.data(), error);
    return status;
}
