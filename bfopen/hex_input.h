// bfopen's sealed hex from a stream, for texts whose hex is too long for one
// command-line argument.
#ifndef BFOPEN_HEX_INPUT_H
#define BFOPEN_HEX_INPUT_H

#include <stdio.h>

enum HexInputResult { hexInputRead, hexInputUnreadable, hexInputOutOfMemory };

// Reads apStream to its end into a heap text the caller frees, with the
// blanks and line breaks at its end dropped, so that a file bfseal wrote and
// an echoed line read the same. *apLength counts every byte kept, so a zero
// byte among them shows as a text shorter than *apLength. On
// hexInputUnreadable errno says why.
enum HexInputResult readHexInput(FILE *apStream, char **apText, size_t *apLength);

#endif
