// The Win32 behaviour finish-update relies on, one table per call. Each row sets the
// last error to a poison value, makes the call and checks the result and the last
// error afterwards (a successful call must leave the poison in place, except where
// Win32 itself clears it). The same source runs against our Linux layer and, built
// with MinGW-w64, against Win32 itself.
//
// Every test works in a new folder under the temporary folder, made current. Table
// inputs are written the Windows way, with backslashes, relative names, and "<dir>"
// standing for the full name of that folder. The platforms differ in only two ways
// the tables need to know: a path the Linux layer makes has '/' where Windows has
// '\' (see AsMadePath), and full names start with a drive on one and '/' on the
// other (hidden behind "<dir>").
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "platform.h"

#ifndef STANDIN_APP_PATH
// The build passes the stand-in's full name; without it, the stand-in is looked for
// in the folder the tests start in.
#ifdef _WIN32
#define STANDIN_APP_PATH "standin-app.exe"
#else
#define STANDIN_APP_PATH "standin-app"
#endif
#endif

namespace fs = std::filesystem;

static const DWORD POISON = 0xDEADBEEF;
// The expected last error of a call that must leave the poison in place.
static const DWORD KEPT = POISON;

// What the stand-in application writes into its current folder once it has run.
static const char startedMarker[] = "standin-started.txt";

static fs::path startFolder;
static fs::path standInProgram;
static fs::path fixtureFolder;
// The fixture folder's full name, as the system reports it.
static std::string fixtureName;

// Returns text with every backslash turned into the separator the platform puts
// into the paths it makes: '\' on Windows, '/' in our Linux layer.
static std::string AsMadePath(const std::string &text) {
#ifdef _WIN32
    return text;
#else
    std::string made = text;
    for (char &c : made) {
        if (c == '\\') c = '/';
    }
    return made;
#endif
}

// Returns text with every "<dir>" replaced by the fixture folder's full name.
static std::string WithFolder(const std::string &text) {
    std::string result = text;
    for (size_t at = result.find("<dir>"); at != std::string::npos; at = result.find("<dir>", at)) {
        result.replace(at, 5, fixtureName);
        at += fixtureName.size();
    }
    return result;
}

// Returns a table name (backslashes, "<dir>") as a name std::filesystem takes on
// both platforms.
static fs::path OnDisk(const std::string &tableName) {
    std::string name = WithFolder(tableName);
    for (char &c : name) {
        if (c == '\\') c = '/';
    }
    return fs::path(name);
}

// Returns the bytes of buffer up to its first NUL, or all of them when it has none.
static std::string TextIn(const std::vector<char> &buffer) {
    return std::string(buffer.begin(), std::find(buffer.begin(), buffer.end(), '\0'));
}

// Returns prefix followed by 'a's up to length bytes in all.
static std::string Padded(const std::string &prefix, size_t length) {
    return prefix + std::string(length - prefix.size(), 'a');
}

// Returns 1 after making a new empty folder under the temporary folder and making
// it the current folder; 0 when that fails.
static int EnterFreshFolder(void) {
    std::error_code error;
    fixtureFolder.clear();
    startFolder = fs::current_path(error);
    if (error) return 0;
    standInProgram = fs::absolute(STANDIN_APP_PATH, error);
    if (error) return 0;
    fs::path temporary = fs::temp_directory_path(error);
    if (error) return 0;
    std::random_device entropy;
    for (int attempt = 0; attempt < 100 && fixtureFolder.empty(); attempt++) {
        fs::path candidate = temporary / ("finish-update-platform-" + std::to_string(entropy()));
        if (fs::create_directory(candidate, error)) fixtureFolder = candidate;
        if (error) return 0;
    }
    if (fixtureFolder.empty()) return 0;
    fs::current_path(fixtureFolder, error);
    if (error) return 0;
    fixtureName = fs::current_path(error).string();
    return !error;
}

// Returns 1 once the fixture folder is gone and the starting folder is current
// again, or 0 when either fails. Started programs may still be ending, so
// removing is retried for a few seconds.
static int LeaveFolder(void) {
    std::error_code error;
    fs::current_path(startFolder, error);
    if (error || fixtureFolder.empty()) return 0;
    for (int attempt = 0; attempt < 50; attempt++) {
        // Read-only files cannot be removed on Windows.
        for (fs::recursive_directory_iterator entry(fixtureFolder, error), end; !error && entry != end;
             entry.increment(error)) {
            std::error_code ignored;
            fs::permissions(entry->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
        }
        fs::remove_all(fixtureFolder, error);
        if (!error) {
            fixtureFolder.clear();
            return 1;
        }
        Sleep(100);
    }
    return 0;
}

// Returns made; when it is 0 (a fixture could not be made), first leaves and
// removes the fixture folder, so that a stopped test leaves nothing behind.
static int Ready(int made) {
    if (!made) LeaveFolder();
    return made;
}

// Returns 1 once the folders on the way to name (a table name) exist.
static int PutParentFolders(const std::string &name) {
    fs::path parent = OnDisk(name).parent_path();
    std::error_code error;
    if (!parent.empty()) fs::create_directories(parent, error);
    return !error;
}

// Returns 1 after writing content into the new file name (a table name).
static int PutFile(const std::string &name, const std::string &content) {
    if (!PutParentFolders(name)) return 0;
    std::ofstream out(OnDisk(name), std::ios::binary);
    out << content;
    out.close();
    return !out.fail();
}

// Returns 1 after making folder name (a table name) and the folders on its way.
static int PutFolder(const std::string &name) {
    std::error_code error;
    fs::create_directories(OnDisk(name), error);
    return !error;
}

// Returns 1 once name (a table name) is read-only: without any write permission on
// Linux, with the read-only attribute on Windows.
static int MakeReadOnly(const std::string &name) {
    std::error_code error;
    fs::permissions(OnDisk(name), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, error);
    return !error;
}

// Returns 1 once name (a table name) may be run. Linux refuses to run a file
// without execute permission (5) before it looks at what the file holds; Windows
// has no such permission and looks at the contents (193).
static int MakeRunnable(const std::string &name) {
    std::error_code error;
    fs::permissions(OnDisk(name), fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, error);
    return !error;
}

// Returns 1 after copying the stand-in application to name (a table name).
static int PutStandIn(const std::string &name) {
    std::error_code error;
    if (!PutParentFolders(name)) return 0;
    if (!fs::copy_file(standInProgram, OnDisk(name), error)) return 0;
    return MakeRunnable(name);
}

// Returns 1 after writing a file that is not a program, but may be run, to name.
static int PutDataFile(const std::string &name) {
    return PutFile(name, "not a program\n") && MakeRunnable(name);
}

// Returns "absent", "file", "folder" or "other" for name (a table name).
static std::string KindOf(const std::string &name) {
    std::error_code error;
    fs::file_status status = fs::symlink_status(OnDisk(name), error);
    if (status.type() == fs::file_type::not_found) return "absent";
    if (status.type() == fs::file_type::regular) return "file";
    if (status.type() == fs::file_type::directory) return "folder";
    return "other";
}

// Returns what file name (a table name) holds, or "" when it cannot be read.
static std::string ContentOf(const std::string &name) {
    std::ifstream in(OnDisk(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Returns 1 once the stand-in's marker is in the current folder, or 0 when it has
// not come within five seconds.
static int WaitForStart(void) {
    for (int attempt = 0; attempt < 100; attempt++) {
        std::error_code error;
        if (fs::exists(startedMarker, error)) return 1;
        Sleep(50);
    }
    return 0;
}

// Returns 1 once the stand-in's marker is gone from the current folder.
static int ForgetStart(void) {
    std::error_code error;
    fs::remove(startedMarker, error);
    return !error;
}

// Returns the result of CreateProcessA for commandLine the way finish-update starts
// the application, with the handles in processInformation.
static BOOL StartProgram(const std::string &commandLine, PROCESS_INFORMATION *processInformation) {
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startupInfo;
    memset(&startupInfo, 0, sizeof startupInfo);
    startupInfo.cb = sizeof startupInfo;
    memset(processInformation, 0, sizeof *processInformation);
    SetLastError(POISON);
    return CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startupInfo,
                          processInformation);
}

struct CurrentDirectoryRow {
    const char *situation;
    int sizeFromLength;  // the buffer size is sizeOffset, plus the folder name's
    int sizeOffset;      // length when sizeFromLength is 1
    int nullBuffer;
    int resultOffset;  // the result is the folder name's length plus this
    int written;       // the folder name is in the buffer
};

TEST(Win32Behaviour, GetCurrentDirectoryA) {
    ASSERT_TRUE(EnterFreshFolder());
    const DWORD length = (DWORD)fixtureName.size();
    const CurrentDirectoryRow rows[] = {
        {"buffer of MAX_PATH bytes", 0, MAX_PATH, 0, 0, 1},
        {"buffer just large enough (length + 1)", 1, 1, 0, 0, 1},
        // Too small, the size needed comes back with the NUL counted and the buffer
        // untouched: finish-update then joins its names to an empty folder name.
        {"buffer one byte short (length)", 1, 0, 0, 1, 0},
        {"buffer of 1 byte", 0, 1, 0, 1, 0},
        {"length 0, NULL buffer", 0, 0, 1, 1, 0},
    };
    for (const CurrentDirectoryRow &row : rows) {
        SCOPED_TRACE(row.situation);
        DWORD size = (row.sizeFromLength ? length : 0) + (DWORD)row.sizeOffset;
        std::vector<char> buffer(2 * MAX_PATH, 'X');
        SetLastError(POISON);
        DWORD result = GetCurrentDirectoryA(size, row.nullBuffer ? NULL : buffer.data());
        EXPECT_EQ(length + (DWORD)row.resultOffset, result);
        EXPECT_EQ(KEPT, GetLastError());
        if (row.written) {
            EXPECT_EQ(fixtureName, TextIn(buffer));
            EXPECT_EQ('X', buffer[length + 1]);
        } else {
            EXPECT_EQ(std::string(buffer.size(), 'X'), std::string(buffer.data(), buffer.size()));
        }
    }
    EXPECT_TRUE(LeaveFolder());
}

struct CombineRow {
    std::string situation;
    std::string dir;
    std::string name;
    int joined;          // 1: the result is dest holding `result`; 0: NULL with dest ""
    std::string result;  // written the Windows way
    DWORD error;
};

TEST(Win32Behaviour, PathCombineA) {
    ASSERT_TRUE(EnterFreshFolder());
    const CombineRow rows[] = {
        {"name joined to a relative folder", "rel\\d", "x.txt", 1, "rel\\d\\x.txt", KEPT},
        {"folder ending in a backslash", "rel\\d\\", "x.txt", 1, "rel\\d\\x.txt", KEPT},
        {"name with a folder part", "rel\\d", "sub\\x.txt", 1, "rel\\d\\sub\\x.txt", KEPT},
        {"full folder and a relative name", "<dir>", "resources\\app.asar", 1, "<dir>\\resources\\app.asar",
         KEPT},
        {"\"..\" leaves a full folder", "<dir>\\sub", "..\\x.txt", 1, "<dir>\\x.txt", KEPT},
        {"\"..\" leaves a relative folder", "rel\\d", "..\\x.txt", 1, "rel\\x.txt", KEPT},
        {"\".\" is dropped", "rel\\d", ".\\x.txt", 1, "rel\\d\\x.txt", KEPT},
        {"full name replaces the folder", "rel\\d", "<dir>\\x.txt", 1, "<dir>\\x.txt", KEPT},
        {"empty name", "rel\\d", "", 1, "rel\\d", KEPT},
        {"empty folder", "", "a\\b.txt", 1, "a\\b.txt", KEPT},
        // Only the result too long: NULL, dest "" and the last error as it was.
        {"result of 259 bytes", "rel\\d", Padded("", 253), 1, Padded("rel\\d\\", 259), KEPT},
        {"result of 260 bytes", "rel\\d", Padded("", 254), 0, "", KEPT},
        {"result of 261 bytes", "rel\\d", Padded("", 255), 0, "", KEPT},
        {"folder of 257 bytes, result of 259", Padded("rel\\", 257), "x", 1, Padded("rel\\", 257) + "\\x", KEPT},
        {"folder of 258 bytes, result of 260", Padded("rel\\", 258), "x", 0, "", KEPT},
        {"name of 259 bytes alone", "", Padded("", 259), 1, Padded("", 259), KEPT},
        // An input alone of MAX_PATH bytes or more does not even fit the call's own
        // buffer.
        {"name of 260 bytes", "", Padded("", 260), 0, "", ERROR_INSUFFICIENT_BUFFER},
        {"folder of 260 bytes", Padded("rel\\", 260), "", 0, "", ERROR_INSUFFICIENT_BUFFER},
        {"name of 995 bytes", "rel\\d", Padded("", 995), 0, "", ERROR_INSUFFICIENT_BUFFER},
    };
    for (const CombineRow &row : rows) {
        SCOPED_TRACE(row.situation);
        std::string dir = WithFolder(row.dir);
        std::string name = WithFolder(row.name);
        std::vector<char> dest(2 * MAX_PATH, 'X');
        SetLastError(POISON);
        char *result = PathCombineA(dest.data(), dir.c_str(), name.c_str());
        EXPECT_EQ(row.joined ? dest.data() : NULL, result);
        EXPECT_EQ(row.error, GetLastError());
        EXPECT_EQ(AsMadePath(WithFolder(row.result)), TextIn(dest));
        EXPECT_EQ(std::string(MAX_PATH, 'X'), std::string(dest.data() + MAX_PATH, MAX_PATH))
            << "written past dest[MAX_PATH - 1]";
    }
    EXPECT_TRUE(LeaveFolder());
}

struct NameRow {
    const char *situation;
    const char *name;
    BOOL result;
    DWORD error;
};

TEST(Win32Behaviour, PathFileExistsA) {
    ASSERT_TRUE(EnterFreshFolder());
    ASSERT_TRUE(Ready(PutFile("f.txt", "f.txt") && PutFile("sub\\inner.txt", "inner.txt")));
    const NameRow rows[] = {
        {"file", "f.txt", TRUE, KEPT},
        {"file in a folder", "sub\\inner.txt", TRUE, KEPT},
        {"file by its full name", "<dir>\\f.txt", TRUE, KEPT},
        {"folder", "sub", TRUE, KEPT},
        {"missing file", "missing.txt", FALSE, ERROR_FILE_NOT_FOUND},
        {"missing file in a folder that exists", "sub\\missing.txt", FALSE, ERROR_FILE_NOT_FOUND},
        {"missing folder on the way", "nodir\\f.txt", FALSE, ERROR_PATH_NOT_FOUND},
        {"empty name", "", FALSE, ERROR_PATH_NOT_FOUND},
    };
    for (const NameRow &row : rows) {
        SCOPED_TRACE(row.situation);
        std::string name = WithFolder(row.name);
        SetLastError(POISON);
        EXPECT_EQ(row.result, PathFileExistsA(name.c_str()));
        EXPECT_EQ(row.error, GetLastError());
    }
    EXPECT_TRUE(LeaveFolder());
}

struct DeleteRow {
    const char *situation;
    const char *name;
    BOOL result;
    DWORD error;
    const char *after;  // KindOf(name) afterwards
};

TEST(Win32Behaviour, DeleteFileA) {
    ASSERT_TRUE(EnterFreshFolder());
    ASSERT_TRUE(Ready(PutFile("f.txt", "f.txt") && PutFile("sub\\inner.txt", "inner.txt") && PutFolder("empty") &&
                      PutFile("ro.txt", "ro.txt") && MakeReadOnly("ro.txt")));
    const DeleteRow rows[] = {
        {"file", "f.txt", TRUE, KEPT, "absent"},
        {"file by its full name", "<dir>\\sub\\inner.txt", TRUE, KEPT, "absent"},
        {"missing file", "missing.txt", FALSE, ERROR_FILE_NOT_FOUND, "absent"},
        {"missing folder on the way", "nodir\\f.txt", FALSE, ERROR_PATH_NOT_FOUND, "absent"},
        // Empty, so that removing it would have worked.
        {"folder", "empty", FALSE, ERROR_ACCESS_DENIED, "folder"},
        {"read-only file", "ro.txt", FALSE, ERROR_ACCESS_DENIED, "file"},
    };
    for (const DeleteRow &row : rows) {
        SCOPED_TRACE(row.situation);
        std::string name = WithFolder(row.name);
        SetLastError(POISON);
        EXPECT_EQ(row.result, DeleteFileA(name.c_str()));
        EXPECT_EQ(row.error, GetLastError());
        EXPECT_EQ(row.after, KindOf(row.name));
    }
    EXPECT_TRUE(LeaveFolder());
}

struct MoveRow {
    const char *situation;
    const char *existingName;
    const char *newName;
    BOOL result;
    DWORD error;
    const char *existingAfter;  // KindOf(existingName) afterwards
    const char *newAfter;       // KindOf(newName) afterwards
    const char *newContent;     // what newName holds afterwards, when it is a file
};

TEST(Win32Behaviour, MoveFileA) {
    ASSERT_TRUE(EnterFreshFolder());
    // Every file holds its own name.
    ASSERT_TRUE(Ready(PutFile("m1.txt", "m1.txt") && PutFile("a.txt", "a.txt") && PutFile("b.txt", "b.txt") &&
                      PutFile("c.txt", "c.txt") && PutFile("s.txt", "s.txt") &&
                      PutFile("d1\\inner.txt", "inner.txt")));
    const MoveRow rows[] = {
        {"rename by full names", "<dir>\\m1.txt", "<dir>\\m2.txt", TRUE, KEPT, "absent", "file", "m1.txt"},
        // The program relies on this to never lose a file: the new name is kept.
        {"new name exists", "a.txt", "b.txt", FALSE, ERROR_ALREADY_EXISTS, "file", "file", "b.txt"},
        {"missing file", "missing.txt", "x.txt", FALSE, ERROR_FILE_NOT_FOUND, "absent", "absent", ""},
        {"new name's folder missing", "c.txt", "nodir\\c.txt", FALSE, ERROR_PATH_NOT_FOUND, "file", "absent",
         ""},
        {"folder with a file in it", "d1", "d2", TRUE, KEPT, "absent", "folder", ""},
        {"same name", "s.txt", "s.txt", TRUE, KEPT, "file", "file", "s.txt"},
    };
    for (const MoveRow &row : rows) {
        SCOPED_TRACE(row.situation);
        std::string existingName = WithFolder(row.existingName);
        std::string newName = WithFolder(row.newName);
        SetLastError(POISON);
        EXPECT_EQ(row.result, MoveFileA(existingName.c_str(), newName.c_str()));
        EXPECT_EQ(row.error, GetLastError());
        EXPECT_EQ(row.existingAfter, KindOf(row.existingName));
        EXPECT_EQ(row.newAfter, KindOf(row.newName));
        if (KindOf(row.newName) == "file") {
            EXPECT_EQ(row.newContent, ContentOf(row.newName));
        }
    }
    EXPECT_EQ("inner.txt", ContentOf("d2\\inner.txt"));
    EXPECT_TRUE(LeaveFolder());
}

struct StartRow {
    const char *situation;
    const char *commandLine;
    const char *standIn;   // where the stand-in application is put, or NULL
    const char *dataFile;  // where a runnable file that is not a program is put, or NULL
    BOOL result;
    DWORD error;
};

TEST(Win32Behaviour, CreateProcessA) {
    ASSERT_TRUE(EnterFreshFolder());
    // In the last two rows the program that must start is the stand-in and the other
    // candidate is not a program: starting the wrong one fails with 193.
    const StartRow rows[] = {
        {"program missing", "<dir>\\nope.exe", NULL, NULL, FALSE, ERROR_FILE_NOT_FOUND},
        {"file that is not a program", "<dir>\\data.exe", NULL, "data.exe", FALSE, ERROR_BAD_EXE_FORMAT},
        {"folder", "<dir>\\sub", NULL, NULL, FALSE, ERROR_FILE_NOT_FOUND},
        // A start clears the last error.
        {"program", "<dir>\\app.exe", "app.exe", NULL, TRUE, ERROR_SUCCESS},
        {"unquoted name with a blank starts the shorter name that exists", "<dir>\\u\\my app\\app.exe",
         "u\\my.exe", "u\\my app\\app.exe", TRUE, ERROR_SUCCESS},
        {"quoted name with a blank starts the whole name", "\"<dir>\\q\\my app\\app.exe\"", "q\\my app\\app.exe",
         "q\\my.exe", TRUE, ERROR_SUCCESS},
    };
    int made = PutFolder("sub");
    for (const StartRow &row : rows) {
        if (row.standIn) made = made && PutStandIn(row.standIn);
        if (row.dataFile) made = made && PutDataFile(row.dataFile);
    }
    ASSERT_TRUE(Ready(made));
    for (const StartRow &row : rows) {
        SCOPED_TRACE(row.situation);
        EXPECT_TRUE(ForgetStart());
        PROCESS_INFORMATION processInformation;
        BOOL started = StartProgram(WithFolder(row.commandLine), &processInformation);
        EXPECT_EQ(row.result, started);
        EXPECT_EQ(row.error, GetLastError());
        if (!started) continue;
        EXPECT_TRUE(WaitForStart()) << "the stand-in did not start";
        EXPECT_NE(nullptr, processInformation.hProcess);
        EXPECT_NE(nullptr, processInformation.hThread);
        EXPECT_TRUE(CloseHandle(processInformation.hProcess));
        EXPECT_TRUE(CloseHandle(processInformation.hThread));
    }
    EXPECT_TRUE(LeaveFolder());
}

struct CloseRow {
    const char *situation;
    HANDLE handle;
    BOOL result;
    DWORD error;
};

TEST(Win32Behaviour, CloseHandle) {
    ASSERT_TRUE(EnterFreshFolder());
    ASSERT_TRUE(Ready(PutStandIn("app.exe")));
    PROCESS_INFORMATION processInformation;
    ASSERT_TRUE(Ready(StartProgram(WithFolder("<dir>\\app.exe"), &processInformation)));
    EXPECT_TRUE(WaitForStart());
    const CloseRow rows[] = {
        {"process handle", processInformation.hProcess, TRUE, KEPT},
        {"thread handle", processInformation.hThread, TRUE, KEPT},
        {"process handle again", processInformation.hProcess, FALSE, ERROR_INVALID_HANDLE},
        {"thread handle again", processInformation.hThread, FALSE, ERROR_INVALID_HANDLE},
        {"NULL", NULL, FALSE, ERROR_INVALID_HANDLE},
    };
    for (const CloseRow &row : rows) {
        SCOPED_TRACE(row.situation);
        SetLastError(POISON);
        EXPECT_EQ(row.result, CloseHandle(row.handle));
        EXPECT_EQ(row.error, GetLastError());
    }
    EXPECT_TRUE(LeaveFolder());
}

struct MessageRow {
    const char *situation;
    DWORD code;
    DWORD size;
    int hasText;  // 1: a nonzero count, the length of the text written
    DWORD error;
};

TEST(Win32Behaviour, FormatMessageA) {
    const MessageRow rows[] = {
        {"file not found", ERROR_FILE_NOT_FOUND, 256, 1, KEPT},
        {"path not found", ERROR_PATH_NOT_FOUND, 256, 1, KEPT},
        {"access denied", ERROR_ACCESS_DENIED, 256, 1, KEPT},
        {"sharing violation", ERROR_SHARING_VIOLATION, 256, 1, KEPT},
        {"already exists", ERROR_ALREADY_EXISTS, 256, 1, KEPT},
        {"not a program (text with an insert)", ERROR_BAD_EXE_FORMAT, 256, 1, KEPT},
        {"code without a text", 0x2000FFFF, 256, 0, ERROR_MR_MID_NOT_FOUND},
        {"buffer too small for the text", ERROR_FILE_NOT_FOUND, 5, 0, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const MessageRow &row : rows) {
        SCOPED_TRACE(row.situation);
        std::vector<char> buffer(512, 'X');
        SetLastError(POISON);
        DWORD result = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, row.code,
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer.data(), row.size, NULL);
        EXPECT_EQ(row.error, GetLastError());
        if (row.hasText) {
            EXPECT_NE(0u, result);
            EXPECT_EQ(TextIn(buffer).size(), result);
        } else {
            EXPECT_EQ(0u, result);
        }
    }
}
