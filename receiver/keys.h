// The keys the receiver opens posts with: one key for every post
// (--key-file), or keys chosen by the device a post names: a folder with a
// key file, or a folder of key files, per device (--keys), and a master key
// from which the key of any device without such an entry is derived
// (--master-key).
#ifndef RECEIVER_KEYS_H
#define RECEIVER_KEYS_H

#include <stddef.h>

#include "sealed.h"

enum {
    keysMessageSize = 512,
    derivedKeySize = 65 // 64 lowercase hex digits and the terminator
};

struct KeySettings {
    const char *keyFile;   // one key for all; excludes the two below
    const char *keysDir;   // DIR/NAME: a key file or a folder of them
    const char *masterKey; // a key file
};

struct DeviceKeys {
    char *name;
    size_t first; // into KeyRing.keys
    size_t count;
};

struct KeyRing {
    char *single; // the one key, or null when the device chooses
    struct DeviceKeys *devices; // in strcmp order
    size_t deviceCount;
    char **keys;
    size_t keyCount;
    char *master; // null: no key is derived
    // A key no device has, tried where none is known, so that a post naming
    // no device with a key costs what a wrong key costs.
    char decoy[33];
};

struct KeysFault {
    bool failed;
    char message[keysMessageSize];
};

// Reads every key aSettings names into *apRing; on a fault nothing is held.
struct KeysFault loadKeyRing(struct KeySettings aSettings, struct KeyRing *apRing);
// Wipes and frees every key; a second call is harmless.
void freeKeyRing(struct KeyRing *apRing);

struct PostOpening {
    enum OpenResult result;
    bool noKey; // the device has no key here: only the decoy was tried
};

// Opens apHex (which passed checkSealedHex) with the key or keys for
// apDevice (null: the post named none); *apText as openSealed sets it.
struct PostOpening openPost(const struct KeyRing *apRing, const char *apDevice, const char *apHex, char **apText);

// A device's key under apMaster: HMAC-SHA256(master, device) in lowercase
// hex, a key text as bfseal -k reads one. False when OpenSSL failed.
bool deriveKey(const char *apMaster, const char *apDevice, char *apKey);

#endif
