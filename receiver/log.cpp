#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "receiver_state.h"

namespace {

// Keeps a line to be written once the answers of its turn are out, so that
// writing it cannot show in an answer's time.
__attribute__((format(printf, 2, 3))) void deferFormatted(Receiver *apReceiver, const char *apFormat, ...)
{
    char line[384];
    va_list arguments;
    va_start(arguments, apFormat);
    int length = vsnprintf(line, sizeof line, apFormat, arguments);
    va_end(arguments);
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

} // namespace

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
    // Whole, though the commit thread writes lines too.
    flockfile(stderr);
    fputs("sealpost-receiver: ", stderr);
    vfprintf(stderr, apFormat, arguments);
    fputc('\n', stderr);
    fflush(stderr);
    funlockfile(stderr);
    va_end(arguments);
}

void deferLine(Receiver *apReceiver, const Request *apRequest)
{
    const Post *post = &apRequest->post;
    deferFormatted(apReceiver, "sealpost-receiver: a post from %s naming %s%s does not open: %s; kept in unopened\n",
                   post->peer, post->device != nullptr ? "device " : "no device",
                   post->device != nullptr ? post->device : "",
                   !post->noKey                ? "wrong key or damaged"
                   : post->device != nullptr ? "no key for the device"
                                             : "no key without a device");
}

void noteForged(Receiver *apReceiver, const Request *apRequest)
{
    const Post *post = &apRequest->post;
    const char *device = post->device != nullptr ? post->device : "";
    ForgedNote *note = nullptr;
    ForgedNote *unused = nullptr;
    for (size_t i = 0; i < kForgedNotes && note == nullptr; ++i) {
        ForgedNote *entry = &apReceiver->forged[i];
        if (entry->used && strcmp(entry->device, device) == 0)
            note = entry;
        else if (!entry->used && unused == nullptr)
            unused = entry;
    }
    if (note == nullptr && unused != nullptr) {
        *unused = {true, false, {}, {}};
        snprintf(unused->device, sizeof unused->device, "%s", device);
        note = unused;
    }
    // Past the table's room every other device shares one line.
    if (note == nullptr) {
        note = &apReceiver->forged[kForgedNotes];
        note->used = true;
        note->other = true;
    }
    if (!noteOnce(&note->note))
        return;
    deferFormatted(apReceiver,
                   "sealpost-receiver: a post from %s naming %s%s is forged: %s; kept in unopened, and more such "
                   "posts are counted, in a line a minute\n",
                   post->peer, *device != '\0' ? "device " : "no device", device,
                   post->mac != nullptr     ? "its MAC is none of the device's keys'"
                   : apReceiver->requireMac ? "it carries no MAC, which this receiver requires"
                                            : "it carries no MAC, and the device has sent authentic posts");
}

void logForgedMinutes(Receiver *apReceiver)
{
    for (ForgedNote &note : apReceiver->forged) {
        if (!note.used)
            continue;
        unsigned long long more = noteEnded(&note.note);
        if (more > 0)
            logLine("%llu more post%s naming %s%s %s forged in the last minute; kept in unopened", more,
                    more == 1 ? "" : "s",
                    note.other            ? "other devices"
                    : *note.device != '\0' ? "device "
                                          : "no device",
                    note.other ? "" : note.device, more == 1 ? "was" : "were");
        note.used = note.note.windowStart != 0;
    }
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
