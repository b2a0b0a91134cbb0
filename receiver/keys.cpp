#include "keys.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "form.h"
#include "key_file.h"

namespace {

__attribute__((format(printf, 1, 2))) KeysFault keysFault(const char *apFormat, ...)
{
    KeysFault fault = {true, {}};
    va_list arguments;
    va_start(arguments, apFormat);
    vsnprintf(fault.message, sizeof fault.message, apFormat, arguments);
    va_end(arguments);
    return fault;
}

constexpr KeysFault kNoFault = {false, {}};

KeysFault keyFileFault(const char *apPath, KeyFile aRead)
{
    KeysFault fault = {true, {}};
    describeKeyFileFault(apPath, aRead, fault.message, sizeof fault.message);
    return fault;
}

void wipeAndFree(char *apKey)
{
    if (apKey == nullptr)
        return;
    OPENSSL_cleanse(apKey, strlen(apKey));
    free(apKey);
}

// A heap copy of the key in apPath.
KeysFault readKey(const char *apPath, char **apKey)
{
    char key[keyFileBufferSize];
    KeyFile read = readKeyFileOf(apPath, key, true);
    if (read.fault != keyFileOk)
        return keyFileFault(apPath, read);
    *apKey = strdup(key);
    OPENSSL_cleanse(key, sizeof key);
    return *apKey != nullptr ? kNoFault : keysFault("out of memory reading %s", apPath);
}

// What the receiver holds of a key text: its schedule and its MAC key.
bool makeRingKey(const char *apKey, RingKey *apRingKey)
{
    apRingKey->schedule = allocSchedule(apKey);
    derivePostMacKey(apKey, &apRingKey->mac);
    return apRingKey->schedule != nullptr;
}

void releaseRingKey(RingKey *apRingKey)
{
    releaseSchedule(apRingKey->schedule);
    OPENSSL_cleanse(apRingKey, sizeof *apRingKey);
}

KeysFault readRingKey(const char *apPath, RingKey *apRingKey)
{
    char *key = nullptr;
    KeysFault fault = readKey(apPath, &key);
    if (fault.failed)
        return fault;
    bool made = makeRingKey(key, apRingKey);
    wipeAndFree(key);
    return made ? kNoFault : keysFault("out of memory reading %s", apPath);
}

bool joinPath(char *apPath, const char *apFolder, const char *apName)
{
    int length = snprintf(apPath, PATH_MAX, "%s/%s", apFolder, apName);
    return length > 0 && length < PATH_MAX;
}

bool grow(void **apArray, size_t aCount, size_t *apCapacity, size_t aSize)
{
    if (aCount < *apCapacity)
        return true;
    size_t capacity = *apCapacity == 0 ? 64 : *apCapacity * 2;
    void *grown = realloc(*apArray, capacity * aSize);
    if (grown == nullptr)
        return false;
    *apArray = grown;
    *apCapacity = capacity;
    return true;
}

struct Loading {
    KeyRing *ring;
    size_t keyCapacity;
    size_t deviceCapacity;
};

KeysFault addKey(Loading *apLoading, const char *apPath)
{
    KeyRing *ring = apLoading->ring;
    if (!grow(reinterpret_cast<void **>(&ring->keys), ring->keyCount, &apLoading->keyCapacity, sizeof *ring->keys))
        return keysFault("out of memory reading %s", apPath);
    KeysFault fault = readRingKey(apPath, &ring->keys[ring->keyCount]);
    if (!fault.failed)
        ++ring->keyCount;
    return fault;
}

// The names in a folder in strcmp order, hidden ones left out (an
// editor's or a copy's files); scandir's list, which the caller frees.
int listFolder(const char *apPath, dirent ***apList)
{
    dirent **list = nullptr;
    int count = scandir(apPath, &list, nullptr, alphasort);
    if (count < 0)
        return -1;
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (list[i]->d_name[0] == '.')
            free(list[i]);
        else
            list[kept++] = list[i];
    }
    *apList = list;
    return kept;
}

void freeList(dirent **apList, int aCount, int aFrom)
{
    for (int i = aFrom; i < aCount; ++i)
        free(apList[i]);
    free(apList);
}

// DIR/NAME: one key file, or a folder whose files are each a key.
KeysFault addDevice(Loading *apLoading, const char *apFolder, const char *apName)
{
    KeyRing *ring = apLoading->ring;
    char path[PATH_MAX];
    if (!joinPath(path, apFolder, apName))
        return keysFault("the path of %s in %s is too long", apName, apFolder);
    if (!isDeviceName(apName, strlen(apName)))
        return keysFault("%s is not named for a device: 1 to 64 of A-Z a-z 0-9 . _ -", path);
    struct stat status;
    if (stat(path, &status) != 0)
        return keysFault("cannot read %s: %s", path, strerror(errno));
    if (!grow(reinterpret_cast<void **>(&ring->devices), ring->deviceCount, &apLoading->deviceCapacity,
              sizeof *ring->devices))
        return keysFault("out of memory reading %s", path);
    DeviceKeys *device = &ring->devices[ring->deviceCount];
    *device = {strdup(apName), ring->keyCount, 0};
    if (device->name == nullptr)
        return keysFault("out of memory reading %s", path);
    ++ring->deviceCount;
    if (!S_ISDIR(status.st_mode)) {
        KeysFault fault = addKey(apLoading, path);
        device->count = ring->keyCount - device->first;
        return fault;
    }
    dirent **list = nullptr;
    int count = listFolder(path, &list);
    if (count < 0)
        return keysFault("cannot read the folder %s: %s", path, strerror(errno));
    KeysFault fault = kNoFault;
    if (count > deviceKeysMax)
        fault = keysFault("the folder %s holds %d keys: a device's folder holds %d at most", path, count,
                          deviceKeysMax);
    int i = 0;
    for (; i < count && !fault.failed; ++i) {
        char file[PATH_MAX];
        struct stat fileStatus;
        if (!joinPath(file, path, list[i]->d_name))
            fault = keysFault("the path of %s in %s is too long", list[i]->d_name, path);
        else if (stat(file, &fileStatus) == 0 && S_ISDIR(fileStatus.st_mode))
            fault = keysFault("%s is a folder: a device's folder holds key files only", file);
        else
            fault = addKey(apLoading, file);
        free(list[i]);
    }
    freeList(list, count, i);
    device->count = ring->keyCount - device->first;
    return fault;
}

KeysFault loadFolder(Loading *apLoading, const char *apFolder)
{
    dirent **list = nullptr;
    int count = listFolder(apFolder, &list);
    if (count < 0)
        return keysFault("cannot read the folder of keys %s: %s", apFolder, strerror(errno));
    KeysFault fault = kNoFault;
    int i = 0;
    for (; i < count && !fault.failed; ++i) {
        fault = addDevice(apLoading, apFolder, list[i]->d_name);
        free(list[i]);
    }
    freeList(list, count, i);
    // Lookups halve the list by strcmp: alphasort must have sorted it so.
    KeyRing *ring = apLoading->ring;
    for (size_t d = 1; d < ring->deviceCount && !fault.failed; ++d)
        if (strcmp(ring->devices[d - 1].name, ring->devices[d].name) >= 0)
            fault = keysFault("the folder of keys %s did not list in order", apFolder);
    return fault;
}

const DeviceKeys *findDevice(const KeyRing *apRing, const char *apName)
{
    size_t low = 0;
    size_t high = apRing->deviceCount;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        int order = strcmp(apRing->devices[middle].name, apName);
        if (order == 0)
            return &apRing->devices[middle];
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return nullptr;
}

} // namespace

KeysFault loadKeyRing(KeySettings aSettings, KeyRing *apRing)
{
    *apRing = {};
    KeysFault fault = kNoFault;
    if (aSettings.keyFile != nullptr) {
        apRing->single = static_cast<RingKey *>(calloc(1, sizeof *apRing->single));
        fault = apRing->single != nullptr ? readRingKey(aSettings.keyFile, apRing->single)
                                          : keysFault("out of memory reading %s", aSettings.keyFile);
    }
    if (!fault.failed && aSettings.masterKey != nullptr)
        fault = readKey(aSettings.masterKey, &apRing->master);
    if (!fault.failed && aSettings.keysDir != nullptr) {
        Loading loading = {apRing, 0, 0};
        fault = loadFolder(&loading, aSettings.keysDir);
    }
    apRing->tries = 1;
    for (size_t d = 0; d < apRing->deviceCount; ++d)
        apRing->tries = apRing->devices[d].count > apRing->tries ? apRing->devices[d].count : apRing->tries;
    for (size_t k = 0; k < apRing->tries && !fault.failed; ++k) {
        unsigned char random[16];
        char decoy[2 * sizeof random + 1];
        bool drawn = RAND_bytes(random, sizeof random) == 1;
        constexpr char kDigits[] = "0123456789abcdef";
        for (size_t i = 0; i < sizeof random; ++i) {
            decoy[2 * i] = kDigits[random[i] >> 4];
            decoy[2 * i + 1] = kDigits[random[i] & 15];
        }
        decoy[2 * sizeof random] = '\0';
        bool made = drawn && makeRingKey(decoy, &apRing->decoys[k]);
        OPENSSL_cleanse(random, sizeof random);
        OPENSSL_cleanse(decoy, sizeof decoy);
        if (!made)
            fault = keysFault(drawn ? "out of memory making the keys" : "cannot draw a random key");
    }
    if (fault.failed)
        freeKeyRing(apRing);
    return fault;
}

void freeKeyRing(KeyRing *apRing)
{
    if (apRing->single != nullptr)
        releaseRingKey(apRing->single);
    free(apRing->single);
    wipeAndFree(apRing->master);
    for (size_t i = 0; i < apRing->keyCount; ++i)
        releaseRingKey(&apRing->keys[i]);
    free(apRing->keys);
    for (size_t i = 0; i < apRing->deviceCount; ++i)
        free(apRing->devices[i].name);
    free(apRing->devices);
    for (RingKey &decoy : apRing->decoys)
        releaseRingKey(&decoy);
    *apRing = {};
}

bool deriveKey(const char *apMaster, const char *apDevice, char *apKey)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    bool done = HMAC(EVP_sha256(), apMaster, static_cast<int>(strlen(apMaster)),
                     reinterpret_cast<const unsigned char *>(apDevice), strlen(apDevice), digest, &length) != nullptr &&
                length == 32;
    constexpr char kDigits[] = "0123456789abcdef";
    for (unsigned int i = 0; done && i < length; ++i) {
        apKey[2 * i] = kDigits[digest[i] >> 4];
        apKey[2 * i + 1] = kDigits[digest[i] & 15];
    }
    apKey[done ? 2 * length : 0] = '\0';
    OPENSSL_cleanse(digest, sizeof digest);
    return done;
}

PostOpening openPost(const KeyRing *apRing, const char *apDevice, const char *apHex, const char *apMac,
                     bool aRequireMac, char **apText)
{
    *apText = nullptr;
    PostOpening opening = {openWrongKeyOrDamaged, false, false, false, 0};
    const DeviceKeys *device = apDevice != nullptr ? findDevice(apRing, apDevice) : nullptr;
    // With a master key every post pays for a derived key, its schedule and
    // its MAC key, used or not, so that a device with key files of its own,
    // a name no device has and no name at all cost what a derived device
    // costs.
    RingKey derived = {};
    if (apRing->master != nullptr) {
        char key[derivedKeySize];
        bool made = deriveKey(apRing->master, apDevice != nullptr ? apDevice : "", key) && makeRingKey(key, &derived);
        OPENSSL_cleanse(key, sizeof key);
        if (!made) {
            releaseRingKey(&derived);
            return {openOutOfMemory, false, false, false, 0};
        }
    }
    const RingKey *tries[deviceKeysMax];
    size_t own = 0;
    if (apRing->single != nullptr)
        tries[own++] = apRing->single;
    else if (device != nullptr)
        for (; own < device->count; ++own)
            tries[own] = &apRing->keys[device->first + own];
    // A device's own entry, even an empty folder, stands instead of its
    // derived key: that is how a leaked board is shut out.
    else if (apDevice != nullptr && apRing->master != nullptr)
        tries[own++] = &derived;
    for (size_t k = own; k < apRing->tries; ++k)
        tries[k] = &apRing->decoys[k];
    opening.noKey = own == 0;

    const BFSchedule *schedules[deviceKeysMax];
    size_t count = apRing->tries;
    for (size_t k = 0; k < count; ++k)
        schedules[k] = tries[k]->schedule;
    if (apMac != nullptr) {
        // Every key's MAC is made, so that which key's it is, or whether it
        // is any, does not show; only the key whose MAC it is opens it.
        size_t verified = count;
        for (size_t k = 0; k < count; ++k) {
            bool same = checkPostMac(&tries[k]->mac, apDevice, apHex, apMac);
            verified = same && k < own && verified == count ? k : verified;
        }
        opening.authentic = verified < count;
        opening.forged = !opening.authentic && own > 0;
        if (!opening.authentic) {
            releaseRingKey(&derived);
            return opening;
        }
        schedules[0] = schedules[verified];
        count = 1;
        own = 1;
    } else if (aRequireMac) {
        opening.forged = true;
        releaseRingKey(&derived);
        return opening;
    }
    size_t opener = 0;
    opening.result = openSealedUnderEach(apHex, schedules, count, openedText, apText, &opener);
    opening.decryptions = count;
    releaseRingKey(&derived);
    // What a key no device has opens is chance, not a device's text.
    if (opening.result == opened && opener >= own) {
        OPENSSL_cleanse(*apText, strlen(*apText));
        free(*apText);
        *apText = nullptr;
        opening.result = openWrongKeyOrDamaged;
    }
    return opening;
}
