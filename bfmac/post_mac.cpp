#include "post_mac.h"

#include <cstring>

// HMAC() and EVP_MAC go through OpenSSL 3's providers, which bring all of
// libcrypto and dlopen into a static program (3 MB on ARM, and a link that
// static glibc refuses); SHA-256's own functions are a few kilobytes. They
// are deprecated in OpenSSL 3 but stay; suppress that warning for these
// headers only.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/sha.h>

namespace {

constexpr char kKeyLabel[] = "sealpost-mac-key-v1";
constexpr char kPostLabel[] = "sealpost-post-v1\n";

// HMAC-SHA256 (RFC 2104) over a message given in pieces. SHA256_Init,
// SHA256_Update and SHA256_Final cannot fail.
struct Hmac {
    SHA256_CTX inner, outer;
};

void startHmac(Hmac *apHmac, const unsigned char *apKey, size_t aSize)
{
    unsigned char block[SHA256_CBLOCK] = {};
    if (aSize > sizeof block) {
        SHA256_CTX shorter;
        SHA256_Init(&shorter);
        SHA256_Update(&shorter, apKey, aSize);
        SHA256_Final(block, &shorter);
        OPENSSL_cleanse(&shorter, sizeof shorter);
    } else {
        memcpy(block, apKey, aSize);
    }
    unsigned char pad[SHA256_CBLOCK];
    for (size_t i = 0; i < sizeof pad; ++i)
        pad[i] = block[i] ^ 0x36;
    SHA256_Init(&apHmac->inner);
    SHA256_Update(&apHmac->inner, pad, sizeof pad);
    for (size_t i = 0; i < sizeof pad; ++i)
        pad[i] = block[i] ^ 0x5c;
    SHA256_Init(&apHmac->outer);
    SHA256_Update(&apHmac->outer, pad, sizeof pad);
    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(pad, sizeof pad);
}

void addToHmac(Hmac *apHmac, const void *apBytes, size_t aSize)
{
    SHA256_Update(&apHmac->inner, apBytes, aSize);
}

void finishHmac(Hmac *apHmac, unsigned char apMac[SHA256_DIGEST_LENGTH])
{
    unsigned char inner[SHA256_DIGEST_LENGTH];
    SHA256_Final(inner, &apHmac->inner);
    SHA256_Update(&apHmac->outer, inner, sizeof inner);
    SHA256_Final(apMac, &apHmac->outer);
    OPENSSL_cleanse(inner, sizeof inner);
    OPENSSL_cleanse(apHmac, sizeof *apHmac);
}

} // namespace

void derivePostMacKey(const char *apKeyText, PostMacKey *apKey)
{
    static_assert(sizeof apKey->bytes == SHA256_DIGEST_LENGTH, "a MAC key is one SHA-256 digest");
    Hmac hmac;
    startHmac(&hmac, reinterpret_cast<const unsigned char *>(apKeyText), strlen(apKeyText));
    addToHmac(&hmac, kKeyLabel, sizeof kKeyLabel - 1);
    finishHmac(&hmac, apKey->bytes);
}

void macPost(const PostMacKey *apKey, const char *apDevice, const char *apHex, PostMac *apMac)
{
    Hmac hmac;
    startHmac(&hmac, apKey->bytes, sizeof apKey->bytes);
    addToHmac(&hmac, kPostLabel, sizeof kPostLabel - 1);
    if (apDevice != nullptr)
        addToHmac(&hmac, apDevice, strlen(apDevice));
    addToHmac(&hmac, "\n", 1);
    addToHmac(&hmac, apHex, strlen(apHex));
    unsigned char mac[SHA256_DIGEST_LENGTH];
    finishHmac(&hmac, mac);
    constexpr char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof mac; ++i) {
        apMac->digits[2 * i] = digits[mac[i] >> 4];
        apMac->digits[2 * i + 1] = digits[mac[i] & 0x0f];
    }
    apMac->digits[postMacDigits] = '\0';
    OPENSSL_cleanse(mac, sizeof mac);
}

bool checkPostMac(const PostMacKey *apKey, const char *apDevice, const char *apHex, const char *apMac)
{
    PostMac expected;
    macPost(apKey, apDevice, apHex, &expected);
    // The length is no secret: only a text of the right one is compared.
    bool same = strnlen(apMac, postMacDigits + 1) == postMacDigits && CRYPTO_memcmp(expected.digits, apMac, postMacDigits) == 0;
    OPENSSL_cleanse(&expected, sizeof expected);
    return same;
}

bool isDeviceName(const char *apName, size_t aLength)
{
    if (aLength < 1 || aLength > deviceNameMax)
        return false;
    for (size_t i = 0; i < aLength; ++i) {
        char c = apName[i];
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-';
        if (!allowed)
            return false;
    }
    return true;
}
