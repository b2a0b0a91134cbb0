#include "hex_input.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "sealed.h"

namespace {

bool isTrailingSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

HexInput fail(char *apText, HexInputResult aResult, size_t aPosition = 0)
{
    free(apText);
    return {aResult, aPosition};
}

} // namespace

HexInput readHexInput(int aFd, size_t aLimit, char **apText)
{
    *apText = nullptr;
    // The buffer starts small and doubles, so that memory follows the input
    // kept; it never needs more than the limit, one byte past it and the
    // terminator.
    size_t most = aLimit + 2;
    size_t capacity = most < (1 << 16) ? most : (1 << 16);
    char *text = static_cast<char *>(malloc(capacity));
    if (text == nullptr)
        return {hexInputOutOfMemory, 0};
    size_t kept = 0;    // hex digits, at the start of text
    size_t total = 0;   // bytes read
    size_t blankAt = 0; // the first blank after the digits, 1-based; 0 while there is none
    for (;;) {
        if (kept == capacity - 1) {
            size_t larger = capacity > most / 2 ? most : capacity * 2;
            char *grown = static_cast<char *>(realloc(text, larger));
            if (grown == nullptr)
                return fail(text, hexInputOutOfMemory);
            text = grown;
            capacity = larger;
        }
        // Blanks are not kept: after the first, reads land past the digits.
        size_t room = capacity - 1 - kept;
        size_t allowed = aLimit + 1 - total;
        ssize_t got = read(aFd, text + kept, room < allowed ? room : allowed);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            int error = errno;
            free(text);
            errno = error;
            return {hexInputUnreadable, 0};
        }
        if (got == 0)
            break;
        const char *chunk = text + kept;
        for (ssize_t i = 0; i < got; ++i) {
            ++total;
            char c = chunk[i];
            if (isTrailingSpace(c)) {
                if (blankAt == 0)
                    blankAt = total;
            } else if (blankAt != 0) {
                return fail(text, hexInputNotHex, blankAt);
            } else if (!isxdigit(static_cast<unsigned char>(c))) {
                return fail(text, hexInputNotHex, total);
            } else {
                ++kept;
            }
        }
        if (total > aLimit)
            return fail(text, hexInputTooLong);
    }
    text[kept] = '\0';
    *apText = text;
    return {hexInputRead, 0};
}

void describeHexInputFault(HexInput aInput, int aError, char *apText, size_t aSize)
{
    switch (aInput.result) {
    case hexInputNotHex:
        describeSealedHexFault({sealedHexNotADigit, aInput.position}, apText, aSize);
        return;
    case hexInputTooLong:
        snprintf(apText, aSize, "the input is longer than %d bytes, far more than any sealed text", hexInputMaxBytes);
        return;
    case hexInputOutOfMemory:
        snprintf(apText, aSize, "out of memory");
        return;
    case hexInputUnreadable:
        snprintf(apText, aSize, "cannot read standard input: %s", strerror(aError));
        return;
    case hexInputRead:
        break;
    }
    snprintf(apText, aSize, "the input was read");
}
