// The error box and the run log.
#include <gmock/gmock.h>

#include <sys/stat.h>

#include "diagnostics/diagnostics.h"
#include "run-fixture.h"

using ::testing::IsEmpty;

namespace {

TEST_F(FakeRunTest, WhileBoxesAreOffAReportShowsNothingAndKeepsTheLastError) {
    isShowErrorMessage = 0;
    SetLastError(ERROR_SHARING_VIOLATION);
    ShowErrorMessage(Gbk(kDeleteFailed).c_str());
    EXPECT_THAT(FakeBoxes(), IsEmpty());
    EXPECT_THAT(FakeCalls(), IsEmpty());
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
}

TEST_F(FakeRunTest, BoxShowsTheContextThenTheCodeAsEightHexDigits) {
    struct {
        DWORD code;
        const char *codeLine;
    } cases[] = {
        {0, "0x00000000"},
        {ERROR_ACCESS_DENIED, "0x00000005"},
        {ERROR_SHARING_VIOLATION, "0x00000020"},
        {0x2000FFFF, "0x2000FFFF"},  // no system text: the same two lines
        {0xFFFFFFFF, "0xFFFFFFFF"},
    };
    isShowErrorMessage = 1;
    for (const auto &c : cases) {
        FakeReset("/app");
        SetLastError(c.code);
        ShowErrorMessage(Gbk(kStartFailed).c_str());
        ASSERT_EQ(FakeBoxes().size(), 1u);
        EXPECT_EQ(FakeBoxes()[0].text, Gbk(kStartFailed) + "\n" + Gbk("错误代码") + ": " + c.codeLine);
        EXPECT_EQ(FakeBoxes()[0].caption, Gbk("错误"));
        EXPECT_EQ(FakeBoxes()[0].type, 0x10u);
    }
}

TEST_F(FakeRunTest, TheProgramsTextsAreTheirCodePage936Bytes) {
    // Spot checks of the bytes themselves, independent of the converter.
    EXPECT_EQ(Gbk("错误"), "\xb4\xed\xce\xf3");
    EXPECT_EQ(Gbk("提示"), "\xcc\xe1\xca\xbe");
    isShowErrorMessage = 1;
    SetLastError(ERROR_SHARING_VIOLATION);
    ShowErrorMessage("\xc9\xbe\xb3\xfd\xbe\xc9\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc");
    ASSERT_EQ(FakeBoxes().size(), 1u);
    EXPECT_EQ(FakeBoxes()[0].text, ErrorBoxText(kDeleteFailed, ERROR_SHARING_VIOLATION));
}

TEST_F(FakeRunTest, RunLogThatCannotBeCreatedChangesNothingElse) {
    PutApplication();
    ASSERT_EQ(mkdir("autoUpdate_log.txt", 0755), 0);  // a folder in the log's place
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(FakeContent("/app/resources/app.asar"), "new");
    EXPECT_EQ(FakeStartedCommandLines().size(), 1u);

    FakeReset("/app");
    PutApplication();
    FakeFiles()["/app/resources/app.asar"].heldOpen = true;
    EXPECT_EQ(Run({}), 1);
    EXPECT_EQ(FakeBoxes().size(), 2u);
}

TEST_F(FakeRunTest, LogWritesWithoutAnOpenLogDoNothing) {
    logFile = NULL;
    WriteLog("retryCount: %d\n", 3);
    SUCCEED();
}

}  // namespace
