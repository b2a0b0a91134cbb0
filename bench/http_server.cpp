// bench_http_server: answers every request on 127.0.0.1:80, one at a time.
// POST /N (or GET /N) gets a body of N bytes; the connection is closed after
// each answer, as HTTP/1.0 does. Prints "ready" once it listens.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads the request head and as much of the body as its Content-Length
// announces; returns the requested answer size.
size_t readRequest(int fd)
{
    std::string request;
    char chunk[65536];
    size_t headEnd = std::string::npos;
    size_t bodyLength = 0;
    for (;;) {
        if (headEnd != std::string::npos && request.size() >= headEnd + 4 + bodyLength)
            break;
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        request.append(chunk, static_cast<size_t>(n));
        if (headEnd == std::string::npos && (headEnd = request.find("\r\n\r\n")) != std::string::npos) {
            std::string head = request.substr(0, headEnd);
            std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return tolower(c); });
            size_t field = head.find("\r\ncontent-length:");
            if (field != std::string::npos)
                bodyLength = strtoul(head.c_str() + field + 17, nullptr, 10);
        }
    }
    size_t slash = request.find(" /");
    return slash == std::string::npos ? 0 : strtoul(request.c_str() + slash + 2, nullptr, 10);
}

} // namespace

int main()
{
    signal(SIGPIPE, SIG_IGN);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 64) != 0) {
        perror("bench_http_server: port 80");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    std::vector<char> body(1 << 20);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = "0123456789abcdefghijklmnopqrstuvwxyz\n"[i % 37];
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        size_t size = readRequest(fd);
        char head[128];
        int headLength = snprintf(head, sizeof head,
                                  "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n\r\n", size);
        bool ok = sendAll(fd, head, static_cast<size_t>(headLength));
        for (size_t left = size; ok && left > 0;) {
            size_t piece = std::min(left, body.size());
            ok = sendAll(fd, body.data(), piece);
            left -= piece;
        }
        close(fd);
    }
}
