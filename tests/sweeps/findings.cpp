// Cases found by the fuzz target and by the sweeps, kept as regular tests.
#include <gtest/gtest.h>

#include "sweep-support.h"

namespace {

// Runs with the names given as arguments while the application's usual files, under
// the fixed names, also exist. When the current directory cannot be read while one of
// the given names is formed, its buffer still holds the fixed name's full path from
// before the arguments were read, and the run goes on with that: with the source's
// name (call 4) it moves resources/app1.txt over the named destination and deletes
// the old file; with the destination's name (call 5) it replaces resources/app.asar,
// which it was not asked to touch, deleting that file's content.
TEST(Findings, UnreadableDirectoryWhileFormingANameNeverLeadsToAnotherFile) {
    const char kOtherFile[] = "the application's own resources/app.asar";
    const char kOtherNewCopy[] = "the fixed new copy's name, left from an earlier update";
    for (int failingCall = 4; failingCall <= 6; failingCall++) {
        SCOPED_TRACE("GetCurrentDirectoryA call " + std::to_string(failingCall) + " fails");
        FakeReset("/app");
        FakePutFile("/app/quillbrook.exe", "program");
        FakePutFile("/app/resources/app1.txt", kOtherNewCopy);
        FakePutFile("/app/resources/app.asar", kOtherFile);
        FakePutFile("/app/update/core.asar.new", kNewContent);
        FakePutFile("/app/resources/core.asar", kOldContent);
        FakeFailCalls("GetCurrentDirectoryA", failingCall, 1, ERROR_ACCESS_DENIED);
        RunDriver({"update\\core.asar.new", "resources\\core.asar", "quillbrook.exe"});
        // Files the run was not given stay as they were.
        EXPECT_EQ(FakeContent("/app/resources/app.asar"), kOtherFile);
        EXPECT_EQ(FakeContent("/app/resources/app1.txt"), kOtherNewCopy);
        EXPECT_FALSE(FakeExists("/app/resources/app.asar.update-backup"));
        // The named destination holds the old file or the new copy, and the new copy
        // is under its own name or the destination's.
        std::string destination = FakeContent("/app/resources/core.asar");
        EXPECT_TRUE(destination == kOldContent || destination == kNewContent) << destination;
        EXPECT_TRUE(destination == kNewContent || FakeContent("/app/update/core.asar.new") == kNewContent);
    }
}

// Found by the fuzz target (input "kxfE1a\n/app"). A run stopped after moving the
// old file aside and before putting it back (no new copy came) leaves the old file
// only under the backup name. When the next run cannot examine the destination (its
// lookup fails with access denied, so it counts as present), it takes the backup for
// a stale one and deletes it: the only copy of the application's file is gone, and
// the application is started without it, with exit status 0.
TEST(Findings, BackupIsNotDeletedWhileTheDestinationMayBeMissing) {
    Layout layout = TypicalLayout();
    layout.newCopy = false;
    layout.oldFile = false;
    layout.oldAsBackup = true;
    // The lookups of the first attempt: the new copy, the destination, the backup.
    for (int failingCall = 1; failingCall <= 3; failingCall++) {
        for (bool lasting : {false, true}) {
            SCOPED_TRACE("PathFileExistsA call " + std::to_string(failingCall) + " fails with access denied" +
                         (lasting ? " from then on" : " once"));
            SetUpLayout(layout);
            FakeFailCalls("PathFileExistsA", failingCall, lasting ? -1 : 1, ERROR_ACCESS_DENIED);
            ContentWatch watch;
            int status = RunWatched(layout, &watch);
            EXPECT_EQ(watch.violation, "");
            // Started only with its file in place.
            if (status == 0) {
                EXPECT_EQ(FakeContent(layout.destination), kOldContent);
            }
        }
    }
}

// Found by the fuzz target (input "nox\n.\n\\.update-backup\n\\.\n\\"). When the
// source is named as the destination's backup, the program takes the new copy for a
// stale backup and deletes it before moving the old file aside under that name; it
// then moves the old file back in and starts the application: the new copy is gone
// and the run ends with exit status 0.
TEST(Findings, NewCopyNamedAsTheBackupIsNeverDeleted) {
    Layout layout = TypicalLayout();
    layout.arguments = {"resources\\app.asar.update-backup", "resources\\app.asar", "quillbrook.exe"};
    layout.source = "/app/resources/app.asar.update-backup";
    SetUpLayout(layout);
    ContentWatch watch;
    RunWatched(layout, &watch);
    EXPECT_EQ(watch.violation, "");
    std::string destination = FakeContent(layout.destination);
    EXPECT_TRUE(destination == kNewContent || FakeContent(layout.source) == kNewContent) << destination;
}

}  // namespace
