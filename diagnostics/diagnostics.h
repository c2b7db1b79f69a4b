// How finish-update tells what happened: error boxes, shown only once failures are
// meant to be seen, and the run log "autoUpdate_log.txt".
#ifndef FINISH_UPDATE_DIAGNOSTICS_H
#define FINISH_UPDATE_DIAGNOSTICS_H

#include <stdio.h>

// Nonzero lets ShowErrorMessage show its box; 0 at start, set by the driver only.
extern int isShowErrorMessage;

// The run log, opened and closed by the driver; NULL when it could not be created.
extern FILE *logFile;

// The run log's file name, relative to the current directory.
#define RUN_LOG_NAME "./autoUpdate_log.txt"

// Shows the error box for context (a code page 936 text) with the thread's last
// error, when isShowErrorMessage is set; returns at once otherwise. Returns after
// the box has been closed.
void ShowErrorMessage(const char *context);

// Writes one formatted line to the run log; does nothing when the log is not open.
void WriteLog(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
