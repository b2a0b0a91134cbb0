// The receiver's HTTP side: answers every post on a listening socket, keeps
// what it receives in the store in grouped commits, and runs until SIGTERM
// or SIGINT arrives on the signal descriptor; SIGHUP reads the key again.
#ifndef RECEIVER_SERVE_H
#define RECEIVER_SERVE_H

#include "store.h"

struct ServeSettings {
    int listenFd;          // bound and listening; serve closes it
    int signalFd;          // a signalfd for SIGHUP, SIGINT and SIGTERM
    const char *keyFile;   // read again on SIGHUP
    char *key;             // a buffer of keyFileBufferSize bytes holding the key text
    struct Store store;
    unsigned connections;  // the most connections open at once
};

// Returns the exit status: 0 after a signal to stop, 1 when the server
// could not start (a message says why).
int serve(struct ServeSettings aSettings);

#endif
