/* consumer TEXT KEY: seals TEXT as bfseal does, prints the sealed hex, and
 * fails unless the library opens it to TEXT again. */
#include <BlowfishEncDec.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    IVString iv = generateIV();
    CBCBuffer sealed = encode_cbc(argv[1], argv[2], iv);
    char *ivHex = hexEncodeStartSTring(iv), *cipherHex = hexEncodeCBCBuffer(sealed);
    char *opened = decode_cbc(sealed, argv[2], iv);
    int ok = ivHex && cipherHex && opened && strcmp(opened, argv[1]) == 0;
    if (ok)
        printf("%s%s\n", ivHex, cipherHex);
    free(ivHex);
    free(cipherHex);
    free(opened);
    releaseCBCBuffer(&sealed);
    return ok ? 0 : 1;
}
