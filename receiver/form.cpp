#include "form.h"

#include <stdlib.h>
#include <string.h>

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes the aLength bytes at apText into apOut, which has room for as
// many; returns the decoded length.
size_t decode(const char *apText, size_t aLength, char *apOut)
{
    size_t out = 0;
    for (size_t i = 0; i < aLength; ++i) {
        char c = apText[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && i + 2 < aLength && hexValue(apText[i + 1]) >= 0 && hexValue(apText[i + 2]) >= 0) {
            c = static_cast<char>(hexValue(apText[i + 1]) * 16 + hexValue(apText[i + 2]));
            i += 2;
        }
        apOut[out++] = c;
    }
    return out;
}

// Whether the aLength encoded bytes at apName decode to apField; a name
// decodes to at most as many bytes as it has, so longer ones are decoded
// only as far as it takes to tell.
bool namesField(const char *apName, size_t aLength, const char *apField)
{
    constexpr size_t kLongest = 6;
    size_t length = strlen(apField);
    if (aLength < length || aLength > 3 * length)
        return false;
    char decoded[3 * kLongest];
    return decode(apName, aLength, decoded) == length && memcmp(decoded, apField, length) == 0;
}

struct Field {
    size_t count;
    const char *value;
    size_t length;
};

void findField(const char *apBody, size_t aLength, const char *apName, Field *apField)
{
    *apField = {0, nullptr, 0};
    for (size_t start = 0; start <= aLength;) {
        size_t next = start;
        while (next < aLength && apBody[next] != '&')
            ++next;
        size_t nameEnd = start;
        while (nameEnd < next && apBody[nameEnd] != '=')
            ++nameEnd;
        if (next > start && namesField(apBody + start, nameEnd - start, apName)) {
            ++apField->count;
            size_t valueStart = nameEnd < next ? nameEnd + 1 : next;
            apField->value = apBody + valueStart;
            apField->length = next - valueStart;
        }
        start = next + 1;
    }
}

} // namespace

SealedForm readSealedForm(const char *apBody, size_t aLength)
{
    size_t fields = 1;
    for (size_t i = 0; i < aLength; ++i)
        fields += apBody[i] == '&';
    if (fields > formMaxFields)
        return {formTooManyFields, {sealedHexOk, 0}, nullptr, false, {}, false, {}};

    Field field;
    findField(apBody, aLength, "sealed", &field);
    if (field.count != 1)
        return {formNotOneSealed, {sealedHexOk, 0}, nullptr, false, {}, false, {}};
    const char *value = field.value;
    size_t valueLength = field.length;

    char *sealed = static_cast<char *>(malloc(valueLength + 1));
    if (sealed == nullptr)
        return {formOutOfMemory, {sealedHexOk, 0}, nullptr, false, {}, false, {}};
    size_t length = decode(value, valueLength, sealed);
    sealed[length] = '\0';
    // A decoded zero byte would end the text early: it is a character that
    // is not a hex digit, like any other.
    SealedHexCheck shape = checkSealedHex(sealed);
    const char *zero = static_cast<const char *>(memchr(sealed, '\0', length));
    if (zero != nullptr && (shape.fault != sealedHexNotADigit || shape.position > static_cast<size_t>(zero - sealed)))
        shape = {sealedHexNotADigit, static_cast<size_t>(zero - sealed) + 1};
    if (shape.fault != sealedHexOk) {
        free(sealed);
        return {formSealedShape, shape, nullptr, false, {}, false, {}};
    }

    SealedForm form = {formOk, shape, sealed, false, {}, false, {}};
    findField(apBody, aLength, "device", &field);
    if (field.count > 0) {
        // A name decodes to at most as many bytes as it has.
        char device[3 * deviceNameMax];
        size_t deviceLength = field.length <= sizeof device ? decode(field.value, field.length, device) : 0;
        if (field.count > 1 || !isDeviceName(device, deviceLength)) {
            free(sealed);
            return {formBadDevice, shape, nullptr, false, {}, false, {}};
        }
        memcpy(form.device, device, deviceLength);
        form.device[deviceLength] = '\0';
        form.hasDevice = true;
    }
    findField(apBody, aLength, "mac", &field);
    if (field.count == 0)
        return form;
    char mac[3 * postMacDigits];
    size_t macLength = field.length <= sizeof mac ? decode(field.value, field.length, mac) : 0;
    bool digits = field.count == 1 && macLength == postMacDigits;
    for (size_t i = 0; digits && i < macLength; ++i)
        digits = (mac[i] >= '0' && mac[i] <= '9') || (mac[i] >= 'a' && mac[i] <= 'f');
    if (!digits) {
        free(sealed);
        return {formBadMac, shape, nullptr, false, {}, false, {}};
    }
    memcpy(form.mac, mac, macLength);
    form.mac[macLength] = '\0';
    form.hasMac = true;
    return form;
}
