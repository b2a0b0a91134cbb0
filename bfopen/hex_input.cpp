#include "hex_input.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool isTrailingSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

HexInputResult readHexInput(FILE *apStream, char **apText, size_t *apLength)
{
    *apText = nullptr;
    *apLength = 0;
    // Room for the hex of the longest text bfseal seals in one read; a
    // longer input grows by doubling.
    size_t capacity = 1 << 19;
    size_t length = 0;
    char *text = static_cast<char *>(malloc(capacity));
    if (text == nullptr)
        return hexInputOutOfMemory;
    for (;;) {
        length += fread(text + length, 1, capacity - 1 - length, apStream);
        if (ferror(apStream)) {
            free(text);
            return hexInputUnreadable;
        }
        if (feof(apStream))
            break;
        if (capacity > SIZE_MAX / 2) {
            free(text);
            return hexInputOutOfMemory;
        }
        char *larger = static_cast<char *>(realloc(text, capacity * 2));
        if (larger == nullptr) {
            free(text);
            return hexInputOutOfMemory;
        }
        text = larger;
        capacity *= 2;
    }
    while (length > 0 && isTrailingSpace(text[length - 1]))
        --length;
    text[length] = '\0';
    *apText = text;
    *apLength = length;
    return hexInputRead;
}
