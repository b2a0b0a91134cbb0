// sealpost-receiver copy: every row of one store into another, SQLite to
// PostgreSQL or back, each kept once, so that a copy run again, or over
// rows the other store holds already, changes nothing.
#ifndef RECEIVER_COPY_H
#define RECEIVER_COPY_H

#include "store.h"

// Prints what it copied of each table, and what was there already, in a
// line; returns the exit status, 1 after a message when a store failed.
int copyStore(Store *apFrom, Store *apTo);

#endif
