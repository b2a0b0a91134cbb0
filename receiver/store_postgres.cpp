#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <libpq-fe.h>
#include <openssl/crypto.h>

#include "sealed.h"
#include "store_backends.h"

namespace {

// Every call into the store, connecting included, ends within this time,
// or by a group's own deadline: a database that hangs must not hang every
// board's posts with it.
constexpr long long kWaitMilliseconds = 5000;
constexpr int kBatchRows = 256;
constexpr char kBatchRowsText[] = "256";
// A reopen batch holds about this many bytes of sealed hex at most.
constexpr char kBatchBytes[] = "4194304";
constexpr char kCredential[] = "sealpost-pgpass";
// How often a database that did not answer at the start is tried again.
constexpr long long kAwayMilliseconds = 1000;
constexpr StoreFault kNoFault = {false, {}};

// Receivers on several hosts may start at once on an empty database; the
// lock makes the second wait for the first's tables instead of failing on
// them half made.
constexpr const char *kTables[] = {
    "SELECT pg_advisory_xact_lock(7303651284)",
    R"(CREATE TABLE IF NOT EXISTS received (
        id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
        received_at text COLLATE "C" NOT NULL,
        peer text NOT NULL,
        device text COLLATE "C",
        text text NOT NULL,
        digest text NOT NULL UNIQUE))",
    R"(CREATE TABLE IF NOT EXISTS unopened (
        id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
        received_at text COLLATE "C" NOT NULL,
        peer text NOT NULL,
        device text COLLATE "C",
        sealed text NOT NULL,
        digest text NOT NULL UNIQUE))",
    // What 1.5.0 added to the tables 1.4.0 made.
    "ALTER TABLE received ADD COLUMN IF NOT EXISTS authentic boolean NOT NULL DEFAULT false",
    "ALTER TABLE unopened ADD COLUMN IF NOT EXISTS reason text",
    "ALTER TABLE unopened ADD COLUMN IF NOT EXISTS mac text",
    R"(CREATE TABLE IF NOT EXISTS authenticated (
        device text COLLATE "C" PRIMARY KEY,
        since text NOT NULL))",
    // What 1.6.0 added, for the walk by device.
    "CREATE INDEX IF NOT EXISTS received_device ON received (device, received_at)",
    "CREATE INDEX IF NOT EXISTS unopened_device ON unopened (device, received_at)"};
constexpr char kSchemaComplete[] = R"(
SELECT to_regclass('received') IS NOT NULL AND to_regclass('unopened') IS NOT NULL
    AND to_regclass('authenticated') IS NOT NULL
    AND to_regclass('received_device') IS NOT NULL AND to_regclass('unopened_device') IS NOT NULL
    AND (SELECT count(*) = 3 FROM pg_attribute WHERE NOT attisdropped AND (attrelid = to_regclass('received')
        AND attname = 'authentic' OR attrelid = to_regclass('unopened') AND attname IN ('reason', 'mac'))))";
constexpr char kKeepReceived[] = "keep_received";
constexpr char kKeepAuthentic[] = "keep_authentic";
constexpr char kKeepUnopened[] = "keep_unopened";
// Each answers whether the post turned out forged (a device that has had an
// authentic post kept sent it without a MAC) and how many rows it added, 0
// for a duplicate. Naming the digest as the conflict's column would need
// SELECT on it: the digest is the only unique column an insert sets, so
// none is named, and the receivers' role may write received without
// reading it.
constexpr const char *kKeepSql[] = {
    R"(WITH forged AS (SELECT $3::text IS NOT NULL AND EXISTS (SELECT 1 FROM authenticated WHERE device = $3) AS yes),
    kept AS (INSERT INTO received (received_at, peer, device, text, digest)
        SELECT $1, $2, $3, $4, $5 FROM forged WHERE NOT yes ON CONFLICT DO NOTHING RETURNING 1),
    held AS (INSERT INTO unopened (received_at, peer, device, sealed, digest, reason)
        SELECT $1, $2, $3, $6, $5, 'forged' FROM forged WHERE yes ON CONFLICT DO NOTHING RETURNING 1)
    SELECT (SELECT yes FROM forged), (SELECT count(*) FROM kept) + (SELECT count(*) FROM held))",
    R"(WITH kept AS (INSERT INTO received (received_at, peer, device, text, digest, authentic)
        VALUES ($1, $2, $3, $4, $5, true) ON CONFLICT DO NOTHING RETURNING 1),
    known AS (INSERT INTO authenticated (device, since) SELECT $3, $1 WHERE $3::text IS NOT NULL
        ON CONFLICT DO NOTHING)
    SELECT false, (SELECT count(*) FROM kept))",
    R"(WITH held AS (INSERT INTO unopened (received_at, peer, device, sealed, digest, reason, mac)
        VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT DO NOTHING RETURNING 1)
    SELECT false, (SELECT count(*) FROM held))"};
constexpr const char *kKeepNames[] = {kKeepReceived, kKeepAuthentic, kKeepUnopened};
constexpr int kKeepParameters[] = {6, 5, 7};
// The newest rows whose sealed hex fits the limit stay; the older go.
constexpr char kTrim[] = R"(
DELETE FROM unopened WHERE id <= (
    SELECT id FROM (SELECT id, sum(octet_length(sealed)) OVER (ORDER BY id DESC) AS newer FROM unopened) kept
    WHERE newer > $1 ORDER BY id DESC LIMIT 1))";
// In the C collation received_at compares as bytes, so that a date is a
// prefix of its times, and devices sort as in SQLite.
constexpr char kReceived[] = R"(
SELECT received_at, peer, device, text, id, authentic FROM received
WHERE id > $1 AND received_at >= $2 COLLATE "C" AND ($3::text IS NULL OR device = $3) AND (NOT $5 OR authentic)
ORDER BY id LIMIT $4)";
constexpr char kNotOpened[] = R"(
SELECT device, count(*), max(received_at COLLATE "C") FROM unopened
GROUP BY device ORDER BY device COLLATE "C" NULLS FIRST)";
// Each device's name found in the index a step at a time, as in SQLite.
constexpr char kDevices[] = R"(
WITH RECURSIVE
kept(device) AS (SELECT min(device) FROM received
    UNION ALL SELECT (SELECT min(device) FROM received WHERE device > kept.device) FROM kept WHERE device IS NOT NULL),
held(device) AS (SELECT min(device) FROM unopened
    UNION ALL SELECT (SELECT min(device) FROM unopened WHERE device > held.device) FROM held WHERE device IS NOT NULL),
names(device) AS (SELECT device FROM kept WHERE device IS NOT NULL UNION SELECT device FROM held WHERE device IS NOT NULL)
SELECT device,
    (SELECT max(received_at) FROM received r WHERE r.device = names.device),
    (SELECT count(*) FROM received r WHERE r.device = names.device AND r.received_at >= $1 COLLATE "C"),
    (SELECT max(received_at) FROM unopened u WHERE u.device = names.device AND u.reason IS DISTINCT FROM 'forged'),
    (SELECT max(received_at) FROM unopened u WHERE u.device = names.device AND u.reason = 'forged')
FROM names ORDER BY device COLLATE "C")";
constexpr char kReopenBatch[] = R"(
SELECT id, received_at, peer, device, sealed, digest, reason, mac,
    EXISTS (SELECT 1 FROM authenticated a WHERE a.device = batch.device) FROM (
    SELECT *, sum(octet_length(sealed)) OVER (ORDER BY id) AS upto FROM unopened WHERE id > $1 ORDER BY id LIMIT $3
) batch WHERE upto - octet_length(sealed) < $2 ORDER BY id)";
// has_table_privilege is true for any one of several privileges: each is
// asked apart.
constexpr char kKeepRights[] = R"(
SELECT has_table_privilege('received', 'INSERT') AND has_table_privilege('unopened', 'INSERT')
    AND has_table_privilege('unopened', 'SELECT') AND has_table_privilege('unopened', 'DELETE')
    AND has_table_privilege('authenticated', 'SELECT') AND has_table_privilege('authenticated', 'INSERT'))";
constexpr char kReopenRights[] = R"(
SELECT has_table_privilege('received', 'INSERT') AND has_table_privilege('unopened', 'SELECT')
    AND has_table_privilege('unopened', 'DELETE') AND has_table_privilege('authenticated', 'SELECT')
    AND has_table_privilege('authenticated', 'INSERT'))";

// The first line of libpq's reason, which may run on over several.
StoreFault pgFault(const char *apWhat, const char *apReason)
{
    int length = static_cast<int>(strcspn(apReason, "\n"));
    return storeFault("%s: %.*s", apWhat, length > 0 ? length : 15, length > 0 ? apReason : "no reason given");
}

// Waits until the socket can be read, or written when aWrite; false when
// the deadline passed or the socket failed.
bool awaitSocket(PGconn *apConn, bool aWrite, long long aDeadline)
{
    int fd = PQsocket(apConn);
    while (fd >= 0) {
        long long left = aDeadline - monotonicMilliseconds();
        if (left <= 0)
            return false;
        pollfd watched = {fd, static_cast<short>(aWrite ? POLLIN | POLLOUT : POLLIN), 0};
        int ready = poll(&watched, 1, static_cast<int>(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
    return false;
}

// What an exchange came to: done; refused by the database, the connection
// fine; or the connection lost or given up, to be made again before the
// next exchange.
enum Outcome { outcomeDone, outcomeRefused, outcomeLost, outcomeTimedOut };

struct Exchange {
    enum Outcome outcome;
    StoreFault fault;
};

constexpr Exchange kDone = {outcomeDone, kNoFault};

bool broken(Exchange aExchange)
{
    return aExchange.outcome == outcomeLost || aExchange.outcome == outcomeTimedOut;
}

Exchange lost(Store *apStore, const char *apWhat)
{
    apStore->pgAbandoned = true;
    return {outcomeLost, pgFault(apWhat, PQerrorMessage(apStore->pg))};
}

Exchange timedOut(Store *apStore)
{
    // Its answers may still come: the connection cannot be used again.
    apStore->pgAbandoned = true;
    return {outcomeTimedOut, storeFault("the database did not answer within %lld s", kWaitMilliseconds / 1000)};
}

Exchange flush(Store *apStore, long long aDeadline)
{
    for (;;) {
        int left = PQflush(apStore->pg);
        if (left == 0)
            return kDone;
        if (left < 0)
            return lost(apStore, "cannot send to the database");
        if (!awaitSocket(apStore->pg, true, aDeadline))
            return timedOut(apStore);
        if (PQconsumeInput(apStore->pg) == 0)
            return lost(apStore, "lost the database");
    }
}

// The next result, or null at the end of a command's; false when none came
// in time or the connection failed.
bool nextResult(Store *apStore, long long aDeadline, PGresult **apResult, Exchange *apExchange)
{
    while (PQisBusy(apStore->pg) != 0) {
        if (!awaitSocket(apStore->pg, false, aDeadline)) {
            *apExchange = timedOut(apStore);
            return false;
        }
        if (PQconsumeInput(apStore->pg) == 0) {
            *apExchange = lost(apStore, "lost the database");
            return false;
        }
    }
    *apResult = PQgetResult(apStore->pg);
    return true;
}

// Reads one command's results, up to the null that ends them; *apResult
// (when given) takes the first, for the caller to clear, if it succeeded.
Exchange readCommand(Store *apStore, long long aDeadline, const char *apWhat, PGresult **apResult)
{
    Exchange result = kDone;
    PGresult *first = nullptr;
    for (PGresult *next = nullptr;;) {
        if (!nextResult(apStore, aDeadline, &next, &result))
            break;
        if (next == nullptr || PQresultStatus(next) == PGRES_PIPELINE_SYNC) {
            if (next != nullptr || first == nullptr)
                result = lost(apStore, apWhat);
            PQclear(next);
            break;
        }
        if (first == nullptr)
            first = next;
        else
            PQclear(next);
    }
    ExecStatusType status = PQresultStatus(first);
    if (result.outcome == outcomeDone && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        bool connected = PQstatus(apStore->pg) == CONNECTION_OK;
        const char *reason = PQresultErrorField(first, PG_DIAG_MESSAGE_PRIMARY);
        result = {connected ? outcomeRefused : outcomeLost,
                  pgFault(apWhat, reason != nullptr ? reason : PQresultErrorMessage(first))};
        apStore->pgAbandoned = apStore->pgAbandoned || !connected;
    }
    if (result.outcome == outcomeDone && apResult != nullptr)
        *apResult = first;
    else
        PQclear(first);
    return result;
}

Exchange readSync(Store *apStore, long long aDeadline)
{
    Exchange result = kDone;
    PGresult *sync = nullptr;
    if (nextResult(apStore, aDeadline, &sync, &result) && PQresultStatus(sync) != PGRES_PIPELINE_SYNC)
        result = lost(apStore, "the database ended a transaction out of turn");
    PQclear(sync);
    return result;
}

// Reads aCount commands' results and the sync after them: the first
// refusal, or what broke the connection.
Exchange readPipeline(Store *apStore, long long aDeadline, size_t aCount, const char *apWhat)
{
    Exchange refused = kDone;
    for (size_t i = 0; i < aCount; ++i) {
        Exchange one = readCommand(apStore, aDeadline, apWhat, nullptr);
        if (broken(one))
            return one;
        if (refused.outcome == outcomeDone)
            refused = one;
    }
    Exchange sync = readSync(apStore, aDeadline);
    return broken(sync) ? sync : refused;
}

Exchange endPipeline(Store *apStore, Exchange aSoFar)
{
    if (!broken(aSoFar) && PQexitPipelineMode(apStore->pg) == 0)
        return lost(apStore, "cannot end a pipeline");
    return aSoFar;
}

// One statement outside a pipeline, its parameters as text (null: NULL).
Exchange queryUntil(Store *apStore, const char *apSql, int aCount, const char *const *apValues, const char *apWhat,
                    PGresult **apResult, long long aDeadline)
{
    if (PQsendQueryParams(apStore->pg, apSql, aCount, nullptr, apValues, nullptr, nullptr, 0) == 0)
        return lost(apStore, apWhat);
    Exchange result = flush(apStore, aDeadline);
    return result.outcome == outcomeDone ? readCommand(apStore, aDeadline, apWhat, apResult) : result;
}

Exchange query(Store *apStore, const char *apSql, int aCount, const char *const *apValues, const char *apWhat,
               PGresult **apResult)
{
    return queryUntil(apStore, apSql, aCount, apValues, apWhat, apResult, monotonicMilliseconds() + kWaitMilliseconds);
}

// Waits for the connection libpq is making, after PQconnectStartParams or
// PQresetStart, and makes it non-blocking. *apAnswered (when given) tells
// whether a server took the connection, even if it then refused it.
Exchange finishConnecting(Store *apStore, bool aReset, long long aDeadline, bool *apAnswered)
{
    PGconn *pg = apStore->pg;
    PostgresPollingStatusType polled = PGRES_POLLING_WRITING;
    while (polled != PGRES_POLLING_OK && polled != PGRES_POLLING_FAILED) {
        ConnStatusType status = PQstatus(pg);
        if (apAnswered != nullptr && status != CONNECTION_STARTED && status != CONNECTION_NEEDED &&
            status != CONNECTION_BAD)
            *apAnswered = true;
        if (!awaitSocket(pg, polled == PGRES_POLLING_WRITING, aDeadline))
            return timedOut(apStore);
        polled = aReset ? PQresetPoll(pg) : PQconnectPoll(pg);
    }
    if (polled == PGRES_POLLING_FAILED || PQsetnonblocking(pg, 1) != 0)
        return lost(apStore, "cannot connect");
    apStore->pgAbandoned = false;
    return kDone;
}

// Prepares the inserts on a new connection, once the tables are there.
Exchange prepare(Store *apStore, long long aDeadline)
{
    PGconn *pg = apStore->pg;
    bool sent = PQenterPipelineMode(pg) != 0;
    for (size_t i = 0; i < sizeof kKeepSql / sizeof *kKeepSql; ++i)
        sent = sent && PQsendPrepare(pg, kKeepNames[i], kKeepSql[i], kKeepParameters[i], nullptr) != 0;
    sent = sent && PQpipelineSync(pg) != 0;
    Exchange result = sent ? flush(apStore, aDeadline) : lost(apStore, "cannot ready the store");
    if (result.outcome == outcomeDone)
        result = readPipeline(apStore, aDeadline, sizeof kKeepSql / sizeof *kKeepSql, "cannot ready the store");
    return endPipeline(apStore, result);
}

typedef Exchange (*Attempt)(Store *apStore, void *apContext, long long aDeadline);

StoreFault readyTables(Store *apStore, StoreAccess aAccess, long long aDeadline);

// A store away since the start, tried again once a second at most, and made
// ready as openStore would once it answers; until then the reason.
StoreFault connectAway(Store *apStore, long long aDeadline)
{
    long long time = monotonicMilliseconds();
    if (time - apStore->pgTried < kAwayMilliseconds)
        return apStore->pgAwayFault;
    apStore->pgTried = time;
    Exchange connection = PQresetStart(apStore->pg) != 0 ? finishConnecting(apStore, true, aDeadline, nullptr)
                                                         : lost(apStore, "cannot connect");
    if (connection.outcome != outcomeDone) {
        apStore->pgAwayFault = storeFault("the store does not answer yet: %s", connection.fault.message);
        return apStore->pgAwayFault;
    }
    StoreFault ready = readyTables(apStore, storeToKeep, aDeadline);
    if (ready.failed) {
        // Answered, but cannot keep posts: the next try starts afresh.
        apStore->pgAbandoned = true;
        apStore->pgAwayFault = storeFault("the store answers but cannot keep posts: %s", ready.message);
        return apStore->pgAwayFault;
    }
    apStore->pgAway = false;
    apStore->pgAwayFault = kNoFault;
    return kNoFault;
}

// Runs aAttempt on the connection, made again first where it was lost or
// given up; and once more on a new one when the one it had turned out to be
// lost, so that a database restarted since the last exchange costs no post
// a 503. Committing a group twice is harmless: the second time its posts are
// duplicates.
StoreFault withConnection(Store *apStore, Attempt aAttempt, void *apContext, long long aDeadline)
{
    long long deadline = aDeadline;
    Exchange result = kDone;
    if (apStore->pgAway && connectAway(apStore, deadline).failed)
        return apStore->pgAwayFault;
    for (int tries = 0; tries < 2; ++tries) {
        bool wasConnected = !apStore->pgAbandoned && PQstatus(apStore->pg) == CONNECTION_OK;
        if (!wasConnected)
            result = PQresetStart(apStore->pg) != 0 ? finishConnecting(apStore, true, deadline, nullptr)
                                                   : lost(apStore, "cannot connect again");
        if (!wasConnected && result.outcome == outcomeDone)
            result = prepare(apStore, deadline);
        if (result.outcome == outcomeDone)
            result = aAttempt(apStore, apContext, deadline);
        if (!wasConnected || result.outcome != outcomeLost)
            break;
    }
    return result.fault;
}

struct Group {
    Post **posts; // in digest order
    size_t count;
};

// Sends the statement that keeps a post where it belongs.
bool sendKeep(PGconn *apConn, const Post *apPost)
{
    bool opened = apPost->text != nullptr && !apPost->forged;
    const char *reason = apPost->forged ? "forged" : apPost->noKey ? "no key" : "does not open";
    const char *values[] = {apPost->receivedAt, apPost->peer, apPost->device,
                            opened ? apPost->text : apPost->sealed, apPost->digest,
                            opened ? (apPost->authentic ? nullptr : apPost->sealed) : reason, apPost->mac};
    int statement = !opened ? 2 : apPost->authentic ? 1 : 0;
    return PQsendQueryPrepared(apConn, kKeepNames[statement], kKeepParameters[statement], values, nullptr, nullptr,
                               0) != 0;
}

// Sends a group's inserts, in the implicit transaction that ends at its
// sync, and reads every answer: one round trip.
Exchange keepSorted(Store *apStore, void *apGroup, long long aDeadline)
{
    const Group *group = static_cast<const Group *>(apGroup);
    PGconn *pg = apStore->pg;
    bool sent = PQenterPipelineMode(pg) != 0;
    for (size_t i = 0; i < group->count && sent; ++i)
        sent = sendKeep(pg, group->posts[i]);
    sent = sent && PQpipelineSync(pg) != 0;
    Exchange result = sent ? flush(apStore, aDeadline) : lost(apStore, "cannot send to the database");
    Exchange refused = kDone;
    for (size_t i = 0; i < group->count && !broken(result); ++i) {
        PGresult *inserted = nullptr;
        Exchange one = readCommand(apStore, aDeadline, "cannot keep a post", &inserted);
        if (one.outcome == outcomeDone && PQntuples(inserted) == 1) {
            group->posts[i]->forged = group->posts[i]->forged || strcmp(PQgetvalue(inserted, 0, 0), "t") == 0;
            group->posts[i]->duplicate = strcmp(PQgetvalue(inserted, 0, 1), "0") == 0;
        }
        else if (broken(one))
            result = one;
        else if (refused.outcome == outcomeDone)
            refused = one;
        PQclear(inserted);
    }
    if (!broken(result))
        result = readSync(apStore, aDeadline);
    if (!broken(result))
        result = refused;
    return endPipeline(apStore, result);
}

Exchange trimOnce(Store *apStore, void *, long long aDeadline)
{
    char limit[24];
    snprintf(limit, sizeof limit, "%lld", apStore->unopenedLimit);
    const char *values[] = {limit};
    return queryUntil(apStore, kTrim, 1, values, "cannot trim unopened", nullptr, aDeadline);
}

Exchange answers(Store *apStore, void *, long long aDeadline)
{
    return queryUntil(apStore, "SELECT 1", 0, nullptr, "the store does not answer", nullptr, aDeadline);
}

int byDigest(const void *apLeft, const void *apRight)
{
    return strcmp((*static_cast<Post *const *>(apLeft))->digest, (*static_cast<Post *const *>(apRight))->digest);
}

void describeConnection(PGconn *apConn, char *apText, size_t aSize)
{
    const char *host = PQhost(apConn);
    snprintf(apText, aSize, "PostgreSQL database %s as %s on %s port %s", PQdb(apConn), PQuser(apConn),
             host != nullptr && *host != '\0' ? host : "the default socket", PQport(apConn));
}

StoreFault refuse(Store *apStore, const char *apWhat, StoreFault aFault)
{
    StoreFault result = storeFault("%s: %s", apWhat, aFault.message);
    closePostgresStore(apStore);
    return result;
}

// Whether a query of one boolean answered true; a fault when it failed.
bool isTrue(Store *apStore, const char *apSql, const char *apWhat, StoreFault *apFault, long long aDeadline)
{
    PGresult *answer = nullptr;
    *apFault = queryUntil(apStore, apSql, 0, nullptr, apWhat, &answer, aDeadline).fault;
    bool yes = answer != nullptr && PQntuples(answer) == 1 && strcmp(PQgetvalue(answer, 0, 0), "t") == 0;
    PQclear(answer);
    return yes;
}

// Makes the tables where they are missing (aCreate) or checks that they are
// there: a role that may not create tables gets by once they are.
StoreFault checkTables(Store *apStore, bool aCreate, long long aDeadline)
{
    StoreFault result = kNoFault;
    if (isTrue(apStore, kSchemaComplete, "cannot read the store's tables", &result, aDeadline) || result.failed)
        return result;
    if (!aCreate)
        return storeFault("its tables are missing, or an older receiver's: a receiver started on it with the "
                          "owner's role makes them");
    PGconn *pg = apStore->pg;
    long long deadline = aDeadline;
    bool sent = PQenterPipelineMode(pg) != 0;
    for (const char *sql : kTables)
        sent = sent && PQsendQueryParams(pg, sql, 0, nullptr, nullptr, nullptr, nullptr, 0) != 0;
    sent = sent && PQpipelineSync(pg) != 0;
    Exchange made = sent ? flush(apStore, deadline) : lost(apStore, "cannot make the tables");
    if (made.outcome == outcomeDone)
        made = readPipeline(apStore, deadline, sizeof kTables / sizeof *kTables, "cannot make the tables");
    return endPipeline(apStore, made).fault;
}

// A step's deadline: aDeadline, or 0 for a wait of the step's own.
long long stepDeadline(long long aDeadline)
{
    return aDeadline != 0 ? aDeadline : monotonicMilliseconds() + kWaitMilliseconds;
}

// The tables made or checked, the inserts prepared and the role's
// privileges asked, on a connection just made; at the start each step has
// a wait of its own, later a commit's bound is the whole work's.
StoreFault readyTables(Store *apStore, StoreAccess aAccess, long long aDeadline)
{
    StoreFault result = checkTables(apStore, aAccess == storeToKeep, stepDeadline(aDeadline));
    if (!result.failed)
        result = prepare(apStore, stepDeadline(aDeadline)).fault;
    if (result.failed || aAccess == storeToRead)
        return result;
    bool granted = isTrue(apStore, aAccess == storeToKeep ? kKeepRights : kReopenRights,
                          "cannot read the role's privileges", &result, stepDeadline(aDeadline));
    if (!granted && !result.failed)
        result = storeFault("the role %s needs %s", PQuser(apStore->pg),
                            aAccess == storeToKeep ? "INSERT on received; SELECT, INSERT and DELETE on unopened; "
                                                     "SELECT and INSERT on authenticated"
                                                   : "INSERT on received; SELECT and DELETE on unopened; "
                                                     "SELECT and INSERT on authenticated");
    return result;
}

// Whether a first connection failed because the database does not answer
// yet: down, unreachable, or starting up or shutting down. A server that
// took the connection and refused it, or parameters libpq cannot use, are
// faults of the configuration. libpq's ping tells them apart.
bool answersNotYet(const char *apUri, Exchange aConnection, bool aAnswered)
{
    if (aConnection.outcome == outcomeTimedOut)
        return true;
    const char *keywords[] = {"dbname", "connect_timeout", nullptr};
    const char *values[] = {apUri, "5", nullptr};
    PGPing ping = PQpingParams(keywords, values, 1);
    return ping == PQPING_REJECT || (!aAnswered && ping == PQPING_NO_RESPONSE);
}

} // namespace

StoreFault openPostgresStore(const char *apUri, StoreAccess aAccess, Store *apStore)
{
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(apUri, &error);
    if (options == nullptr) {
        StoreFault result =
            pgFault("the store's URI is not one libpq reads", error != nullptr ? error : "out of memory");
        PQfreemem(error);
        return result;
    }
    bool password = false;
    bool passfile = false;
    for (const PQconninfoOption *option = options; option->keyword != nullptr; ++option) {
        bool given = option->val != nullptr && *option->val != '\0';
        password = password || (given && strcmp(option->keyword, "password") == 0);
        passfile = passfile || (given && strcmp(option->keyword, "passfile") == 0);
    }
    PQconninfoFree(options);
    // A command line shows in every user's process list.
    if (password)
        return storeFault("the store's URI holds a password, which every user of this host can read in the "
                          "process list: leave it out and put it in a password file (PGPASSFILE, ~/.pgpass, or "
                          "the credential %s)", kCredential);

    // The unit hands the password file over as a credential, as it does the
    // key, and wins over PGPASSFILE (--password-file), which names a file of
    // root's the service's own user cannot read. Blank, it is the unit's
    // stand-in for a file that is not there.
    char credential[4096];
    const char *credentials = getenv("CREDENTIALS_DIRECTORY");
    bool useCredential = false;
    if (!passfile && credentials != nullptr && *credentials != '\0') {
        int length = snprintf(credential, sizeof credential, "%s/%s", credentials, kCredential);
        FILE *handed = length > 0 && static_cast<size_t>(length) < sizeof credential ? fopen(credential, "re")
                                                                                      : nullptr;
        char start[64] = "";
        size_t read = handed != nullptr ? fread(start, 1, sizeof start - 1, handed) : 0;
        start[read] = '\0';
        useCredential = handed != nullptr && strspn(start, " \t\r\n") < read;
        if (handed != nullptr)
            fclose(handed);
    }
    const char *keywords[] = {"dbname", "fallback_application_name", "client_encoding",
                              useCredential ? "passfile" : nullptr, nullptr};
    const char *values[] = {apUri, "sealpost-receiver", "UTF8", useCredential ? credential : nullptr, nullptr};
    apStore->pg = PQconnectStartParams(keywords, values, 1);
    if (apStore->pg == nullptr)
        return storeFault("cannot connect to the store: out of memory");
    char what[storeMessageSize / 2];
    snprintf(what, sizeof what, "the store ");
    describeConnection(apStore->pg, what + strlen(what), sizeof what - strlen(what));
    bool answered = false;
    Exchange connection =
        PQstatus(apStore->pg) != CONNECTION_BAD
            ? finishConnecting(apStore, false, monotonicMilliseconds() + kWaitMilliseconds, &answered)
            : lost(apStore, "cannot connect");
    // Posts wait for it with 503s; the commit thread connects once it answers.
    if (connection.outcome != outcomeDone && aAccess == storeToKeep && answersNotYet(apUri, connection, answered)) {
        apStore->pgAway = true;
        apStore->pgTried = monotonicMilliseconds();
        apStore->pgAwayFault = storeFault("the store does not answer yet: %s", connection.fault.message);
        return kNoFault;
    }
    if (connection.outcome != outcomeDone)
        return refuse(apStore, what, connection.fault);
    StoreFault result = readyTables(apStore, aAccess, 0);
    return result.failed ? refuse(apStore, what, result) : result;
}

void closePostgresStore(Store *apStore)
{
    PQfinish(apStore->pg);
    apStore->pg = nullptr;
}

void describePostgresStore(const Store *apStore, char *apText, size_t aSize)
{
    describeConnection(apStore->pg, apText, aSize);
}

StoreFault keepGroupPostgres(Store *apStore, Post **apPosts, size_t aCount, long long aDeadline)
{
    if (aCount == 0)
        return kNoFault;
    // In the same order on every receiver, so that two groups holding the
    // same posts wait for each other instead of deadlocking.
    Group group = {static_cast<Post **>(malloc(aCount * sizeof *apPosts)), aCount};
    if (group.posts == nullptr)
        return storeFault("out of memory");
    memcpy(group.posts, apPosts, aCount * sizeof *apPosts);
    qsort(group.posts, aCount, sizeof *apPosts, byDigest);
    StoreFault result = withConnection(apStore, keepSorted, &group, aDeadline);
    free(group.posts);
    return result;
}

bool postgresAnswers(Store *apStore)
{
    return !withConnection(apStore, answers, nullptr, monotonicMilliseconds() + kWaitMilliseconds).failed;
}

StoreFault trimPostgres(Store *apStore)
{
    return withConnection(apStore, trimOnce, nullptr, monotonicMilliseconds() + kWaitMilliseconds);
}

bool nextReceivedPostgres(Store *apStore, ReceivedFilter aFilter, StoreCursor *apCursor, ReceivedRow *apRow,
                          StoreFault *apFault)
{
    *apFault = kNoFault;
    char after[24] = "0";
    PGresult *batch = apCursor->result;
    if (batch != nullptr && apCursor->row >= PQntuples(batch)) {
        // A batch shorter than the limit was the last.
        bool full = PQntuples(batch) == kBatchRows;
        if (full)
            snprintf(after, sizeof after, "%s", PQgetvalue(batch, kBatchRows - 1, 4));
        PQclear(batch);
        apCursor->result = batch = nullptr;
        if (!full)
            return false;
    }
    if (batch == nullptr) {
        const char *values[] = {after, aFilter.since != nullptr ? aFilter.since : "", aFilter.device, kBatchRowsText,
                                aFilter.authenticOnly ? "true" : "false"};
        *apFault = query(apStore, kReceived, 5, values, "cannot read the store", &batch).fault;
        apCursor->result = batch;
        apCursor->row = 0;
    }
    if (batch == nullptr || PQntuples(batch) == 0) {
        PQclear(batch);
        apCursor->result = nullptr;
        return false;
    }
    int row = apCursor->row++;
    *apRow = {PQgetvalue(batch, row, 0), PQgetvalue(batch, row, 1),
              PQgetisnull(batch, row, 2) ? nullptr : PQgetvalue(batch, row, 2), PQgetvalue(batch, row, 3),
              strcmp(PQgetvalue(batch, row, 5), "t") == 0};
    return true;
}

bool nextNotOpenedPostgres(Store *apStore, StoreCursor *apCursor, NotOpenedRow *apRow, StoreFault *apFault)
{
    *apFault = kNoFault;
    // One row a device: a fleet's thousands fit in one result.
    if (apCursor->result == nullptr) {
        *apFault = query(apStore, kNotOpened, 0, nullptr, "cannot read the store", &apCursor->result).fault;
        apCursor->row = 0;
    }
    PGresult *rows = apCursor->result;
    if (rows == nullptr || apCursor->row >= PQntuples(rows)) {
        PQclear(rows);
        apCursor->result = nullptr;
        return false;
    }
    int row = apCursor->row++;
    *apRow = {PQgetisnull(rows, row, 0) ? nullptr : PQgetvalue(rows, row, 0), atoll(PQgetvalue(rows, row, 1)),
              PQgetvalue(rows, row, 2)};
    return true;
}

namespace {

const char *valueOrNull(const PGresult *apResult, int aRow, int aColumn)
{
    return PQgetisnull(apResult, aRow, aColumn) ? nullptr : PQgetvalue(apResult, aRow, aColumn);
}

struct DevicesQuery {
    const char *since;
    PGresult **result;
};

Exchange readDevices(Store *apStore, void *apQuery, long long aDeadline)
{
    const DevicesQuery *devices = static_cast<const DevicesQuery *>(apQuery);
    const char *values[] = {devices->since};
    return queryUntil(apStore, kDevices, 1, values, "cannot read the store", devices->result, aDeadline);
}

} // namespace

bool nextDevicePostgres(Store *apStore, const char *apSince, StoreCursor *apCursor, DeviceRow *apRow,
                        StoreFault *apFault)
{
    *apFault = kNoFault;
    // One row a device, as for nextNotOpened; on a connection made again
    // where it was lost, since the commit thread reads it too.
    if (apCursor->result == nullptr) {
        DevicesQuery query = {apSince, &apCursor->result};
        *apFault = withConnection(apStore, readDevices, &query, monotonicMilliseconds() + kWaitMilliseconds);
        apCursor->row = 0;
    }
    PGresult *rows = apCursor->result;
    if (rows == nullptr || apCursor->row >= PQntuples(rows)) {
        PQclear(rows);
        apCursor->result = nullptr;
        return false;
    }
    int row = apCursor->row++;
    *apRow = {valueOrNull(rows, row, 0), valueOrNull(rows, row, 1), atoll(PQgetvalue(rows, row, 2)),
              valueOrNull(rows, row, 3), valueOrNull(rows, row, 4)};
    return true;
}

namespace {

// Moves the rows of a batch that open under apKey to received, in one
// transaction; adds to *apMoved what it moved.
Exchange reopenBatch(Store *apStore, PGresult *apBatch, const char *apKey, size_t *apMoved)
{
    PGconn *pg = apStore->pg;
    long long deadline = monotonicMilliseconds() + kWaitMilliseconds;
    size_t moving = 0;
    bool sent = PQenterPipelineMode(pg) != 0;
    for (int row = 0; row < PQntuples(apBatch) && sent; ++row) {
        const char *sealed = PQgetvalue(apBatch, row, 4);
        const char *device = PQgetisnull(apBatch, row, 3) ? nullptr : PQgetvalue(apBatch, row, 3);
        const char *reason = PQgetisnull(apBatch, row, 6) ? nullptr : PQgetvalue(apBatch, row, 6);
        const char *mac = PQgetisnull(apBatch, row, 7) ? nullptr : PQgetvalue(apBatch, row, 7);
        bool sticky = strcmp(PQgetvalue(apBatch, row, 8), "t") == 0;
        char *text = nullptr;
        bool authentic = false;
        if (!reopenPost(sealed, device, sticky ? "forged" : reason, mac, apKey, &text, &authentic))
            continue;
        Post post = {sealed, text, device, {}, {}, {}, mac, authentic, false, false, false};
        snprintf(post.receivedAt, sizeof post.receivedAt, "%s", PQgetvalue(apBatch, row, 1));
        snprintf(post.peer, sizeof post.peer, "%s", PQgetvalue(apBatch, row, 2));
        snprintf(post.digest, sizeof post.digest, "%s", PQgetvalue(apBatch, row, 5));
        const char *id[] = {PQgetvalue(apBatch, row, 0)};
        sent = sendKeep(pg, &post) &&
               PQsendQueryParams(pg, "DELETE FROM unopened WHERE id = $1", 1, nullptr, id, nullptr, nullptr, 0) != 0;
        OPENSSL_cleanse(text, strlen(text));
        free(text);
        ++moving;
    }
    sent = sent && PQpipelineSync(pg) != 0;
    Exchange result = sent ? flush(apStore, deadline) : lost(apStore, "cannot send to the database");
    if (result.outcome == outcomeDone)
        result = readPipeline(apStore, deadline, 2 * moving, "cannot move a post out of unopened");
    result = endPipeline(apStore, result);
    if (result.outcome == outcomeDone)
        *apMoved += moving;
    return result;
}

} // namespace

Reopened reopenPostgres(Store *apStore, const char *apKey)
{
    Reopened result = {kNoFault, 0, 0};
    char last[24] = "0";
    for (int rows = 1; rows > 0 && !result.fault.failed;) {
        PGresult *batch = nullptr;
        const char *values[] = {last, kBatchBytes, kBatchRowsText};
        result.fault = query(apStore, kReopenBatch, 3, values, "cannot read the store", &batch).fault;
        rows = batch != nullptr ? PQntuples(batch) : 0;
        if (rows > 0) {
            snprintf(last, sizeof last, "%s", PQgetvalue(batch, rows - 1, 0));
            result.tried += static_cast<size_t>(rows);
            result.fault = reopenBatch(apStore, batch, apKey, &result.moved).fault;
        }
        PQclear(batch);
    }
    return result;
}

namespace {

// Each batch goes on from the last row of the one before; unopened's hold
// about kBatchBytes of sealed hex at most.
constexpr const char *kCopyFrom[] = {
    R"(SELECT id, received_at, peer, device, text, digest, NULL, NULL, authentic FROM received WHERE id > $1
    ORDER BY id LIMIT 256)",
    R"(SELECT id, received_at, peer, device, sealed, digest, reason, mac, false FROM (
        SELECT *, sum(octet_length(sealed)) OVER (ORDER BY id) AS upto FROM unopened WHERE id > $1 ORDER BY id
        LIMIT 256) batch WHERE upto - octet_length(sealed) < 4194304 ORDER BY id)",
    R"(SELECT 0, since, NULL, device, NULL, NULL, NULL, NULL, false FROM authenticated WHERE $1::bigint = 0
    ORDER BY device COLLATE "C")"};
constexpr const char *kCopyInto[] = {
    "INSERT INTO received (received_at, peer, device, text, digest, authentic) VALUES ($1, $2, $3, $4, $5, $6) "
    "ON CONFLICT DO NOTHING",
    "INSERT INTO unopened (received_at, peer, device, sealed, digest, reason, mac) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT DO NOTHING",
    "INSERT INTO authenticated (device, since) VALUES ($1, $2) ON CONFLICT DO NOTHING"};

struct Copying {
    StoreTable table;
    const StoredRow *rows;
    size_t count;
    size_t copied;
};

// The rows in one pipeline, one transaction, its sync their commit.
Exchange copyBatch(Store *apStore, void *apCopying, long long aDeadline)
{
    Copying *copying = static_cast<Copying *>(apCopying);
    PGconn *pg = apStore->pg;
    copying->copied = 0;
    bool sent = PQenterPipelineMode(pg) != 0;
    for (size_t i = 0; i < copying->count && sent; ++i) {
        const StoredRow *row = &copying->rows[i];
        const char *values[] = {row->receivedAt, row->peer, row->device, row->body, row->digest,
                                copying->table == tableReceived ? (row->authentic ? "true" : "false") : row->reason,
                                row->mac};
        int count = copying->table == tableReceived ? 6 : 7;
        if (copying->table == tableAuthenticated) {
            values[0] = row->device;
            values[1] = row->receivedAt;
            count = 2;
        }
        sent = PQsendQueryParams(pg, kCopyInto[copying->table], count, nullptr, values, nullptr, nullptr, 0) != 0;
    }
    sent = sent && PQpipelineSync(pg) != 0;
    Exchange result = sent ? flush(apStore, aDeadline) : lost(apStore, "cannot send to the database");
    Exchange refused = kDone;
    for (size_t i = 0; i < copying->count && !broken(result); ++i) {
        PGresult *inserted = nullptr;
        Exchange one = readCommand(apStore, aDeadline, "cannot copy a row", &inserted);
        if (one.outcome == outcomeDone)
            copying->copied += strcmp(PQcmdTuples(inserted), "1") == 0;
        else if (broken(one))
            result = one;
        else if (refused.outcome == outcomeDone)
            refused = one;
        PQclear(inserted);
    }
    if (!broken(result))
        result = readSync(apStore, aDeadline);
    if (!broken(result))
        result = refused;
    return endPipeline(apStore, result);
}

} // namespace

bool nextStoredRowPostgres(Store *apStore, StoreTable aTable, StoreCursor *apCursor, StoredRow *apRow,
                           StoreFault *apFault)
{
    *apFault = kNoFault;
    char after[24] = "0";
    PGresult *batch = apCursor->result;
    if (batch != nullptr && apCursor->row >= PQntuples(batch)) {
        // authenticated comes in one batch; the others until one is empty.
        bool more = aTable != tableAuthenticated && PQntuples(batch) > 0;
        if (more)
            snprintf(after, sizeof after, "%s", PQgetvalue(batch, PQntuples(batch) - 1, 0));
        PQclear(batch);
        apCursor->result = batch = nullptr;
        if (!more)
            return false;
    }
    if (batch == nullptr) {
        const char *values[] = {after};
        *apFault = query(apStore, kCopyFrom[aTable], 1, values, "cannot read the store", &batch).fault;
        apCursor->result = batch;
        apCursor->row = 0;
    }
    if (batch == nullptr || PQntuples(batch) == 0) {
        PQclear(batch);
        apCursor->result = nullptr;
        return false;
    }
    int row = apCursor->row++;
    *apRow = {valueOrNull(batch, row, 1), valueOrNull(batch, row, 2), valueOrNull(batch, row, 3),
              valueOrNull(batch, row, 4), valueOrNull(batch, row, 5), valueOrNull(batch, row, 6),
              valueOrNull(batch, row, 7), strcmp(PQgetvalue(batch, row, 8), "t") == 0};
    return true;
}

StoreFault copyRowsPostgres(Store *apStore, StoreTable aTable, const StoredRow *apRows, size_t aCount,
                            size_t *apCopied)
{
    if (aCount == 0)
        return kNoFault;
    Copying copying = {aTable, apRows, aCount, 0};
    StoreFault result = withConnection(apStore, copyBatch, &copying, monotonicMilliseconds() + kWaitMilliseconds);
    if (!result.failed)
        *apCopied += copying.copied;
    return result;
}
