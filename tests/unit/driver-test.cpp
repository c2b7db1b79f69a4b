// The update run as a whole over the fake platform layer: arguments, the attempt
// schedule, when boxes appear, the exit status and the exact log.
#include <gmock/gmock.h>

#include "diagnostics/diagnostics.h"
#include "run-fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char kTypicalLog[] =
    "my_exePath1: /app\n"
    "my_exePath1: /app\n"
    "my_exePath1: /app\n"
    "srcPath: /app/resources/app1.txt\n"
    "dstPath: /app/resources/app.asar\n"
    "exePath: /app/quillbrook.exe\n"
    "retryCount: 0\n"
    "del dstPath1: /app/resources/app.asar\n";

const char kFixedPathsLog[] =
    "my_exePath1: /app\n"
    "my_exePath1: /app\n"
    "my_exePath1: /app\n"
    "srcPath: /app/resources/app1.txt\n"
    "dstPath: /app/resources/app.asar\n"
    "exePath: /app/quillbrook.exe\n";

struct ArgumentCase {
    const char *name;
    std::vector<std::string> arguments;
    int exitStatus;
    size_t pauses;
    bool usageBox;
    std::string started;       // the command line started, "" for none
    std::string replaced;      // the file that must now hold "new", "" for none
};

void PrintTo(const ArgumentCase &c, std::ostream *out) { *out << c.name; }

class ArgumentTest : public FakeRunTest, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(ArgumentTest, ArgumentCountDecidesWhatIsReplacedAndStarted) {
    const ArgumentCase &c = GetParam();
    PutApplication();
    FakePutFile("/app/new.bin", "new");
    FakePutFile("/app/old.bin", "old");
    FakePutFile("/app/bin/app", "program");

    EXPECT_EQ(Run(c.arguments), c.exitStatus);

    EXPECT_EQ(FakeSleeps().size(), c.pauses);
    if (c.usageBox) {
        ASSERT_EQ(FakeBoxes().size(), 1u);
        EXPECT_EQ(FakeBoxes()[0].text, UsageText());
        EXPECT_EQ(FakeBoxes()[0].caption, UsageCaption());
        EXPECT_EQ(FakeBoxes()[0].type, 0u);
        EXPECT_EQ(Log(), kFixedPathsLog);
    } else {
        EXPECT_THAT(FakeBoxes(), IsEmpty());
    }
    if (c.started.empty()) {
        EXPECT_THAT(FakeStartedCommandLines(), IsEmpty());
    } else {
        EXPECT_THAT(FakeStartedCommandLines(), ElementsAre(c.started));
    }
    for (const char *file : {"/app/resources/app.asar", "/app/old.bin"}) {
        EXPECT_EQ(FakeContent(file), file == c.replaced ? "new" : "old") << file;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ArgumentTest,
    ::testing::Values(
        ArgumentCase{"None", {}, 0, 1, false, "/app/quillbrook.exe", "/app/resources/app.asar"},
        ArgumentCase{"One", {"new.bin"}, 1, 0, true, "", ""},
        ArgumentCase{"Two", {"new.bin", "old.bin"}, 1, 0, true, "", ""},
        ArgumentCase{"Three", {"new.bin", "old.bin", "bin\\app"}, 0, 1, false, "/app/bin/app", "/app/old.bin"},
        ArgumentCase{"FiveUsesTheFirstThree", {"new.bin", "old.bin", "bin/app", "x", "y"}, 0, 1, false,
                     "/app/bin/app", "/app/old.bin"},
        ArgumentCase{"FullPaths", {"/app/new.bin", "/app/old.bin", "/app/bin/app"}, 0, 1, false, "/app/bin/app",
                     "/app/old.bin"}),
    [](const ::testing::TestParamInfo<ArgumentCase> &info) { return std::string(info.param.name); });

TEST_F(FakeRunTest, AnEmptyArgumentVectorCountsAsNoArguments) {
    PutApplication();
    char *argv[] = {nullptr};
    EXPECT_EQ(RunFinishUpdate(0, argv), 0);
    EXPECT_EQ(FakeContent("/app/resources/app.asar"), "new");
    EXPECT_EQ(Log(), kTypicalLog);
}

TEST_F(FakeRunTest, TypicalRunWritesExactlyItsLogAndStartsTheApplicationOnce) {
    PutApplication();
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(Log(), kTypicalLog);
    EXPECT_THAT(FakeSleeps(), ElementsAre(500u));
    EXPECT_THAT(FakeStartedCommandLines(), ElementsAre("/app/quillbrook.exe"));
    EXPECT_EQ(FakeOpenHandles(), 0) << "both handles of the started process are closed";
    EXPECT_FALSE(FakeExists("/app/resources/app1.txt"));
    EXPECT_FALSE(FakeExists("/app/resources/app.asar.update-backup"));
    EXPECT_EQ(Operations().front(), "HardenProcess");
    EXPECT_EQ(logFile, nullptr) << "the log is closed at the end of the run";
}

TEST_F(FakeRunTest, ThreeArgumentRunLogsTheFixedPathsAndOnlyTheDirectoryOfEachArgument) {
    FakePutFile("/app/new.bin", "new");
    FakePutFile("/app/old.bin", "old");
    FakePutFile("/app/bin/app", "program");
    EXPECT_EQ(Run({"new.bin", "old.bin", "bin/app"}), 0);
    EXPECT_EQ(Log(), std::string(kFixedPathsLog) +
                         "my_exePath1: /app\n"
                         "my_exePath1: /app\n"
                         "my_exePath1: /app\n"
                         "retryCount: 0\n"
                         "del dstPath1: /app/old.bin\n");
}

TEST_F(FakeRunTest, UsageRunTouchesNoFileAndLeavesItsLog) {
    PutApplication();
    EXPECT_EQ(Run({"a"}), 1);
    EXPECT_EQ(Log(), kFixedPathsLog);
    for (const std::string &operation : Operations()) {
        EXPECT_TRUE(operation == "HardenProcess" || operation == "GetCurrentDirectoryA" ||
                    operation == "PathCombineA" || operation == "MessageBoxA")
            << operation;
    }
}

TEST_F(FakeRunTest, EveryAttemptFailingGivesFourPausesThenTheFourthAttemptsBoxAndTheFinalReport) {
    PutApplication();
    FakeFiles()["/app/resources/app.asar"].heldOpen = true;

    EXPECT_EQ(Run({}), 1);

    EXPECT_THAT(FakeSleeps(), ElementsAre(500u, 500u, 500u, 500u));
    ASSERT_EQ(FakeBoxes().size(), 2u);
    EXPECT_EQ(FakeBoxes()[0].text, ErrorBoxText(kDeleteFailed, ERROR_SHARING_VIOLATION));
    EXPECT_EQ(FakeBoxes()[1].text, ErrorBoxText(kRetriesExhausted, ERROR_SHARING_VIOLATION));
    for (const FakeBox &box : FakeBoxes()) {
        EXPECT_EQ(box.caption, ErrorCaption());
        EXPECT_EQ(box.type, 0x10u);
    }
    std::string attempts;
    for (int retry = 0; retry < 4; retry++) {
        attempts += "retryCount: " + std::to_string(retry) + "\n" +
                    "del dstPath1: /app/resources/app.asar\n"
                    "del dstPath2: /app/resources/app.asar\n";
    }
    EXPECT_EQ(Log(), kFixedPathsLog + attempts);
    EXPECT_EQ(FakeContent("/app/resources/app.asar"), "old");
    EXPECT_EQ(FakeContent("/app/resources/app1.txt"), "new");
}

TEST_F(FakeRunTest, BoxesAppearOnlyDuringTheFourthAttempt) {
    PutApplication();
    FakeFiles()["/app/resources/app.asar"].heldOpen = true;
    size_t boxesBeforeFourthPause = 99;
    FakeSetCallHook([&](size_t, const FakeCall &call) {
        if (call.operation == "Sleep" && FakeSleeps().size() == 4) boxesBeforeFourthPause = FakeBoxes().size();
    });
    Run({});
    EXPECT_EQ(boxesBeforeFourthPause, 0u);
}

struct ScheduleCase {
    const char *name;
    int failingAttempts;  // the first attempts fail, the next one succeeds
    size_t pauses;
};

void PrintTo(const ScheduleCase &c, std::ostream *out) { *out << c.name; }

class ScheduleTest : public FakeRunTest, public ::testing::WithParamInterface<ScheduleCase> {};

TEST_P(ScheduleTest, AnAttemptThatSucceedsEndsTheRunWithoutABox) {
    const ScheduleCase &c = GetParam();
    PutApplication();
    // Moving the old file aside is an attempt's first change; failing it fails the attempt.
    FakeFailCalls("MoveFileA", 1, c.failingAttempts, ERROR_SHARING_VIOLATION, "/app/resources/app.asar, ");

    EXPECT_EQ(Run({}), 0);

    EXPECT_EQ(FakeSleeps().size(), c.pauses);
    EXPECT_THAT(FakeBoxes(), IsEmpty());
    EXPECT_EQ(isShowErrorMessage, c.failingAttempts >= 3 ? 1 : 0);
    EXPECT_EQ(FakeContent("/app/resources/app.asar"), "new");
    std::string log = Log();
    EXPECT_NE(log.find("retryCount: " + std::to_string(c.failingAttempts) + "\n"), std::string::npos);
    EXPECT_EQ(log.find("retryCount: " + std::to_string(c.failingAttempts + 1) + "\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Schedule, ScheduleTest,
                         ::testing::Values(ScheduleCase{"FirstSucceeds", 0, 1}, ScheduleCase{"SecondSucceeds", 1, 2},
                                           ScheduleCase{"FourthSucceeds", 3, 4}),
                         [](const ::testing::TestParamInfo<ScheduleCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(FakeRunTest, FailedResolutionIsSilentAndTheAttemptsStillRun) {
    PutApplication();
    FakeFailCalls("GetCurrentDirectoryA", 1, -1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Run({}), 1);
    EXPECT_EQ(FakeSleeps().size(), 4u);
    ASSERT_EQ(FakeBoxes().size(), 2u) << "only the fourth attempt's box and the final report";
    EXPECT_EQ(Log(), std::string("srcPath: \ndstPath: \nexePath: \n") +
                         "retryCount: 0\ndel dstPath1: \n"
                         "retryCount: 1\ndel dstPath1: \n"
                         "retryCount: 2\ndel dstPath1: \n"
                         "retryCount: 3\ndel dstPath1: \n");
    EXPECT_EQ(FakeContent("/app/resources/app.asar"), "old");
    EXPECT_EQ(FakeContent("/app/resources/app1.txt"), "new");
}

TEST_F(FakeRunTest, TwoRunsInARowLeaveOnlyTheSecondRunsLog) {
    PutApplication();
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(Run({"x"}), 1);
    EXPECT_EQ(Log(), kFixedPathsLog);
}

}  // namespace
