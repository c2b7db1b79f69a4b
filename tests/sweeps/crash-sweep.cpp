// Crash sweep: a run is stopped right after each of its platform calls in turn, as a
// power cut or a kill would stop it, and the program is run again. Whatever the stop
// point, the next run must finish the update, and no call of either run may leave the
// application's file content missing.
//
// How a stop is made: the fake keeps the whole file system in memory and acts on
// each call at once, nothing buffered, and a run over it is deterministic. The calls
// up to k are therefore the same whether or not the run goes on after call k, and the
// files a kill right after call k leaves are exactly the files the uninterrupted run
// has right after call k. So one uninterrupted run, with a copy of the file system
// taken after every call, gives every stop point, and each next run starts from one
// copy as a new process would. This needs neither fork nor longjmp out of the fake's
// frames; nothing else of a stopped run survives a real stop either (the run log is
// rewritten by every run, and a started application is simply started again).
#include <stdio.h>

#include <gtest/gtest.h>

#include "sweep-support.h"

namespace {

typedef std::map<std::string, FakeEntry> Files;

struct SweepFigures {
    int stopPoints = 0;
    int runs = 0;
};

// Returns the exit status of a run from files, with the files after each of its
// calls in snapshots and the content check made after every call. On entry,
// watch->newCopyCame says whether an earlier run already had the new copy.
int RunRecording(const Layout &layout, const Files &files, ContentWatch *watch, std::vector<Files> *snapshots) {
    RestoreFiles(layout.currentDirectory, files);
    bool newCopyCame = watch->newCopyCame;
    *watch = WatchFor(layout);
    watch->newCopyCame |= newCopyCame;
    FakeSetCallHook([&](size_t index, const FakeCall &call) {
        CheckContent(watch, index, call);
        snapshots->push_back(FakeFiles());
    });
    int status = RunDriver(layout.arguments);
    FakeSetCallHook(nullptr);
    return status;
}

// Checks that the run just made, from a stop at `where`, finished the update.
void ExpectUpdateFinished(const Layout &layout, int status, const ContentWatch &watch, const std::string &where) {
    SCOPED_TRACE(std::string(layout.title) + ": " + where);
    EXPECT_EQ(watch.violation, "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(FakeContent(layout.destination), kNewContent);
    EXPECT_FALSE(FakeExists(layout.source));
    EXPECT_FALSE(FakeExists(BackupOf(layout.destination)));
    EXPECT_EQ(FakeStartedCommandLines().size(), 1u);
    EXPECT_TRUE(FakeBoxes().empty());
    // Nothing fails in this run, so the first attempt must do it.
    EXPECT_EQ(FakeSleeps().size(), 1u);
}

// Returns a short name for call number index of the last run, for messages.
std::string CallName(const std::vector<FakeCall> &calls, size_t index) {
    return "#" + std::to_string(index) + " " + calls[index].operation + "(" + calls[index].arguments + ")";
}

// Runs the program from files and stops it after each of its calls in turn. From
// each stop, while depth > 1, the next run is swept the same way (a run that finds
// an interrupted run's files, itself interrupted); at depth 1 the next run goes to
// the end and must finish the update. `where` names the stops made so far.
void SweepStops(const Layout &layout, const Files &files, bool newCopyCame, int depth, const std::string &where,
                SweepFigures *figures) {
    ContentWatch watch;
    watch.newCopyCame = newCopyCame;
    std::vector<Files> snapshots;
    int status = RunRecording(layout, files, &watch, &snapshots);
    figures->runs++;
    std::vector<FakeCall> calls = FakeCalls();
    // The uninterrupted run itself must finish the update too.
    ExpectUpdateFinished(layout, status, watch, where + "no stop");
    for (size_t k = 0; k < snapshots.size(); k++) {
        std::string stop = where + "stop after " + CallName(calls, k) + ", ";
        figures->stopPoints++;
        if (depth > 1) {
            SweepStops(layout, snapshots[k], true, depth - 1, stop, figures);
            continue;
        }
        ContentWatch again;
        again.newCopyCame = true;
        std::vector<Files> unused;
        int rerun = RunRecording(layout, snapshots[k], &again, &unused);
        figures->runs++;
        ExpectUpdateFinished(layout, rerun, again, stop + "then run again");
    }
}

// Every stop point of a run, and every stop point of the run that follows each of
// them; after both, a run to the end must finish the update.
TEST(CrashSweep, EveryStopPointOfTwoRunsInARowIsRecoveredByTheNextRun) {
    const Layout layouts[] = {TypicalLayout(), NamedLayout(), InterruptedLayout()};
    int totalStops = 0;
    for (const Layout &layout : layouts) {
        SetUpLayout(layout);
        Files start = FakeFiles();
        SweepFigures figures;
        SweepStops(layout, start, false, 2, "", &figures);
        printf("crash sweep, %s: %d stop points, %d runs\n", layout.title, figures.stopPoints, figures.runs);
        totalStops += figures.stopPoints;
        if (HasFailure()) break;
    }
    printf("crash sweep: %d stop points in all\n", totalStops);
}

}  // namespace
