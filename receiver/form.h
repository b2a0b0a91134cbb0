// The form a device posts: application/x-www-form-urlencoded, with exactly
// one field sealed that holds a sealed text's hex, at most one field
// device that names the device, and at most one field mac that
// authenticates the two.
#ifndef RECEIVER_FORM_H
#define RECEIVER_FORM_H

#include <stddef.h>

#include "post_mac.h"
#include "sealed.h"

enum {
    formMaxFields = 100 // pieces between '&'s, empty ones included
};

enum FormFault {
    formOk,
    formTooManyFields,
    formNotOneSealed, // no field sealed, or more than one
    formSealedShape,  // shape: what checkSealedHex found in the field
    formBadDevice,    // more than one field device, or not a device name
    formBadMac,       // more than one field mac, or not 64 lowercase hex digits
    formOutOfMemory
};

struct SealedForm {
    enum FormFault fault;
    struct SealedHexCheck shape;
    char *sealed; // formOk: the field's value, decoded, a heap text the caller frees
    bool hasDevice;
    char device[deviceNameMax + 1]; // formOk and hasDevice: the device's name
    bool hasMac;
    char mac[postMacDigits + 1]; // formOk and hasMac: the MAC, as sent
};

// Finds the field sealed in the aLength bytes at apBody. Names and values
// are decoded ('+' is a space, %XX a byte; a '%' not followed by two hex
// digits stands for itself), so "s%65aled" names the field too. A piece
// without '=' is a field with an empty value. The fields are checked in
// this order: their number, sealed, device, then mac.
struct SealedForm readSealedForm(const char *apBody, size_t aLength);

#endif
