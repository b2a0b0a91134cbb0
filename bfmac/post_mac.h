// The MAC a post carries, so that a receiver can tell that the device name
// and the sealed hex it was sent are the ones a holder of the key sent:
// HMAC-SHA256 over exactly those bytes, under a key derived from the key
// text for this one purpose. The receiver checks it before it opens
// anything (encrypt-then-MAC).
#ifndef BFMAC_POST_MAC_H
#define BFMAC_POST_MAC_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    deviceNameMax = 64,
    postMacKeySize = 32,
    postMacDigits = 64 // the MAC as text: lowercase hex, two digits a byte
};

// Wiped by its holder with OPENSSL_cleanse once the last MAC is made.
struct PostMacKey {
    unsigned char bytes[postMacKeySize];
};

struct PostMac {
    char digits[postMacDigits + 1]; // zero-terminated
};

// The MAC key of apKeyText, a key text as readKeyFile gives it:
// HMAC-SHA256(key text, "sealpost-mac-key-v1").
void derivePostMacKey(const char *apKeyText, struct PostMacKey *apKey);

// The MAC of a post that names apDevice (null or empty when it names none)
// and carries apHex, the sealed hex exactly as it is sent, letters' case
// included: HMAC-SHA256(MAC key, "sealpost-post-v1" LF device LF hex).
void macPost(const struct PostMacKey *apKey, const char *apDevice, const char *apHex, struct PostMac *apMac);

// Whether apMac is that MAC, 64 lowercase hex digits, compared in constant
// time so that a forgery learns nothing from how long the answer takes.
bool checkPostMac(const struct PostMacKey *apKey, const char *apDevice, const char *apHex, const char *apMac);

// Whether the aLength bytes at apName are a device's name: 1 to 64 of
// A-Z a-z 0-9 . _ -
bool isDeviceName(const char *apName, size_t aLength);

#ifdef __cplusplus
}
#endif

#endif
