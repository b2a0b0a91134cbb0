// sealpost-receiver devices: when each device was last heard from, for a
// person or a cron line to see which have gone silent.
#ifndef RECEIVER_DEVICES_H
#define RECEIVER_DEVICES_H

#include "keys.h"
#include "store.h"

// A duration as "90s", "30m", "1h" or "2d": a whole number from 1 to
// 999,999,999 and its unit; false for anything else.
bool readDuration(const char *apText, long long *apSeconds);

// The time aUnixSeconds as the store writes times, in UTC as ISO 8601.
void isoTime(long long aUnixSeconds, char *apText);

// Prints a JSON line for each device that has posted or has keys in
// apRing, those kept longest ago first, those never kept before them; with
// aSilentSeconds not negative, only those kept that long ago or never.
// Returns the exit status: with aSilentSeconds, 1 when it listed any; 1
// after a message when the store could not be read.
int printDevices(Store *apStore, const KeyRing *apRing, long long aSilentSeconds);

#endif
