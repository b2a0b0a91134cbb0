#include "serve.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <microhttpd.h>
#include <openssl/crypto.h>

#include "form.h"
#include "sealed.h"
#include "systemd.h"

namespace {

constexpr size_t kMaxBody = 1 << 20;
// The whole of a request, from its connection's start (or the end of the
// request before it) to the answer, but for the wait for its commit.
constexpr long kRequestSeconds = 10;
// Bodies held at once, all connections together: beyond it a request is
// answered 503 before its body is read, so that many large posts at once
// cannot take the machine's memory.
constexpr size_t kBodyBudget = 64 << 20;
constexpr char kRetryAfter[] = "5";
constexpr char kPlainText[] = "text/plain; charset=utf-8";
// What a commit's time is counted in, in seconds: a group's fdatasync, or
// a round trip to a database on another host, up to one that times out.
constexpr double kCommitBuckets[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};
constexpr size_t kBucketCount = sizeof kCommitBuckets / sizeof kCommitBuckets[0];

enum Stage { stageReading, stageWaiting, stageKept, stageUnavailable };

struct Connection {
    Connection *older;
    Connection *newer;
    timespec started;
    int fd;
    bool held; // waiting for its commit or answered after it: never cut off
    bool cutOff;
};

struct Request {
    Stage stage;
    size_t expected; // the Content-Length, reserved from the body budget
    size_t length;
    char *body;
    char *sealed;
    char *text;
    bool noKey; // the device it named has no key here
    char device[deviceNameMax + 1];
    Post post;
    MHD_Connection *connection;
    Request *nextWaiting;
};

// What /metrics shows: every answer to a post is counted once.
struct Counts {
    unsigned long long kept;
    unsigned long long duplicate;
    unsigned long long notOpened;
    unsigned long long refused;     // 4xx: not a post the receiver takes
    unsigned long long unavailable; // 503: busy, out of memory, or the store failed
    unsigned long long commitBuckets[kBucketCount];
    unsigned long long commits;
    double commitSeconds;
};

struct Receiver {
    KeySettings keySettings;
    KeyRing ring;
    char trustedProxy[peerSize];
    Store store;
    Counts counts;
    size_t connectionCount;
    MHD_Response *noContent;
    MHD_Response *unavailable;
    Request *waitingFirst;
    Request **waitingLast;
    size_t waiting;
    Connection *oldest;
    Connection *newest;
    size_t bodyBytes;
    // Lines about posts that did not open, written only once their answers
    // went out, so that writing them cannot show in an answer's time.
    char *log;
    size_t logLength;
    size_t logCapacity;
    Post **group; // room for the posts of one commit
    size_t groupCapacity;
};

void logLine(const char *apFormat, ...)
{
    va_list arguments;
    va_start(arguments, apFormat);
    fputs("sealpost-receiver: ", stderr);
    vfprintf(stderr, apFormat, arguments);
    fputc('\n', stderr);
    fflush(stderr);
    va_end(arguments);
}

void deferLine(Receiver *apReceiver, const Request *apRequest)
{
    char line[256];
    char device[deviceNameMax + 16];
    if (apRequest->post.device != nullptr)
        snprintf(device, sizeof device, "device %s", apRequest->post.device);
    else
        snprintf(device, sizeof device, "no device");
    int length = snprintf(line, sizeof line,
                          "sealpost-receiver: a post from %s naming %s does not open: %s; kept in unopened\n",
                          apRequest->post.peer, device,
                          !apRequest->noKey             ? "wrong key or damaged"
                          : apRequest->post.device != nullptr ? "no key for the device"
                                                              : "no key without a device");
    if (length < 0 || length >= static_cast<int>(sizeof line))
        return;
    size_t needed = apReceiver->logLength + static_cast<size_t>(length);
    if (needed > apReceiver->logCapacity) {
        size_t capacity = needed * 2;
        char *grown = static_cast<char *>(realloc(apReceiver->log, capacity));
        if (grown == nullptr)
            return;
        apReceiver->log = grown;
        apReceiver->logCapacity = capacity;
    }
    memcpy(apReceiver->log + apReceiver->logLength, line, static_cast<size_t>(length));
    apReceiver->logLength = needed;
}

void flushDeferredLines(Receiver *apReceiver)
{
    if (apReceiver->logLength == 0)
        return;
    fwrite(apReceiver->log, 1, apReceiver->logLength, stderr);
    fflush(stderr);
    apReceiver->logLength = 0;
}

timespec now()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time;
}

// A plain answer; apAllowed names the method a 405 allows, apRetryAfter,
// when given, the seconds before a client should try again.
MHD_Result queuePlain(MHD_Connection *apConnection, unsigned aStatus, const char *apType, const char *apText,
                      size_t aLength, const char *apAllowed, const char *apRetryAfter)
{
    MHD_Response *response =
        MHD_create_response_from_buffer(aLength, const_cast<char *>(apText), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, apType);
    if (aStatus == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, apAllowed);
    if (apRetryAfter != nullptr)
        MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, apRetryAfter);
    MHD_Result queued = MHD_queue_response(apConnection, aStatus, response);
    MHD_destroy_response(response);
    return queued;
}

__attribute__((format(printf, 4, 5))) MHD_Result queueText(Receiver *apReceiver, MHD_Connection *apConnection,
                                                          unsigned aStatus, const char *apFormat, ...)
{
    if (aStatus == MHD_HTTP_SERVICE_UNAVAILABLE)
        ++apReceiver->counts.unavailable;
    else if (aStatus >= 400 && aStatus < 500)
        ++apReceiver->counts.refused;
    char text[200];
    va_list arguments;
    va_start(arguments, apFormat);
    int length = vsnprintf(text, sizeof text - 1, apFormat, arguments);
    va_end(arguments);
    // A reason cut short still ends in its line break, inside the buffer.
    if (length < 0 || length > static_cast<int>(sizeof text) - 2)
        length = length < 0 ? 0 : static_cast<int>(sizeof text) - 2;
    text[length] = '\n';
    return queuePlain(apConnection, aStatus, kPlainText, text, static_cast<size_t>(length) + 1,
                      MHD_HTTP_METHOD_POST, aStatus == MHD_HTTP_SERVICE_UNAVAILABLE ? kRetryAfter : nullptr);
}

bool isForm(const char *apType)
{
    constexpr char kForm[] = "application/x-www-form-urlencoded";
    constexpr size_t kLength = sizeof kForm - 1;
    if (apType == nullptr || strncasecmp(apType, kForm, kLength) != 0)
        return false;
    char after = apType[kLength];
    return after == '\0' || after == ';' || after == ' ' || after == '\t';
}

// The checks the headers alone allow, in the order the answers were always
// given; reserves the body's room when they pass.
MHD_Result checkHeaders(Receiver *apReceiver, MHD_Connection *apConnection, const char *apMethod,
                        Request *apRequest)
{
    if (strcmp(apMethod, MHD_HTTP_METHOD_POST) != 0)
        return queueText(apReceiver, apConnection, MHD_HTTP_METHOD_NOT_ALLOWED, "send the sealed text in a POST");
    if (!isForm(MHD_lookup_connection_value(apConnection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE)))
        return queueText(apReceiver, apConnection, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                         "send a form: application/x-www-form-urlencoded");
    const char *length = MHD_lookup_connection_value(apConnection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length == nullptr || *length == '\0')
        return queueText(apReceiver, apConnection, MHD_HTTP_LENGTH_REQUIRED, "the request needs a Content-Length");
    size_t expected = 0;
    for (const char *digit = length; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9')
            return queueText(apReceiver, apConnection, MHD_HTTP_BAD_REQUEST, "the Content-Length is not a number");
        if (expected <= kMaxBody)
            expected = expected * 10 + static_cast<size_t>(*digit - '0');
    }
    if (expected > kMaxBody)
        return queueText(apReceiver, apConnection, MHD_HTTP_CONTENT_TOO_LARGE, "the body may hold %zu bytes at most", kMaxBody);
    if (apReceiver->bodyBytes + expected > kBodyBudget)
        return queueText(apReceiver, apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, "the receiver is busy; send it again later");
    apReceiver->bodyBytes += expected;
    apRequest->expected = expected;
    return MHD_YES;
}

MHD_Result refuseShape(Receiver *apReceiver, MHD_Connection *apConnection, SealedHexCheck aShape)
{
    switch (aShape.fault) {
    case sealedHexNotADigit:
        return queueText(apReceiver, apConnection, MHD_HTTP_BAD_REQUEST, "character %zu of the field sealed is not a hex digit",
                         aShape.position);
    case sealedHexOddLength:
        return queueText(apReceiver, apConnection, MHD_HTTP_BAD_REQUEST, "the field sealed has an odd number of hex digits (%zu)",
                         aShape.position);
    case sealedHexNoIV:
        return queueText(apReceiver, apConnection, MHD_HTTP_BAD_REQUEST,
                         "the field sealed is too short: %zu hex digits, the IV alone takes 16", aShape.position);
    case sealedHexPartialBlock:
    case sealedHexOk:
        break;
    }
    return queueText(apReceiver, apConnection, MHD_HTTP_BAD_REQUEST,
                     "the field sealed is not whole blocks: %zu hex digits after the IV, not a multiple of 16",
                     aShape.position);
}

Connection *connectionOf(MHD_Connection *apConnection)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(apConnection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<Connection *>(info->socket_context) : nullptr;
}

void peerOf(MHD_Connection *apConnection, char *apPeer)
{
    strcpy(apPeer, "unknown");
    const MHD_ConnectionInfo *info = MHD_get_connection_info(apConnection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr)
        return;
    const sockaddr *address = info->client_addr;
    if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, apPeer, peerSize);
    if (address->sa_family != AF_INET6)
        return;
    // systemd's socket takes IPv4 clients too, as ::ffff:a.b.c.d: the
    // store names them as IPv4 does.
    const in6_addr *v6 = &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(v6))
        inet_ntop(AF_INET, v6->s6_addr + 12, apPeer, peerSize);
    else
        inet_ntop(AF_INET6, v6, apPeer, peerSize);
}

// The client a trusted proxy names: the last address of X-Forwarded-For,
// the one the proxy itself added. Without one, the proxy stays the peer.
void forwardedPeer(MHD_Connection *apConnection, char *apPeer)
{
    const char *forwarded = MHD_lookup_connection_value(apConnection, MHD_HEADER_KIND, "X-Forwarded-For");
    if (forwarded == nullptr)
        return;
    const char *last = strrchr(forwarded, ',');
    last = last != nullptr ? last + 1 : forwarded;
    while (*last == ' ' || *last == '\t')
        ++last;
    char address[peerSize];
    size_t length = strcspn(last, " \t");
    if (length == 0 || length >= sizeof address || last[length + strspn(last + length, " \t")] != '\0')
        return;
    memcpy(address, last, length);
    address[length] = '\0';
    char peer[peerSize];
    if (normalAddress(address, peer))
        memcpy(apPeer, peer, peerSize);
}

void utcNow(char *apText)
{
    time_t seconds = time(nullptr);
    tm utc;
    gmtime_r(&seconds, &utc);
    strftime(apText, timestampSize, "%Y-%m-%dT%H:%M:%SZ", &utc);
}

void releaseBody(Receiver *apReceiver, Request *apRequest)
{
    free(apRequest->body);
    apRequest->body = nullptr;
    apReceiver->bodyBytes -= apRequest->expected;
    apRequest->expected = 0;
}

// The whole body is in: a form that is not one sealed text is refused; any
// other is opened and waits, suspended, for the commit of its group,
// whether it opened or not.
MHD_Result receive(Receiver *apReceiver, MHD_Connection *apConnection, Request *apRequest)
{
    SealedForm form = readSealedForm(apRequest->body != nullptr ? apRequest->body : "", apRequest->length);
    releaseBody(apReceiver, apRequest);
    switch (form.fault) {
    case formTooManyFields:
        return queueText(apReceiver, apConnection, MHD_HTTP_BAD_REQUEST, "the form has more than %d fields", formMaxFields);
    case formNotOneSealed:
        return queueText(apReceiver, apConnection, MHD_HTTP_BAD_REQUEST, "the form needs exactly one field sealed");
    case formSealedShape:
        return refuseShape(apReceiver, apConnection, form.shape);
    case formBadDevice:
        return queueText(apReceiver, apConnection, MHD_HTTP_BAD_REQUEST,
                         "the field device must be given once, as 1 to 64 of A-Z a-z 0-9 . _ -");
    case formOutOfMemory:
        return queueText(apReceiver, apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, "the receiver is out of memory");
    case formOk:
        break;
    }
    apRequest->sealed = form.sealed;
    memcpy(apRequest->device, form.device, sizeof apRequest->device);
    const char *device = form.hasDevice ? apRequest->device : nullptr;
    PostOpening opening = openPost(&apReceiver->ring, device, form.sealed, &apRequest->text);
    if (opening.result == openOutOfMemory)
        return queueText(apReceiver, apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, "the receiver is out of memory");
    apRequest->noKey = opening.noKey;
    apRequest->post.sealed = apRequest->sealed;
    apRequest->post.text = apRequest->text;
    apRequest->post.device = device;
    peerOf(apConnection, apRequest->post.peer);
    if (apReceiver->trustedProxy[0] != '\0' && strcmp(apRequest->post.peer, apReceiver->trustedProxy) == 0)
        forwardedPeer(apConnection, apRequest->post.peer);
    utcNow(apRequest->post.receivedAt);
    if (!postDigest(apRequest->post.device, apRequest->sealed, apRequest->post.digest))
        return queueText(apReceiver, apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, "the receiver is out of memory");

    apRequest->stage = stageWaiting;
    apRequest->connection = apConnection;
    *apReceiver->waitingLast = apRequest;
    apReceiver->waitingLast = &apRequest->nextWaiting;
    ++apReceiver->waiting;
    Connection *connection = connectionOf(apConnection);
    if (connection != nullptr)
        connection->held = true;
    MHD_suspend_connection(apConnection);
    return MHD_YES;
}

MHD_Result answer(void *apClosure, MHD_Connection *apConnection, const char *, const char *apMethod, const char *,
                  const char *apUpload, size_t *apUploadSize, void **apRequest)
{
    Receiver *receiver = static_cast<Receiver *>(apClosure);
    Request *request = static_cast<Request *>(*apRequest);
    if (request == nullptr) {
        request = static_cast<Request *>(calloc(1, sizeof *request));
        if (request == nullptr)
            return MHD_NO;
        *apRequest = request;
        return checkHeaders(receiver, apConnection, apMethod, request);
    }
    switch (request->stage) {
    case stageKept:
        return MHD_queue_response(apConnection, MHD_HTTP_NO_CONTENT, receiver->noContent);
    case stageUnavailable:
        return MHD_queue_response(apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, receiver->unavailable);
    case stageWaiting:
        return MHD_YES;
    case stageReading:
        break;
    }
    if (*apUploadSize == 0)
        return receive(receiver, apConnection, request);
    if (request->body == nullptr) {
        request->body = static_cast<char *>(malloc(request->expected));
        if (request->body == nullptr)
            return MHD_NO;
    }
    // libmicrohttpd hands over no more than the Content-Length.
    size_t take = *apUploadSize < request->expected - request->length ? *apUploadSize
                                                                      : request->expected - request->length;
    memcpy(request->body + request->length, apUpload, take);
    request->length += take;
    *apUploadSize = 0;
    return MHD_YES;
}

// Connections are listed oldest first, so that the ones past their time
// are found at the front.
void unlinkConnection(Receiver *apReceiver, Connection *apConnection)
{
    if (apConnection->older != nullptr)
        apConnection->older->newer = apConnection->newer;
    else
        apReceiver->oldest = apConnection->newer;
    if (apConnection->newer != nullptr)
        apConnection->newer->older = apConnection->older;
    else
        apReceiver->newest = apConnection->older;
    apConnection->older = nullptr;
    apConnection->newer = nullptr;
}

void appendConnection(Receiver *apReceiver, Connection *apConnection)
{
    apConnection->older = apReceiver->newest;
    if (apReceiver->newest != nullptr)
        apReceiver->newest->newer = apConnection;
    else
        apReceiver->oldest = apConnection;
    apReceiver->newest = apConnection;
}

void requestDone(void *apClosure, MHD_Connection *apConnection, void **apRequest, MHD_RequestTerminationCode)
{
    Receiver *receiver = static_cast<Receiver *>(apClosure);
    Request *request = static_cast<Request *>(*apRequest);
    *apRequest = nullptr;
    if (request != nullptr) {
        releaseBody(receiver, request);
        if (request->text != nullptr) {
            OPENSSL_cleanse(request->text, strlen(request->text));
            free(request->text);
        }
        free(request->sealed);
        free(request);
    }
    // The next request on a kept-alive connection has a time of its own.
    Connection *connection = connectionOf(apConnection);
    if (connection != nullptr) {
        connection->started = now();
        connection->held = false;
        unlinkConnection(receiver, connection);
        appendConnection(receiver, connection);
    }
}

void connectionChanged(void *apClosure, MHD_Connection *apConnection, void **apSocketContext,
                       MHD_ConnectionNotificationCode aCode)
{
    Receiver *receiver = static_cast<Receiver *>(apClosure);
    Connection *connection = static_cast<Connection *>(*apSocketContext);
    if (aCode == MHD_CONNECTION_NOTIFY_STARTED) {
        connection = static_cast<Connection *>(calloc(1, sizeof *connection));
        *apSocketContext = connection;
        if (connection == nullptr)
            return;
        const MHD_ConnectionInfo *info = MHD_get_connection_info(apConnection, MHD_CONNECTION_INFO_CONNECTION_FD);
        connection->fd = info != nullptr ? info->connect_fd : -1;
        connection->started = now();
        appendConnection(receiver, connection);
        ++receiver->connectionCount;
        return;
    }
    if (connection == nullptr)
        return;
    --receiver->connectionCount;
    unlinkConnection(receiver, connection);
    free(connection);
    *apSocketContext = nullptr;
}

// Ends connections whose request has taken longer than it may: shutting
// the socket down makes libmicrohttpd see the end of it and close it.
void cutOffSlowConnections(Receiver *apReceiver)
{
    timespec time = now();
    for (Connection *connection = apReceiver->oldest; connection != nullptr; connection = connection->newer) {
        long milliseconds = (time.tv_sec - connection->started.tv_sec) * 1000 +
                            (time.tv_nsec - connection->started.tv_nsec) / 1000000;
        if (milliseconds < kRequestSeconds * 1000)
            break;
        if (connection->held || connection->cutOff || connection->fd < 0)
            continue;
        shutdown(connection->fd, SHUT_RDWR);
        connection->cutOff = true;
    }
}

// One transaction for every post that arrived since the last: each gets
// the outcome of the group's commit.
void commitWaiting(Receiver *apReceiver)
{
    if (apReceiver->waiting > apReceiver->groupCapacity) {
        size_t capacity = apReceiver->waiting * 2;
        Post **grown = static_cast<Post **>(realloc(apReceiver->group, capacity * sizeof *grown));
        if (grown != nullptr) {
            apReceiver->group = grown;
            apReceiver->groupCapacity = capacity;
        }
    }
    StoreFault result = {true, "out of memory"};
    if (apReceiver->waiting <= apReceiver->groupCapacity) {
        size_t count = 0;
        for (Request *request = apReceiver->waitingFirst; request != nullptr; request = request->nextWaiting)
            apReceiver->group[count++] = &request->post;
        timespec started = now();
        result = keepGroup(&apReceiver->store, apReceiver->group, count);
        timespec ended = now();
        double seconds = static_cast<double>(ended.tv_sec - started.tv_sec) +
                         static_cast<double>(ended.tv_nsec - started.tv_nsec) / 1e9;
        Counts *counts = &apReceiver->counts;
        ++counts->commits;
        counts->commitSeconds += seconds;
        for (size_t bucket = 0; bucket < kBucketCount; ++bucket)
            counts->commitBuckets[bucket] += seconds <= kCommitBuckets[bucket];
    }
    if (result.failed)
        logLine("a commit of %zu post%s failed, answered 503: %s", apReceiver->waiting,
                apReceiver->waiting == 1 ? "" : "s", result.message);
    for (Request *request = apReceiver->waitingFirst; request != nullptr;) {
        Request *next = request->nextWaiting;
        request->nextWaiting = nullptr;
        request->stage = result.failed ? stageUnavailable : stageKept;
        Counts *counts = &apReceiver->counts;
        if (result.failed)
            ++counts->unavailable;
        else if (request->post.duplicate)
            ++counts->duplicate;
        else if (request->text != nullptr)
            ++counts->kept;
        else
            ++counts->notOpened;
        if (!result.failed && request->text == nullptr && !request->post.duplicate)
            deferLine(apReceiver, request);
        MHD_resume_connection(request->connection);
        request = next;
    }
    apReceiver->waitingFirst = nullptr;
    apReceiver->waitingLast = &apReceiver->waitingFirst;
    apReceiver->waiting = 0;
}

// A key or folder that cannot be read leaves the keys in force as they were.
void readKeysAgain(Receiver *apReceiver)
{
    KeyRing fresh;
    KeysFault fault = loadKeyRing(apReceiver->keySettings, &fresh);
    if (fault.failed) {
        logLine("%s; keeps the keys it had", fault.message);
        return;
    }
    freeKeyRing(&apReceiver->ring);
    apReceiver->ring = fresh;
    if (fresh.single != nullptr)
        logLine("read the key again from %s", apReceiver->keySettings.keyFile);
    else
        logLine("read the keys again: %zu device%s with %zu key%s%s", fresh.deviceCount,
                fresh.deviceCount == 1 ? "" : "s", fresh.keyCount, fresh.keyCount == 1 ? "" : "s",
                fresh.master != nullptr ? ", and the master key" : "");
}

// Whether a signal to stop arrived; SIGHUP reads the key again.
bool takeSignals(Receiver *apReceiver, int aSignalFd)
{
    bool stop = false;
    signalfd_siginfo signal;
    while (read(aSignalFd, &signal, sizeof signal) == static_cast<ssize_t>(sizeof signal)) {
        if (signal.ssi_signo == SIGHUP)
            readKeysAgain(apReceiver);
        else
            stop = true;
    }
    return stop;
}

// Waits for network events, or until libmicrohttpd or the time bound on
// connections needs to run: at most aMaxMilliseconds while any connection
// is open.
void waitForEvents(MHD_Daemon *apDaemon, MHD_Daemon *apMetrics, Receiver *apReceiver, pollfd *apFds,
                   int aMaxMilliseconds)
{
    MHD_UNSIGNED_LONG_LONG timeout = 0;
    int milliseconds = apReceiver->oldest != nullptr ? aMaxMilliseconds : -1;
    // Posts that arrived in the last run wait for a commit: no waiting then.
    if (apReceiver->waitingFirst != nullptr)
        milliseconds = 0;
    MHD_Daemon *daemons[] = {apDaemon, apMetrics};
    for (MHD_Daemon *daemon : daemons)
        if (daemon != nullptr && MHD_get_timeout(daemon, &timeout) == MHD_YES &&
            (milliseconds < 0 || timeout < static_cast<MHD_UNSIGNED_LONG_LONG>(milliseconds)))
            milliseconds = static_cast<int>(timeout < 1000 ? timeout : 1000);
    poll(apFds, apMetrics != nullptr ? 3 : 2, milliseconds);
}

// Appends to apText as printf would, never past aSize.
__attribute__((format(printf, 4, 5))) void append(char *apText, size_t aSize, size_t *apLength,
                                                  const char *apFormat, ...)
{
    if (*apLength >= aSize)
        return;
    va_list arguments;
    va_start(arguments, apFormat);
    int added = vsnprintf(apText + *apLength, aSize - *apLength, apFormat, arguments);
    va_end(arguments);
    *apLength = added < 0 ? aSize : *apLength + static_cast<size_t>(added);
}

// The counts in the text format Prometheus scrapes.
size_t writeMetrics(const Receiver *apReceiver, char *apText, size_t aSize)
{
    const Counts *counts = &apReceiver->counts;
    size_t length = 0;
    append(apText, aSize, &length,
           "# HELP sealpost_posts_total Posts answered, by what became of them.\n"
           "# TYPE sealpost_posts_total counter\n"
           "sealpost_posts_total{result=\"kept\"} %llu\n"
           "sealpost_posts_total{result=\"duplicate\"} %llu\n"
           "sealpost_posts_total{result=\"not_opened\"} %llu\n"
           "sealpost_posts_total{result=\"refused\"} %llu\n"
           "sealpost_posts_total{result=\"unavailable\"} %llu\n"
           "# HELP sealpost_commit_seconds How long a commit of a group of posts took.\n"
           "# TYPE sealpost_commit_seconds histogram\n",
           counts->kept, counts->duplicate, counts->notOpened, counts->refused, counts->unavailable);
    for (size_t bucket = 0; bucket < kBucketCount; ++bucket)
        append(apText, aSize, &length, "sealpost_commit_seconds_bucket{le=\"%g\"} %llu\n", kCommitBuckets[bucket],
               counts->commitBuckets[bucket]);
    append(apText, aSize, &length,
           "sealpost_commit_seconds_bucket{le=\"+Inf\"} %llu\n"
           "sealpost_commit_seconds_sum %.6f\n"
           "sealpost_commit_seconds_count %llu\n"
           "# HELP sealpost_connections Connections open on the port posts come to.\n"
           "# TYPE sealpost_connections gauge\n"
           "sealpost_connections %zu\n",
           counts->commits, counts->commitSeconds, counts->commits, apReceiver->connectionCount);
    return length < aSize ? length : aSize;
}

MHD_Result answerWatching(MHD_Connection *apConnection, unsigned aStatus, const char *apType, const char *apText,
                          size_t aLength)
{
    return queuePlain(apConnection, aStatus, apType, apText, aLength, MHD_HTTP_METHOD_GET, nullptr);
}

// The watching port: GET /metrics and GET /healthz, nothing else.
MHD_Result watch(void *apClosure, MHD_Connection *apConnection, const char *apUrl, const char *apMethod,
                          const char *, const char *, size_t *apUploadSize, void **)
{
    Receiver *receiver = static_cast<Receiver *>(apClosure);
    // A body, which no GET here has, is read and let go.
    *apUploadSize = 0;
    if (strcmp(apMethod, MHD_HTTP_METHOD_GET) != 0 && strcmp(apMethod, MHD_HTTP_METHOD_HEAD) != 0) {
        constexpr char kOnlyGet[] = "only GET /metrics and GET /healthz are answered here\n";
        return answerWatching(apConnection, MHD_HTTP_METHOD_NOT_ALLOWED, kPlainText, kOnlyGet, sizeof kOnlyGet - 1);
    }
    if (strcmp(apUrl, "/metrics") == 0) {
        char text[2048];
        size_t length = writeMetrics(receiver, text, sizeof text);
        return answerWatching(apConnection, MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8", text, length);
    }
    if (strcmp(apUrl, "/healthz") == 0) {
        constexpr char kAnswers[] = "the store answers\n";
        constexpr char kSilent[] = "the store does not answer\n";
        if (storeAnswers(&receiver->store))
            return answerWatching(apConnection, MHD_HTTP_OK, kPlainText, kAnswers, sizeof kAnswers - 1);
        return answerWatching(apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, kPlainText, kSilent, sizeof kSilent - 1);
    }
    constexpr char kNotHere[] = "only /metrics and /healthz are here\n";
    return answerWatching(apConnection, MHD_HTTP_NOT_FOUND, kPlainText, kNotHere, sizeof kNotHere - 1);
}

} // namespace

bool normalAddress(const char *apText, char *apPeer)
{
    in6_addr v6;
    in_addr v4;
    if (inet_pton(AF_INET, apText, &v4) == 1)
        return inet_ntop(AF_INET, &v4, apPeer, peerSize) != nullptr;
    if (inet_pton(AF_INET6, apText, &v6) != 1)
        return false;
    if (IN6_IS_ADDR_V4MAPPED(&v6))
        return inet_ntop(AF_INET, v6.s6_addr + 12, apPeer, peerSize) != nullptr;
    return inet_ntop(AF_INET6, &v6, apPeer, peerSize) != nullptr;
}

int serve(ServeSettings aSettings)
{
    Receiver receiver = {};
    receiver.keySettings = aSettings.keys;
    receiver.ring = aSettings.ring;
    memcpy(receiver.trustedProxy, aSettings.trustedProxy, sizeof receiver.trustedProxy);
    receiver.store = aSettings.store;
    receiver.waitingLast = &receiver.waitingFirst;
    receiver.noContent = MHD_create_response_from_buffer(0, const_cast<char *>(""), MHD_RESPMEM_PERSISTENT);
    const char unavailable[] = "the store cannot keep the text now; send it again later\n";
    receiver.unavailable = MHD_create_response_from_buffer(sizeof unavailable - 1, const_cast<char *>(unavailable),
                                                           MHD_RESPMEM_MUST_COPY);
    if (receiver.noContent == nullptr || receiver.unavailable == nullptr) {
        logLine("out of memory");
        freeKeyRing(&receiver.ring);
        return 1;
    }
    MHD_add_response_header(receiver.unavailable, MHD_HTTP_HEADER_CONTENT_TYPE, kPlainText);
    MHD_add_response_header(receiver.unavailable, MHD_HTTP_HEADER_RETRY_AFTER, kRetryAfter);

    MHD_Daemon *daemon = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, &answer, &receiver, MHD_OPTION_LISTEN_SOCKET,
        aSettings.listenFd, MHD_OPTION_CONNECTION_LIMIT, aSettings.connections, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(kRequestSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16384),
        MHD_OPTION_NOTIFY_COMPLETED, &requestDone, &receiver, MHD_OPTION_NOTIFY_CONNECTION, &connectionChanged,
        &receiver, MHD_OPTION_END);
    MHD_Daemon *metrics = nullptr;
    if (aSettings.metricsFd >= 0)
        metrics = MHD_start_daemon(MHD_USE_EPOLL, 0, nullptr, nullptr, &watch, &receiver,
                                   MHD_OPTION_LISTEN_SOCKET, aSettings.metricsFd, MHD_OPTION_CONNECTION_LIMIT, 16U,
                                   MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kRequestSeconds),
                                   MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16384), MHD_OPTION_END);
    if (daemon == nullptr || (aSettings.metricsFd >= 0 && metrics == nullptr)) {
        logLine("cannot start serving HTTP on the socket");
        if (daemon != nullptr)
            MHD_stop_daemon(daemon);
        if (aSettings.metricsFd >= 0 && metrics == nullptr)
            close(aSettings.metricsFd);
        freeKeyRing(&receiver.ring);
        return 1;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
    pollfd fds[3] = {{info->epoll_fd, POLLIN, 0}, {aSettings.signalFd, POLLIN, 0}, {-1, POLLIN, 0}};
    if (metrics != nullptr)
        fds[2].fd = MHD_get_daemon_info(metrics, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
    notifySystemd("READY=1");

    bool stopping = false;
    timespec stopAsked = {};
    for (;;) {
        waitForEvents(daemon, metrics, &receiver, fds, stopping ? 100 : 1000);
        if (!stopping && takeSignals(&receiver, aSettings.signalFd)) {
            stopping = true;
            stopAsked = now();
            notifySystemd("STOPPING=1");
            // No new connections; those open get their answers first.
            MHD_socket listening = MHD_quiesce_daemon(daemon);
            if (listening != MHD_INVALID_SOCKET)
                close(listening);
        }
        MHD_run(daemon);
        if (metrics != nullptr)
            MHD_run(metrics);
        if (receiver.waitingFirst != nullptr) {
            commitWaiting(&receiver);
            // Resumed connections are served by the next run only.
            MHD_run(daemon);
            flushDeferredLines(&receiver);
        }
        cutOffSlowConnections(&receiver);
        if (stopping) {
            bool answering = false;
            for (Connection *connection = receiver.oldest; connection != nullptr; connection = connection->newer)
                answering = answering || connection->held;
            if ((!answering && receiver.waitingFirst == nullptr) || now().tv_sec - stopAsked.tv_sec > 2)
                break;
        }
    }
    MHD_run(daemon);
    flushDeferredLines(&receiver);
    MHD_stop_daemon(daemon);
    if (metrics != nullptr)
        MHD_stop_daemon(metrics);
    freeKeyRing(&receiver.ring);
    MHD_destroy_response(receiver.noContent);
    MHD_destroy_response(receiver.unavailable);
    free(receiver.log);
    free(receiver.group);
    return 0;
}
