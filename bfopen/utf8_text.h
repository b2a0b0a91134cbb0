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

#endif
