#include "program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

#ifndef PROGRAM_LAUNCHER
#define PROGRAM_LAUNCHER ""
#endif

namespace {

// A temporary file for one of the program's standard streams; a file rather
// than a pipe, so that nothing can block however much either side writes.
struct TempFile {
    std::string path = "/tmp/program_XXXXXX";
    explicit TempFile(const std::string &contents = "")
    {
        int fd = mkstemp(path.data());
        if (fd < 0)
            throw std::runtime_error(std::string("mkstemp: ") + strerror(errno));
        close(fd);
        std::ofstream(path, std::ios::binary) << contents;
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string contents() const
    {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }
};

} // namespace

std::vector<std::string> builtProgram(const char *path, std::vector<std::string> args, const char *launcherLine)
{
    std::vector<std::string> argv;
    std::istringstream launcher(launcherLine != nullptr ? launcherLine : PROGRAM_LAUNCHER);
    for (std::string word; launcher >> word;)
        argv.push_back(word);
    argv.push_back(path);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<std::string> ownProgram(const char *path, std::vector<std::string> args)
{
    const char *folder = getenv("SEALPOST_PROGRAMS");
    if (folder == nullptr)
        return builtProgram(path, std::move(args));
    std::string name = path;
    std::string other = folder + name.substr(name.rfind('/'));
    const char *launcher = getenv("SEALPOST_LAUNCHER");
    return builtProgram(other.c_str(), std::move(args), launcher != nullptr ? launcher : "");
}

ProgramRun runProgram(const ProgramCall &call)
{
    TempFile in(call.input), out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, call.stdinFile != nullptr ? call.stdinFile : in.path.c_str(),
                                     O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, call.stdoutFile != nullptr ? call.stdoutFile : out.path.c_str(),
                                     O_WRONLY | O_TRUNC | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.path.c_str(), O_WRONLY | O_TRUNC, 0);

    std::vector<char *> argv;
    for (const auto &arg : call.argv)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + call.argv[0] + ": " + strerror(rc));
    if (call.whileRunning)
        call.whileRunning(pid);
    int status;
    struct rusage usage = {};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }

    ProgramRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.maxRssKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (call.stdoutFile == nullptr)
        run.out = out.contents();
    run.err = err.contents();
    return run;
}
