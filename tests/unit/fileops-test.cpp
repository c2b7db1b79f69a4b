// Path resolution and the replace-and-start attempt over the fake platform layer:
// every failure point with its box and code, and the rules that keep the old file
// recoverable until the new copy is in place.
#include <gmock/gmock.h>

#include <string.h>

#include "diagnostics/diagnostics.h"
#include "fileops/fileops.h"
#include "run-fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char kBackup[] = "/app/resources/app.asar.update-backup";

// A failure point reached in every attempt of a run without arguments: the fourth
// attempt shows its box, then the final report follows.
struct FailurePointCase {
    const char *name;
    void (*arrange)();
    const char *context;
    DWORD code;
    DWORD finalCode;        // the final report shows the code as the fourth attempt's box left it
    bool secondDeleteLine;  // "del dstPath2" after each attempt's delete failure
    const char *destinationAfter;
    const char *sourceAfter;  // nullptr: the source name is gone
};

void PrintTo(const FailurePointCase &c, std::ostream *out) { *out << c.name; }

class FailurePointTest : public FakeRunTest, public ::testing::WithParamInterface<FailurePointCase> {};

TEST_P(FailurePointTest, FourthAttemptShowsTheContextAndCodeAndNothingIsLost) {
    const FailurePointCase &c = GetParam();
    PutApplication();
    c.arrange();

    EXPECT_EQ(Run({}), 1);

    ASSERT_EQ(FakeBoxes().size(), 2u);
    EXPECT_EQ(FakeBoxes()[0].text, ErrorBoxText(c.context, c.code));
    EXPECT_EQ(FakeBoxes()[1].text, ErrorBoxText(kRetriesExhausted, c.finalCode));
    std::string log = Log();
    size_t secondLines = 0;
    for (size_t at = log.find("del dstPath2: /app/resources/app.asar\n"); at != std::string::npos;
         at = log.find("del dstPath2: ", at + 1)) {
        secondLines++;
    }
    EXPECT_EQ(secondLines, c.secondDeleteLine ? 4u : 0u);
    EXPECT_EQ(FakeContent("/app/resources/app.asar"), c.destinationAfter);
    if (c.sourceAfter) {
        EXPECT_EQ(FakeContent("/app/resources/app1.txt"), c.sourceAfter);
    } else {
        EXPECT_FALSE(FakeExists("/app/resources/app1.txt"));
    }
    EXPECT_FALSE(FakeExists(kBackup));
}

INSTANTIATE_TEST_SUITE_P(
    FailurePoints, FailurePointTest,
    ::testing::Values(
        FailurePointCase{"OldFileHeldOpen", [] { FakeFiles()["/app/resources/app.asar"].heldOpen = true; },
                         kDeleteFailed, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, true, "old", "new"},
        FailurePointCase{"OldFileCannotBeMovedAside",
                         [] { FakeFailCalls("MoveFileA", 1, -1, ERROR_ACCESS_DENIED, "/app/resources/app.asar, "); },
                         kDeleteFailed, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, true, "old", "new"},
        FailurePointCase{"NewCopyCannotBeMovedIn",
                         [] { FakeFailCalls("MoveFileA", 1, -1, ERROR_ACCESS_DENIED, "/app/resources/app1.txt, "); },
                         kRenameFailed, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, false, "old", "new"},
        FailurePointCase{"NewCopyHeldOpen", [] { FakeFiles()["/app/resources/app1.txt"].heldOpen = true; },
                         kRenameFailed, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, false, "old", "new"},
        FailurePointCase{"ApplicationMissing", [] { FakeFiles().erase("/app/quillbrook.exe"); }, kStartFailed,
                         ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, false, "new", nullptr},
        FailurePointCase{"ApplicationNotAProgram", [] { FakeFiles()["/app/quillbrook.exe"].program = false; },
                         kStartFailed, ERROR_BAD_EXE_FORMAT, ERROR_BAD_EXE_FORMAT, false, "new", nullptr},
        FailurePointCase{"NoNewCopyAndNoOldFile",
                         [] {
                             FakeFiles().erase("/app/resources/app.asar");
                             FakeFiles().erase("/app/resources/app1.txt");
                         },
                         kRenameFailed, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, false, "", nullptr},
        FailurePointCase{"CodeTheSystemHasNoTextFor",
                         [] { FakeFailCalls("MoveFileA", 1, -1, 0x2000FFFF, "/app/resources/app.asar, "); },
                         kDeleteFailed, 0x2000FFFF, ERROR_MR_MID_NOT_FOUND, true, "old", "new"}),
    [](const ::testing::TestParamInfo<FailurePointCase> &info) { return std::string(info.param.name); });

// The resolution failures happen before any attempt, while boxes are still off, so
// they are shown here with boxes switched on.
struct ResolutionCase {
    const char *name;
    const char *operation;
    DWORD code;
    const char *context;
    bool directoryLogged;
};

void PrintTo(const ResolutionCase &c, std::ostream *out) { *out << c.name; }

class ResolutionTest : public FakeRunTest, public ::testing::WithParamInterface<ResolutionCase> {};

TEST_P(ResolutionTest, FailureShowsItsContextAndCode) {
    const ResolutionCase &c = GetParam();
    FakeFailCalls(c.operation, 1, 1, c.code);
    logFile = fopen("./autoUpdate_log.txt", "w");
    isShowErrorMessage = 1;
    char fullPath[MAX_PATH];
    memset(fullPath, 'x', sizeof fullPath);
    fullPath[MAX_PATH - 1] = '\0';

    EXPECT_EQ(BuildFullPath("quillbrook.exe", fullPath), 0);

    fclose(logFile);
    logFile = NULL;
    ASSERT_EQ(FakeBoxes().size(), 1u);
    EXPECT_EQ(FakeBoxes()[0].text, ErrorBoxText(c.context, c.code));
    EXPECT_EQ(FakeBoxes()[0].caption, ErrorCaption());
    EXPECT_EQ(FakeBoxes()[0].type, 0x10u);
    EXPECT_EQ(Log(), c.directoryLogged ? "my_exePath1: /app\n" : "");
    if (!c.directoryLogged) {
        EXPECT_EQ(fullPath, std::string(MAX_PATH - 1, 'x')) << "left untouched";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Resolution, ResolutionTest,
    ::testing::Values(ResolutionCase{"DirectoryUnreadable", "GetCurrentDirectoryA", ERROR_ACCESS_DENIED,
                                     kWorkingDirectoryFailed, false},
                      ResolutionCase{"JoinFails", "PathCombineA", ERROR_SUCCESS, kJoinFailed, true}),
    [](const ::testing::TestParamInfo<ResolutionCase> &info) { return std::string(info.param.name); });

TEST_F(FakeRunTest, ResolutionJoinsRelativeAndFullNamesAgainstTheCurrentDirectory) {
    char fullPath[MAX_PATH];
    struct {
        const char *name;
        const char *expected;
    } cases[] = {
        {"resources\\app1.txt", "/app/resources/app1.txt"},
        {"..\\other\\app.exe", "/other/app.exe"},
        {"/opt/app/app.exe", "/opt/app/app.exe"},
        {"", "/app"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(BuildFullPath(c.name, fullPath), 1) << c.name;
        EXPECT_STREQ(fullPath, c.expected) << c.name;
    }
}

TEST_F(FakeRunTest, ACurrentDirectoryTooLongForTheBufferLeavesTheNameRelative) {
    FakeSetCurrentDirectory("/" + std::string(300, 'd'));
    char fullPath[MAX_PATH];
    EXPECT_EQ(BuildFullPath("resources\\app1.txt", fullPath), 1);
    EXPECT_STREQ(fullPath, "resources/app1.txt");
}

// --- Keeping the old file recoverable ---

TEST_F(FakeRunTest, OldFileIsMovedAsideAndRemovedOnlyAfterTheNewCopyIsIn) {
    PutApplication();
    EXPECT_EQ(Run({}), 0);
    std::vector<std::string> changes;
    for (const FakeCall &call : FakeCalls()) {
        if (call.operation == "MoveFileA" || call.operation == "DeleteFileA" || call.operation == "CreateProcessA") {
            changes.push_back(call.operation + "(" + call.arguments + ")");
        }
    }
    EXPECT_THAT(changes, ElementsAre("MoveFileA(/app/resources/app.asar, " + std::string(kBackup) + ")",
                                     "MoveFileA(/app/resources/app1.txt, /app/resources/app.asar)",
                                     "DeleteFileA(" + std::string(kBackup) + ")",
                                     "CreateProcessA(/app/quillbrook.exe)"));
}

// States a run can find, and what it must leave.
struct StateCase {
    const char *name;
    const char *source;       // content, or nullptr for absent
    const char *destination;  // likewise
    const char *backup;       // likewise
    int exitStatus;
    const char *destinationAfter;
    size_t moves;  // MoveFileA calls that succeeded
};

void PrintTo(const StateCase &c, std::ostream *out) { *out << c.name; }

class StateTest : public FakeRunTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateTest, RunCompletesTheUpdateOrKeepsWhatThereIs) {
    const StateCase &c = GetParam();
    FakePutFile("/app/quillbrook.exe", "program");
    FakePutDirectory("/app/resources");
    if (c.source) FakePutFile("/app/resources/app1.txt", c.source);
    if (c.destination) FakePutFile("/app/resources/app.asar", c.destination);
    if (c.backup) FakePutFile(kBackup, c.backup);

    EXPECT_EQ(Run({}), c.exitStatus);

    EXPECT_EQ(FakeContent("/app/resources/app.asar"), c.destinationAfter);
    EXPECT_FALSE(FakeExists("/app/resources/app1.txt"));
    EXPECT_FALSE(FakeExists(kBackup));
    size_t moves = 0;
    for (const FakeCall &call : FakeCalls()) moves += call.operation == "MoveFileA" && call.result;
    EXPECT_EQ(moves, c.moves);
    EXPECT_THAT(FakeBoxes(), IsEmpty());
    EXPECT_THAT(FakeStartedCommandLines(), ElementsAre("/app/quillbrook.exe"));
}

INSTANTIATE_TEST_SUITE_P(
    States, StateTest,
    ::testing::Values(
        // No new copy came, or an earlier attempt moved it in and could not start.
        StateCase{"NoNewCopy", nullptr, "old", nullptr, 0, "old", 0},
        StateCase{"NoNewCopyAndAStaleBackup", nullptr, "new", "old", 0, "new", 0},
        // An earlier run was stopped after moving the old file aside.
        StateCase{"InterruptedAfterMovingTheOldFileAside", "new", nullptr, "old", 0, "new", 1},
        // Someone removed the new copy meanwhile: the old file comes back, then starts.
        StateCase{"OnlyTheBackupLeft", nullptr, nullptr, "old", 0, "old", 1},
        StateCase{"StaleBackupIsReplaced", "new", "old", "older", 0, "new", 2}),
    [](const ::testing::TestParamInfo<StateCase> &info) { return std::string(info.param.name); });

TEST_F(FakeRunTest, NewCopyThatCannotBeMovedInPutsTheOldFileBackBeforeTheBox) {
    PutApplication();
    FakeFailCalls("MoveFileA", 1, -1, ERROR_DISK_FULL, "/app/resources/app1.txt, ");
    bool oldFileBackWhenBoxShown = false;
    FakeSetCallHook([&](size_t, const FakeCall &call) {
        if (call.operation == "MessageBoxA" && FakeBoxes().size() == 1) {
            oldFileBackWhenBoxShown = FakeContent("/app/resources/app.asar") == "old";
        }
    });
    EXPECT_EQ(Run({}), 1);
    EXPECT_TRUE(oldFileBackWhenBoxShown);
    EXPECT_EQ(FakeBoxes()[0].text, ErrorBoxText(kRenameFailed, ERROR_DISK_FULL)) << "the move's code, not the restore's";
}

TEST_F(FakeRunTest, StaleBackupThatCannotBeRemovedStopsTheAttemptAtTheDeletePoint) {
    PutApplication();
    FakePutFile(kBackup, "older");
    FakeFiles()[kBackup].readOnly = true;
    EXPECT_EQ(Run({}), 1);
    EXPECT_EQ(FakeBoxes()[0].text, ErrorBoxText(kDeleteFailed, ERROR_ACCESS_DENIED));
    EXPECT_EQ(FakeContent("/app/resources/app.asar"), "old");
    EXPECT_EQ(FakeContent("/app/resources/app1.txt"), "new");
    EXPECT_EQ(FakeContent(kBackup), "older");
}

TEST_F(FakeRunTest, DestinationTooLongForABackupNameIsNotTouched) {
    std::string folder = "/app/" + std::string(240, 'f');
    std::string destination = folder + "/app.asar";  // 254 bytes: the backup name would need 268 + NUL
    FakePutFile(destination, "old");
    FakePutFile(folder + "/new", "new");
    FakePutFile("/app/quillbrook.exe", "program");

    EXPECT_EQ(Run({folder + "/new", destination, "quillbrook.exe"}), 1);

    EXPECT_EQ(FakeBoxes()[0].text, ErrorBoxText(kDeleteFailed, ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(FakeContent(destination), "old");
    EXPECT_EQ(FakeContent(folder + "/new"), "new");
}

TEST_F(FakeRunTest, ABackupFailureAfterTheNewCopyIsInDoesNotFailTheAttempt) {
    PutApplication();
    FakeFailCalls("DeleteFileA", 1, -1, ERROR_SHARING_VIOLATION, kBackup);
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(FakeContent("/app/resources/app.asar"), "new");
    EXPECT_THAT(FakeBoxes(), IsEmpty());
}

// --- Starting the application ---

struct StartCase {
    const char *name;
    const char *application;  // third argument
    std::vector<std::string> files;
    const char *commandLine;  // what reaches CreateProcessA
    bool started;
};

void PrintTo(const StartCase &c, std::ostream *out) { *out << c.name; }

class StartTest : public FakeRunTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartTest, CommandLineNamesExactlyTheApplication) {
    const StartCase &c = GetParam();
    FakePutFile("/app/new", "new");
    FakePutFile("/app/old", "old");
    for (const std::string &file : c.files) FakePutFile(file, "program");
    isShowErrorMessage = 1;

    EXPECT_EQ(StartApplication(c.application), c.started ? 1 : 0);

    std::vector<std::string> lines;
    for (const FakeCall &call : FakeCalls()) {
        if (call.operation == "CreateProcessA") lines.push_back(call.arguments);
    }
    EXPECT_THAT(lines, ElementsAre(c.commandLine));
    if (c.started) {
        EXPECT_THAT(FakeStartedCommandLines(), ElementsAre(c.commandLine));
    } else {
        EXPECT_THAT(FakeStartedCommandLines(), IsEmpty());
        ASSERT_EQ(FakeBoxes().size(), 1u);
        EXPECT_EQ(FakeBoxes()[0].text, ErrorBoxText(kStartFailed, ERROR_FILE_NOT_FOUND));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Start, StartTest,
    ::testing::Values(
        StartCase{"PlainPath", "/app/quillbrook.exe", {"/app/quillbrook.exe"}, "/app/quillbrook.exe", true},
        StartCase{"PathWithSpaceIsQuoted", "/my app/app.exe", {"/my app/app.exe"}, "\"/my app/app.exe\"", true},
        StartCase{"QuotedPathIsNotTheDecoyBesideIt",
                  "/my app/app.exe",
                  {"/my app/app.exe", "/my.exe"},
                  "\"/my app/app.exe\"",
                  true},
        StartCase{"PathWithTabIsQuoted", "/my\tapp/app.exe", {"/my\tapp/app.exe"}, "\"/my\tapp/app.exe\"", true},
        StartCase{"MissingPathWithSpaceIsQuotedSoTheDecoyBesideItIsNotStarted",
                  "/my app/app.exe",
                  {"/my.exe"},
                  "\"/my app/app.exe\"",
                  false}),
    [](const ::testing::TestParamInfo<StartCase> &info) { return std::string(info.param.name); });

TEST_F(FakeRunTest, StartedApplicationsHandlesAreBothClosed) {
    FakePutFile("/app/quillbrook.exe", "program");
    EXPECT_EQ(StartApplication("/app/quillbrook.exe"), 1);
    EXPECT_EQ(FakeOpenHandles(), 0);
}

}  // namespace
