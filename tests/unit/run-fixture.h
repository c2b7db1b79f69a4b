// What the tests over the fake platform layer share: a scratch folder made current
// for the run log, the driver called as a function, and the program's texts in
// code page 936 made from their UTF-8 spelling.
#ifndef FINISH_UPDATE_RUN_FIXTURE_H
#define FINISH_UPDATE_RUN_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake-platform.h"
#include "run-driver.h"


// Returns text converted from UTF-8 to code page 936.
std::string Gbk(const std::string &utf8);

// The error box text for a context and a code, as the program must show it.
std::string ErrorBoxText(const std::string &contextUtf8, DWORD code);

// The caption of error boxes, "错误", and the usage box's text and caption.
std::string ErrorCaption();
std::string UsageText();
std::string UsageCaption();

// The context texts, in UTF-8.
extern const char kWorkingDirectoryFailed[];
extern const char kJoinFailed[];
extern const char kDeleteFailed[];
extern const char kRenameFailed[];
extern const char kStartFailed[];
extern const char kRetriesExhausted[];

class FakeRunTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Puts the usual application folder in the fake file system: /app with
    // resources/app.asar ("old"), resources/app1.txt ("new") and quillbrook.exe.
    void PutApplication();

    // Runs the driver with these arguments after the program's own name; returns
    // its exit status.
    int Run(const std::vector<std::string> &arguments);

    // The run log's bytes.
    std::string Log() const;

    // The operations of the recorded calls, in order.
    std::vector<std::string> Operations() const;

    std::string scratch;
    std::string previousDirectory;
};

#endif
