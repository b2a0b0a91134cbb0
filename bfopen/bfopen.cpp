// bfopen <hex> <key>: prints the text that bfseal sealed under the key, with
// no newline added.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "sealed.h"

static void printUsage(void)
{
    printf("bfopen <hex> <key>\n");
}

static void reportFault(SealedHexCheck check)
{
    switch (check.fault) {
    case sealedHexNotADigit:
        fprintf(stderr, "bfopen: character %zu of the input is not a hex digit\n", check.position);
        break;
    case sealedHexOddLength:
        fprintf(stderr, "bfopen: the input has an odd number of hex digits (%zu)\n", check.position);
        break;
    case sealedHexNoIV:
        fprintf(stderr, "bfopen: the input is too short: %zu hex digits, the IV alone takes 16\n", check.position);
        break;
    case sealedHexPartialBlock:
        fprintf(stderr, "bfopen: the ciphertext is not whole blocks: %zu hex digits after the IV, not a multiple of 16\n",
                check.position);
        break;
    case sealedHexOk:
        break;
    }
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        printUsage();
        return 0;
    }
    const char *hex = argv[1];
    const char *key = argv[2];

    SealedHexCheck check = checkSealedHex(hex);
    if (check.fault != sealedHexOk) {
        reportFault(check);
        return 1;
    }
    char *text = nullptr;
    switch (openSealed(hex, key, &text)) {
    case openOutOfMemory:
        fprintf(stderr, "bfopen: out of memory\n");
        return 1;
    case openWrongKeyOrDamaged:
        fprintf(stderr, "bfopen: wrong key or damaged input\n");
        return 1;
    case opened:
        break;
    }

    size_t length = strlen(text);
    int status = 0;
    if (fwrite(text, 1, length, stdout) != length || fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "bfopen: cannot write to standard output: %s\n", strerror(errno));
        status = 1;
    }
    // The stream's buffer held the text too; it was flushed, so only the
    // copy here is left to wipe.
    OPENSSL_cleanse(text, length);
    free(text);
    return status;
}
