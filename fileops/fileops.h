// Path resolution and the replace-and-start sequence of one update attempt.
#ifndef FINISH_UPDATE_FILEOPS_H
#define FINISH_UPDATE_FILEOPS_H

#include "platform.h"

// Suffix of the name the old file is kept under until the new copy is in place.
#define BACKUP_SUFFIX ".update-backup"

// Returns what GetCurrentDirectoryA returns for buffer and length: the directory's
// length, the size needed when the buffer is too small, or 0 on failure with the code.
DWORD GetWorkingDirectory(char *buffer, DWORD length);

// Fills fullPath (MAX_PATH bytes) with name joined to the current directory and
// logs the directory. Returns 1, or 0 after reporting the failure, with the failing
// call's code; fullPath is untouched when the directory could not be read.
int BuildFullPath(const char *name, char *fullPath);

// Makes one attempt to put srcPath in the place of dstPath and start exePath. The
// old file is kept under dstPath + BACKUP_SUFFIX until the new copy is in place and
// is put back when it cannot be. Returns 1 once the application has started, or 0
// after reporting the failure, with the failing call's code in the last error.
int RenameAndLaunch(const char *srcPath, const char *dstPath, const char *exePath);

// Starts commandLine as a new process without waiting for it; a path with blanks is
// quoted first. Returns 1, or 0 after reporting the
// failure, with CreateProcessA's code in the last error.
int StartApplication(const char *commandLine);

#endif
