#include "store.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sqlite3.h>

#include "post_mac.h"
#include "sealed.h"
#include "store_backends.h"

StoreFault storeFault(const char *apFormat, ...)
{
    StoreFault result = {true, {}};
    va_list arguments;
    va_start(arguments, apFormat);
    vsnprintf(result.message, sizeof result.message, apFormat, arguments);
    va_end(arguments);
    return result;
}

bool postDigest(const char *apDevice, const char *apSealed, char *apDigest)
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    unsigned char digest[32];
    unsigned int length = 0;
    bool done = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    if (apDevice != nullptr)
        done = done && EVP_DigestUpdate(context, apDevice, strlen(apDevice)) == 1;
    done = done && EVP_DigestUpdate(context, "\n", 1) == 1;
    // In pieces, so that a post of any length needs no copy of its own.
    char lower[256];
    for (const char *hex = apSealed; done && *hex != '\0';) {
        size_t filled = 0;
        for (; filled < sizeof lower && hex[filled] != '\0'; ++filled) {
            char c = hex[filled];
            lower[filled] = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
        }
        done = EVP_DigestUpdate(context, lower, filled) == 1;
        hex += filled;
    }
    done = done && EVP_DigestFinal_ex(context, digest, &length) == 1 && length == sizeof digest;
    EVP_MD_CTX_free(context);
    if (!done)
        return false;
    constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof digest; ++i) {
        apDigest[2 * i] = kDigits[digest[i] >> 4];
        apDigest[2 * i + 1] = kDigits[digest[i] & 15];
    }
    apDigest[2 * sizeof digest] = '\0';
    return true;
}

bool reopenPost(const char *apSealed, const char *apDevice, const char *apReason, const char *apMac,
                const char *apKey, char **apText, bool *apAuthentic)
{
    *apText = nullptr;
    *apAuthentic = false;
    if (checkSealedHex(apSealed).fault != sealedHexOk)
        return false;
    if (apMac != nullptr) {
        PostMacKey key;
        derivePostMacKey(apKey, &key);
        *apAuthentic = checkPostMac(&key, apDevice, apSealed, apMac);
        OPENSSL_cleanse(&key, sizeof key);
        if (!*apAuthentic)
            return false;
    } else if (apReason != nullptr && strcmp(apReason, "forged") == 0) {
        return false;
    }
    return openSealed(apSealed, apKey, openedText, apText) == opened;
}

StoreFault openStore(const char *apUrl, StoreAccess aAccess, long long aUnopenedLimit, Store *apStore)
{
    *apStore = {};
    apStore->unopenedLimit = aUnopenedLimit;
    constexpr char kSqlite[] = "sqlite:";
    constexpr char kPostgres[] = "postgresql://";
    constexpr char kPostgresShort[] = "postgres://";
    if (strncmp(apUrl, kSqlite, sizeof kSqlite - 1) == 0) {
        apStore->kind = storeSqlite;
        return openSqliteStore(apUrl + sizeof kSqlite - 1, aAccess, apStore);
    }
    if (strncmp(apUrl, kPostgres, sizeof kPostgres - 1) == 0 ||
        strncmp(apUrl, kPostgresShort, sizeof kPostgresShort - 1) == 0) {
        apStore->kind = storePostgres;
        return openPostgresStore(apUrl, aAccess, apStore);
    }
    return storeFault("the store %s is neither sqlite:PATH nor postgresql://...", apUrl);
}

void closeStore(Store *apStore)
{
    if (apStore->kind == storePostgres)
        closePostgresStore(apStore);
    else
        closeSqliteStore(apStore);
}

void describeStore(const Store *apStore, char *apText, size_t aSize)
{
    if (apStore->kind == storePostgres)
        describePostgresStore(apStore, apText, aSize);
    else
        snprintf(apText, aSize, "%s", sqlite3_db_filename(apStore->db, "main"));
}

long long monotonicMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

StoreFault keepGroup(Store *apStore, Post **apPosts, size_t aCount, long long aDeadline)
{
    for (size_t i = 0; i < aCount; ++i)
        apPosts[i]->duplicate = false;
    apStore->keptSinceTrim = true;
    if (apStore->kind == storePostgres)
        return keepGroupPostgres(apStore, apPosts, aCount, aDeadline);
    return keepGroupSqlite(apStore, apPosts, aCount, aDeadline);
}

StoreFault tidyStore(Store *apStore, bool aNow)
{
    if (apStore->kind == storeSqlite)
        checkpointSqlite(apStore);
    // On a clock, not after the posts that filled unopened, so that when a
    // trim runs, and what it costs the posts behind it, says nothing of any
    // one post.
    constexpr long long kTrimSeconds = 10;
    long long seconds = monotonicMilliseconds() / 1000;
    if (!apStore->keptSinceTrim || (!aNow && apStore->lastTrim != 0 && seconds - apStore->lastTrim < kTrimSeconds))
        return {false, {}};
    apStore->lastTrim = seconds;
    apStore->keptSinceTrim = false;
    return apStore->kind == storePostgres ? trimPostgres(apStore) : trimSqlite(apStore);
}

bool storeAnswers(Store *apStore)
{
    return apStore->kind == storePostgres ? postgresAnswers(apStore) : sqliteAnswers(apStore);
}

bool nextReceived(Store *apStore, ReceivedFilter aFilter, StoreCursor *apCursor, ReceivedRow *apRow,
                  StoreFault *apFault)
{
    if (apStore->kind == storePostgres)
        return nextReceivedPostgres(apStore, aFilter, apCursor, apRow, apFault);
    return nextReceivedSqlite(apStore, aFilter, apCursor, apRow, apFault);
}

bool nextNotOpened(Store *apStore, StoreCursor *apCursor, NotOpenedRow *apRow, StoreFault *apFault)
{
    if (apStore->kind == storePostgres)
        return nextNotOpenedPostgres(apStore, apCursor, apRow, apFault);
    return nextNotOpenedSqlite(apStore, apCursor, apRow, apFault);
}

bool nextDevice(Store *apStore, const char *apSince, StoreCursor *apCursor, DeviceRow *apRow, StoreFault *apFault)
{
    if (apStore->kind == storePostgres)
        return nextDevicePostgres(apStore, apSince, apCursor, apRow, apFault);
    return nextDeviceSqlite(apStore, apSince, apCursor, apRow, apFault);
}

bool nextStoredRow(Store *apStore, StoreTable aTable, StoreCursor *apCursor, StoredRow *apRow, StoreFault *apFault)
{
    if (apStore->kind == storePostgres)
        return nextStoredRowPostgres(apStore, aTable, apCursor, apRow, apFault);
    return nextStoredRowSqlite(apStore, aTable, apCursor, apRow, apFault);
}

StoreFault copyRows(Store *apStore, StoreTable aTable, const StoredRow *apRows, size_t aCount, size_t *apCopied)
{
    if (apStore->kind == storePostgres)
        return copyRowsPostgres(apStore, aTable, apRows, aCount, apCopied);
    return copyRowsSqlite(apStore, aTable, apRows, aCount, apCopied);
}

Reopened reopenUnopened(Store *apStore, const char *apKey)
{
    return apStore->kind == storePostgres ? reopenPostgres(apStore, apKey) : reopenSqlite(apStore, apKey);
}
