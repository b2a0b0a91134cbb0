#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "receiver_state.h"

timespec now()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time;
}

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
                          !apRequest->noKey                   ? "wrong key or damaged"
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

bool noteOnce(RateNote *apNote)
{
    long long seconds = now().tv_sec;
    if (apNote->windowStart != 0 && seconds - apNote->windowStart < 60) {
        ++apNote->more;
        return false;
    }
    apNote->windowStart = seconds;
    apNote->more = 0;
    return true;
}

unsigned long long noteEnded(RateNote *apNote)
{
    if (apNote->windowStart == 0 || now().tv_sec - apNote->windowStart < 60)
        return 0;
    // A burst that goes on is counted on in a new window, with no first
    // line of its own: a line a minute in all.
    unsigned long long more = apNote->more;
    apNote->windowStart = more > 0 ? now().tv_sec : 0;
    apNote->more = 0;
    return more;
}
