#include "utf8_text.h"

namespace {

bool isAllowedControl(unsigned codePoint)
{
    return codePoint == '\t' || codePoint == '\n' || codePoint == '\r';
}

// C0, DEL and C1: the code points of Unicode's control category.
bool isControl(unsigned codePoint)
{
    return codePoint < 0x20 || (codePoint >= 0x7f && codePoint <= 0x9f);
}

} // namespace

bool isUtf8Text(const char *apText, size_t length)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(apText);
    size_t i = 0;
    while (i < length) {
        unsigned lead = bytes[i];
        size_t count;
        unsigned codePoint;
        unsigned smallest;
        if (lead < 0x80) {
            count = 1;
            codePoint = lead;
            smallest = 0;
        } else if ((lead & 0xe0) == 0xc0) {
            count = 2;
            codePoint = lead & 0x1f;
            smallest = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            count = 3;
            codePoint = lead & 0x0f;
            smallest = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            count = 4;
            codePoint = lead & 0x07;
            smallest = 0x10000;
        } else {
            return false; // a continuation byte, or a lead byte no encoding uses
        }
        if (length - i < count)
            return false;
        for (size_t k = 1; k < count; ++k) {
            unsigned next = bytes[i + k];
            if ((next & 0xc0) != 0x80)
                return false;
            codePoint = codePoint << 6 | (next & 0x3f);
        }
        // An overlong form would let one character hide behind another.
        if (codePoint < smallest || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
            return false;
        if (isControl(codePoint) && !isAllowedControl(codePoint))
            return false;
        i += count;
    }
    return true;
}

PaddedText checkPaddedText(const char *apBytes, size_t aSize, bool aUtf8, size_t *apLength)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(apBytes);
    size_t length = aSize;
    bool ended = false;
    bool padded = true;
    bool text = true;  // the text's verdict, fixed where it ends
    bool valid = true; // the reader's, byte by byte
    // The character being read: its bits so far, the continuation bytes it
    // still needs, and the least value its length may encode.
    unsigned codePoint = 0;
    unsigned needed = 0;
    unsigned smallest = 0;
    for (size_t i = 0; i < aSize; ++i) {
        unsigned byte = bytes[i];
        if (!ended && byte == 0) {
            ended = true;
            length = i;
            text = valid && needed == 0;
        }
        padded = padded && (!ended || byte == 0);
        // Past the text the reader reads a letter for each byte, so that a
        // byte of padding costs what a byte of text does: a text that ends
        // early, as a wrong key's does, is read as long as one that opened.
        if (ended)
            byte = 'a';
        if (needed > 0) {
            // A fault needs no resynchronising: the text is not one any more.
            valid = valid && (byte & 0xc0) == 0x80;
            codePoint = codePoint << 6 | (byte & 0x3f);
            if (--needed > 0)
                continue;
        } else if (byte < 0x80) {
            codePoint = byte;
            smallest = 0;
        } else if ((byte & 0xe0) == 0xc0) {
            codePoint = byte & 0x1f;
            needed = 1;
            smallest = 0x80;
        } else if ((byte & 0xf0) == 0xe0) {
            codePoint = byte & 0x0f;
            needed = 2;
            smallest = 0x800;
        } else if ((byte & 0xf8) == 0xf0) {
            codePoint = byte & 0x07;
            needed = 3;
            smallest = 0x10000;
        } else {
            valid = false;
        }
        if (needed > 0)
            continue;
        valid = valid && codePoint >= smallest && codePoint <= 0x10ffff && (codePoint < 0xd800 || codePoint > 0xdfff) &&
                (!isControl(codePoint) || isAllowedControl(codePoint));
    }
    if (!ended)
        text = valid && needed == 0;
    *apLength = length;
    if (!padded)
        return notPadded;
    return !aUtf8 || text ? paddedText : paddedNotText;
}
