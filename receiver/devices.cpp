#include "devices.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "form.h"
#include "json.h"

namespace {

constexpr char kProgram[] = "sealpost-receiver";
constexpr long long kDaySeconds = 24 * 60 * 60;

struct DeviceLine {
    char device[deviceNameMax + 1];
    char lastKept[timestampSize]; // empty: never
    long long keptDay;
    char lastNotOpened[timestampSize];
    char lastForged[timestampSize];
};

void copyTime(char *apTo, const char *apTime)
{
    snprintf(apTo, timestampSize, "%s", apTime != nullptr ? apTime : "");
}

// Never kept first, as the empty time sorts; then the longest silent.
int byLastKept(const void *apLeft, const void *apRight)
{
    const DeviceLine *left = static_cast<const DeviceLine *>(apLeft);
    const DeviceLine *right = static_cast<const DeviceLine *>(apRight);
    int order = strcmp(left->lastKept, right->lastKept);
    return order != 0 ? order : strcmp(left->device, right->device);
}

bool addLine(DeviceLine **apLines, size_t *apCount, size_t *apCapacity)
{
    if (*apCount == *apCapacity) {
        size_t capacity = *apCapacity == 0 ? 64 : *apCapacity * 2;
        DeviceLine *grown = static_cast<DeviceLine *>(realloc(*apLines, capacity * sizeof *grown));
        if (grown == nullptr)
            return false;
        *apLines = grown;
        *apCapacity = capacity;
    }
    (*apLines)[(*apCount)++] = {};
    return true;
}

void writeTime(const char *apName, const char *apTime)
{
    printf(", \"%s\": ", apName);
    writeJsonStringOrNull(stdout, *apTime != '\0' ? apTime : nullptr);
}

} // namespace

bool readDuration(const char *apText, long long *apSeconds)
{
    constexpr long long kMost = 999999999;
    char *end = nullptr;
    errno = 0;
    long long number = apText[0] >= '0' && apText[0] <= '9' ? strtoll(apText, &end, 10) : 0;
    if (errno != 0 || number < 1 || number > kMost || end[0] == '\0' || end[1] != '\0')
        return false;
    long long unit = end[0] == 's' ? 1 : end[0] == 'm' ? 60 : end[0] == 'h' ? 3600 : end[0] == 'd' ? kDaySeconds : 0;
    *apSeconds = number * unit;
    return unit != 0;
}

void isoTime(long long aUnixSeconds, char *apText)
{
    time_t seconds = static_cast<time_t>(aUnixSeconds);
    tm utc;
    // A time before any the store holds where it cannot be written.
    if (gmtime_r(&seconds, &utc) == nullptr || utc.tm_year < 0 ||
        strftime(apText, timestampSize, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        apText[0] = '\0';
}

int printDevices(Store *apStore, const KeyRing *apRing, long long aSilentSeconds)
{
    long long now = static_cast<long long>(time(nullptr));
    char dayAgo[timestampSize];
    isoTime(now - kDaySeconds, dayAgo);
    DeviceLine *lines = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    bool room = true;
    // Both lists come in name order: merged, each device once.
    size_t keyed = 0;
    StoreCursor cursor = {};
    StoreFault fault = {};
    DeviceRow row;
    for (bool more = nextDevice(apStore, dayAgo, &cursor, &row, &fault); room && (more || keyed < apRing->deviceCount);) {
        const char *name = keyed < apRing->deviceCount ? apRing->devices[keyed].name : nullptr;
        int order = !more ? -1 : name == nullptr ? 1 : strcmp(name, row.device);
        room = addLine(&lines, &count, &capacity);
        if (!room)
            break;
        DeviceLine *line = &lines[count - 1];
        snprintf(line->device, sizeof line->device, "%s", order < 0 ? name : row.device);
        if (order <= 0)
            ++keyed;
        if (order >= 0) {
            copyTime(line->lastKept, row.lastKept);
            line->keptDay = row.keptSince;
            copyTime(line->lastNotOpened, row.lastNotOpened);
            copyTime(line->lastForged, row.lastForged);
            more = nextDevice(apStore, dayAgo, &cursor, &row, &fault);
        }
    }
    if (!room) {
        // The walk is ended, so that its statement or result is let go.
        while (nextDevice(apStore, dayAgo, &cursor, &row, &fault)) {
        }
        fault = {true, "out of memory"};
    }
    if (fault.failed) {
        free(lines);
        fprintf(stderr, "%s: %s\n", kProgram, fault.message);
        return 1;
    }
    qsort(lines, count, sizeof *lines, byLastKept);
    char silentSince[timestampSize] = "";
    if (aSilentSeconds >= 0)
        isoTime(now - aSilentSeconds, silentSince);
    size_t listed = 0;
    for (size_t i = 0; i < count; ++i) {
        const DeviceLine *line = &lines[i];
        if (aSilentSeconds >= 0 && strcmp(line->lastKept, silentSince) >= 0 && line->lastKept[0] != '\0')
            continue;
        ++listed;
        fputs("{\"device\": ", stdout);
        writeJsonString(stdout, line->device);
        writeTime("last_kept", line->lastKept);
        printf(", \"kept_24h\": %lld", line->keptDay);
        writeTime("last_not_opened", line->lastNotOpened);
        writeTime("last_forged", line->lastForged);
        fputs("}\n", stdout);
    }
    free(lines);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, strerror(errno));
        return 1;
    }
    return aSilentSeconds >= 0 && listed > 0 ? 1 : 0;
}
