#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "receiver_state.h"

namespace {

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
    keyedDevicesChanged(apReceiver);
    if (fresh.single != nullptr)
        logLine("read the key again from %s", apReceiver->keySettings.keyFile);
    else
        logLine("read the keys again: %zu device%s with %zu key%s%s", fresh.deviceCount,
                fresh.deviceCount == 1 ? "" : "s", fresh.keyCount, fresh.keyCount == 1 ? "" : "s",
                fresh.master != nullptr ? ", and the master key" : "");
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
