#include "sealed.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "BlowfishEncDec.h"
#include "utf8_text.h"

namespace {

constexpr size_t kIVDigits = 16;
constexpr size_t kBlockDigits = 16;

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

SealedHexCheck checkSealedHex(const char *apHex)
{
    size_t length = 0;
    for (; apHex[length] != '\0'; ++length)
        if (!isHexDigit(apHex[length]))
            return {sealedHexNotADigit, length + 1};
    if (length % 2 != 0)
        return {sealedHexOddLength, length};
    if (length < kIVDigits)
        return {sealedHexNoIV, length};
    if ((length - kIVDigits) % kBlockDigits != 0)
        return {sealedHexPartialBlock, length - kIVDigits};
    return {sealedHexOk, 0};
}

void describeSealedHexFault(SealedHexCheck aCheck, char *apText, size_t aSize)
{
    switch (aCheck.fault) {
    case sealedHexNotADigit:
        snprintf(apText, aSize, "character %zu of the input is not a hex digit", aCheck.position);
        return;
    case sealedHexOddLength:
        snprintf(apText, aSize, "the input has an odd number of hex digits (%zu)", aCheck.position);
        return;
    case sealedHexNoIV:
        snprintf(apText, aSize, "the input is too short: %zu hex digits, the IV alone takes 16", aCheck.position);
        return;
    case sealedHexPartialBlock:
        snprintf(apText, aSize,
                 "the ciphertext is not whole blocks: %zu hex digits after the IV, not a multiple of 16",
                 aCheck.position);
        return;
    case sealedHexOk:
        break;
    }
    snprintf(apText, aSize, "the input has the shape of a sealed text");
}

OpenResult openSealed(const char *apHex, const char *apKey, OpenedBytes aAccept, char **apText)
{
    *apText = nullptr;
    IVString iv = {};
    for (size_t i = 0; i < kIVDigits / 2; ++i)
        iv.string[i] = static_cast<char>(binFromHexWord(apHex[2 * i], apHex[2 * i + 1]));

    CBCBuffer cipher = hexDecode(apHex + kIVDigits);
    if (cipher.data == nullptr)
        return openOutOfMemory;
    size_t size = cipher.size;
    char *text = decode_cbc(cipher, apKey, iv);
    releaseCBCBuffer(&cipher);
    if (text == nullptr)
        return openOutOfMemory;

    size_t length = strlen(text);
    bool padded = true;
    for (size_t i = length; i < size; ++i)
        padded = padded && text[i] == '\0';
    OpenResult result = opened;
    if (!padded)
        result = openWrongKeyOrDamaged;
    else if (aAccept == openedText && !isUtf8Text(text, length))
        result = openNotText;
    if (result != opened) {
        OPENSSL_cleanse(text, size);
        free(text);
        return result;
    }
    *apText = text;
    return opened;
}
