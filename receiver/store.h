// Where the receiver keeps what devices post: an SQLite file on this host,
// or a PostgreSQL database that receivers on several hosts share. The table
// received holds the texts that opened, each marked whether its MAC showed
// it a device's own; unopened holds the sealed hex of posts that did not
// open, or did not authenticate, bounded, for a later reopen with another
// key; authenticated names the devices that have had an authentic post
// kept, whose posts without a MAC are forged from then on. Each
// post is kept once: a post whose digest either table holds already is a
// duplicate and is not kept again.
#ifndef RECEIVER_STORE_H
#define RECEIVER_STORE_H

#include <stddef.h>

struct sqlite3;
struct sqlite3_stmt;
struct pg_conn;
struct pg_result;

enum {
    storeMessageSize = 320,
    peerSize = 46,      // an IPv6 address as text, with its terminator
    timestampSize = 21, // 2026-12-08T18:43:03Z and the terminator
    digestSize = 65     // SHA-256 in lowercase hex, with its terminator
};

enum StoreAccess {
    storeToKeep,   // created where missing; the receiver's own
    storeToRead,   // must exist; only read
    storeToReopen  // read and written; must exist
};

enum StoreKind { storeSqlite, storePostgres };

// What failed, worded for a person: the store's URL or path and the
// database's reason.
struct StoreFault {
    bool failed;
    char message[storeMessageSize];
};

struct Store {
    enum StoreKind kind;
    long long unopenedLimit; // bytes of sealed hex kept in unopened at most
    // SQLite
    struct sqlite3 *db;
    struct sqlite3_stmt *insertReceived;
    struct sqlite3_stmt *insertUnopened;
    struct sqlite3_stmt *unopenedBytes;
    struct sqlite3_stmt *dropOldestUnopened;
    struct sqlite3_stmt *insertRepeated; // null where only read or reopened
    struct sqlite3_stmt *authenticates;
    struct sqlite3_stmt *insertAuthenticated;
    // PostgreSQL
    struct pg_conn *pg;
    long long lastTrim; // CLOCK_MONOTONIC seconds of the last trim of unopened
    bool keptSinceTrim; // a commit since then: the next trim has work
    long long sinceCheckpoint; // SQLite: pages written since the last checkpoint
    bool pgAbandoned;   // a wait ran out mid-exchange: reconnect before the next
    // A database that did not answer when opened to keep: commits and
    // checks try it again, once a second at most, and make its tables ready
    // as openStore would once it answers. pgAwayFault says why not yet.
    bool pgAway;
    long long pgTried; // CLOCK_MONOTONIC milliseconds of the last try while away
    struct StoreFault pgAwayFault;
};

struct Post {
    const char *sealed;             // the hex as posted
    const char *text;               // the opened text; null when it did not open
    const char *device;             // null: the post named none
    char peer[peerSize];            // the client's address
    char receivedAt[timestampSize]; // UTC, ISO 8601
    char digest[digestSize];        // postDigest's, set before keeping
    const char *mac;                // null: the post carried none
    bool authentic;                 // its MAC verified under the device's key
    bool noKey;                     // no key for the device was there to open it
    // Set before keeping when its MAC verified under none of the device's
    // keys, or it carried none where one is required; set by keepGroup when
    // it carried none and the device has had an authentic post kept.
    bool forged;
    bool duplicate;                 // set by keepGroup: kept before, not again
};

struct ReceivedRow {
    const char *receivedAt;
    const char *peer;
    const char *device; // null: the post named none
    const char *text;
    bool authentic;
};

// Per device, how many posts unopened holds and when the last came.
struct NotOpenedRow {
    const char *device; // null: posts that named none
    long long count;
    const char *last;
};

// Per device that has posted, what the store holds of it: the times in
// UTC as ISO 8601, each null when there is none.
struct DeviceRow {
    const char *device;
    const char *lastKept;      // in received
    long long keptSince;       // rows of received from the walk's since on
    const char *lastNotOpened; // in unopened, not forged
    const char *lastForged;    // in unopened, kept as forged
};

// Which rows of received to walk: from since on (null: all; an ISO 8601
// time in UTC, or a prefix of one such as a date), of device only (null:
// every device's).
struct ReceivedFilter {
    const char *since;
    const char *device;
    bool authenticOnly;
};

// Where a walk through rows stands; start with every member zero.
struct StoreCursor {
    struct sqlite3_stmt *statement;
    struct pg_result *result;
    int row;
};

// CLOCK_MONOTONIC's time in milliseconds, which deadlines are given in.
long long monotonicMilliseconds(void);

// The digest that makes a post a duplicate: SHA-256 over the device's name
// (empty for none), a line break, and the sealed hex in lowercase. False
// when OpenSSL could not make it (out of memory).
bool postDigest(const char *apDevice, const char *apSealed, char *apDigest);

// Opens the store apUrl names ("sqlite:PATH" or a "postgresql://" URI),
// makes its tables where they are missing and checks it can be written
// (storeToKeep) or read. On a fault *apStore is closed already. A
// PostgreSQL database that does not answer yet (down, unreachable, starting
// up) is no fault for storeToKeep: the store is left away instead.
struct StoreFault openStore(const char *apUrl, enum StoreAccess aAccess, long long aUnopenedLimit,
                            struct Store *apStore);
void closeStore(struct Store *apStore);

// Where the store is, for the log: a path, or a database and its host;
// never a password.
void describeStore(const struct Store *apStore, char *apText, size_t aSize);

// Keeps aCount posts in one transaction, all of them or none: each goes to
// received if it opened, else to unopened, unless its digest is there
// already, which sets its duplicate. A post of a given length costs the
// same whichever it is: each commit writes as many bytes for it. Fails when
// it has not ended by aDeadline (CLOCK_MONOTONIC milliseconds).
struct StoreFault keepGroup(struct Store *apStore, struct Post **apPosts, size_t aCount, long long aDeadline);

// The work keeping posts leaves for later, done once their answers are
// out: SQLite's log moved into the database now and then, and unopened
// trimmed to its limit in a transaction of its own, every 10 seconds at
// most (or at once with aNow) while posts are kept.
struct StoreFault tidyStore(struct Store *apStore, bool aNow);

// Whether the store answers now; a lost PostgreSQL connection is tried
// again first.
bool storeAnswers(struct Store *apStore);

// Each call sets *apRow and returns true, or returns false at the end
// (with a fault when reading failed) and ends the walk. Rows come oldest
// first.
bool nextReceived(struct Store *apStore, struct ReceivedFilter aFilter, struct StoreCursor *apCursor,
                  struct ReceivedRow *apRow, struct StoreFault *apFault);
// The devices in name order, posts that named none first.
bool nextNotOpened(struct Store *apStore, struct StoreCursor *apCursor, struct NotOpenedRow *apRow,
                   struct StoreFault *apFault);

// The devices in name order, posts that named none left out; apSince
// (ISO 8601 in UTC) is where keptSince starts counting.
bool nextDevice(struct Store *apStore, const char *apSince, struct StoreCursor *apCursor, struct DeviceRow *apRow,
                struct StoreFault *apFault);

enum StoreTable { tableReceived, tableUnopened, tableAuthenticated };

// A row of any of the tables, as copy moves it from one store to another:
// received's text or unopened's sealed hex is its body; authenticated's
// since is its receivedAt.
struct StoredRow {
    const char *receivedAt;
    const char *peer;
    const char *device;
    const char *body;
    const char *digest; // null: kept before digests were
    const char *reason;
    const char *mac;
    bool authentic;
};

// Every row of aTable, oldest first; what it sets stays valid until the
// next call.
bool nextStoredRow(struct Store *apStore, enum StoreTable aTable, struct StoreCursor *apCursor,
                   struct StoredRow *apRow, struct StoreFault *apFault);

// Copies rows into aTable in one transaction, each with the digest it
// carries (received and unopened) or of the device it names
// (authenticated), but those whose digest or device the table holds
// already; adds to *apCopied how many it added.
struct StoreFault copyRows(struct Store *apStore, enum StoreTable aTable, const struct StoredRow *apRows,
                           size_t aCount, size_t *apCopied);

// Opens what it can of unopened under apKey and moves it to received, in
// small transactions; counts what it moved and what it tried.
struct Reopened {
    struct StoreFault fault;
    size_t moved;
    size_t tried;
};
struct Reopened reopenUnopened(struct Store *apStore, const char *apKey);

#endif
