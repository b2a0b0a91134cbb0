#include <signal.h>
#include <stdio.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "receiver_state.h"
#include "systemd.h"

namespace {

// A key or folder that cannot be read leaves the keys in force as they were.
void readKeysAgain(Receiver *apReceiver)
{
    KeyRing fresh;
    KeysFault fault = loadKeyRing(apReceiver->keySettings, &fresh);
    char line[keysMessageSize + 32];
    ++apReceiver->reloads;
    if (fault.failed) {
        snprintf(line, sizeof line, "%s; keeps the keys it had", fault.message);
        logLine("%s", line);
        reportReload(apReceiver->reloads, false, line);
        return;
    }
    freeKeyRing(&apReceiver->ring);
    apReceiver->ring = fresh;
    keyedDevicesChanged(apReceiver);
    if (fresh.single != nullptr)
        snprintf(line, sizeof line, "read the key again from %s", apReceiver->keySettings.keyFile);
    else
        snprintf(line, sizeof line, "read the keys again: %zu device%s with %zu key%s%s", fresh.deviceCount,
                 fresh.deviceCount == 1 ? "" : "s", fresh.keyCount, fresh.keyCount == 1 ? "" : "s",
                 fresh.master != nullptr ? ", and the master key" : "");
    logLine("%s", line);
    reportReload(apReceiver->reloads, true, line);
}

} // namespace

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
