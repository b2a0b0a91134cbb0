#include "systemd.h"

#include <fcntl.h>
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
