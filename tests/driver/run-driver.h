// The driver as the tests call it: main.cpp's main, compiled under another name, run
// in-process as one whole run of the program would be.
#ifndef FINISH_UPDATE_RUN_DRIVER_H
#define FINISH_UPDATE_RUN_DRIVER_H

#include <string>
#include <vector>

// main.cpp's main, compiled under this name for the tests.
int RunFinishUpdate(int argc, char **argv);

// Returns the exit status of one whole run with this argument vector, argv[0]
// included (it may be empty); isShowErrorMessage is reset first, as a new process
// has it.
int RunDriverArgv(std::vector<std::string> words);

// Returns the exit status of one whole run with "finish-update" as argv[0] followed
// by arguments.
int RunDriver(const std::vector<std::string> &arguments);

#endif
