// sealpost-receiver check: what the receiver would start with, read as it
// reads it, summed up in one line, so that an operator, or the unit's
// reload, learns of a refused key before the running receiver does.
#ifndef RECEIVER_CHECK_H
#define RECEIVER_CHECK_H

#include "keys.h"

struct CheckSettings {
    const char *config; // the configuration file read; null: none
    struct KeySettings keys;
    const struct KeyRing *ring; // read from keys already
    const char *store;          // the store's URL
};

// Opens the store to read and prints the line on standard output: 0; or
// prints the fault on standard error: 1.
int printCheck(const char *apProgram, struct CheckSettings aSettings);

#endif
