#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <sqlite3.h>

#include "sealed.h"
#include "store_backends.h"

namespace {

// How long a commit waits for another writer (reopen, or a second
// receiver on the same file) before the posts it carries get 503.
constexpr int kBusyMilliseconds = 2000;
constexpr int kReopenBatch = 256;
constexpr char kTables[] = R"(
CREATE TABLE IF NOT EXISTS received (
    id INTEGER PRIMARY KEY,
    received_at TEXT NOT NULL,
    peer TEXT NOT NULL,
    device TEXT,
    text TEXT NOT NULL,
    digest TEXT);
CREATE TABLE IF NOT EXISTS unopened (
    id INTEGER PRIMARY KEY,
    received_at TEXT NOT NULL,
    peer TEXT NOT NULL,
    device TEXT,
    sealed TEXT NOT NULL,
    digest TEXT);
)";
// After the digest column is there: a store made by a receiver that kept
// no digests gets it added, empty in the rows it holds.
constexpr char kIndexes[] = R"(
CREATE UNIQUE INDEX IF NOT EXISTS received_digest ON received (digest);
CREATE UNIQUE INDEX IF NOT EXISTS unopened_digest ON unopened (digest);
-- Every post changes this one row, whichever table it goes to, so that
-- every commit writes as many pages to the disk, and takes as long, whether
-- its posts opened or not.
CREATE TABLE IF NOT EXISTS totals (received INTEGER NOT NULL, unopened_bytes INTEGER NOT NULL);
INSERT INTO totals (received, unopened_bytes) SELECT 0, 0 WHERE NOT EXISTS (SELECT 1 FROM totals);
CREATE TRIGGER IF NOT EXISTS received_added AFTER INSERT ON received
    BEGIN UPDATE totals SET received = received + 1; END;
CREATE TRIGGER IF NOT EXISTS unopened_added AFTER INSERT ON unopened
    BEGIN UPDATE totals SET unopened_bytes = unopened_bytes + length(NEW.sealed); END;
CREATE TRIGGER IF NOT EXISTS unopened_removed AFTER DELETE ON unopened
    BEGIN UPDATE totals SET unopened_bytes = unopened_bytes - length(OLD.sealed); END;
-- A duplicate is written here as it would have been written the first
-- time, so that a commit costs as much whether its posts were kept before
-- or not; the rows go at the next trim.
CREATE TABLE IF NOT EXISTS repeated (
    received_at TEXT NOT NULL,
    peer TEXT NOT NULL,
    device TEXT,
    body TEXT NOT NULL,
    digest TEXT NOT NULL,
    pad BLOB);
CREATE INDEX IF NOT EXISTS repeated_digest ON repeated (digest);
-- For the walk by device; on all three tables, so that a post costs a
-- commit as many pages whichever it goes to.
CREATE INDEX IF NOT EXISTS received_device ON received (device, received_at);
CREATE INDEX IF NOT EXISTS unopened_device ON unopened (device, received_at);
CREATE INDEX IF NOT EXISTS repeated_device ON repeated (device, received_at);
CREATE TABLE IF NOT EXISTS authenticated (device TEXT PRIMARY KEY, since TEXT NOT NULL);
)";
// Each device's name found in the index a step at a time, each step the
// next name past the last, so that the walk costs a lookup a device, not a
// read of every row.
constexpr char kDevices[] = R"(
WITH RECURSIVE
kept(device) AS (SELECT min(device) FROM received
    UNION ALL SELECT (SELECT min(device) FROM received WHERE device > kept.device) FROM kept WHERE device IS NOT NULL),
held(device) AS (SELECT min(device) FROM unopened
    UNION ALL SELECT (SELECT min(device) FROM unopened WHERE device > held.device) FROM held WHERE device IS NOT NULL),
names(device) AS (SELECT device FROM kept WHERE device IS NOT NULL UNION SELECT device FROM held WHERE device IS NOT NULL)
SELECT device,
    (SELECT max(received_at) FROM received r WHERE r.device = names.device),
    (SELECT count(*) FROM received r WHERE r.device = names.device AND r.received_at >= ?1),
    (SELECT max(received_at) FROM unopened u WHERE u.device = names.device AND u.reason IS NOT 'forged'),
    (SELECT max(received_at) FROM unopened u WHERE u.device = names.device AND u.reason IS 'forged')
FROM names ORDER BY device)";
constexpr char kTriggers[] = R"(
CREATE TRIGGER IF NOT EXISTS repeated_added AFTER INSERT ON repeated
    BEGIN UPDATE totals SET repeated = repeated + 1; END;
)";
// SQLite's log is moved into the database by the commit thread once its
// answers are out, after about this many pages of it, as SQLite itself
// would in the commit that reached them.
constexpr int kCheckpointPages = 1000;
// Rows up to about this long fit in a page of their table's own.
constexpr size_t kInlineBytes = 3500;

StoreFault fault(const char *apWhat, sqlite3 *apDb)
{
    return storeFault("%s: %s", apWhat, apDb != nullptr ? sqlite3_errmsg(apDb) : "out of memory");
}

constexpr StoreFault kNoFault = {false, {}};

StoreFault run(sqlite3 *apDb, const char *apSql, const char *apWhat)
{
    if (sqlite3_exec(apDb, apSql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return fault(apWhat, apDb);
    return kNoFault;
}

// Runs a statement that returns no row and makes it ready to run again.
bool stepDone(sqlite3_stmt *apStatement)
{
    bool done = sqlite3_step(apStatement) == SQLITE_DONE;
    sqlite3_reset(apStatement);
    sqlite3_clear_bindings(apStatement);
    return done;
}

void bindText(sqlite3_stmt *apStatement, int aIndex, const char *apText)
{
    if (apText != nullptr)
        sqlite3_bind_text(apStatement, aIndex, apText, -1, SQLITE_STATIC);
    else
        sqlite3_bind_null(apStatement, aIndex);
}

bool prepare(sqlite3 *apDb, const char *apSql, sqlite3_stmt **apStatement)
{
    return sqlite3_prepare_v3(apDb, apSql, -1, SQLITE_PREPARE_PERSISTENT, apStatement, nullptr) == SQLITE_OK;
}

void rollBack(sqlite3 *apDb)
{
    if (sqlite3_get_autocommit(apDb) == 0)
        sqlite3_exec(apDb, "ROLLBACK", nullptr, nullptr, nullptr);
}

StoreFault refuse(Store *apStore, StoreFault aFault)
{
    closeSqliteStore(apStore);
    return aFault;
}

const char *columnText(sqlite3_stmt *apStatement, int aColumn)
{
    return reinterpret_cast<const char *>(sqlite3_column_text(apStatement, aColumn));
}

// Whether apTable has the column apColumn; a fault when it cannot be told.
bool hasColumn(sqlite3 *apDb, const char *apTable, const char *apColumn, StoreFault *apFault)
{
    char sql[96];
    snprintf(sql, sizeof sql, "SELECT 1 FROM pragma_table_info('%s') WHERE name = '%s'", apTable, apColumn);
    sqlite3_stmt *statement = nullptr;
    int step = SQLITE_ERROR;
    if (sqlite3_prepare_v2(apDb, sql, -1, &statement, nullptr) == SQLITE_OK)
        step = sqlite3_step(statement);
    sqlite3_finalize(statement);
    if (step != SQLITE_ROW && step != SQLITE_DONE)
        *apFault = fault("cannot read the store's tables", apDb);
    return step == SQLITE_ROW;
}

// Adds a column that a store made by an older receiver lacks: empty in the
// rows it holds.
StoreFault addColumn(sqlite3 *apDb, const char *apTable, const char *apColumn, const char *apType,
                     const char *apWhat)
{
    StoreFault result = kNoFault;
    if (hasColumn(apDb, apTable, apColumn, &result) || result.failed)
        return result;
    char sql[96];
    snprintf(sql, sizeof sql, "ALTER TABLE %s ADD COLUMN %s %s", apTable, apColumn, apType);
    return run(apDb, sql, apWhat);
}

StoreFault makeTables(sqlite3 *apDb, const char *apWhat)
{
    StoreFault result = run(apDb, kTables, apWhat);
    if (!result.failed)
        result = addColumn(apDb, "received", "digest", "TEXT", apWhat);
    if (!result.failed)
        result = addColumn(apDb, "unopened", "digest", "TEXT", apWhat);
    if (!result.failed)
        result = addColumn(apDb, "received", "pad", "BLOB", apWhat);
    if (!result.failed)
        result = addColumn(apDb, "received", "authentic", "INTEGER", apWhat);
    if (!result.failed)
        result = addColumn(apDb, "unopened", "reason", "TEXT", apWhat);
    if (!result.failed)
        result = addColumn(apDb, "unopened", "mac", "TEXT", apWhat);
    if (!result.failed)
        result = run(apDb, kIndexes, apWhat);
    if (!result.failed)
        result = addColumn(apDb, "totals", "repeated", "INTEGER NOT NULL DEFAULT 0", apWhat);
    if (!result.failed)
        result = addColumn(apDb, "totals", "trims", "INTEGER NOT NULL DEFAULT 0", apWhat);
    if (!result.failed)
        result = run(apDb, kTriggers, apWhat);
    return result;
}

// Deletes the oldest unopened posts until what is left fits the limit.
bool dropOldest(Store *apStore)
{
    for (;;) {
        if (sqlite3_step(apStore->unopenedBytes) != SQLITE_ROW) {
            sqlite3_reset(apStore->unopenedBytes);
            return false;
        }
        long long total = sqlite3_column_int64(apStore->unopenedBytes, 0);
        sqlite3_reset(apStore->unopenedBytes);
        if (total <= apStore->unopenedLimit)
            return true;
        if (!stepDone(apStore->dropOldestUnopened))
            return false;
        if (sqlite3_changes(apStore->db) == 0)
            return true;
    }
}

// Why a post went to unopened, as the table says it.
const char *reasonOf(const Post *apPost)
{
    return apPost->forged ? "forged" : apPost->noKey ? "no key" : "does not open";
}

// A post without a MAC from a device that has had an authentic post kept is
// forged: a board that authenticates never goes back.
StoreFault checkAuthenticates(Store *apStore, Post *apPost)
{
    if (apPost->forged || apPost->mac != nullptr || apPost->device == nullptr || apStore->authenticates == nullptr)
        return kNoFault;
    bindText(apStore->authenticates, 1, apPost->device);
    int step = sqlite3_step(apStore->authenticates);
    apPost->forged = step == SQLITE_ROW;
    sqlite3_reset(apStore->authenticates);
    sqlite3_clear_bindings(apStore->authenticates);
    return step == SQLITE_ROW || step == SQLITE_DONE ? kNoFault : fault("cannot keep a post", apStore->db);
}

StoreFault keepOne(Store *apStore, Post *apPost)
{
    StoreFault checked = checkAuthenticates(apStore, apPost);
    if (checked.failed)
        return checked;
    bool opened = apPost->text != nullptr && !apPost->forged;
    sqlite3_stmt *insert = opened ? apStore->insertReceived : apStore->insertUnopened;
    bindText(insert, 1, apPost->receivedAt);
    bindText(insert, 2, apPost->peer);
    bindText(insert, 3, apPost->device);
    bindText(insert, 4, opened ? apPost->text : apPost->sealed);
    bindText(insert, 5, apPost->digest);
    if (opened) {
        sqlite3_bind_int(insert, 7, apPost->authentic);
    } else {
        bindText(insert, 6, reasonOf(apPost));
        bindText(insert, 7, apPost->mac);
    }
    // A row is as long as the hex it came as, whichever table it goes to:
    // a text that opened is shorter, by what goes to its pad, once the row
    // is too long for its page and the difference would be whole pages
    // more or less. A duplicate is written to repeated as it would have
    // been the first time. So a commit's pages on the disk, and its time,
    // tell neither which posts opened nor which were kept before.
    size_t hex = strlen(apPost->sealed);
    sqlite3_int64 pad = opened && hex > kInlineBytes ? static_cast<sqlite3_int64>(hex - strlen(apPost->text)) : 0;
    if (opened)
        sqlite3_bind_int64(insert, 6, pad);
    if (!stepDone(insert))
        return fault("cannot keep a post", apStore->db);
    apPost->duplicate = sqlite3_changes(apStore->db) == 0;
    if (opened && apPost->authentic && apPost->device != nullptr && apStore->insertAuthenticated != nullptr) {
        bindText(apStore->insertAuthenticated, 1, apPost->device);
        bindText(apStore->insertAuthenticated, 2, apPost->receivedAt);
        if (!stepDone(apStore->insertAuthenticated))
            return fault("cannot keep a post", apStore->db);
    }
    if (!apPost->duplicate || apStore->insertRepeated == nullptr)
        return kNoFault;
    bindText(apStore->insertRepeated, 1, apPost->receivedAt);
    bindText(apStore->insertRepeated, 2, apPost->peer);
    bindText(apStore->insertRepeated, 3, apPost->device);
    bindText(apStore->insertRepeated, 4, opened ? apPost->text : apPost->sealed);
    bindText(apStore->insertRepeated, 5, apPost->digest);
    sqlite3_bind_int64(apStore->insertRepeated, 6, pad);
    return stepDone(apStore->insertRepeated) ? kNoFault : fault("cannot keep a post", apStore->db);
}

StoreFault commit(Store *apStore, StoreFault aSoFar)
{
    StoreFault result = aSoFar;
    if (!result.failed)
        result = run(apStore->db, "COMMIT", "cannot commit");
    if (result.failed)
        rollBack(apStore->db);
    return result;
}

} // namespace

StoreFault openSqliteStore(const char *apPath, StoreAccess aAccess, Store *apStore)
{
    if (*apPath == '\0')
        return storeFault("the store sqlite: names no file: give sqlite:PATH");
    if (aAccess != storeToKeep && access(apPath, F_OK) != 0)
        return storeFault("there is no store at %s: the receiver makes it when it starts", apPath);

    // Read and write even to read: the last connection to close removes the
    // WAL's files, so that root running export while the receiver is down
    // leaves none behind that the receiver's own user could not open.
    int flags = SQLITE_OPEN_READWRITE;
    if (aAccess == storeToKeep)
        flags |= SQLITE_OPEN_CREATE;
    char what[storeMessageSize / 2];
    snprintf(what, sizeof what, "cannot open the store %s", apPath);
    if (sqlite3_open_v2(apPath, &apStore->db, flags, nullptr) != SQLITE_OK)
        return refuse(apStore, fault(what, apStore->db));
    sqlite3_busy_timeout(apStore->db, kBusyMilliseconds);
    if (aAccess == storeToRead)
        return kNoFault;

    // Checkpoints are the commit thread's, after a commit's answers.
    StoreFault result = run(apStore->db, "PRAGMA synchronous=FULL; PRAGMA wal_autocheckpoint=0", what);
    if (!result.failed && aAccess == storeToKeep) {
        sqlite3_stmt *mode = nullptr;
        bool wal = prepare(apStore->db, "PRAGMA journal_mode=WAL", &mode) && sqlite3_step(mode) == SQLITE_ROW &&
                   strcmp(columnText(mode, 0), "wal") == 0;
        sqlite3_finalize(mode);
        if (sqlite3_db_readonly(apStore->db, "main") != 0)
            result = storeFault("the store %s is read-only: the receiver must be able to write it", apPath);
        else if (!wal)
            result = fault(what, apStore->db);
        if (!result.failed)
            result = makeTables(apStore->db, what);
    }
    if (!result.failed)
        result = run(apStore->db, "BEGIN IMMEDIATE; COMMIT", what);
    if (result.failed)
        return refuse(apStore, result);

    if (!prepare(apStore->db,
                 "INSERT INTO received (received_at, peer, device, text, digest, pad, authentic) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, zeroblob(?6), ?7) ON CONFLICT (digest) DO NOTHING",
                 &apStore->insertReceived) ||
        !prepare(apStore->db,
                 "INSERT INTO unopened (received_at, peer, device, sealed, digest, reason, mac) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (digest) DO NOTHING",
                 &apStore->insertUnopened) ||
        !prepare(apStore->db, "SELECT unopened_bytes FROM totals", &apStore->unopenedBytes) ||
        !prepare(apStore->db, "DELETE FROM unopened WHERE id = (SELECT min(id) FROM unopened)",
                 &apStore->dropOldestUnopened) ||
        (aAccess == storeToKeep && !prepare(apStore->db,
                                            "INSERT INTO repeated (received_at, peer, device, body, digest, pad) "
                                            "VALUES (?1, ?2, ?3, ?4, ?5, zeroblob(?6))",
                                            &apStore->insertRepeated)) ||
        (aAccess == storeToKeep &&
         !prepare(apStore->db, "SELECT 1 FROM authenticated WHERE device = ?1", &apStore->authenticates)) ||
        !prepare(apStore->db, "INSERT INTO authenticated (device, since) VALUES (?1, ?2) ON CONFLICT DO NOTHING",
                 &apStore->insertAuthenticated))
        return refuse(apStore, fault(what, apStore->db));
    return kNoFault;
}

void closeSqliteStore(Store *apStore)
{
    sqlite3_finalize(apStore->insertReceived);
    sqlite3_finalize(apStore->insertUnopened);
    sqlite3_finalize(apStore->unopenedBytes);
    sqlite3_finalize(apStore->dropOldestUnopened);
    sqlite3_finalize(apStore->insertRepeated);
    sqlite3_finalize(apStore->authenticates);
    sqlite3_finalize(apStore->insertAuthenticated);
    sqlite3_close_v2(apStore->db);
    apStore->insertReceived = nullptr;
    apStore->insertUnopened = nullptr;
    apStore->unopenedBytes = nullptr;
    apStore->dropOldestUnopened = nullptr;
    apStore->insertRepeated = nullptr;
    apStore->authenticates = nullptr;
    apStore->insertAuthenticated = nullptr;
    apStore->db = nullptr;
}

StoreFault keepGroupSqlite(Store *apStore, Post **apPosts, size_t aCount, long long aDeadline)
{
    long long left = aDeadline - monotonicMilliseconds();
    sqlite3_busy_timeout(apStore->db, static_cast<int>(left < kBusyMilliseconds ? (left > 0 ? left : 0)
                                                                                  : kBusyMilliseconds));
    StoreFault result = run(apStore->db, "BEGIN IMMEDIATE", "cannot start a transaction");
    for (size_t i = 0; i < aCount && !result.failed; ++i)
        result = keepOne(apStore, apPosts[i]);
    return commit(apStore, result);
}

void checkpointSqlite(Store *apStore)
{
    // The pages this connection has written since it last looked.
    int written = 0;
    int highest = 0;
    sqlite3_db_status(apStore->db, SQLITE_DBSTATUS_CACHE_WRITE, &written, &highest, 1);
    apStore->sinceCheckpoint += written;
    if (apStore->sinceCheckpoint < kCheckpointPages)
        return;
    apStore->sinceCheckpoint = 0;
    sqlite3_wal_checkpoint_v2(apStore->db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

StoreFault trimSqlite(Store *apStore)
{
    sqlite3_busy_timeout(apStore->db, kBusyMilliseconds);
    // It writes totals whether it drops a post or not, so that it costs
    // about the same either way.
    StoreFault result = run(apStore->db, "BEGIN IMMEDIATE; UPDATE totals SET trims = trims + 1; DELETE FROM repeated",
                            "cannot start a transaction");
    if (!result.failed && !dropOldest(apStore))
        result = fault("cannot drop the oldest unopened posts", apStore->db);
    return commit(apStore, result);
}

bool sqliteAnswers(Store *apStore)
{
    sqlite3_stmt *statement = nullptr;
    bool answers = prepare(apStore->db, "SELECT count(*) FROM totals", &statement) &&
                   sqlite3_step(statement) == SQLITE_ROW;
    sqlite3_finalize(statement);
    return answers;
}

bool nextReceivedSqlite(Store *apStore, ReceivedFilter aFilter, StoreCursor *apCursor, ReceivedRow *apRow,
                        StoreFault *apFault)
{
    *apFault = kNoFault;
    if (apCursor->statement == nullptr) {
        if (!prepare(apStore->db,
                     "SELECT received_at, peer, device, text, authentic FROM received WHERE received_at >= ?1 "
                     "AND (?2 IS NULL OR device = ?2) AND (NOT ?3 OR authentic) ORDER BY id",
                     &apCursor->statement)) {
            *apFault = fault("cannot read the store", apStore->db);
            return false;
        }
        bindText(apCursor->statement, 1, aFilter.since != nullptr ? aFilter.since : "");
        bindText(apCursor->statement, 2, aFilter.device);
        sqlite3_bind_int(apCursor->statement, 3, aFilter.authenticOnly);
    }
    int step = sqlite3_step(apCursor->statement);
    if (step == SQLITE_ROW) {
        *apRow = {columnText(apCursor->statement, 0), columnText(apCursor->statement, 1),
                  columnText(apCursor->statement, 2), columnText(apCursor->statement, 3),
                  sqlite3_column_int(apCursor->statement, 4) != 0};
        return true;
    }
    if (step != SQLITE_DONE)
        *apFault = fault("cannot read the store", apStore->db);
    sqlite3_finalize(apCursor->statement);
    apCursor->statement = nullptr;
    return false;
}

bool nextNotOpenedSqlite(Store *apStore, StoreCursor *apCursor, NotOpenedRow *apRow, StoreFault *apFault)
{
    *apFault = kNoFault;
    if (apCursor->statement == nullptr &&
        !prepare(apStore->db,
                 "SELECT device, count(*), max(received_at) FROM unopened GROUP BY device ORDER BY device",
                 &apCursor->statement)) {
        *apFault = fault("cannot read the store", apStore->db);
        return false;
    }
    int step = sqlite3_step(apCursor->statement);
    if (step == SQLITE_ROW) {
        *apRow = {columnText(apCursor->statement, 0), sqlite3_column_int64(apCursor->statement, 1),
                  columnText(apCursor->statement, 2)};
        return true;
    }
    if (step != SQLITE_DONE)
        *apFault = fault("cannot read the store", apStore->db);
    sqlite3_finalize(apCursor->statement);
    apCursor->statement = nullptr;
    return false;
}

bool nextDeviceSqlite(Store *apStore, const char *apSince, StoreCursor *apCursor, DeviceRow *apRow,
                      StoreFault *apFault)
{
    *apFault = kNoFault;
    if (apCursor->statement == nullptr) {
        if (!prepare(apStore->db, kDevices, &apCursor->statement)) {
            *apFault = fault("cannot read the store", apStore->db);
            return false;
        }
        bindText(apCursor->statement, 1, apSince);
    }
    sqlite3_stmt *statement = apCursor->statement;
    int step = sqlite3_step(statement);
    if (step == SQLITE_ROW) {
        *apRow = {columnText(statement, 0), columnText(statement, 1), sqlite3_column_int64(statement, 2),
                  columnText(statement, 3), columnText(statement, 4)};
        return true;
    }
    if (step != SQLITE_DONE)
        *apFault = fault("cannot read the store", apStore->db);
    sqlite3_finalize(statement);
    apCursor->statement = nullptr;
    return false;
}

namespace {

// A column of a table, or NULL where a store made by an older receiver
// lacks it.
const char *columnOrNull(sqlite3 *apDb, const char *apTable, const char *apColumn, StoreFault *apFault)
{
    return hasColumn(apDb, apTable, apColumn, apFault) ? apColumn : "NULL";
}

} // namespace

bool nextStoredRowSqlite(Store *apStore, StoreTable aTable, StoreCursor *apCursor, StoredRow *apRow,
                         StoreFault *apFault)
{
    *apFault = kNoFault;
    sqlite3 *db = apStore->db;
    if (apCursor->statement == nullptr) {
        char sql[256];
        if (aTable == tableReceived) {
            const char *digest = columnOrNull(db, "received", "digest", apFault);
            snprintf(sql, sizeof sql, "SELECT received_at, peer, device, text, %s, NULL, NULL, %s FROM received "
                     "ORDER BY id", digest, columnOrNull(db, "received", "authentic", apFault));
        } else if (aTable == tableUnopened) {
            const char *digest = columnOrNull(db, "unopened", "digest", apFault);
            const char *reason = columnOrNull(db, "unopened", "reason", apFault);
            snprintf(sql, sizeof sql, "SELECT received_at, peer, device, sealed, %s, %s, %s, 0 FROM unopened "
                     "ORDER BY id", digest, reason, columnOrNull(db, "unopened", "mac", apFault));
        } else if (hasColumn(db, "authenticated", "device", apFault)) {
            snprintf(sql, sizeof sql, "SELECT since, NULL, device, NULL, NULL, NULL, NULL, 0 FROM authenticated "
                     "ORDER BY device");
        } else {
            return false;
        }
        if (apFault->failed)
            return false;
        if (!prepare(db, sql, &apCursor->statement)) {
            *apFault = fault("cannot read the store", db);
            return false;
        }
    }
    sqlite3_stmt *statement = apCursor->statement;
    int step = sqlite3_step(statement);
    if (step == SQLITE_ROW) {
        *apRow = {columnText(statement, 0), columnText(statement, 1), columnText(statement, 2),
                  columnText(statement, 3), columnText(statement, 4), columnText(statement, 5),
                  columnText(statement, 6), sqlite3_column_int(statement, 7) != 0};
        return true;
    }
    if (step != SQLITE_DONE)
        *apFault = fault("cannot read the store", db);
    sqlite3_finalize(statement);
    apCursor->statement = nullptr;
    return false;
}

StoreFault copyRowsSqlite(Store *apStore, StoreTable aTable, const StoredRow *apRows, size_t aCount,
                          size_t *apCopied)
{
    sqlite3_busy_timeout(apStore->db, kBusyMilliseconds);
    StoreFault result = run(apStore->db, "BEGIN IMMEDIATE", "cannot start a transaction");
    size_t copied = 0;
    for (size_t i = 0; i < aCount && !result.failed; ++i) {
        const StoredRow *row = &apRows[i];
        sqlite3_stmt *insert = aTable == tableReceived    ? apStore->insertReceived
                               : aTable == tableUnopened ? apStore->insertUnopened
                                                         : apStore->insertAuthenticated;
        if (aTable == tableAuthenticated) {
            bindText(insert, 1, row->device);
            bindText(insert, 2, row->receivedAt);
        } else {
            bindText(insert, 1, row->receivedAt);
            bindText(insert, 2, row->peer);
            bindText(insert, 3, row->device);
            bindText(insert, 4, row->body);
            bindText(insert, 5, row->digest);
        }
        if (aTable == tableReceived) {
            sqlite3_bind_int64(insert, 6, 0);
            sqlite3_bind_int(insert, 7, row->authentic);
        } else if (aTable == tableUnopened) {
            bindText(insert, 6, row->reason);
            bindText(insert, 7, row->mac);
        }
        if (!stepDone(insert))
            result = fault("cannot copy a row", apStore->db);
        copied += static_cast<size_t>(sqlite3_changes(apStore->db));
    }
    result = commit(apStore, result);
    if (!result.failed)
        *apCopied += copied;
    return result;
}

Reopened reopenSqlite(Store *apStore, const char *apKey)
{
    Reopened result = {kNoFault, 0, 0};
    sqlite3_stmt *batch = nullptr;
    sqlite3_stmt *remove = nullptr;
    if (!prepare(apStore->db,
                 "SELECT id, received_at, peer, device, sealed, digest, reason, mac, "
                 "EXISTS (SELECT 1 FROM authenticated a WHERE a.device = unopened.device) FROM unopened "
                 "WHERE id > ?1 ORDER BY id LIMIT ?2",
                 &batch) ||
        !prepare(apStore->db, "DELETE FROM unopened WHERE id = ?1", &remove)) {
        result.fault = fault("cannot read the store", apStore->db);
        sqlite3_finalize(batch);
        return result;
    }
    long long last = 0;
    for (size_t rows = 1; rows > 0 && !result.fault.failed;) {
        rows = 0;
        StoreFault group = run(apStore->db, "BEGIN IMMEDIATE", "cannot start a transaction");
        sqlite3_bind_int64(batch, 1, last);
        sqlite3_bind_int(batch, 2, kReopenBatch);
        size_t moved = 0;
        for (int step = SQLITE_ROW; !group.failed;) {
            step = sqlite3_step(batch);
            if (step != SQLITE_ROW) {
                if (step != SQLITE_DONE)
                    group = fault("cannot read the store", apStore->db);
                break;
            }
            ++rows;
            last = sqlite3_column_int64(batch, 0);
            Post post = {columnText(batch, 4), nullptr, columnText(batch, 3), {}, {}, {}, columnText(batch, 7),
                         false, false, false, false};
            snprintf(post.receivedAt, sizeof post.receivedAt, "%s", columnText(batch, 1));
            snprintf(post.peer, sizeof post.peer, "%s", columnText(batch, 2));
            // A post kept before digests were: it gets its digest now.
            const char *digest = columnText(batch, 5);
            if (digest != nullptr)
                snprintf(post.digest, sizeof post.digest, "%s", digest);
            else if (!postDigest(post.device, post.sealed, post.digest))
                group = storeFault("out of memory");
            char *text = nullptr;
            // A device that authenticates now: what came from it without a
            // MAC stays where it is.
            bool sticky = sqlite3_column_int(batch, 8) != 0;
            if (group.failed || !reopenPost(post.sealed, post.device, sticky ? "forged" : columnText(batch, 6),
                                            post.mac, apKey, &text, &post.authentic))
                continue;
            post.text = text;
            group = keepOne(apStore, &post);
            OPENSSL_cleanse(text, strlen(text));
            free(text);
            sqlite3_bind_int64(remove, 1, last);
            if (!group.failed && !stepDone(remove))
                group = fault("cannot move a post out of unopened", apStore->db);
            ++moved;
        }
        sqlite3_reset(batch);
        result.tried += rows;
        result.fault = commit(apStore, group);
        if (!result.fault.failed)
            result.moved += moved;
    }
    sqlite3_finalize(batch);
    sqlite3_finalize(remove);
    return result;
}
