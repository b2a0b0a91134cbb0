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
    BFSchedule *schedule = allocSchedule(apKey);
    if (schedule == nullptr)
        return openOutOfMemory;
    size_t opener = 0;
    OpenResult result = openSealedUnderEach(apHex, &schedule, 1, aAccept, apText, &opener);
    releaseSchedule(schedule);
    return result;
}

OpenResult openSealedUnderEach(const char *apHex, const BFSchedule *const *apSchedules, size_t aCount,
                               OpenedBytes aAccept, char **apText, size_t *apOpener)
{
    *apText = nullptr;
    *apOpener = aCount;
    IVString iv = {};
    for (size_t i = 0; i < kIVDigits / 2; ++i)
        iv.string[i] = static_cast<char>(binFromHexWord(apHex[2 * i], apHex[2 * i + 1]));
    CBCBuffer cipher = hexDecode(apHex + kIVDigits);
    if (cipher.data == nullptr)
        return openOutOfMemory;
    // Each try ends by wiping and freeing one buffer of the same size: its
    // own, or, once it is the first to open, the one kept until then.
    size_t size = cipher.size;
    char *kept = static_cast<char *>(calloc(size + 1, 1));
    OpenResult result = kept != nullptr ? openWrongKeyOrDamaged : openOutOfMemory;
    for (size_t k = 0; k < aCount && kept != nullptr; ++k) {
        char *text = decode_cbc_scheduled(cipher, apSchedules[k], iv);
        if (text == nullptr) {
            result = openOutOfMemory;
            break;
        }
        size_t length = 0;
        PaddedText check = checkPaddedText(text, size, aAccept == openedText, &length);
        OpenResult tried = check == paddedText ? opened : check == paddedNotText ? openNotText : openWrongKeyOrDamaged;
        bool first = tried == opened && *apOpener == aCount;
        if (first) {
            char *swapped = kept;
            kept = text;
            text = swapped;
            *apOpener = k;
        }
        if (*apOpener == aCount)
            result = tried;
        else
            result = opened;
        OPENSSL_cleanse(text, size + 1);
        free(text);
    }
    releaseCBCBuffer(&cipher);
    if (result == opened) {
        *apText = kept;
        return opened;
    }
    if (kept != nullptr) {
        OPENSSL_cleanse(kept, size + 1);
        free(kept);
    }
    *apOpener = aCount;
    return result;
}
