#include "process_http.h"

#include <sys/socket.h>
#include <unistd.h>

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr size_t kChunk = 4096;

// The template's fixed characters number 93 and the body length has at most
// 20 digits, so the request and its terminator always fit in the
// L + 113 + 10 bytes the formatting may use.
constexpr size_t kRequestOverhead = 113;

// Sends all of the request; the peer going away is a failure to report, not
// a SIGPIPE that ends the process.
bool sendAll(int sockfd, const char *apData, size_t length)
{
    while (length > 0) {
        ssize_t sent = send(sockfd, apData, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        apData += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

// Copies the answer to standard output as it arrives; returns 0 when the
// server has closed the connection and -1 on a failed read or write.
int relay(int sockfd)
{
    char buffer[kChunk];
    for (;;) {
        ssize_t received = read(sockfd, buffer, sizeof buffer);
        if (received == 0)
            break;
        if (received < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "read error on the connection: %s", strerror(errno));
            return -1;
        }
        if (fwrite(buffer, 1, static_cast<size_t>(received), stdout) != static_cast<size_t>(received))
            break;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "write error on standard output: %s", strerror(errno));
        return -1;
    }
    return 0;
}

} // namespace

int process_http(int sockfd, const char *host, const char *page, const char *poststr)
{
    size_t bodyLength = strlen(poststr);
    size_t textLength = strlen(host) + strlen(page) + bodyLength;
    char *request = nullptr;
    if (textLength <= SIZE_MAX - kRequestOverhead - 11)
        request = static_cast<char *>(malloc(textLength + kRequestOverhead + 11));
    int length = -1;
    if (request != nullptr)
        length = snprintf(request, textLength + kRequestOverhead + 10,
                          "POST %s HTTP/1.0\r\n"
                          "Host: %s\r\n"
                          "Content-type: application/x-www-form-urlencoded\r\n"
                          "Content-length: %zu\r\n"
                          "\r\n"
                          "%s",
                          page, host, bodyLength, poststr);
    if (length < 0) {
        fprintf(stderr, "could not build post string due to allocation error");
        free(request);
        return -1;
    }

    int result;
    if (!sendAll(sockfd, request, static_cast<size_t>(length))) {
        fprintf(stderr, "read reported system error");
        result = -1;
    } else {
        result = relay(sockfd);
    }
    free(request);
    return result;
}

void loggingFunc(const char *format, ...)
{
    if (format == nullptr)
        return;
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stdout, format, arguments);
    va_end(arguments);
}
