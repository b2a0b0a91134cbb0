// What the receiver and systemd tell each other, written out here so that
// it links no library for it: the socket systemd listens on for it, word
// that it is ready or stopping, and what a reload did.
#ifndef RECEIVER_SYSTEMD_H
#define RECEIVER_SYSTEMD_H

enum { systemdFirstSocket = 3 };

// How many sockets systemd passed this process (LISTEN_FDS, when
// LISTEN_PID is this process), from systemdFirstSocket on; 0 when it passed
// none. Clears both variables, so that no child takes them for its own.
int socketsFromSystemd(void);

// Sends apState ("READY=1") to $NOTIFY_SOCKET; nothing without one.
void notifySystemd(const char *apState);

// Writes "N read: LINE" or "N refused: LINE" to $RUNTIME_DIRECTORY/reloaded
// for the aCount-th SIGHUP, whole or not at all; nothing without the
// folder. The unit's reload waits for it, so that a reload fails where the
// receiver itself, as the service's user, refuses the keys.
void reportReload(unsigned long long aCount, bool aRead, const char *apLine);

#endif
