#include "systemd.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int socketsFromSystemd(void)
{
    const char *pid = getenv("LISTEN_PID");
    const char *fds = getenv("LISTEN_FDS");
    int count = 0;
    if (pid != nullptr && fds != nullptr && strtol(pid, nullptr, 10) == static_cast<long>(getpid()))
        count = static_cast<int>(strtol(fds, nullptr, 10));
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    for (int fd = systemdFirstSocket; fd < systemdFirstSocket + count; ++fd)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    return count > 0 ? count : 0;
}

void notifySystemd(const char *apState)
{
    const char *path = getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@'))
        return;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    size_t length = strlen(path);
    if (length >= sizeof address.sun_path)
        return;
    memcpy(address.sun_path, path, length);
    // A leading '@' names an abstract socket, whose name starts with a zero byte.
    if (path[0] == '@')
        address.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sendto(fd, apState, strlen(apState), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    close(fd);
}

void reportReload(unsigned long long aCount, bool aRead, const char *apLine)
{
    const char *folder = getenv("RUNTIME_DIRECTORY");
    if (folder == nullptr || *folder == '\0')
        return;
    char path[PATH_MAX];
    char partial[PATH_MAX];
    char line[640];
    int pathLength = snprintf(path, sizeof path, "%s/reloaded", folder);
    int partialLength = snprintf(partial, sizeof partial, "%s/reloaded.new", folder);
    int lineLength = snprintf(line, sizeof line, "%llu %s: %s\n", aCount, aRead ? "read" : "refused", apLine);
    if (pathLength < 0 || static_cast<size_t>(pathLength) >= sizeof path || partialLength < 0 ||
        static_cast<size_t>(partialLength) >= sizeof partial || lineLength < 0)
        return;
    // A line too long for the buffer is cut, its line break kept.
    size_t length = static_cast<size_t>(lineLength) < sizeof line ? static_cast<size_t>(lineLength) : sizeof line - 1;
    line[length - 1] = '\n';
    int fd = open(partial, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return;
    bool written = write(fd, line, length) == static_cast<ssize_t>(length);
    if (close(fd) != 0 || !written || rename(partial, path) != 0)
        unlink(partial);
}
