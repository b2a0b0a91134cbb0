#include "std_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <errno.h>

namespace {

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

} // namespace

StdStreams guardStdStreams(void)
{
    bool outputOpen = isOpen(STDOUT_FILENO);
    const int replaced[] = {STDIN_FILENO, STDERR_FILENO};
    for (int fd : replaced) {
        if (isOpen(fd))
            continue;
        // With standard output closed too, open() may return 1 rather than fd.
        int null = open("/dev/null", O_RDWR);
        if (null < 0)
            return stdStreamsUnsafe;
        if (null != fd) {
            int moved = dup2(null, fd);
            int error = errno;
            close(null);
            if (moved < 0) {
                errno = error;
                return stdStreamsUnsafe;
            }
        }
    }
    return outputOpen ? stdStreamsOpen : stdOutputClosed;
}
