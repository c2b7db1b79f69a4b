#include "run-fixture.h"

#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "diagnostics/diagnostics.h"

const char kWorkingDirectoryFailed[] = "获取当前工作目录失败";
const char kJoinFailed[] = "路径拼接失败";
const char kDeleteFailed[] = "删除旧文件失败";
const char kRenameFailed[] = "文件重命名失败";
const char kStartFailed[] = "启动应用程序失败";
const char kRetriesExhausted[] = "超过最大重试次数，操作失败";

std::string Gbk(const std::string &utf8) {
    iconv_t converter = iconv_open("CP936", "UTF-8");
    if (converter == (iconv_t)-1) {
        ADD_FAILURE() << "no UTF-8 to CP936 converter";
        return utf8;
    }
    std::string out(utf8.size() * 2 + 1, '\0');
    char *in = const_cast<char *>(utf8.data());
    size_t inLeft = utf8.size();
    char *next = &out[0];
    size_t outLeft = out.size();
    if (iconv(converter, &in, &inLeft, &next, &outLeft) == (size_t)-1) ADD_FAILURE() << "cannot convert " << utf8;
    iconv_close(converter);
    out.resize(out.size() - outLeft);
    return out;
}

std::string ErrorBoxText(const std::string &contextUtf8, DWORD code) {
    char line[32];
    snprintf(line, sizeof line, ": 0x%08X", (unsigned)code);
    return Gbk(contextUtf8) + "\n" + Gbk("错误代码") + line;
}

std::string ErrorCaption() { return Gbk("错误"); }
std::string UsageText() { return Gbk("参数格式: [源文件] [目标文件] [EXE路径]"); }
std::string UsageCaption() { return Gbk("提示"); }

void FakeRunTest::SetUp() {
    previousDirectory = std::filesystem::current_path().string();
    char pattern[] = "/tmp/finish-update-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch = pattern;
    ASSERT_EQ(chdir(scratch.c_str()), 0);
    FakeReset("/app");
    isShowErrorMessage = 0;
}

void FakeRunTest::TearDown() {
    if (logFile != NULL) fclose(logFile);
    logFile = NULL;
    isShowErrorMessage = 0;
    EXPECT_EQ(chdir(previousDirectory.c_str()), 0);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

void FakeRunTest::PutApplication() {
    FakePutFile("/app/resources/app.asar", "old");
    FakePutFile("/app/resources/app1.txt", "new");
    FakePutFile("/app/quillbrook.exe", "program");
}

int FakeRunTest::Run(const std::vector<std::string> &arguments) { return RunDriver(arguments); }

std::string FakeRunTest::Log() const {
    std::ifstream in(scratch + "/autoUpdate_log.txt", std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> FakeRunTest::Operations() const {
    std::vector<std::string> operations;
    for (const FakeCall &call : FakeCalls()) operations.push_back(call.operation);
    return operations;
}
