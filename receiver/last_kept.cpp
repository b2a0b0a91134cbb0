#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "devices.h"
#include "receiver_state.h"

namespace {

// A failed read is tried again after this long: a role that may not read
// received would otherwise be refused every few seconds.
constexpr long long kRetryMilliseconds = 60000;

// A time as the store writes it in Unix seconds; 0 when it is not one.
long long unixSeconds(const char *apTime)
{
    tm utc = {};
    char zone = '\0';
    if (apTime == nullptr || sscanf(apTime, "%4d-%2d-%2dT%2d:%2d:%2d%c", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                                    &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &zone) != 7 || zone != 'Z')
        return 0;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    time_t seconds = timegm(&utc);
    return seconds > 0 ? static_cast<long long>(seconds) : 0;
}

LastKept *findLastKept(LastKept *apDevices, size_t aCount, const char *apName)
{
    size_t low = 0;
    size_t high = aCount;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        int order = strcmp(apDevices[middle].device, apName);
        if (order == 0)
            return &apDevices[middle];
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return nullptr;
}

void freeRead(LastKeptRead *apRead)
{
    free(apRead->devices);
    *apRead = {};
}

} // namespace

void keyedDevicesChanged(Receiver *apReceiver)
{
    const KeyRing *ring = &apReceiver->ring;
    LastKept *fresh = ring->deviceCount > 0 ? static_cast<LastKept *>(calloc(ring->deviceCount, sizeof *fresh))
                                            : nullptr;
    size_t count = fresh != nullptr ? ring->deviceCount : 0;
    for (size_t i = 0; i < count; ++i) {
        snprintf(fresh[i].device, sizeof fresh[i].device, "%s", ring->devices[i].name);
        const LastKept *had = findLastKept(apReceiver->lastKept, apReceiver->lastKeptCount, fresh[i].device);
        if (had != nullptr)
            fresh[i] = *had;
    }
    free(apReceiver->lastKept);
    apReceiver->lastKept = fresh;
    apReceiver->lastKeptCount = count;
    if (count == 0)
        return;
    CommitQueue *queue = &apReceiver->queue;
    pthread_mutex_lock(&queue->lock);
    queue->lastKeptWanted = true;
    queue->lastKeptTry = 0;
    pthread_cond_signal(&queue->wake);
    pthread_mutex_unlock(&queue->lock);
}

LastKeptRead readLastKept(Store *apStore)
{
    LastKeptRead result = {};
    size_t capacity = 0;
    bool room = true;
    char dayAgo[timestampSize];
    isoTime(static_cast<long long>(time(nullptr)) - 24 * 60 * 60, dayAgo);
    StoreCursor cursor = {};
    DeviceRow row;
    // Walked to its end whatever happens, so that it lets its rows go.
    while (nextDevice(apStore, dayAgo, &cursor, &row, &result.fault)) {
        if (row.lastKept == nullptr || !room)
            continue;
        if (result.count == capacity) {
            capacity = capacity == 0 ? 64 : capacity * 2;
            DeviceTime *grown = static_cast<DeviceTime *>(realloc(result.devices, capacity * sizeof *grown));
            room = grown != nullptr;
            if (!room)
                continue;
            result.devices = grown;
        }
        DeviceTime *device = &result.devices[result.count++];
        snprintf(device->device, sizeof device->device, "%s", row.device);
        device->seconds = unixSeconds(row.lastKept);
    }
    if (!room)
        result.fault = {true, "out of memory"};
    if (result.fault.failed) {
        free(result.devices);
        result.devices = nullptr;
        result.count = 0;
    }
    return result;
}

void takeLastKept(Receiver *apReceiver)
{
    CommitQueue *queue = &apReceiver->queue;
    pthread_mutex_lock(&queue->lock);
    bool ready = queue->lastKeptReady;
    LastKeptRead read = queue->lastKeptRead;
    queue->lastKeptReady = false;
    queue->lastKeptRead = {};
    if (ready && read.fault.failed) {
        queue->lastKeptWanted = true;
        queue->lastKeptTry = monotonicMilliseconds() + kRetryMilliseconds;
    }
    pthread_mutex_unlock(&queue->lock);
    if (!ready)
        return;
    if (read.fault.failed) {
        if (!apReceiver->lastKeptFailing)
            logLine("cannot read when each device was last kept, for /metrics: %s; tries again each minute",
                    read.fault.message);
        apReceiver->lastKeptFailing = true;
        return;
    }
    if (apReceiver->lastKeptFailing)
        logLine("read when each device was last kept, for /metrics");
    apReceiver->lastKeptFailing = false;
    // The store knows every device: one it does not name was never kept.
    for (size_t i = 0; i < apReceiver->lastKeptCount; ++i)
        apReceiver->lastKept[i].known = true;
    for (size_t i = 0; i < read.count; ++i) {
        LastKept *device = findLastKept(apReceiver->lastKept, apReceiver->lastKeptCount, read.devices[i].device);
        if (device != nullptr && read.devices[i].seconds > device->seconds)
            device->seconds = read.devices[i].seconds;
    }
    freeRead(&read);
}

void noteKept(Receiver *apReceiver, const Post *apPost)
{
    if (apPost->device == nullptr)
        return;
    LastKept *device = findLastKept(apReceiver->lastKept, apReceiver->lastKeptCount, apPost->device);
    if (device == nullptr)
        return;
    long long seconds = unixSeconds(apPost->receivedAt);
    device->seconds = seconds > device->seconds ? seconds : device->seconds;
    device->known = true;
}

void releaseLastKept(Receiver *apReceiver)
{
    free(apReceiver->lastKept);
    apReceiver->lastKept = nullptr;
    apReceiver->lastKeptCount = 0;
    freeRead(&apReceiver->queue.lastKeptRead);
}
