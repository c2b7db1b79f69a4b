// Runs the built finish-update as a whole process, in a fresh application folder per
// case that is also its current directory, with a copy of the stand-in application in
// the application's place. Standard output and error go to files in that folder; no
// display is passed on, so the boxes are written to standard error.
//
// A failing case keeps its folder; its path is in the failure message.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char **environ;

namespace fs = std::filesystem;

static const char oldBytes[] = "old application archive\n\x01\x02";
static const char newBytes[] = "new application archive, longer than the old one\r\n\x00\xff";
static const char logName[] = "autoUpdate_log.txt";
static const char stdoutName[] = "finish-update.stdout";
static const char stderrName[] = "finish-update.stderr";
static const char standinRecordName[] = "standin-started.txt";

// How long a run may take before it counts as hung and is killed.
#define HANG_LIMIT_MS 30000
// How long the started application gets to leave its record.
#define STANDIN_WAIT_MS 5000

// Returns the bytes of a string literal that may hold NULs.
template <size_t N>
static std::string Bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

// Returns text with every "<dir>" replaced by dir.
static std::string WithFolder(const std::string &text, const std::string &dir) {
    std::string out;
    size_t from = 0;
    for (size_t at; (at = text.find("<dir>", from)) != std::string::npos; from = at + 5) {
        out += text.substr(from, at - from) + dir;
    }
    return out + text.substr(from);
}

// Returns 1 after sleeping milliseconds.
static int PauseMs(long milliseconds) {
    struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    return 1;
}

// Returns 1 with a new empty folder's resolved path in dir, or 0.
static int MakeCaseFolder(std::string *dir) {
    std::string pattern = testing::TempDir() + "finish-update-case-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == NULL) return 0;
    char resolved[PATH_MAX];
    if (realpath(name.data(), resolved) == NULL) return 0;
    *dir = resolved;
    return 1;
}

// Returns 1 once bytes are in path, its missing folders made; 0 otherwise.
static int WriteFile(const std::string &path, const std::string &bytes) {
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    FILE *file = fopen(path.c_str(), "wb");
    if (file == NULL) return 0;
    int ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

// Returns 1 with path's whole content in bytes, or 0 when it cannot be read.
static int ReadFile(const std::string &path, std::string *bytes) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL) return 0;
    bytes->clear();
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes->append(chunk, got);
    int ok = !ferror(file);
    fclose(file);
    return ok;
}

// Returns path's content, or "<unreadable>" when it cannot be read.
static std::string Content(const std::string &path) {
    std::string bytes;
    return ReadFile(path, &bytes) ? bytes : std::string("<unreadable>");
}

// Returns 1 when path exists (as anything).
static int Exists(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// Returns 1 once a copy of the stand-in application is at path, executable.
static int PutStandin(const std::string &path) {
    std::string program;
    if (!ReadFile(STANDIN_APP_PROGRAM, &program) || !WriteFile(path, program)) return 0;
    return chmod(path.c_str(), 0755) == 0;
}

// Returns every file and folder under dir with its content ("<folder>" for a
// folder), by path relative to dir, leaving out the run's log and output files.
static std::map<std::string, std::string> Snapshot(const std::string &dir) {
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        std::string relative = it->path().lexically_relative(dir).string();
        if (relative == logName || relative == stdoutName || relative == stderrName) continue;
        entries[relative] = it->is_directory() ? std::string("<folder>") : Content(it->path().string());
    }
    return entries;
}

// Returns the paths, relative to dir, of the backups left anywhere under it.
static std::vector<std::string> Backups(const std::string &dir) {
    std::vector<std::string> found;
    std::error_code error;
    const std::string suffix = ".update-backup";
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(it->path().lexically_relative(dir).string());
    }
    return found;
}

// Returns 1 once path exists, or 0 when it has not appeared within milliseconds.
static int WaitForFile(const std::string &path, long milliseconds) {
    for (long waited = 0; waited < milliseconds; waited += 20) {
        if (Exists(path)) return 1;
        PauseMs(20);
    }
    return Exists(path);
}

// Runs finish-update with args in dir (its current directory), standard input from
// /dev/null, standard output and error into files in dir, and the environment without
// any display. Returns 1 with its exit status in exitStatus once it has exited
// normally; 0 when it could not start, was killed by a signal, or hung and was killed.
static int RunProgram(const std::string &dir, const std::vector<std::string> &args, int *exitStatus) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(FINISH_UPDATE_PROGRAM));
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(NULL);
    std::vector<char *> envp;
    for (char **entry = environ; *entry != NULL; entry++) {
        if (strncmp(*entry, "DISPLAY=", 8) == 0 || strncmp(*entry, "WAYLAND_DISPLAY=", 16) == 0) continue;
        envp.push_back(*entry);
    }
    envp.push_back(NULL);
    std::string outPath = dir + "/" + stdoutName;
    std::string errPath = dir + "/" + stderrName;
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return 0;
    int ready = posix_spawn_file_actions_addchdir_np(&actions, dir.c_str()) == 0 &&
                posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
                posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) == 0 &&
                posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) == 0;
    pid_t pid = -1;
    int spawned = ready && posix_spawn(&pid, FINISH_UPDATE_PROGRAM, &actions, NULL, argv.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned) return 0;
    int status = 0;
    for (long waited = 0;; waited += 10) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return 0;
        if (waited >= HANG_LIMIT_MS) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return 0;
        }
        PauseMs(10);
    }
    if (!WIFEXITED(status)) return 0;
    *exitStatus = WEXITSTATUS(status);
    return 1;
}

// The log lines every run starts with: the directory read for each of the three
// fixed names, then the three full paths.
static const char logHeader[] =
    "my_exePath1: <dir>\n"
    "my_exePath1: <dir>\n"
    "my_exePath1: <dir>\n"
    "srcPath: <dir>/resources/app1.txt\n"
    "dstPath: <dir>/resources/app.asar\n"
    "exePath: <dir>/quillbrook.exe\n";

// Puts the old file, the new copy and the stand-in application at the fixed names.
static int PutFixedFiles(const std::string &dir) {
    return WriteFile(dir + "/resources/app.asar", Bytes(oldBytes)) &&
           WriteFile(dir + "/resources/app1.txt", Bytes(newBytes)) && PutStandin(dir + "/quillbrook.exe");
}

// Removes the case folder once the case has passed; a failed case keeps it.
static void RemoveCaseFolder(const std::string &dir) {
    if (testing::Test::HasFailure()) return;
    std::error_code error;
    fs::remove_all(dir, error);
}

// ---------------------------------------------------------------------------------
// Updates that succeed: the new copy replaces the old file and the application starts.

struct UpdateCase {
    const char *name;
    std::vector<std::string> args;
    const char *source;       // relative to the folder
    const char *destination;  // relative to the folder
    const char *application;  // relative to the folder
    bool logBlocked;          // a folder stands where the log would be created
    const char *log;          // the log's exact content, "<dir>" for the folder
};

static const UpdateCase updateCases[] = {
    {"NoArguments", {}, "resources/app1.txt", "resources/app.asar", "quillbrook.exe", false,
     "<header>"
     "retryCount: 0\n"
     "del dstPath1: <dir>/resources/app.asar\n"},
    // The fixed names are also present and must be left alone; the application's
    // folder has a space, so its path only works when passed quoted.
    {"ThreeArgumentsNameOtherFiles", {"new/app.bin", "old/app.bin", "my bin/app"}, "new/app.bin", "old/app.bin",
     "my bin/app", false,
     "<header>"
     "my_exePath1: <dir>\n"
     "my_exePath1: <dir>\n"
     "my_exePath1: <dir>\n"
     "retryCount: 0\n"
     "del dstPath1: <dir>/old/app.bin\n"},
    {"LogCannotBeCreated", {}, "resources/app1.txt", "resources/app.asar", "quillbrook.exe", true, NULL},
};

// Prints a case by its name in test output.
static void PrintTo(const UpdateCase &row, std::ostream *out) { *out << row.name; }

class SuccessfulUpdate : public testing::TestWithParam<UpdateCase> {};

TEST_P(SuccessfulUpdate, ReplacesTheFileAndStartsTheApplication) {
    const UpdateCase &row = GetParam();
    std::string dir;
    ASSERT_TRUE(MakeCaseFolder(&dir));
    SCOPED_TRACE("case folder: " + dir);
    bool namesFixedFiles = std::string(row.destination) == "resources/app.asar";
    if (!namesFixedFiles) {
        ASSERT_TRUE(PutFixedFiles(dir));
    }
    std::map<std::string, std::string> fixedBefore = Snapshot(dir);
    ASSERT_TRUE(WriteFile(dir + "/" + row.destination, Bytes(oldBytes)));
    ASSERT_TRUE(WriteFile(dir + "/" + row.source, Bytes(newBytes)));
    ASSERT_TRUE(PutStandin(dir + "/" + row.application));
    if (row.logBlocked) {
        ASSERT_EQ(mkdir((dir + "/" + logName).c_str(), 0755), 0);
    }

    int exitStatus = -1;
    ASSERT_TRUE(RunProgram(dir, row.args, &exitStatus));
    EXPECT_EQ(exitStatus, 0);
    EXPECT_EQ(Content(dir + "/" + row.destination), Bytes(newBytes));
    EXPECT_FALSE(Exists(dir + "/" + row.source));
    EXPECT_EQ(Backups(dir), std::vector<std::string>());

    ASSERT_TRUE(WaitForFile(dir + "/" + standinRecordName, STANDIN_WAIT_MS)) << "the application did not start";
    std::string applicationPath = dir + "/" + row.application;
    EXPECT_EQ(Content(dir + "/" + standinRecordName),
              "cmdline: " + applicationPath + "\nargc: 1\nargv[0]: " + applicationPath + "\ncwd: " + dir + "\n");

    if (row.log != NULL) {
        std::string expected = std::string(row.log);
        expected.replace(expected.find("<header>"), 8, logHeader);
        EXPECT_EQ(Content(dir + "/" + logName), WithFolder(expected, dir));
    } else {
        EXPECT_TRUE(fs::is_directory(dir + "/" + logName));
    }
    if (!namesFixedFiles) {
        std::map<std::string, std::string> after = Snapshot(dir);
        for (const auto &entry : fixedBefore) EXPECT_EQ(after[entry.first], entry.second) << entry.first;
    }
    EXPECT_EQ(Content(dir + "/" + stdoutName), "");
    EXPECT_EQ(Content(dir + "/" + stderrName), "");
    RemoveCaseFolder(dir);
}

INSTANTIATE_TEST_SUITE_P(Runs, SuccessfulUpdate, testing::ValuesIn(updateCases),
                         [](const testing::TestParamInfo<UpdateCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------
// One or two arguments: the usage box, and nothing else is done.

struct UsageCase {
    const char *name;
    std::vector<std::string> args;
};

static const UsageCase usageCases[] = {
    {"OneArgument", {"resources/app1.txt"}},
    {"TwoArguments", {"resources/app1.txt", "resources/app.asar"}},
};

// Prints a case by its name in test output.
static void PrintTo(const UsageCase &row, std::ostream *out) { *out << row.name; }

class UsageRun : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageRun, ShowsTheUsageAndTouchesNothing) {
    std::string dir;
    ASSERT_TRUE(MakeCaseFolder(&dir));
    SCOPED_TRACE("case folder: " + dir);
    ASSERT_TRUE(PutFixedFiles(dir));
    std::map<std::string, std::string> before = Snapshot(dir);

    int exitStatus = -1;
    ASSERT_TRUE(RunProgram(dir, GetParam().args, &exitStatus));
    EXPECT_EQ(exitStatus, 1);
    EXPECT_EQ(Snapshot(dir), before);
    // The log ends before any attempt: no pause was made and no retryCount written.
    EXPECT_EQ(Content(dir + "/" + logName), WithFolder(logHeader, dir));
    EXPECT_EQ(Content(dir + "/" + stderrName), "提示: 参数格式: [源文件] [目标文件] [EXE路径]\n");
    EXPECT_EQ(Content(dir + "/" + stdoutName), "");
    RemoveCaseFolder(dir);
}

INSTANTIATE_TEST_SUITE_P(Runs, UsageRun, testing::ValuesIn(usageCases),
                         [](const testing::TestParamInfo<UsageCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------

// The application is missing: every attempt fails to start it, the last one shows
// why, and the final report follows. The new copy moved in on the first attempt
// stays in place.
TEST(FailedUpdate, MissingApplicationGivesUpAfterFourAttempts) {
    std::string dir;
    ASSERT_TRUE(MakeCaseFolder(&dir));
    SCOPED_TRACE("case folder: " + dir);
    ASSERT_TRUE(WriteFile(dir + "/resources/app.asar", Bytes(oldBytes)));
    ASSERT_TRUE(WriteFile(dir + "/resources/app1.txt", Bytes(newBytes)));

    int exitStatus = -1;
    ASSERT_TRUE(RunProgram(dir, {}, &exitStatus));
    EXPECT_EQ(exitStatus, 1);
    EXPECT_EQ(Content(dir + "/resources/app.asar"), Bytes(newBytes));
    EXPECT_FALSE(Exists(dir + "/resources/app1.txt"));
    EXPECT_EQ(Backups(dir), std::vector<std::string>());

    std::string attempts;
    for (int attempt = 0; attempt < 4; attempt++) {
        attempts += "retryCount: " + std::to_string(attempt) + "\ndel dstPath1: <dir>/resources/app.asar\n";
    }
    EXPECT_EQ(Content(dir + "/" + logName), WithFolder(std::string(logHeader) + attempts, dir));

    std::string errors = Content(dir + "/" + stderrName);
    const std::string startBox = "错误: 启动应用程序失败\n错误代码: 0x00000002\n";
    const std::string finalBox = "错误: 超过最大重试次数，操作失败\n错误代码: 0x";
    ASSERT_EQ(errors.size(), startBox.size() + finalBox.size() + 9) << errors;
    EXPECT_EQ(errors.substr(0, startBox.size()), startBox);
    EXPECT_EQ(errors.substr(startBox.size(), finalBox.size()), finalBox);
    std::string code = errors.substr(startBox.size() + finalBox.size());
    EXPECT_EQ(code.find_first_not_of("0123456789ABCDEF"), 8u) << code;
    EXPECT_EQ(code.back(), '\n');
    EXPECT_FALSE(Exists(dir + "/" + standinRecordName));
    RemoveCaseFolder(dir);
}

// A second run truncates the log: a shorter run after a longer one leaves only its own lines.
TEST(RunLog, HoldsOnlyTheLatestRun) {
    std::string dir;
    ASSERT_TRUE(MakeCaseFolder(&dir));
    SCOPED_TRACE("case folder: " + dir);
    ASSERT_TRUE(PutFixedFiles(dir));

    int exitStatus = -1;
    ASSERT_TRUE(RunProgram(dir, {}, &exitStatus));
    ASSERT_EQ(exitStatus, 0);
    ASSERT_TRUE(WaitForFile(dir + "/" + standinRecordName, STANDIN_WAIT_MS));
    ASSERT_EQ(Content(dir + "/" + logName),
              WithFolder(std::string(logHeader) + "retryCount: 0\ndel dstPath1: <dir>/resources/app.asar\n", dir));

    ASSERT_TRUE(RunProgram(dir, {"only-one-argument"}, &exitStatus));
    EXPECT_EQ(exitStatus, 1);
    EXPECT_EQ(Content(dir + "/" + logName), WithFolder(logHeader, dir));
    RemoveCaseFolder(dir);
}
