// Failure sweep: call k of each platform operation fails with each code the platform
// gives there, once (a passing condition) or from then on (a lasting one). Whatever
// fails, the attempts keep their schedule, the boxes and log lines are those of the
// point that failed, the exit status is 1 only after four failed attempts, and no call
// leaves the application's file content missing.
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "sweep-support.h"

namespace {

struct OperationFailures {
    const char *operation;
    std::vector<DWORD> codes;
};

// The codes each operation really gives. PathCombineA is not here: it fails only for
// names that do not fit, and those run through the real joining rule in the
// long-path tests. Sleep and MessageBoxA do not fail.
const OperationFailures kFailures[] = {
    {"GetCurrentDirectoryA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {"PathFileExistsA", {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {"DeleteFileA", {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}},
    {"MoveFileA",
     {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_ALREADY_EXISTS, ERROR_FILE_NOT_FOUND,
      ERROR_PATH_NOT_FOUND, ERROR_DISK_FULL}},
    {"CreateProcessA",
     {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BAD_EXE_FORMAT,
      ERROR_SHARING_VIOLATION}},
    {"CloseHandle", {ERROR_INVALID_HANDLE}},
};

// Where an attempt failed: the context of its box and the code.
struct FailurePoint {
    const char *context;  // NULL when the attempt started the application
    DWORD code;
};

// Returns where the attempt made of calls failed, from its calls alone: a failed
// delete, or a failed move of the old file aside, is the old-file point; a failed
// move of the new copy in is the rename point; a failed start is the start point; an
// attempt that failed without a failed call found neither file (rename point, code 2).
// A failed delete followed by a start did not end the attempt and does not count. The
// attempt's second look-up is the destination's: when it cannot tell whether the old
// file is there (a code other than not found), the attempt stops at the old-file point.
FailurePoint FailurePointOf(const std::vector<FakeCall> &calls) {
    int lookups = 0;
    for (size_t i = 0; i < calls.size(); i++) {
        const FakeCall &call = calls[i];
        if (call.operation == "PathFileExistsA") {
            if (++lookups == 2 && !call.result && call.error != ERROR_FILE_NOT_FOUND &&
                call.error != ERROR_PATH_NOT_FOUND) {
                return {kOldFileFailed, call.error};
            }
            continue;
        }
        if (call.operation == "CreateProcessA") {
            if (call.result) return {NULL, 0};
            return {kStartFailed, call.error};
        }
        if (call.result != 0) continue;
        if (call.operation == "DeleteFileA") {
            bool startFollows = false;
            for (size_t j = i + 1; j < calls.size(); j++) startFollows |= calls[j].operation == "CreateProcessA";
            if (!startFollows) return {kOldFileFailed, call.error};
        } else if (call.operation == "MoveFileA") {
            size_t comma = call.arguments.find(", ");
            std::string from = call.arguments.substr(0, comma), to = call.arguments.substr(comma + 2);
            return {to == from + ".update-backup" ? kOldFileFailed : kRenameFailed, call.error};
        }
    }
    return {kRenameFailed, ERROR_FILE_NOT_FOUND};
}

// Returns the run log's lines split into the attempts (each begins at "retryCount").
std::vector<std::vector<std::string>> LogByAttempt() {
    std::vector<std::vector<std::string>> attempts;
    for (const std::string &line : SplitLines(ReadRunLog())) {
        if (line.compare(0, 12, "retryCount: ") == 0) attempts.emplace_back();
        if (!attempts.empty()) attempts.back().push_back(line);
    }
    return attempts;
}

// Checks what the run just made shows and leaves, for any failure.
void ExpectOrderlyRun(const Layout &layout, int status, const ContentWatch &watch) {
    EXPECT_EQ(watch.violation, "");
    ASSERT_TRUE(status == 0 || status == 1) << status;
    std::vector<std::vector<FakeCall>> attempts = CallsByAttempt();
    ASSERT_GE(attempts.size(), 1u);
    ASSERT_LE(attempts.size(), 4u);
    for (DWORD pause : FakeSleeps()) EXPECT_EQ(pause, 500u);

    // No box before the fourth attempt.
    int pauses = 0;
    for (const FakeCall &call : FakeCalls()) {
        pauses += call.operation == "Sleep";
        if (call.operation == "MessageBoxA") {
            EXPECT_GE(pauses, 4) << "a box in attempt " << pauses;
        }
    }

    std::vector<std::vector<std::string>> log = LogByAttempt();
    ASSERT_EQ(log.size(), attempts.size());
    for (size_t i = 0; i < attempts.size(); i++) {
        SCOPED_TRACE("attempt " + std::to_string(i + 1));
        FailurePoint point = FailurePointOf(attempts[i]);
        // Every attempt but the last failed; the last failed too when the status is 1.
        EXPECT_EQ(point.context == NULL, i + 1 == attempts.size() && status == 0);
        ASSERT_GE(log[i].size(), 2u);
        EXPECT_EQ(log[i][0], "retryCount: " + std::to_string(i));
        ASSERT_EQ(log[i][1].compare(0, 14, "del dstPath1: "), 0) << log[i][1];
        std::string oldFileLine = "del dstPath2: " + log[i][1].substr(14);
        bool oldFileLogged = std::find(log[i].begin(), log[i].end(), oldFileLine) != log[i].end();
        EXPECT_EQ(oldFileLogged, point.context == kOldFileFailed);
    }

    if (status == 0) {
        EXPECT_EQ(FakeStartedCommandLines().size(), 1u);
        EXPECT_TRUE(FakeBoxes().empty());
        // The application is started only with its file in place.
        std::string content = FakeContent(layout.destination);
        EXPECT_TRUE(content == kNewContent || content == kOldContent) << content;
        return;
    }
    EXPECT_EQ(attempts.size(), 4u);
    EXPECT_TRUE(FakeStartedCommandLines().empty());
    FailurePoint last = FailurePointOf(attempts.back());
    ASSERT_NE(last.context, nullptr);
    ASSERT_EQ(FakeBoxes().size(), 2u);
    EXPECT_EQ(FakeBoxes()[0].text, BoxText(last.context, last.code));
    EXPECT_EQ(FakeBoxes()[1].text, BoxText(kRetriesExhausted, last.code));
    for (const FakeBox &box : FakeBoxes()) {
        EXPECT_EQ(box.caption, kErrorCaption);
        EXPECT_EQ(box.type, 0x10u);
    }
}

// Returns the number of calls of each operation in a run of layout with nothing
// failing, and in *beforeAttempts those made before the first attempt.
std::map<std::string, int> CountCleanRun(const Layout &layout, std::map<std::string, int> *beforeAttempts) {
    SetUpLayout(layout);
    RunDriver(layout.arguments);
    std::map<std::string, int> counts;
    bool attempting = false;
    for (const FakeCall &call : FakeCalls()) {
        attempting |= call.operation == "Sleep";
        counts[call.operation]++;
        if (!attempting) (*beforeAttempts)[call.operation]++;
    }
    return counts;
}

// Each call of each operation, failing with each of its codes, once and for good.
TEST(FailureSweep, EveryFailingCallKeepsTheScheduleTheReportsAndTheFile) {
    const Layout layouts[] = {TypicalLayout(), NamedLayout(), InterruptedLayout()};
    int totalCases = 0;
    for (const Layout &layout : layouts) {
        std::map<std::string, int> beforeAttempts;
        std::map<std::string, int> counts = CountCleanRun(layout, &beforeAttempts);
        int cases = 0;
        for (const OperationFailures &failures : kFailures) {
            for (int k = 1; k <= counts[failures.operation]; k++) {
                for (DWORD code : failures.codes) {
                    for (bool lasting : {false, true}) {
                        SCOPED_TRACE(std::string(layout.title) + ": " + failures.operation + " call " +
                                     std::to_string(k) + " fails with " + std::to_string(code) +
                                     (lasting ? " from then on" : " once"));
                        SetUpLayout(layout);
                        FakeFailCalls(failures.operation, k, lasting ? -1 : 1, code);
                        ContentWatch watch;
                        int status = RunWatched(layout, &watch);
                        cases++;
                        ExpectOrderlyRun(layout, status, watch);
                        // One passing failure during the attempts costs at most that
                        // attempt; only a lookup that wrongly finds no new copy may
                        // leave the update for the next time.
                        bool duringAttempts = k > beforeAttempts[failures.operation];
                        if (!lasting && duringAttempts) {
                            EXPECT_EQ(status, 0);
                            bool newCopyMissed = strcmp(failures.operation, "PathFileExistsA") == 0 &&
                                                 (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND);
                            if (!newCopyMissed) {
                                EXPECT_EQ(FakeContent(layout.destination), kNewContent);
                                EXPECT_FALSE(FakeExists(layout.source));
                            }
                        }
                        if (HasFailure()) return;
                    }
                }
            }
        }
        printf("failure sweep, %s: %d cases\n", layout.title, cases);
        totalCases += cases;
    }
    printf("failure sweep: %d cases in all\n", totalCases);
}

// Lasting failures with their full outcome, where the sweep above only checks that
// the outcome is orderly: what the user sees and what is left on disk.
struct LastingFailure {
    const char *title;
    Layout (*layout)();
    bool sourceHeldOpen;  // the new copy is open elsewhere: it cannot move
    const char *operation;  // the operation failing from call `first` on, or NULL
    int first;
    DWORD code;
    int status;
    const char *context;  // the failure point's box, NULL when the run succeeds
    const char *destination;  // what is left under each name, NULL for nothing
    const char *backup;
};

const LastingFailure kLastingFailures[] = {
    {"old file held open", TypicalLayout, false, "MoveFileA", 1, ERROR_SHARING_VIOLATION, 1, kOldFileFailed,
     kOldContent, NULL},
    {"new copy held open: the old file is put back each time", TypicalLayout, true, NULL, 0,
     ERROR_SHARING_VIOLATION, 1, kRenameFailed, kOldContent, NULL},
    {"no move works after an interrupted run: the old file stays in the backup", InterruptedLayout, false,
     "MoveFileA", 1, ERROR_DISK_FULL, 1, kRenameFailed, NULL, kOldContent},
    {"stale backup cannot be deleted", NamedLayout, false, "DeleteFileA", 1, ERROR_ACCESS_DENIED, 1,
     kOldFileFailed, kOldContent, kStaleContent},
    {"backup cannot be deleted after the update: it goes next time", TypicalLayout, false, "DeleteFileA", 1,
     ERROR_SHARING_VIOLATION, 0, NULL, kNewContent, kOldContent},
    {"application is not a program", TypicalLayout, false, "CreateProcessA", 1, ERROR_BAD_EXE_FORMAT, 1,
     kStartFailed, kNewContent, NULL},
    {"handles cannot be closed", TypicalLayout, false, "CloseHandle", 1, ERROR_INVALID_HANDLE, 0, NULL,
     kNewContent, NULL},
};

TEST(FailureSweep, LastingFailuresEndAsTheUserShouldSeeThem) {
    for (const LastingFailure &row : kLastingFailures) {
        SCOPED_TRACE(row.title);
        Layout layout = row.layout();
        SetUpLayout(layout);
        if (row.sourceHeldOpen) FakeFiles()[layout.source].heldOpen = true;
        if (row.operation != NULL) FakeFailCalls(row.operation, row.first, -1, row.code);
        int status = RunDriver(layout.arguments);
        EXPECT_EQ(status, row.status);
        if (row.context != NULL) {
            ASSERT_EQ(FakeBoxes().size(), 2u);
            EXPECT_EQ(FakeBoxes()[0].text, BoxText(row.context, row.code));
            EXPECT_EQ(FakeBoxes()[1].text, BoxText(kRetriesExhausted, row.code));
        } else {
            EXPECT_TRUE(FakeBoxes().empty());
        }
        std::string backup = BackupOf(layout.destination);
        EXPECT_EQ(FakeExists(layout.destination) ? FakeContent(layout.destination) : "(nothing)",
                  row.destination != NULL ? row.destination : "(nothing)");
        EXPECT_EQ(FakeExists(backup) ? FakeContent(backup) : "(nothing)", row.backup != NULL ? row.backup : "(nothing)");
    }
}

}  // namespace
