// Reading back what bfseal wrote: 16 hex digits of IV, then the ciphertext
// in whole 8-byte blocks of 16 digits each.
#ifndef BFOPEN_SEALED_H
#define BFOPEN_SEALED_H

#include <stddef.h>

#include "BlowfishEncDec.h"

enum SealedHexFault {
    sealedHexOk,
    sealedHexNotADigit,   // position: the 1-based index of the character
    sealedHexOddLength,   // position: the number of characters
    sealedHexNoIV,        // position: the number of characters
    sealedHexPartialBlock // position: the number of digits after the IV
};

struct SealedHexCheck {
    enum SealedHexFault fault;
    size_t position;
};

// Whether apHex has the shape of bfseal's output; both letter cases are
// digits. Only the shape is checked, not the key or the contents.
struct SealedHexCheck checkSealedHex(const char *apHex);

// What checkSealedHex found wrong, as a line without its line break, for
// every program that reads sealed hex to word alike.
void describeSealedHexFault(struct SealedHexCheck aCheck, char *apText, size_t aSize);

enum OpenResult { opened, openOutOfMemory, openWrongKeyOrDamaged, openNotText };

// What openSealed accepts as the opened text.
enum OpenedBytes {
    openedText, // UTF-8 text (see isUtf8Text): almost every wrong key is noticed
    openedAnyBytes // any bytes but zero: only the padding shows a wrong key
};

// Decrypts a text that passed checkSealedHex. On success *apText is the
// sealed text, a heap text the caller wipes and frees. The decrypted bytes
// must be a text followed only by zero bytes, the padding bfseal adds, and,
// for openedText, that text must be UTF-8. When they are not, the key is
// wrong or the input was damaged (openNotText: or the text is not UTF-8),
// and *apText is null.
enum OpenResult openSealed(const char *apHex, const char *apKey, enum OpenedBytes aAccept, char **apText);

// openSealed under each of aCount prepared schedules in turn (aCount at
// least 1), the text taken from the first that opens it (*apOpener: its
// index). Every schedule is tried, and each try costs what the others do,
// so that the work tells neither which key opened the text nor whether one
// did. The result is the first opener's, else the last schedule's.
enum OpenResult openSealedUnderEach(const char *apHex, const BFSchedule *const *apSchedules, size_t aCount,
                                    enum OpenedBytes aAccept, char **apText, size_t *apOpener);

#endif
