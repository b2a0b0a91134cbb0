// What the subcommands print: JSON, a record a line.
#ifndef RECEIVER_JSON_H
#define RECEIVER_JSON_H

#include <stdio.h>

// A JSON string, with every character that could end a line in some
// reader escaped: the control characters, U+2028 and U+2029.
void writeJsonString(FILE *apOut, const char *apText);

// A JSON string, or null for a null apText.
void writeJsonStringOrNull(FILE *apOut, const char *apText);

#endif
