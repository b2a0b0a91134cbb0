// The keys the receiver opens posts with: one key for every post
// (--key-file), or keys chosen by the device a post names: a folder with a
// key file, or a folder of key files, per device (--keys), and a master key
// from which the key of any device without such an entry is derived
// (--master-key). Each key is held as its Blowfish schedule and the key of
// the MAC a post may carry, made once when the keys are read.
#ifndef RECEIVER_KEYS_H
#define RECEIVER_KEYS_H

#include <stddef.h>

#include "post_mac.h"
#include "sealed.h"

enum {
    keysMessageSize = 512,
    derivedKeySize = 65, // 64 lowercase hex digits and the terminator
    deviceKeysMax = 16   // keys in one device's folder, old and new together
};

struct KeySettings {
    const char *keyFile;   // one key for all; excludes the two below
    const char *keysDir;   // DIR/NAME: a key file or a folder of them
    const char *masterKey; // a key file
};

struct RingKey {
    BFSchedule *schedule;
    struct PostMacKey mac;
};

struct DeviceKeys {
    char *name;
    size_t first; // into KeyRing.keys
    size_t count;
};

struct KeyRing {
    struct RingKey *single; // the one key, or null when the device chooses
    struct DeviceKeys *devices; // in strcmp order
    size_t deviceCount;
    struct RingKey *keys;
    size_t keyCount;
    char *master; // null: no key is derived
    // Every post is tried under this many keys, its device's own first and
    // then keys no device has, so that a post costs the same whichever key
    // opens it, whether one does, and how many its device has.
    size_t tries;
    struct RingKey decoys[deviceKeysMax];
};

struct KeysFault {
    bool failed;
    char message[keysMessageSize];
};

// Reads every key aSettings names into *apRing; on a fault nothing is held.
// Key files must be regular files: anything else is refused, without
// waiting on it.
struct KeysFault loadKeyRing(struct KeySettings aSettings, struct KeyRing *apRing);
// Wipes and frees every key; a second call is harmless.
void freeKeyRing(struct KeyRing *apRing);

struct PostOpening {
    enum OpenResult result;
    bool noKey;         // the device has no key here: only keys no device has were tried
    bool authentic;     // its MAC verified under a key of the device's
    bool forged;        // its MAC verified under none, or it had none where one is required
    size_t decryptions; // the texts Blowfish decrypted for it
};

// Opens apHex (which passed checkSealedHex) with the key or keys for
// apDevice (null: the post named none); *apText as openSealed sets it.
// A post with a MAC (apMac) is checked against the MAC of each key first,
// and opened under the one whose MAC it carries, or not at all; without,
// with aRequireMac, it is forged and not opened.
struct PostOpening openPost(const struct KeyRing *apRing, const char *apDevice, const char *apHex, const char *apMac,
                            bool aRequireMac, char **apText);

// A device's key under apMaster: HMAC-SHA256(master, device) in lowercase
// hex, a key text as bfseal -k reads one. False when OpenSSL failed.
bool deriveKey(const char *apMaster, const char *apDevice, char *apKey);

#endif
