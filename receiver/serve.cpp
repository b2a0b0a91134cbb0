#include "serve.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <microhttpd.h>

#include "receiver_state.h"
#include "systemd.h"

namespace {

// Beyond the connections the receiver keeps, room for those that arrive
// in one turn of the loop before the longest idle ones have gone.
constexpr unsigned kArrivingConnections = 64;

// Waits for network events, a finished commit, or until libmicrohttpd, the
// time bound on connections or a post's bound on its commit needs to run.
void waitForEvents(MHD_Daemon *apDaemon, MHD_Daemon *apMetrics, Receiver *apReceiver, pollfd *apFds, nfds_t aCount,
                   int aMaxMilliseconds)
{
    MHD_UNSIGNED_LONG_LONG timeout = 0;
    long long milliseconds = apReceiver->oldest != nullptr ? aMaxMilliseconds : -1;
    long long left = untilOverdue(apReceiver);
    if (left >= 0)
        milliseconds = milliseconds < 0 || left < milliseconds ? left : milliseconds;
    MHD_Daemon *daemons[] = {apDaemon, apMetrics};
    for (MHD_Daemon *daemon : daemons)
        if (daemon != nullptr && MHD_get_timeout(daemon, &timeout) == MHD_YES &&
            (milliseconds < 0 || timeout < static_cast<MHD_UNSIGNED_LONG_LONG>(milliseconds)))
            milliseconds = static_cast<long long>(timeout < 1000 ? timeout : 1000);
    poll(apFds, aCount, static_cast<int>(milliseconds));
}

bool answering(Receiver *apReceiver)
{
    for (Connection *connection = apReceiver->oldest; connection != nullptr; connection = connection->newer)
        if (connection->held)
            return true;
    return commitsPending(apReceiver);
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
    receiver.connectionLimit = aSettings.connections;
    receiver.requireMac = aSettings.requireMac;
    receiver.noContent = MHD_create_response_from_buffer(0, const_cast<char *>(""), MHD_RESPMEM_PERSISTENT);
    const char unavailable[] = "the store cannot keep the text now; send it again later\n";
    receiver.unavailable = MHD_create_response_from_buffer(sizeof unavailable - 1, const_cast<char *>(unavailable),
                                                           MHD_RESPMEM_MUST_COPY);
    if (receiver.noContent == nullptr || receiver.unavailable == nullptr || !startCommits(&receiver)) {
        logLine("out of memory");
        freeKeyRing(&receiver.ring);
        return 1;
    }
    keyedDevicesChanged(&receiver);
    MHD_add_response_header(receiver.unavailable, MHD_HTTP_HEADER_CONTENT_TYPE, kPlainText);
    MHD_add_response_header(receiver.unavailable, MHD_HTTP_HEADER_RETRY_AFTER, kRetryAfter);

    MHD_Daemon *daemon = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, &answer, &receiver, MHD_OPTION_LISTEN_SOCKET,
        aSettings.listenFd, MHD_OPTION_CONNECTION_LIMIT, aSettings.connections + kArrivingConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kRequestSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<size_t>(16384), MHD_OPTION_NOTIFY_COMPLETED, &requestDone, &receiver,
        MHD_OPTION_NOTIFY_CONNECTION, &connectionChanged, &receiver, MHD_OPTION_END);
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
        stopCommits(&receiver);
        freeKeyRing(&receiver.ring);
        releaseLastKept(&receiver);
        return 1;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
    pollfd fds[4] = {{info->epoll_fd, POLLIN, 0}, {aSettings.signalFd, POLLIN, 0},
                     {receiver.queue.doneFd, POLLIN, 0}, {-1, POLLIN, 0}};
    if (metrics != nullptr)
        fds[3].fd = MHD_get_daemon_info(metrics, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
    notifySystemd("READY=1");

    bool stopping = false;
    timespec stopAsked = {};
    for (;;) {
        waitForEvents(daemon, metrics, &receiver, fds, metrics != nullptr ? 4 : 3, stopping ? 100 : 1000);
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
        if (runCommits(&receiver)) {
            // Resumed connections are served by the next run only.
            MHD_run(daemon);
            flushDeferredLines(&receiver);
        }
        cutOffSlowConnections(&receiver);
        logBusyMinute(&receiver);
        logForgedMinutes(&receiver);
        // A commit takes at most its bound: waiting a little longer lets
        // the posts in it have their answers.
        if (stopping && (!answering(&receiver) ||
                         now().tv_sec - stopAsked.tv_sec > kCommitMilliseconds / 1000 + 1))
            break;
    }
    stopCommits(&receiver);
    MHD_run(daemon);
    flushDeferredLines(&receiver);
    MHD_stop_daemon(daemon);
    if (metrics != nullptr)
        MHD_stop_daemon(metrics);
    freeKeyRing(&receiver.ring);
    releaseLastKept(&receiver);
    MHD_destroy_response(receiver.noContent);
    MHD_destroy_response(receiver.unavailable);
    free(receiver.log);
    return 0;
}
