// Runs a program to completion and collects what it wrote and how it ended.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct ProgramRun {
    std::string out;
    std::string err;
    int status = -1;    // exit status, or 128 + signal number
    long maxRssKiB = 0; // the most memory it held (under an emulator, the emulator's)
    double seconds = 0; // from start to end
};

struct ProgramCall {
    std::vector<std::string> argv;
    std::string input;                // written to its standard input
    const char *stdoutFile = nullptr; // standard output goes here instead of a pipe
    const char *stdinFile = nullptr;  // standard input comes from here instead of input
    std::function<void(pid_t)> whileRunning = nullptr; // called once it has started
};

ProgramRun runProgram(const ProgramCall &call);

// The command line that starts one of this build's programs: the emulator
// first when the build is for another machine, or launcherLine when given.
std::vector<std::string> builtProgram(const char *path, std::vector<std::string> args,
                                      const char *launcherLine = nullptr);

// The same, unless the tables run against other builds of the programs (the
// static ones for boards): then SEALPOST_PROGRAMS names the folder that holds
// them and SEALPOST_LAUNCHER, empty or unset for none, the command line that
// starts them.
std::vector<std::string> ownProgram(const char *path, std::vector<std::string> args);
