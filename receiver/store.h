// Where the receiver keeps what devices post: an SQLite database in WAL mode
// with synchronous=FULL, so that a commit that returned is on the disk. The
// table received holds the texts that opened; unopened holds the sealed hex
// of posts that did not, bounded, for a later reopen with another key.
#ifndef RECEIVER_STORE_H
#define RECEIVER_STORE_H

#include <stddef.h>

struct sqlite3;
struct sqlite3_stmt;

enum {
    storeMessageSize = 320,
    peerSize = 46,      // an IPv6 address as text, with its terminator
    timestampSize = 21  // 2026-12-08T18:43:03Z and the terminator
};

enum StoreAccess {
    storeToKeep,   // created where missing; the receiver's own
    storeToRead,   // must exist; only read
    storeToReopen  // read and written; must exist
};

struct Store {
    struct sqlite3 *db;
    struct sqlite3_stmt *insertReceived;
    struct sqlite3_stmt *insertUnopened;
    struct sqlite3_stmt *unopenedBytes;
    struct sqlite3_stmt *dropOldestUnopened;
    long long unopenedLimit; // bytes of sealed hex kept in unopened at most
};

// What failed, worded for a person: the store's URL or path and SQLite's reason.
struct StoreFault {
    bool failed;
    char message[storeMessageSize];
};

struct Post {
    const char *sealed;           // the hex as posted
    const char *text;             // the opened text; null when it did not open
    const char *device;           // null: the post named none
    char peer[peerSize];          // the client's address
    char receivedAt[timestampSize]; // UTC, ISO 8601
};

struct ReceivedRow {
    const char *receivedAt;
    const char *peer;
    const char *device; // null: the post named none
    const char *text;
};

// Opens the store apUrl names ("sqlite:PATH"), makes its tables where they
// are missing and checks it can be written (storeToKeep) or read. On a
// fault *apStore is closed already.
struct StoreFault openStore(const char *apUrl, enum StoreAccess aAccess, long long aUnopenedLimit,
                            struct Store *apStore);
void closeStore(struct Store *apStore);

// A group of posts is kept in one transaction: all of them or none.
// keepPost after a failed call, and commitGroup after a failed keepPost,
// fail too; commitGroup rolls a failed group back.
struct StoreFault beginGroup(struct Store aStore);
struct StoreFault keepPost(struct Store aStore, struct Post aPost);
struct StoreFault commitGroup(struct Store aStore, struct StoreFault aSoFar);

// Walks the rows of received from apSince on (null: all; an ISO 8601 time
// in UTC, or a prefix of one such as a date), oldest first. Start with
// *apCursor null; each call sets *apRow and returns true, or returns false
// at the end (with a fault when reading failed) and finalises the cursor.
bool nextReceived(struct Store aStore, const char *apSince, struct sqlite3_stmt **apCursor,
                  struct ReceivedRow *apRow, struct StoreFault *apFault);

// Opens what it can of unopened under apKey and moves it to received, in
// small transactions; counts what it moved and what it tried.
struct Reopened {
    struct StoreFault fault;
    size_t moved;
    size_t tried;
};
struct Reopened reopenUnopened(struct Store aStore, const char *apKey);

#endif
