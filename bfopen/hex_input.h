// bfopen's sealed hex from a file descriptor, for texts whose hex is too long
// for one command-line argument.
#ifndef BFOPEN_HEX_INPUT_H
#define BFOPEN_HEX_INPUT_H

#include <stddef.h>

// Far more than the hex of the longest text bfseal can seal (262,158 digits),
// and little enough memory for any board: the limit programs give readHexInput.
enum { hexInputMaxBytes = 16 << 20 };

enum HexInputResult { hexInputRead, hexInputNotHex, hexInputTooLong, hexInputUnreadable, hexInputOutOfMemory };

struct HexInput {
    enum HexInputResult result;
    size_t position; // hexInputNotHex: the 1-based index of the first byte that cannot belong
};

// Reads hex digits from aFd, then nothing but blanks, tabs and line breaks,
// so that a file bfseal wrote and an echoed line read the same. A byte that
// cannot belong to such an input (not a hex digit, a zero byte, anything
// after the blanks, such as a second line: then the first of the blanks is
// the one reported) ends the reading as soon as it arrives, and so does a
// byte past aLimit. On hexInputRead *apText is the digits alone, a heap text
// the caller frees; on hexInputUnreadable errno says why.
struct HexInput readHexInput(int aFd, size_t aLimit, char **apText);

// What readHexInput with the limit hexInputMaxBytes found wrong, as a line
// without its line break; aError is the errno it left for hexInputUnreadable.
void describeHexInputFault(struct HexInput aInput, int aError, char *apText, size_t aSize);

#endif
