// Names that do not fit the program's 260-byte buffers: a current directory too long
// for its buffer (which then stays empty, so the names stay relative) and names that
// no longer fit once joined to the directory or given the backup suffix. Each has a
// defined outcome, never a crash: the update done, or the fourth attempt's boxes and
// exit status 1 with the files untouched.
#include <gtest/gtest.h>

#include "sweep-support.h"

namespace {

// Returns an absolute folder name of exactly length bytes (length >= 2).
std::string FolderOfLength(size_t length) {
    std::string folder = "/";
    while (folder.size() < length) {
        // Parts of 60 bytes, as deep folders have.
        size_t part = std::min<size_t>(60, length - folder.size());
        if (folder.size() > 1) {
            folder += '/';
            part = std::min<size_t>(60, length - folder.size());
            if (part == 0) {
                folder.back() = 'x';
                break;
            }
        }
        folder.append(part, 'd');
    }
    return folder;
}

// Returns name padded to length bytes: the padding goes after the first '/', or in
// front of a name without one.
std::string Padded(const std::string &name, size_t length) {
    size_t slash = name.find('/');
    size_t at = slash == std::string::npos ? 0 : slash + 1;
    return name.substr(0, at) + std::string(length - name.size(), 'p') + name.substr(at);
}

struct ExpectedOutcome {
    int status;
    const char *context;  // the fourth attempt's box, NULL for a run that succeeds
    DWORD code;
    bool updated;         // the new copy is in place, else both files are untouched
};

// Checks the run just made from a layout with the new copy and the old file.
void ExpectOutcome(const std::string &source, const std::string &destination, int status,
                   const ExpectedOutcome &expected) {
    EXPECT_EQ(status, expected.status);
    if (expected.context == NULL) {
        EXPECT_TRUE(FakeBoxes().empty());
        EXPECT_EQ(FakeStartedCommandLines().size(), 1u);
    } else {
        ASSERT_EQ(FakeBoxes().size(), 2u);
        EXPECT_EQ(FakeBoxes()[0].text, BoxText(expected.context, expected.code));
        EXPECT_EQ(FakeBoxes()[1].text, BoxText(kRetriesExhausted, expected.code));
    }
    if (expected.updated) {
        EXPECT_EQ(FakeContent(destination), kNewContent);
        EXPECT_FALSE(FakeExists(source));
    } else {
        EXPECT_EQ(FakeContent(destination), kOldContent);
        EXPECT_EQ(FakeContent(source), kNewContent);
    }
    EXPECT_FALSE(FakeExists(BackupOf(destination)));
}

struct LongDirectory {
    size_t length;
    ExpectedOutcome outcome;
};

// With the fixed names: "/resources/app.asar" adds 19 bytes, the backup suffix 14.
const LongDirectory kLongDirectories[] = {
    {226, {0, NULL, 0, true}},                                    // the backup name has 259 bytes
    {227, {1, kOldFileFailed, ERROR_FILENAME_EXCED_RANGE, false}},  // ... 260: no room for it
    {240, {1, kOldFileFailed, ERROR_FILENAME_EXCED_RANGE, false}},  // the destination has 259
    {241, {1, kRenameFailed, ERROR_FILE_NOT_FOUND, false}},         // joins fail: names left empty
    {259, {1, kRenameFailed, ERROR_FILE_NOT_FOUND, false}},         // the longest directory read
    {260, {0, NULL, 0, true}},     // too long to read: the names stay relative
    {262, {0, NULL, 0, true}},
    {1100, {0, NULL, 0, true}},
};

TEST(LongPaths, CurrentDirectoryTooLongForTheBuffersHasADefinedOutcome) {
    for (const LongDirectory &row : kLongDirectories) {
        SCOPED_TRACE("current directory of " + std::to_string(row.length) + " bytes");
        Layout layout = TypicalLayout();
        layout.currentDirectory = FolderOfLength(row.length);
        ASSERT_EQ(layout.currentDirectory.size(), row.length);
        layout.source = layout.currentDirectory + "/resources/app1.txt";
        layout.destination = layout.currentDirectory + "/resources/app.asar";
        layout.application = layout.currentDirectory + "/quillbrook.exe";
        SetUpLayout(layout);
        ContentWatch watch;
        int status = RunWatched(layout, &watch);
        EXPECT_EQ(watch.violation, "");
        ExpectOutcome(layout.source, layout.destination, status, row.outcome);
        if (row.length >= MAX_PATH) {
            // The directory could not be read into the buffer: it is logged empty and
            // the application is started by its relative name.
            EXPECT_NE(ReadRunLog().find("my_exePath1: \n"), std::string::npos);
            ASSERT_EQ(FakeStartedCommandLines().size(), 1u);
            EXPECT_EQ(FakeStartedCommandLines()[0], "quillbrook.exe");
        }
    }
}

struct LongName {
    const char *title;
    // The lengths of the three names once joined to "/app"; 0 keeps the usual name.
    size_t source, destination, application;
    bool absolute;  // the names are given whole rather than relative to "/app"
    ExpectedOutcome outcome;
};

const LongName kLongNames[] = {
    {"new copy named whole in 259 bytes", 259, 0, 0, true, {0, NULL, 0, true}},
    {"new copy of 259 bytes once joined", 259, 0, 0, false, {0, NULL, 0, true}},
    // A new copy whose name cannot be formed counts as not there: the application is
    // started as it is, and the update waits for the next time.
    {"new copy of 260 bytes once joined", 260, 0, 0, false, {0, NULL, 0, false}},
    {"new copy of 1,000 bytes", 1000, 0, 0, true, {0, NULL, 0, false}},
    {"destination whose backup name has 259 bytes", 0, 245, 0, false, {0, NULL, 0, true}},
    {"destination whose backup name has 260 bytes", 0, 246, 0, false,
     {1, kOldFileFailed, ERROR_FILENAME_EXCED_RANGE, false}},
    {"destination of 259 bytes", 0, 259, 0, true, {1, kOldFileFailed, ERROR_FILENAME_EXCED_RANGE, false}},
    {"destination of 261 bytes once joined", 0, 261, 0, false, {1, kRenameFailed, ERROR_PATH_NOT_FOUND, false}},
    {"destination of 1,000 bytes", 0, 1000, 0, true, {1, kRenameFailed, ERROR_PATH_NOT_FOUND, false}},
    {"application of 255 bytes, quoted", 0, 0, 255, false, {0, NULL, 0, true}},
    {"application of 262 bytes once joined", 0, 0, 262, false, {1, kStartFailed, ERROR_FILE_NOT_FOUND, true}},
    {"application of 1,000 bytes", 0, 0, 1000, true, {1, kStartFailed, ERROR_FILE_NOT_FOUND, true}},
};

TEST(LongPaths, NamesThatNoLongerFitOnceJoinedHaveADefinedOutcome) {
    for (const LongName &row : kLongNames) {
        SCOPED_TRACE(row.title);
        Layout layout = TypicalLayout();
        std::string names[3] = {"/app/update/app.asar.new", "/app/resources/app.asar", "/app/Quill Brook.exe"};
        size_t lengths[3] = {row.source, row.destination, row.application};
        for (int i = 0; i < 3; i++) {
            if (lengths[i] != 0) names[i] = "/app/" + Padded(names[i].substr(5), lengths[i] - 5);
            // Relative names lose "/app/"; the program joins it back.
            layout.arguments.push_back(row.absolute ? names[i] : names[i].substr(5));
        }
        layout.source = names[0];
        layout.destination = names[1];
        layout.application = names[2];
        SetUpLayout(layout);
        ContentWatch watch;
        int status = RunWatched(layout, &watch);
        EXPECT_EQ(watch.violation, "");
        ExpectOutcome(layout.source, layout.destination, status, row.outcome);
        if (row.outcome.status == 0) {
            // A name with a blank that names a file is started quoted.
            ASSERT_EQ(FakeStartedCommandLines().size(), 1u);
            EXPECT_EQ(FakeStartedCommandLines()[0], "\"" + layout.application + "\"");
        }
    }
}

}  // namespace
