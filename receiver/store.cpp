#include "store.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <sqlite3.h>

#include "sealed.h"

namespace {

// How long a commit waits for another writer (reopen, or a second
// receiver on the same file) before the posts it carries get 503.
constexpr int kBusyMilliseconds = 2000;
constexpr int kReopenBatch = 256;
constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS received (
    id INTEGER PRIMARY KEY,
    received_at TEXT NOT NULL,
    peer TEXT NOT NULL,
    device TEXT,
    text TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS unopened (
    id INTEGER PRIMARY KEY,
    received_at TEXT NOT NULL,
    peer TEXT NOT NULL,
    device TEXT,
    sealed TEXT NOT NULL);
-- Every post changes this one row, whichever table it goes to, so that
-- every commit writes as many pages to the disk, and takes as long, whether
-- its posts opened or not.
CREATE TABLE IF NOT EXISTS totals (received INTEGER NOT NULL, unopened_bytes INTEGER NOT NULL);
INSERT INTO totals SELECT 0, 0 WHERE NOT EXISTS (SELECT 1 FROM totals);
CREATE TRIGGER IF NOT EXISTS received_added AFTER INSERT ON received
    BEGIN UPDATE totals SET received = received + 1; END;
CREATE TRIGGER IF NOT EXISTS unopened_added AFTER INSERT ON unopened
    BEGIN UPDATE totals SET unopened_bytes = unopened_bytes + length(NEW.sealed); END;
CREATE TRIGGER IF NOT EXISTS unopened_removed AFTER DELETE ON unopened
    BEGIN UPDATE totals SET unopened_bytes = unopened_bytes - length(OLD.sealed); END;
)";

StoreFault fault(const char *apWhat, sqlite3 *apDb)
{
    StoreFault result = {true, {}};
    snprintf(result.message, sizeof result.message, "%s: %s", apWhat,
             apDb != nullptr ? sqlite3_errmsg(apDb) : "out of memory");
    return result;
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
    closeStore(apStore);
    return aFault;
}

StoreFault pathFault(const char *apFormat, const char *apPath)
{
    StoreFault result = {true, {}};
    snprintf(result.message, sizeof result.message, apFormat, apPath);
    return result;
}

// Deletes the oldest unopened posts until what is left fits the limit.
bool trimUnopened(Store aStore)
{
    for (;;) {
        if (sqlite3_step(aStore.unopenedBytes) != SQLITE_ROW) {
            sqlite3_reset(aStore.unopenedBytes);
            return false;
        }
        long long total = sqlite3_column_int64(aStore.unopenedBytes, 0);
        sqlite3_reset(aStore.unopenedBytes);
        if (total <= aStore.unopenedLimit)
            return true;
        if (!stepDone(aStore.dropOldestUnopened))
            return false;
        if (sqlite3_changes(aStore.db) == 0)
            return true;
    }
}

} // namespace

StoreFault openStore(const char *apUrl, StoreAccess aAccess, long long aUnopenedLimit, Store *apStore)
{
    *apStore = {nullptr, nullptr, nullptr, nullptr, nullptr, aUnopenedLimit};
    constexpr char kScheme[] = "sqlite:";
    if (strncmp(apUrl, kScheme, sizeof kScheme - 1) != 0)
        return pathFault("the store %s is not sqlite:PATH, the only kind there is", apUrl);
    const char *path = apUrl + sizeof kScheme - 1;
    if (*path == '\0')
        return pathFault("the store %s names no file: give sqlite:PATH", apUrl);
    if (aAccess != storeToKeep && access(path, F_OK) != 0)
        return pathFault("there is no store at %s: the receiver makes it when it starts", path);

    // Read and write even to read: the last connection to close removes the
    // WAL's files, so that root running export while the receiver is down
    // leaves none behind that the receiver's own user could not open.
    int flags = SQLITE_OPEN_READWRITE;
    if (aAccess == storeToKeep)
        flags |= SQLITE_OPEN_CREATE;
    char what[storeMessageSize / 2];
    snprintf(what, sizeof what, "cannot open the store %s", path);
    if (sqlite3_open_v2(path, &apStore->db, flags, nullptr) != SQLITE_OK)
        return refuse(apStore, fault(what, apStore->db));
    sqlite3_busy_timeout(apStore->db, kBusyMilliseconds);
    if (aAccess == storeToRead)
        return kNoFault;

    StoreFault result = run(apStore->db, "PRAGMA synchronous=FULL", what);
    if (!result.failed && aAccess == storeToKeep) {
        sqlite3_stmt *mode = nullptr;
        bool wal = prepare(apStore->db, "PRAGMA journal_mode=WAL", &mode) && sqlite3_step(mode) == SQLITE_ROW &&
                   strcmp(reinterpret_cast<const char *>(sqlite3_column_text(mode, 0)), "wal") == 0;
        sqlite3_finalize(mode);
        if (sqlite3_db_readonly(apStore->db, "main") != 0)
            result = pathFault("the store %s is read-only: the receiver must be able to write it", path);
        else if (!wal)
            result = fault(what, apStore->db);
        if (!result.failed)
            result = run(apStore->db, kSchema, what);
    }
    if (!result.failed)
        result = run(apStore->db, "BEGIN IMMEDIATE; COMMIT", what);
    if (result.failed)
        return refuse(apStore, result);

    if (!prepare(apStore->db, "INSERT INTO received (received_at, peer, device, text) VALUES (?1, ?2, ?3, ?4)",
                 &apStore->insertReceived) ||
        !prepare(apStore->db, "INSERT INTO unopened (received_at, peer, device, sealed) VALUES (?1, ?2, ?3, ?4)",
                 &apStore->insertUnopened) ||
        !prepare(apStore->db, "SELECT unopened_bytes FROM totals", &apStore->unopenedBytes) ||
        !prepare(apStore->db, "DELETE FROM unopened WHERE id = (SELECT min(id) FROM unopened)",
                 &apStore->dropOldestUnopened))
        return refuse(apStore, fault(what, apStore->db));
    return kNoFault;
}

void closeStore(Store *apStore)
{
    sqlite3_finalize(apStore->insertReceived);
    sqlite3_finalize(apStore->insertUnopened);
    sqlite3_finalize(apStore->unopenedBytes);
    sqlite3_finalize(apStore->dropOldestUnopened);
    sqlite3_close_v2(apStore->db);
    *apStore = {nullptr, nullptr, nullptr, nullptr, nullptr, apStore->unopenedLimit};
}

StoreFault beginGroup(Store aStore)
{
    return run(aStore.db, "BEGIN IMMEDIATE", "cannot start a transaction");
}

StoreFault keepPost(Store aStore, Post aPost)
{
    sqlite3_stmt *insert = aPost.text != nullptr ? aStore.insertReceived : aStore.insertUnopened;
    bindText(insert, 1, aPost.receivedAt);
    bindText(insert, 2, aPost.peer);
    bindText(insert, 3, aPost.device);
    bindText(insert, 4, aPost.text != nullptr ? aPost.text : aPost.sealed);
    if (!stepDone(insert))
        return fault("cannot keep a post", aStore.db);
    return kNoFault;
}

StoreFault commitGroup(Store aStore, StoreFault aSoFar)
{
    StoreFault result = aSoFar;
    if (!result.failed && !trimUnopened(aStore))
        result = fault("cannot drop the oldest unopened posts", aStore.db);
    if (!result.failed)
        result = run(aStore.db, "COMMIT", "cannot commit");
    if (result.failed)
        rollBack(aStore.db);
    return result;
}

bool nextReceived(Store aStore, const char *apSince, sqlite3_stmt **apCursor, ReceivedRow *apRow,
                  StoreFault *apFault)
{
    *apFault = kNoFault;
    if (*apCursor == nullptr) {
        if (!prepare(aStore.db,
                     "SELECT received_at, peer, device, text FROM received WHERE received_at >= ?1 ORDER BY id",
                     apCursor)) {
            *apFault = fault("cannot read the store", aStore.db);
            return false;
        }
        sqlite3_bind_text(*apCursor, 1, apSince != nullptr ? apSince : "", -1, SQLITE_STATIC);
    }
    int step = sqlite3_step(*apCursor);
    if (step == SQLITE_ROW) {
        for (int column = 0; column < 4; ++column) {
            const char *value = reinterpret_cast<const char *>(sqlite3_column_text(*apCursor, column));
            const char **field[] = {&apRow->receivedAt, &apRow->peer, &apRow->device, &apRow->text};
            *field[column] = value;
        }
        return true;
    }
    if (step != SQLITE_DONE)
        *apFault = fault("cannot read the store", aStore.db);
    sqlite3_finalize(*apCursor);
    *apCursor = nullptr;
    return false;
}

Reopened reopenUnopened(Store aStore, const char *apKey)
{
    Reopened result = {kNoFault, 0, 0};
    sqlite3_stmt *batch = nullptr;
    sqlite3_stmt *remove = nullptr;
    if (!prepare(aStore.db, "SELECT id, received_at, peer, device, sealed FROM unopened WHERE id > ?1 ORDER BY id "
                            "LIMIT ?2", &batch) ||
        !prepare(aStore.db, "DELETE FROM unopened WHERE id = ?1", &remove)) {
        result.fault = fault("cannot read the store", aStore.db);
        sqlite3_finalize(batch);
        return result;
    }
    long long last = 0;
    for (size_t rows = 1; rows > 0 && !result.fault.failed;) {
        rows = 0;
        StoreFault group = beginGroup(aStore);
        sqlite3_bind_int64(batch, 1, last);
        sqlite3_bind_int(batch, 2, kReopenBatch);
        size_t moved = 0;
        for (int step = SQLITE_ROW; !group.failed;) {
            step = sqlite3_step(batch);
            if (step != SQLITE_ROW) {
                if (step != SQLITE_DONE)
                    group = fault("cannot read the store", aStore.db);
                break;
            }
            ++rows;
            last = sqlite3_column_int64(batch, 0);
            Post post = {reinterpret_cast<const char *>(sqlite3_column_text(batch, 4)), nullptr,
                         reinterpret_cast<const char *>(sqlite3_column_text(batch, 3)), {}, {}};
            snprintf(post.receivedAt, sizeof post.receivedAt, "%s", sqlite3_column_text(batch, 1));
            snprintf(post.peer, sizeof post.peer, "%s", sqlite3_column_text(batch, 2));
            char *text = nullptr;
            if (checkSealedHex(post.sealed).fault != sealedHexOk ||
                openSealed(post.sealed, apKey, openedText, &text) != opened)
                continue;
            post.text = text;
            group = keepPost(aStore, post);
            OPENSSL_cleanse(text, strlen(text));
            free(text);
            sqlite3_bind_int64(remove, 1, last);
            if (!group.failed && !stepDone(remove))
                group = fault("cannot move a post out of unopened", aStore.db);
            ++moved;
        }
        sqlite3_reset(batch);
        result.tried += rows;
        result.fault = commitGroup(aStore, group);
        if (!result.fault.failed)
            result.moved += moved;
    }
    sqlite3_finalize(batch);
    sqlite3_finalize(remove);
    return result;
}
