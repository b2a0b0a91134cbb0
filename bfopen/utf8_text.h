// What counts as a text when bfopen checks what it opened: the bytes a person
// types into a form or a password field, and nothing a wrong key is likely
// to produce.
#ifndef BFOPEN_UTF8_TEXT_H
#define BFOPEN_UTF8_TEXT_H

#include <stddef.h>

// Whether the length bytes at apText are valid UTF-8 (shortest forms only, no
// surrogates, nothing above U+10FFFF) holding no control character but tab,
// line feed and carriage return.
bool isUtf8Text(const char *apText, size_t length);

enum PaddedText { paddedText, paddedNotText, notPadded };

// Whether the aSize bytes at apBytes are a text followed only by zero bytes,
// and, for aUtf8, whether that text is UTF-8 text as isUtf8Text has it;
// *apLength: the text's length, up to its first zero byte. Every byte is
// looked at whatever the first fault, so that any aSize bytes cost alike.
enum PaddedText checkPaddedText(const char *apBytes, size_t aSize, bool aUtf8, size_t *apLength);

#endif
