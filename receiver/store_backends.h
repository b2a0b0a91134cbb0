// The two kinds of store behind store.h's functions, which choose between
// them by the store's kind. Each keeps the same tables with the same
// meaning; see store.h for what each function does.
#ifndef RECEIVER_STORE_BACKENDS_H
#define RECEIVER_STORE_BACKENDS_H

#include "store.h"

// Whether a post of unopened opens under apKey, as reopen takes it: one
// with a MAC only if it is apKey's MAC (*apAuthentic), one forged without
// one never. *apText as openSealed sets it.
bool reopenPost(const char *apSealed, const char *apDevice, const char *apReason, const char *apMac,
                const char *apKey, char **apText, bool *apAuthentic);

// A fault worded as printf words it, cut short to fit.
struct StoreFault storeFault(const char *apFormat, ...) __attribute__((format(printf, 1, 2)));

// apPath: the part of "sqlite:PATH" after the scheme.
struct StoreFault openSqliteStore(const char *apPath, enum StoreAccess aAccess, struct Store *apStore);
void closeSqliteStore(struct Store *apStore);
struct StoreFault keepGroupSqlite(struct Store *apStore, struct Post **apPosts, size_t aCount, long long aDeadline);
void checkpointSqlite(struct Store *apStore);
struct StoreFault trimSqlite(struct Store *apStore);
bool sqliteAnswers(struct Store *apStore);
bool nextReceivedSqlite(struct Store *apStore, struct ReceivedFilter aFilter, struct StoreCursor *apCursor,
                        struct ReceivedRow *apRow, struct StoreFault *apFault);
bool nextNotOpenedSqlite(struct Store *apStore, struct StoreCursor *apCursor, struct NotOpenedRow *apRow,
                         struct StoreFault *apFault);
bool nextDeviceSqlite(struct Store *apStore, const char *apSince, struct StoreCursor *apCursor,
                      struct DeviceRow *apRow, struct StoreFault *apFault);
bool nextStoredRowSqlite(struct Store *apStore, enum StoreTable aTable, struct StoreCursor *apCursor,
                         struct StoredRow *apRow, struct StoreFault *apFault);
struct StoreFault copyRowsSqlite(struct Store *apStore, enum StoreTable aTable, const struct StoredRow *apRows,
                                 size_t aCount, size_t *apCopied);
struct Reopened reopenSqlite(struct Store *apStore, const char *apKey);

// apUri: the whole "postgresql://" URI, as libpq takes it.
struct StoreFault openPostgresStore(const char *apUri, enum StoreAccess aAccess, struct Store *apStore);
void closePostgresStore(struct Store *apStore);
void describePostgresStore(const struct Store *apStore, char *apText, size_t aSize);
struct StoreFault keepGroupPostgres(struct Store *apStore, struct Post **apPosts, size_t aCount,
                                    long long aDeadline);
struct StoreFault trimPostgres(struct Store *apStore);
bool postgresAnswers(struct Store *apStore);
bool nextReceivedPostgres(struct Store *apStore, struct ReceivedFilter aFilter, struct StoreCursor *apCursor,
                          struct ReceivedRow *apRow, struct StoreFault *apFault);
bool nextNotOpenedPostgres(struct Store *apStore, struct StoreCursor *apCursor, struct NotOpenedRow *apRow,
                           struct StoreFault *apFault);
bool nextDevicePostgres(struct Store *apStore, const char *apSince, struct StoreCursor *apCursor,
                        struct DeviceRow *apRow, struct StoreFault *apFault);
bool nextStoredRowPostgres(struct Store *apStore, enum StoreTable aTable, struct StoreCursor *apCursor,
                           struct StoredRow *apRow, struct StoreFault *apFault);
struct StoreFault copyRowsPostgres(struct Store *apStore, enum StoreTable aTable, const struct StoredRow *apRows,
                                   size_t aCount, size_t *apCopied);
struct Reopened reopenPostgres(struct Store *apStore, const char *apKey);

#endif
