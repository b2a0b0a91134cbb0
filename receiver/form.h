// The form a device posts: application/x-www-form-urlencoded, with exactly
// one field sealed that holds a sealed text's hex.
#ifndef RECEIVER_FORM_H
#define RECEIVER_FORM_H

#include <stddef.h>

#include "sealed.h"

enum {
    formMaxFields = 100 // pieces between '&'s, empty ones included
};

enum FormFault {
    formOk,
    formTooManyFields,
    formNotOneSealed, // no field sealed, or more than one
    formSealedShape,  // shape: what checkSealedHex found in the field
    formOutOfMemory
};

struct SealedForm {
    enum FormFault fault;
    struct SealedHexCheck shape;
    char *sealed; // formOk: the field's value, decoded, a heap text the caller frees
};

// Finds the field sealed in the aLength bytes at apBody. Names and values
// are decoded ('+' is a space, %XX a byte; a '%' not followed by two hex
// digits stands for itself), so "s%65aled" names the field too. A piece
// without '=' is a field with an empty value.
struct SealedForm readSealedForm(const char *apBody, size_t aLength);

#endif
