// The page and the host go into the request's head. A carriage return or a
// line feed there would end the request line or the Host header early, and
// what follows it would become headers or a second request of the caller's
// choosing; HTTP forbids every other control character there too, and
// servers refuse a request that holds one without saying why.
#ifndef FORMSEND_CONTROL_CHARS_H
#define FORMSEND_CONTROL_CHARS_H

#include <stddef.h>

struct ControlChar {
    size_t position; // 1-based index of the first byte 0x01-0x1f or 0x7f; 0 when there is none
    char byte;
};

struct ControlChar findControlChar(const char *apText);

#endif
