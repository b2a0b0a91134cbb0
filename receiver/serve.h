// The receiver's HTTP side: answers every post on a listening socket, keeps
// what it receives in the store in grouped commits, and runs until SIGTERM
// or SIGINT arrives on the signal descriptor; SIGHUP reads the keys again.
// On a second socket, when given, it answers GET /metrics with its counts
// and GET /healthz with whether the store answers.
#ifndef RECEIVER_SERVE_H
#define RECEIVER_SERVE_H

#include "keys.h"
#include "store.h"

struct ServeSettings {
    int listenFd;          // bound and listening; serve closes it
    int metricsFd;         // likewise, or -1: no metrics
    int signalFd;          // a signalfd for SIGHUP, SIGINT and SIGTERM
    struct KeySettings keys; // read again on SIGHUP
    struct KeyRing ring;   // read from keys; serve frees it
    struct Store store;
    unsigned connections;  // the most connections open at once
    // The address, as the store writes one, of a proxy whose
    // X-Forwarded-For names the client; empty: none is trusted.
    char trustedProxy[peerSize];
    bool requireMac; // a post without a MAC is forged, from every device
};

// Writes the address apText names as the store writes addresses, with
// IPv4-mapped IPv6 ones as IPv4; false when apText is no address.
bool normalAddress(const char *apText, char *apPeer);

// Returns the exit status: 0 after a signal to stop, 1 when the server
// could not start (a message says why).
int serve(struct ServeSettings aSettings);

#endif
