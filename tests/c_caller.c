/* A C program using the library: the header must compile as C and link. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "BlowfishEncDec.h"

int main(void)
{
    const char *text = "called from C";
    IVString iv = ivStringOf("01234567");
    CBCBuffer sealed = encode_cbc(text, "key", iv);
    char *hex = hexEncodeCBCBuffer(sealed);
    char *opened = decode_cbc(sealed, "key", iv);
    int ok = hex != NULL && strlen(hex) == 2 * CBCStrlenOf(sealed) && opened != NULL && strcmp(opened, text) == 0;
    free(hex);
    free(opened);
    releaseCBCBuffer(&sealed);
    if (!ok)
        fprintf(stderr, "round trip through the C interface failed\n");
    return ok ? 0 : 1;
}
