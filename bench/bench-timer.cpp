// bench-timer: runs several commands in turn, round after round, and prints the
// median wall time and the peak memory of each.
//
//   bench-timer ROUNDS WARMUP_ROUNDS TIMEOUT_MS CASE...
//   CASE:   NAME FOLDER MODE SIZE COMMAND [ARGUMENT...] ';'
//   MODE:   replace  the run must put new.bin (SIZE bytes) in the place of old.bin
//                    and start the stand-in application
//           start    the run must only start the stand-in application
//
// Each round runs every case once, starting one case later than the round before,
// so that no case always follows the same neighbour. Before a run, outside the
// timing, the folder gets a fresh new.bin (first byte 'N') and old.bin (first byte
// 'O'), both SIZE bytes and sparse past the first byte. The time runs from just
// before the command is started until it has ended. After it, again outside the
// timing, every process the run started is waited for (this program adopts them as
// their subreaper), and the run is checked: exit status 0, the stand-in's record
// "standin-started.txt" present, and in replace mode old.bin holding the new copy
// with new.bin and the backup gone. A run that fails a check is reported on
// standard error and left out of the figures; the exit status is then 1.
//
// With BENCH_SAMPLES set to a file name, every measured run is also written there
// as "ROUND NAME WALL_US RSS_KIB", round 0 being the first after the warm-up.
//
// One line per case on standard output:
//   NAME runs=N failed=N median_us=N q1_us=N q3_us=N min_us=N max_us=N rss_median_kib=N rss_max_kib=N
// The rss figures are getrusage's maximum resident set of the command's process;
// the kernel counts in it the image fork copied from this program before the
// command replaced it. The command's own peak comes from a separate, untimed run:
//
//   bench-timer peak TIMEOUT_MS FOLDER SIZE COMMAND [ARGUMENT...]
//
// runs COMMAND once in replace mode, stops it as it exits (ptrace) and prints
// "peak_kib=N", its VmHWM: the peak resident set of its own image since exec.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_CASES 8
#define MAX_ROUNDS 1000
#define RECORD_NAME "standin-started.txt"

struct BenchCase {
    const char *name;
    const char *folder;
    int replaceMode;
    long long size;
    char **command;  // NULL-terminated, pointing into main's argv
    long long wallUs[MAX_ROUNDS];
    long rssKib[MAX_ROUNDS];
    int runs;
    int failed;
};

// Returns the monotonic clock in microseconds.
static long long NowUs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

// Returns 1 after a pause of the given number of milliseconds.
static int PauseMs(long milliseconds) {
    struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    return 1;
}

// Returns 1 with folder/name in path (size bytes), or 0 with ENAMETOOLONG.
static int JoinPath(const char *folder, const char *name, char *path, size_t size) {
    int length = snprintf(path, size, "%s/%s", folder, name);
    if (length < 0 || (size_t)length >= size) {
        errno = ENAMETOOLONG;
        return 0;
    }
    return 1;
}

// Returns 1 when folder/name is absent afterwards, or 0 with errno from unlink.
static int RemoveFile(const char *folder, const char *name) {
    char path[4096];
    if (!JoinPath(folder, name, path, sizeof path)) return 0;
    return unlink(path) == 0 || errno == ENOENT;
}

// Creates folder/name holding `first` then zeros up to size bytes; past the first
// byte the file is sparse. Returns 1, or 0 with errno from the failing call.
static int MakeFile(const char *folder, const char *name, char first, long long size) {
    char path[4096];
    if (!JoinPath(folder, name, path, sizeof path)) return 0;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    int ok = write(fd, &first, 1) == 1 && ftruncate(fd, (off_t)size) == 0;
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

// Returns 1 when folder/name exists, 0 otherwise (errno from stat).
static int FileExists(const char *folder, const char *name) {
    char path[4096];
    struct stat info;
    return JoinPath(folder, name, path, sizeof path) && stat(path, &info) == 0;
}

// Returns 1 when folder/name is size bytes long and starts with `first`; 0
// otherwise, with errno from the failing call (0 when the content is wrong).
static int FileHolds(const char *folder, const char *name, char first, long long size) {
    char path[4096];
    if (!JoinPath(folder, name, path, sizeof path)) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat info;
    char got = 0;
    int ok = fstat(fd, &info) == 0 && read(fd, &got, 1) == 1;
    close(fd);
    if (!ok) return 0;
    errno = 0;
    return info.st_size == size && got == first;
}

// Clears what earlier runs left in the case's folder and lays out new.bin and
// old.bin for replace mode. Returns 1, or 0 with errno from the failing call.
static int PrepareFolder(const BenchCase *c) {
    static const char *leftovers[] = {RECORD_NAME, "standin-started.tmp", "new.bin", "old.bin",
                                      "old.bin.update-backup", "autoUpdate_log.txt"};
    for (size_t i = 0; i < sizeof leftovers / sizeof leftovers[0]; i++) {
        if (!RemoveFile(c->folder, leftovers[i])) return 0;
    }
    if (!c->replaceMode) return 1;
    return MakeFile(c->folder, "new.bin", 'N', c->size) && MakeFile(c->folder, "old.bin", 'O', c->size);
}

// Waits until every process adopted from earlier runs has ended, or timeoutMs has
// passed. Returns 1 when none is left, 0 on timeout (errno ETIMEDOUT).
static int ReapDescendants(long timeoutMs) {
    long long deadline = NowUs() + timeoutMs * 1000LL;
    for (;;) {
        pid_t pid = waitpid(-1, NULL, WNOHANG);
        if (pid > 0) continue;
        if (pid < 0 && errno == ECHILD) return 1;
        if (pid < 0 && errno != EINTR) return 0;
        if (NowUs() > deadline) {
            errno = ETIMEDOUT;
            return 0;
        }
        PauseMs(1);
    }
}

// In the new process: moves into folder, points the standard streams at /dev/null
// and runs command, stopping at its start for the caller to trace it when traced
// is 1. Never returns.
static void RunCommand(const BenchCase *c, int traced) {
    int devNull = open("/dev/null", O_RDWR);
    if (chdir(c->folder) != 0 || devNull < 0) _exit(126);
    if (traced && ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) _exit(126);
    dup2(devNull, 0);
    dup2(devNull, 1);
    dup2(devNull, 2);
    if (devNull > 2) close(devNull);
    execvp(c->command[0], c->command);
    _exit(127);
}

// Returns 1 after checking the finished run of case c that ended with status: exit
// status 0, the stand-in's record present and, in replace mode, old.bin holding
// the new copy alone. Returns 0 after reporting the failed check on standard error.
static int CheckRun(const BenchCase *c, int status) {
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench-timer: %s: command ended with status 0x%x\n", c->name, status);
        return 0;
    }
    if (!FileExists(c->folder, RECORD_NAME)) {
        fprintf(stderr, "bench-timer: %s: the stand-in application left no record\n", c->name);
        return 0;
    }
    if (c->replaceMode &&
        (FileExists(c->folder, "new.bin") || FileExists(c->folder, "old.bin.update-backup") ||
         !FileHolds(c->folder, "old.bin", 'N', c->size))) {
        fprintf(stderr, "bench-timer: %s: old.bin does not hold the new copy alone\n", c->name);
        return 0;
    }
    return 1;
}

// Runs the case once and checks it. Returns 1 with the wall time and the peak
// resident set of the command's own process, or 0 after reporting why on standard
// error.
static int RunOnce(const BenchCase *c, long timeoutMs, long long *wallUs, long *rssKib) {
    if (!PrepareFolder(c)) {
        fprintf(stderr, "bench-timer: %s: preparing %s: %s\n", c->name, c->folder, strerror(errno));
        return 0;
    }
    long long start = NowUs();
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "bench-timer: %s: fork: %s\n", c->name, strerror(errno));
        return 0;
    }
    if (pid == 0) RunCommand(c, 0);
    int status = 0;
    struct rusage usage;
    pid_t ended;
    do {
        ended = wait4(pid, &status, 0, &usage);
    } while (ended < 0 && errno == EINTR);
    *wallUs = NowUs() - start;
    *rssKib = usage.ru_maxrss;
    if (!ReapDescendants(timeoutMs)) {
        fprintf(stderr, "bench-timer: %s: processes started by the run still running after %ld ms\n",
                c->name, timeoutMs);
        return 0;
    }
    if (ended != pid) {
        fprintf(stderr, "bench-timer: %s: wait4: %s\n", c->name, strerror(errno));
        return 0;
    }
    return CheckRun(c, status);
}

// Returns process pid's peak resident set in KiB (VmHWM), or -1 with errno from
// reading /proc.
static long PeakResidentKib(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *status = fopen(path, "r");
    if (status == NULL) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, status) != NULL) {
        if (sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    fclose(status);
    if (kib < 0) errno = ENODATA;
    return kib;
}

// Runs case c once under ptrace and reads its VmHWM when it stops on its way out.
// Returns 1 with the figure in *peakKib, or 0 after reporting why on standard error.
static int MeasurePeak(const BenchCase *c, long timeoutMs, long *peakKib) {
    if (!PrepareFolder(c)) {
        fprintf(stderr, "bench-timer: %s: preparing %s: %s\n", c->name, c->folder, strerror(errno));
        return 0;
    }
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "bench-timer: %s: fork: %s\n", c->name, strerror(errno));
        return 0;
    }
    if (pid == 0) RunCommand(c, 1);
    *peakKib = -1;
    int status = 0;
    int tracingExit = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "bench-timer: %s: waitpid: %s\n", c->name, strerror(errno));
            return 0;
        }
        if (!WIFSTOPPED(status)) break;
        int signal = WSTOPSIG(status);
        if (signal == SIGTRAP && (status >> 16) == PTRACE_EVENT_EXIT) {
            *peakKib = PeakResidentKib(pid);
            signal = 0;
        } else if (signal == SIGTRAP && !tracingExit) {
            // The stop at exec: from here on, stop once more on the way out.
            ptrace(PTRACE_SETOPTIONS, pid, NULL, (void *)(long)(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
            tracingExit = 1;
            signal = 0;
        }
        ptrace(PTRACE_CONT, pid, NULL, (void *)(long)signal);
    }
    if (!ReapDescendants(timeoutMs)) {
        fprintf(stderr, "bench-timer: %s: processes started by the run still running after %ld ms\n",
                c->name, timeoutMs);
        return 0;
    }
    if (!CheckRun(c, status)) return 0;
    if (*peakKib < 0) {
        fprintf(stderr, "bench-timer: %s: no VmHWM read at exit\n", c->name);
        return 0;
    }
    return 1;
}

// Returns the order comparison of two long long values for qsort.
static int CompareLongLong(const void *a, const void *b) {
    long long x = *(const long long *)a;
    long long y = *(const long long *)b;
    return (x > y) - (x < y);
}

// Returns the value at quantile numerator/denominator of the count sorted values,
// interpolating linearly between the two nearest ranks.
static long long Quantile(const long long *sorted, int count, int numerator, int denominator) {
    long long scaled = (long long)(count - 1) * numerator;
    int low = (int)(scaled / denominator);
    long long fraction = scaled % denominator;
    if (low + 1 >= count) return sorted[count - 1];
    return sorted[low] + (sorted[low + 1] - sorted[low]) * fraction / denominator;
}

// Prints the case's figures line. Returns 1.
static int PrintFigures(const BenchCase *c) {
    static long long sorted[MAX_ROUNDS];
    static long long rss[MAX_ROUNDS];
    int n = c->runs;
    printf("%s runs=%d failed=%d", c->name, n, c->failed);
    if (n > 0) {
        memcpy(sorted, c->wallUs, sizeof sorted[0] * (size_t)n);
        qsort(sorted, (size_t)n, sizeof sorted[0], CompareLongLong);
        for (int i = 0; i < n; i++) rss[i] = c->rssKib[i];
        qsort(rss, (size_t)n, sizeof rss[0], CompareLongLong);
        printf(" median_us=%lld q1_us=%lld q3_us=%lld min_us=%lld max_us=%lld rss_median_kib=%lld rss_max_kib=%lld",
               Quantile(sorted, n, 1, 2), Quantile(sorted, n, 1, 4), Quantile(sorted, n, 3, 4), sorted[0],
               sorted[n - 1], Quantile(rss, n, 1, 2), rss[n - 1]);
    }
    printf("\n");
    return 1;
}

// Returns 2 after printing how to call this program on standard error.
static int Usage(void) {
    fprintf(stderr, "usage: bench-timer ROUNDS WARMUP_ROUNDS TIMEOUT_MS "
                    "NAME FOLDER replace|start SIZE COMMAND [ARGUMENT...] ';' ...\n"
                    "       bench-timer peak TIMEOUT_MS FOLDER SIZE COMMAND [ARGUMENT...]\n");
    return 2;
}

// Reads the cases from args (count strings) into cases. Returns the number of
// cases, or 0 when the list is malformed.
static int ParseCases(int count, char **args, BenchCase *cases) {
    int n = 0;
    int i = 0;
    while (i < count) {
        if (n == MAX_CASES || count - i < 6) break;
        BenchCase *c = &cases[n];
        memset(c, 0, sizeof *c);
        c->name = args[i];
        c->folder = args[i + 1];
        if (strcmp(args[i + 2], "replace") != 0 && strcmp(args[i + 2], "start") != 0) break;
        c->replaceMode = strcmp(args[i + 2], "replace") == 0;
        c->size = atoll(args[i + 3]);
        if (c->size < 1) break;
        c->command = &args[i + 4];
        int end = i + 4;
        while (end < count && strcmp(args[end], ";") != 0) end++;
        if (end == count || end == i + 4) break;
        args[end] = NULL;
        i = end + 1;
        n++;
    }
    return i < count ? 0 : n;
}

// Returns 0 when every run passed its checks, 1 otherwise, 2 on bad arguments.
int main(int argc, char **argv) {
    static BenchCase cases[MAX_CASES];
    // Adopting the processes each run starts lets us wait for them to end, so that
    // one run's application never competes with the next run.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (argc >= 6 && strcmp(argv[1], "peak") == 0) {
        BenchCase *c = &cases[0];
        c->name = "peak";
        c->folder = argv[3];
        c->replaceMode = 1;
        c->size = atoll(argv[4]);
        c->command = &argv[5];
        long peakKib = 0;
        if (c->size < 1 || !MeasurePeak(c, atol(argv[2]), &peakKib)) return 1;
        printf("peak_kib=%ld\n", peakKib);
        return 0;
    }
    if (argc < 4) return Usage();
    int rounds = atoi(argv[1]);
    int warmup = atoi(argv[2]);
    long timeoutMs = atol(argv[3]);
    if (rounds < 1 || rounds > MAX_ROUNDS || warmup < 0 || timeoutMs < 1) return Usage();
    int caseCount = ParseCases(argc - 4, argv + 4, cases);
    if (caseCount == 0) return Usage();
    const char *samplesName = getenv("BENCH_SAMPLES");
    FILE *samples = samplesName != NULL ? fopen(samplesName, "w") : NULL;
    if (samplesName != NULL && samples == NULL) {
        fprintf(stderr, "bench-timer: %s: %s\n", samplesName, strerror(errno));
        return 2;
    }
    int anyFailed = 0;
    for (int round = 0; round < warmup + rounds; round++) {
        for (int k = 0; k < caseCount; k++) {
            BenchCase *c = &cases[(round + k) % caseCount];
            long long wallUs = 0;
            long rssKib = 0;
            int ok = RunOnce(c, timeoutMs, &wallUs, &rssKib);
            if (!ok) anyFailed = 1;
            if (round < warmup) continue;
            if (!ok) {
                c->failed++;
                continue;
            }
            c->wallUs[c->runs] = wallUs;
            c->rssKib[c->runs] = rssKib;
            c->runs++;
            if (samples != NULL) fprintf(samples, "%d %s %lld %ld\n", round - warmup, c->name, wallUs, rssKib);
        }
    }
    if (samples != NULL) fclose(samples);
    for (int k = 0; k < caseCount; k++) PrintFigures(&cases[k]);
    return anyFailed;
}
