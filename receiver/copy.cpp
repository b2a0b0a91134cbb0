#include "copy.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace {

constexpr char kProgram[] = "sealpost-receiver";
constexpr size_t kBatchRows = 256;
constexpr size_t kBatchBytes = 4 << 20;
constexpr const char *kTableNames[] = {"received", "unopened", "authenticated"};

// A batch of rows held apart from the walk that read them, which lets
// each row go at the next.
struct Batch {
    StoredRow rows[kBatchRows];
    char *texts[kBatchRows * 7];
    size_t count;
    size_t bytes;
    size_t textCount;
    char digests[kBatchRows][digestSize];
    bool room;
};

const char *hold(Batch *apBatch, const char *apText)
{
    if (apText == nullptr)
        return nullptr;
    char *copy = strdup(apText);
    apBatch->room = apBatch->room && copy != nullptr;
    if (copy != nullptr)
        apBatch->texts[apBatch->textCount++] = copy;
    apBatch->bytes += strlen(apText);
    return copy;
}

// The texts are opened posts: wiped before they go.
void letGo(Batch *apBatch)
{
    for (size_t i = 0; i < apBatch->textCount; ++i) {
        OPENSSL_cleanse(apBatch->texts[i], strlen(apBatch->texts[i]));
        free(apBatch->texts[i]);
    }
    apBatch->count = 0;
    apBatch->bytes = 0;
    apBatch->textCount = 0;
}

// A digest for a row of received kept before digests were, whose sealed
// hex is gone: SHA-256 over what the row holds, so that every copy gives
// it the same one. Its first line tells it from postDigest's, which
// starts with a device's name, and no name holds a space.
bool rowDigest(const StoredRow *apRow, char *apDigest)
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    unsigned char digest[32];
    unsigned int length = 0;
    const char *parts[] = {"kept before digests were\n", apRow->receivedAt, "\n", apRow->peer, "\n",
                           apRow->device != nullptr ? apRow->device : "", "\n", apRow->body};
    bool done = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    for (const char *part : parts)
        done = done && EVP_DigestUpdate(context, part != nullptr ? part : "", part != nullptr ? strlen(part) : 0) == 1;
    done = done && EVP_DigestFinal_ex(context, digest, &length) == 1 && length == sizeof digest;
    EVP_MD_CTX_free(context);
    constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; done && i < sizeof digest; ++i) {
        apDigest[2 * i] = kDigits[digest[i] >> 4];
        apDigest[2 * i + 1] = kDigits[digest[i] & 15];
    }
    apDigest[done ? 2 * sizeof digest : 0] = '\0';
    return done;
}

// Holds a row in the batch, with a digest where it had none.
bool add(Batch *apBatch, StoreTable aTable, const StoredRow *apRow)
{
    StoredRow *row = &apBatch->rows[apBatch->count];
    char *digest = apBatch->digests[apBatch->count];
    *row = {hold(apBatch, apRow->receivedAt), hold(apBatch, apRow->peer), hold(apBatch, apRow->device),
            hold(apBatch, apRow->body), hold(apBatch, apRow->digest), hold(apBatch, apRow->reason),
            hold(apBatch, apRow->mac), apRow->authentic};
    ++apBatch->count;
    if (aTable == tableAuthenticated || row->digest != nullptr || !apBatch->room)
        return apBatch->room;
    // As reopen gives an unopened post its digest: the one the receiver
    // would have, so that the post sent again is a duplicate.
    bool made = aTable == tableUnopened ? postDigest(row->device, row->body, digest) : rowDigest(row, digest);
    row->digest = digest;
    return made;
}

StoreFault copyTable(Store *apFrom, Store *apTo, StoreTable aTable, Batch *apBatch, size_t *apRead,
                     size_t *apCopied)
{
    StoreCursor cursor = {};
    StoreFault result = {};
    StoreFault written = {};
    StoredRow row;
    apBatch->room = true;
    while (nextStoredRow(apFrom, aTable, &cursor, &row, &result)) {
        if (written.failed)
            continue;
        if (!add(apBatch, aTable, &row))
            written = {true, "out of memory"};
        ++*apRead;
        if (!written.failed && (apBatch->count == kBatchRows || apBatch->bytes >= kBatchBytes))
            written = copyRows(apTo, aTable, apBatch->rows, apBatch->count, apCopied);
        if (apBatch->count == kBatchRows || apBatch->bytes >= kBatchBytes || written.failed)
            letGo(apBatch);
    }
    if (!result.failed && !written.failed)
        written = copyRows(apTo, aTable, apBatch->rows, apBatch->count, apCopied);
    letGo(apBatch);
    return result.failed ? result : written;
}

} // namespace

int copyStore(Store *apFrom, Store *apTo)
{
    Batch *batch = static_cast<Batch *>(calloc(1, sizeof *batch));
    if (batch == nullptr) {
        fprintf(stderr, "%s: out of memory\n", kProgram);
        return 1;
    }
    size_t read[3] = {};
    size_t copied[3] = {};
    StoreFault fault = {};
    for (int table = tableReceived; table <= tableAuthenticated && !fault.failed; ++table)
        fault = copyTable(apFrom, apTo, static_cast<StoreTable>(table), batch, &read[table], &copied[table]);
    free(batch);
    // What was copied stays copied: a copy run again goes on from there.
    for (int table = tableReceived; table <= tableAuthenticated; ++table)
        printf("%s%s: %zu copied, %zu there already", table == tableReceived ? "" : "; ", kTableNames[table],
               copied[table], read[table] - copied[table]);
    putchar('\n');
    if (fault.failed) {
        fprintf(stderr, "%s: %s\n", kProgram, fault.message);
        return 1;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: cannot write to standard output\n", kProgram);
        return 1;
    }
    return 0;
}
