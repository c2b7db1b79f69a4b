#include "run-driver.h"

#include "diagnostics/diagnostics.h"

int RunDriverArgv(std::vector<std::string> words) {
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    isShowErrorMessage = 0;
    return RunFinishUpdate((int)words.size(), argv.data());
}

int RunDriver(const std::vector<std::string> &arguments) {
    std::vector<std::string> words = {"finish-update"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    return RunDriverArgv(words);
}
