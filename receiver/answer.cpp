#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include <openssl/crypto.h>

#include "receiver_state.h"
#include "sealed.h"
#include "serve.h"

namespace {

constexpr size_t kMaxBody = 1 << 20;
// Room for bodies held at once, all connections together: beyond it a
// request is answered 503, so that many large posts at once cannot take the
// machine's memory. Only room a body's bytes have filled counts, never what
// a Content-Length promises: bodies announced and not sent hold nobody up.
constexpr size_t kBodyBudget = 64 << 20;
constexpr size_t kFirstRoom = 16 << 10;

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

MHD_Result refuseBusy(Receiver *apReceiver, MHD_Connection *apConnection)
{
    if (noteOnce(&apReceiver->busy))
        logLine("answered a post 503: bodies fill the receiver's %zu MiB; more such answers are counted, "
                "in a line a minute", kBodyBudget >> 20);
    return queueText(apReceiver, apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, "the receiver is busy; send it again later");
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
// given.
MHD_Result checkHeaders(Receiver *apReceiver, MHD_Connection *apConnection, const char *apMethod,
                        Request *apRequest)
{
    if (strcmp(apMethod, MHD_HTTP_METHOD_POST) != 0)
        return queueText(apReceiver, apConnection, MHD_HTTP_METHOD_NOT_ALLOWED, "send the sealed text in a POST");
    if (!isForm(MHD_lookup_connection_value(apConnection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE)))
        return queueText(apReceiver, apConnection, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                         "send a form: application/x-www-form-urlencoded");
    // A chunked body has no length to bound before it is read.
    if (MHD_lookup_connection_value(apConnection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr)
        return queueText(apReceiver, apConnection, MHD_HTTP_LENGTH_REQUIRED,
                         "the request needs a Content-Length, and no Transfer-Encoding");
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

// libmicrohttpd hands repeated headers over one by one, and only this way:
// the last X-Forwarded-For line is the one the proxy itself wrote.
MHD_Result lastForwarded(void *apLast, MHD_ValueKind, const char *apName, const char *apValue)
{
    if (apName != nullptr && apValue != nullptr && strcasecmp(apName, "X-Forwarded-For") == 0)
        *static_cast<const char **>(apLast) = apValue;
    return MHD_YES;
}

// The client a trusted proxy names: the last address of X-Forwarded-For,
// the one the proxy itself added. Without one, the proxy stays the peer.
void forwardedPeer(MHD_Connection *apConnection, char *apPeer)
{
    const char *forwarded = nullptr;
    MHD_get_connection_values(apConnection, MHD_HEADER_KIND, &lastForwarded, &forwarded);
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
    apReceiver->bodyBytes -= apRequest->capacity;
    apRequest->capacity = 0;
}

// Room for aMore bytes after those the body holds, grown by doubling up to
// its Content-Length; false when the budget or the heap has none.
bool makeRoom(Receiver *apReceiver, Request *apRequest, size_t aMore)
{
    size_t needed = apRequest->length + aMore;
    if (needed <= apRequest->capacity)
        return true;
    size_t capacity = apRequest->capacity == 0 ? kFirstRoom : apRequest->capacity;
    while (capacity < needed)
        capacity *= 2;
    capacity = capacity < apRequest->expected ? capacity : apRequest->expected;
    if (apReceiver->bodyBytes - apRequest->capacity + capacity > kBodyBudget)
        return false;
    char *grown = static_cast<char *>(realloc(apRequest->body, capacity));
    if (grown == nullptr)
        return false;
    apReceiver->bodyBytes += capacity - apRequest->capacity;
    apRequest->body = grown;
    apRequest->capacity = capacity;
    return true;
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
    case formBadMac:
        return queueText(apReceiver, apConnection, MHD_HTTP_BAD_REQUEST,
                         "the field mac must be given once, as 64 lowercase hex digits");
    case formOutOfMemory:
        return queueText(apReceiver, apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, "the receiver is out of memory");
    case formOk:
        break;
    }
    apRequest->sealed = form.sealed;
    memcpy(apRequest->device, form.device, sizeof apRequest->device);
    memcpy(apRequest->mac, form.mac, sizeof apRequest->mac);
    const char *device = form.hasDevice ? apRequest->device : nullptr;
    const char *mac = form.hasMac ? apRequest->mac : nullptr;
    PostOpening opening =
        openPost(&apReceiver->ring, device, form.sealed, mac, apReceiver->requireMac, &apRequest->text);
    apReceiver->counts.decryptions += opening.decryptions;
    if (opening.result == openOutOfMemory)
        return queueText(apReceiver, apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, "the receiver is out of memory");
    apRequest->post.sealed = apRequest->sealed;
    apRequest->post.text = apRequest->text;
    apRequest->post.device = device;
    apRequest->post.mac = mac;
    apRequest->post.authentic = opening.authentic;
    apRequest->post.noKey = opening.noKey;
    apRequest->post.forged = opening.forged;
    peerOf(apConnection, apRequest->post.peer);
    if (apReceiver->trustedProxy[0] != '\0' && strcmp(apRequest->post.peer, apReceiver->trustedProxy) == 0)
        forwardedPeer(apConnection, apRequest->post.peer);
    utcNow(apRequest->post.receivedAt);
    if (!postDigest(apRequest->post.device, apRequest->sealed, apRequest->post.digest))
        return queueText(apReceiver, apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, "the receiver is out of memory");

    apRequest->connection = apConnection;
    Connection *connection = connectionOf(apConnection);
    if (connection != nullptr)
        connection->held = true;
    MHD_suspend_connection(apConnection);
    enqueuePost(apReceiver, apRequest);
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

// Shutting the socket down makes libmicrohttpd see the end of it and
// close it.
void cutOff(Connection *apConnection)
{
    shutdown(apConnection->fd, SHUT_RDWR);
    apConnection->cutOff = true;
}

// At the limit, the connection idle or unfinished longest makes room for
// the new one, so that connections opened and left cannot keep a board out.
void makeRoomForConnection(Receiver *apReceiver)
{
    size_t open = apReceiver->connectionCount;
    for (Connection *connection = apReceiver->oldest; connection != nullptr; connection = connection->newer) {
        if (connection->cutOff)
            --open;
        else if (open > apReceiver->connectionLimit && !connection->held && connection->fd >= 0) {
            cutOff(connection);
            --open;
        }
        if (open <= apReceiver->connectionLimit)
            return;
    }
}

} // namespace

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
    case stageBusy:
        // The rest of a body there is no room for is read and let go; the
        // answer comes once it is in, as libmicrohttpd sends none before.
        if (*apUploadSize == 0)
            return refuseBusy(receiver, apConnection);
        *apUploadSize = 0;
        return MHD_YES;
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
    // libmicrohttpd hands over no more than the Content-Length.
    size_t take = *apUploadSize < request->expected - request->length ? *apUploadSize
                                                                      : request->expected - request->length;
    *apUploadSize = 0;
    if (!makeRoom(receiver, request, take)) {
        releaseBody(receiver, request);
        request->stage = stageBusy;
        return MHD_YES;
    }
    memcpy(request->body + request->length, apUpload, take);
    request->length += take;
    return MHD_YES;
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
        if (receiver->connectionCount > receiver->connectionLimit)
            makeRoomForConnection(receiver);
        return;
    }
    if (connection == nullptr)
        return;
    --receiver->connectionCount;
    unlinkConnection(receiver, connection);
    free(connection);
    *apSocketContext = nullptr;
}

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
        cutOff(connection);
    }
}

void logBusyMinute(Receiver *apReceiver)
{
    unsigned long long more = noteEnded(&apReceiver->busy);
    if (more > 0)
        logLine("answered %llu more post%s 503 in the last minute: bodies filled the receiver's %zu MiB", more,
                more == 1 ? "" : "s", kBodyBudget >> 20);
}
