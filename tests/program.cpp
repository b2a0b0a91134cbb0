#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char **environ;

#ifndef PROGRAM_LAUNCHER
#define PROGRAM_LAUNCHER ""
#endif

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe()
    {
        if (pipe2(fd, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    }
    ~Pipe()
    {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int i)
    {
        if (fd[i] >= 0)
            close(fd[i]);
        fd[i] = -1;
    }
};

} // namespace

std::vector<std::string> ownProgram(const char *path, std::vector<std::string> args)
{
    std::vector<std::string> argv;
    std::istringstream launcher(PROGRAM_LAUNCHER);
    for (std::string word; launcher >> word;)
        argv.push_back(word);
    argv.push_back(path);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

ProgramRun runProgram(const ProgramCall &call)
{
    // A program that exits without reading its input must fail the test,
    // not kill the test process.
    signal(SIGPIPE, SIG_IGN);
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
    if (call.stdoutFile != nullptr)
        posix_spawn_file_actions_addopen(&actions, 1, call.stdoutFile, O_WRONLY | O_TRUNC | O_CREAT, 0600);
    else
        posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);

    std::vector<char *> argv;
    for (const auto &arg : call.argv)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + call.argv[0] + ": " + strerror(rc));
    in.closeEnd(0);
    out.closeEnd(1);
    err.closeEnd(1);

    // Feed and drain at once, so that neither side can block the other.
    ProgramRun run;
    size_t written = 0;
    if (call.input.empty())
        in.closeEnd(1);
    while (in.fd[1] >= 0 || out.fd[0] >= 0 || err.fd[0] >= 0) {
        pollfd fds[3] = {{in.fd[1], POLLOUT, 0}, {out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("poll: ") + strerror(errno));
        }
        if (fds[0].revents != 0) {
            ssize_t n = write(in.fd[1], call.input.data() + written, call.input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n < 0 || written == call.input.size())
                in.closeEnd(1);
        }
        Pipe *sources[2] = {&out, &err};
        std::string *sinks[2] = {&run.out, &run.err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i + 1].revents == 0)
                continue;
            char chunk[65536];
            ssize_t n = read(sources[i]->fd[0], chunk, sizeof chunk);
            if (n > 0)
                sinks[i]->append(chunk, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                sources[i]->closeEnd(0);
        }
    }

    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}
