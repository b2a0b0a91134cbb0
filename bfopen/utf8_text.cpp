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
