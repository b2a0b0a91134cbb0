// The two things the receiver asks of systemd, written out here so that it
// links no library for them: the socket systemd listens on for it, and
// word that it is ready or stopping.
#ifndef RECEIVER_SYSTEMD_H
#define RECEIVER_SYSTEMD_H

enum { systemdFirstSocket = 3 };

// How many sockets systemd passed this process (LISTEN_FDS, when
// LISTEN_PID is this process), from systemdFirstSocket on; 0 when it passed
// none. Clears both variables, so that no child takes them for its own.
int socketsFromSystemd(void);

// Sends apState ("READY=1") to $NOTIFY_SOCKET; nothing without one.
void notifySystemd(const char *apState);

#endif
