// process_http against a peer on the other end of a real connection.
#include "process_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>

namespace {

struct Captured {
    int result = 0;
    std::string out, err;
};

std::string readAll(FILE *file)
{
    std::string text;
    rewind(file);
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
        text.append(chunk, n);
    fclose(file);
    return text;
}

// Runs call with standard output and error sent to files (or standard output
// to stdoutPath), and gives back what it wrote.
Captured capture(const std::function<int()> &call, const char *stdoutPath = nullptr)
{
    fflush(stdout);
    fflush(stderr);
    int savedOut = dup(1), savedErr = dup(2);
    FILE *out = tmpfile(), *err = tmpfile();
    int outFd = stdoutPath != nullptr ? open(stdoutPath, O_WRONLY) : fileno(out);
    dup2(outFd, 1);
    dup2(fileno(err), 2);

    Captured captured;
    captured.result = call();

    fflush(stdout);
    fflush(stderr);
    clearerr(stdout);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    if (stdoutPath != nullptr)
        close(outFd);
    captured.out = readAll(out);
    captured.err = readAll(err);
    return captured;
}

// A connected TCP pair on the loopback: {client, server}.
std::pair<int, int> tcpPair()
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        throw std::runtime_error("no loopback listener");
    int client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client, reinterpret_cast<sockaddr *>(&address), size) != 0)
        throw std::runtime_error("no loopback connection");
    int server = accept(listener, nullptr, nullptr);
    close(listener);
    return {client, server};
}

enum class Ending { Close, Reset };

// The server's side: reads the request until requestSize bytes have come (or
// ten seconds have passed), pausing after each read, answers, then closes or
// resets the connection. Bytes sent beyond requestSize stay unread, so closing
// resets the connection and the client sees a failure.
std::string serve(int fd, size_t requestSize, const std::string &answer, Ending ending,
                  std::chrono::microseconds pause = {})
{
    timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string request;
    char chunk[65536];
    while (request.size() < requestSize) {
        ssize_t n = read(fd, chunk, std::min(sizeof chunk, requestSize - request.size()));
        if (n <= 0)
            break;
        request.append(chunk, static_cast<size_t>(n));
        std::this_thread::sleep_for(pause);
    }
    for (size_t sent = 0; sent < answer.size();) {
        ssize_t n = write(fd, answer.data() + sent, answer.size() - sent);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    if (ending == Ending::Reset) {
        linger abort = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close(fd);
    return request;
}

struct Exchange {
    Captured captured;
    std::string request;
};

Exchange exchange(const char *host, const char *page, const std::string &body, const std::string &answer,
                  size_t requestSize, Ending ending = Ending::Close)
{
    auto [client, server] = tcpPair();
    Exchange result;
    std::thread peer([&, server = server] { result.request = serve(server, requestSize, answer, ending); });
    result.captured = capture([&, client = client] { return process_http(client, host, page, body.c_str()); });
    peer.join();
    close(client);
    return result;
}

std::string randomBytes(size_t size)
{
    std::mt19937 generator(size);
    std::string bytes(size, '\0');
    for (auto &byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

TEST(ProcessHttp, RequestBytes)
{
    const struct {
        const char *host, *page, *body;
        std::string request;
    } cases[] = {
        {"h", "/p", "a=1",
         "POST /p HTTP/1.0\r\nHost: h\r\nContent-type: application/x-www-form-urlencoded\r\n"
         "Content-length: 3\r\n\r\na=1"},
        {"example.org", "", "x=y",
         "POST  HTTP/1.0\r\nHost: example.org\r\nContent-type: application/x-www-form-urlencoded\r\n"
         "Content-length: 3\r\n\r\nx=y"},
        {"10.0.0.1", "/form?q=1", "",
         "POST /form?q=1 HTTP/1.0\r\nHost: 10.0.0.1\r\nContent-type: application/x-www-form-urlencoded\r\n"
         "Content-length: 0\r\n\r\n"},
        {"h", "/", "name=J\xc3\xb6rg \xe2\x82\xac",
         "POST / HTTP/1.0\r\nHost: h\r\nContent-type: application/x-www-form-urlencoded\r\n"
         "Content-length: 14\r\n\r\nname=J\xc3\xb6rg \xe2\x82\xac"},
    };
    EXPECT_EQ(cases[0].request.size(), 100u);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        Exchange e = exchange(c.host, c.page, c.body, "", c.request.size());
        EXPECT_EQ(e.request, c.request);
        EXPECT_EQ(e.captured.result, 0);
        EXPECT_EQ(e.captured.err, "");
    }
}

std::atomic<int> interruptions{0};

// Far more than a socket buffer takes at once. A signal whose handler was
// installed without SA_RESTART makes a blocking send return early with part
// of the request sent, as Ctrl-Z and fg do too; the rest must follow.
TEST(ProcessHttp, LargeRequestIsSentWhole)
{
    std::string body(8 << 20, 'b');
    std::string request = "POST / HTTP/1.0\r\nHost: h\r\nContent-type: application/x-www-form-urlencoded\r\n"
                          "Content-length: 8388608\r\n\r\n" +
                          body;
    struct sigaction interrupting = {}, previous = {};
    interrupting.sa_handler = [](int) { ++interruptions; };
    ASSERT_EQ(sigaction(SIGUSR1, &interrupting, &previous), 0);
    const struct {
        const char *what;
        std::chrono::microseconds pause;
        bool interrupted;
    } cases[] = {{"fast reader", {}, false}, {"slow reader, sender interrupted", std::chrono::milliseconds(1), true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto [client, server] = tcpPair();
        std::string received;
        std::thread peer([&, server = server] {
            received = serve(server, request.size(), "ok", Ending::Close, c.pause);
        });
        // Signals only once connected: the test's own connect would fail too.
        std::atomic<bool> sending{true};
        pthread_t sender = pthread_self();
        interruptions = 0;
        std::thread interrupter([&] {
            while (c.interrupted && sending) {
                pthread_kill(sender, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        Captured captured = capture([&, client = client] { return process_http(client, "h", "/", body.c_str()); });
        sending = false;
        interrupter.join();
        peer.join();
        close(client);
        EXPECT_TRUE(received == request) << received.size() << " bytes received of " << request.size();
        EXPECT_EQ(captured.result, 0);
        EXPECT_EQ(captured.out, "ok");
        if (c.interrupted) {
            EXPECT_GT(interruptions, 10);
        }
    }
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(ProcessHttp, AnswerIsRelayedByteForByte)
{
    const struct {
        const char *what;
        std::string answer;
    } cases[] = {
        {"nothing", ""},
        {"short", "HTTP/1.0 200 OK\r\n\r\nhello"},
        {"zero bytes", std::string("HTTP/1.0 200 OK\r\n\r\n\0a\0\0b\0", 25)},
        {"one whole chunk", std::string(4096, 'x')},
        {"many chunks", randomBytes(1 << 20)},
    };
    const size_t requestSize = std::string("POST / HTTP/1.0\r\nHost: h\r\nContent-type: application/"
                                           "x-www-form-urlencoded\r\nContent-length: 3\r\n\r\na=1")
                                   .size();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Exchange e = exchange("h", "/", "a=1", c.answer, requestSize);
        EXPECT_EQ(e.captured.result, 0);
        EXPECT_TRUE(e.captured.out == c.answer) << e.captured.out.size() << " bytes relayed of " << c.answer.size();
        EXPECT_EQ(e.captured.err, "");
    }
}

TEST(ProcessHttp, ResetConnectionIsAFailure)
{
    Exchange e = exchange("h", "/", "a=1", "", 10, Ending::Reset);
    EXPECT_LT(e.captured.result, 0);
    EXPECT_EQ(e.captured.err, "read error on the connection: Connection reset by peer");
}

TEST(ProcessHttp, PeerGoneBeforeTheRequestIsAFailureNotASignal)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    Captured captured = capture([&] { return process_http(pair[0], "h", "/", "a=1"); });
    close(pair[0]);
    EXPECT_LT(captured.result, 0);
    EXPECT_EQ(captured.err, "read reported system error");
}

TEST(ProcessHttp, UnwritableOutputIsAFailure)
{
    auto [client, server] = tcpPair();
    std::thread peer([server = server] { serve(server, 10, std::string(100000, 'a'), Ending::Close); });
    Captured captured = capture([client = client] { return process_http(client, "h", "/", "a=1"); }, "/dev/full");
    peer.join();
    close(client);
    EXPECT_LT(captured.result, 0);
    EXPECT_EQ(captured.err, "write error on standard output: No space left on device");
}

TEST(LoggingFunc, WritesWhatPrintfWould)
{
    EXPECT_EQ(capture([] { loggingFunc(nullptr); return 0; }).out, "");
    EXPECT_EQ(capture([] { loggingFunc("%s=%d%c", "a", -42, '\n'); return 0; }).out, "a=-42\n");
}

} // namespace
