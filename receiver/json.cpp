#include "json.h"

void writeJsonString(FILE *apOut, const char *apText)
{
    fputc('"', apOut);
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(apText); *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') {
            fputc('\\', apOut);
            fputc(*c, apOut);
        } else if (*c == '\n') {
            fputs("\\n", apOut);
        } else if (*c == '\r') {
            fputs("\\r", apOut);
        } else if (*c == '\t') {
            fputs("\\t", apOut);
        } else if (*c < 0x20 || *c == 0x7f) {
            fprintf(apOut, "\\u%04x", *c);
        } else if (c[0] == 0xe2 && c[1] == 0x80 && (c[2] == 0xa8 || c[2] == 0xa9)) {
            fprintf(apOut, "\\u%04x", c[2] == 0xa8 ? 0x2028 : 0x2029);
            c += 2;
        } else {
            fputc(*c, apOut);
        }
    }
    fputc('"', apOut);
}

void writeJsonStringOrNull(FILE *apOut, const char *apText)
{
    if (apText != nullptr)
        writeJsonString(apOut, apText);
    else
        fputs("null", apOut);
}
