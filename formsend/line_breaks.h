// A carriage return or a line feed in the page or the host would end the
// request line or the Host header early, and what follows it would become
// headers or a second request of the caller's choosing.
#ifndef FORMSEND_LINE_BREAKS_H
#define FORMSEND_LINE_BREAKS_H

#include <stddef.h>

struct LineBreak {
    size_t position; // 1-based index of the first CR or LF; 0 when there is none
    char byte;       // '\r' or '\n'
};

struct LineBreak findLineBreak(const char *apText);

#endif
