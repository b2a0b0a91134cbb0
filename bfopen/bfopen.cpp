// bfopen [-b] <hex|-> <key>: prints the text that bfseal sealed under the
// key, with no newline added. "-" reads the hex from standard input.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "hex_input.h"
#include "sealed.h"

static void printUsage(void)
{
    printf("bfopen [-b] <hex|-> <key>\n");
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

// The opened text goes to standard output; returns the exit status.
static int writeText(char *apText)
{
    size_t length = strlen(apText);
    int status = 0;
    if (fwrite(apText, 1, length, stdout) != length || fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "bfopen: cannot write to standard output: %s\n", strerror(errno));
        status = 1;
    }
    // The stream's buffer held the text too; it was flushed, so only the
    // copy here is left to wipe.
    OPENSSL_cleanse(apText, length);
    free(apText);
    return status;
}

// Checks and opens the sealed hex; returns the exit status.
static int openHex(const char *apHex, size_t length, const char *apKey, OpenedBytes accept)
{
    // A zero byte read from standard input would otherwise end the text early
    // and hide what follows it.
    size_t textLength = strlen(apHex);
    SealedHexCheck check =
        textLength != length ? SealedHexCheck{sealedHexNotADigit, textLength + 1} : checkSealedHex(apHex);
    if (check.fault != sealedHexOk) {
        reportFault(check);
        return 1;
    }
    char *text = nullptr;
    switch (openSealed(apHex, apKey, accept, &text)) {
    case openOutOfMemory:
        fprintf(stderr, "bfopen: out of memory\n");
        return 1;
    case openWrongKeyOrDamaged:
        fprintf(stderr, "bfopen: wrong key or damaged input\n");
        return 1;
    case openNotText:
        fprintf(stderr, "bfopen: wrong key or damaged input\n"
                        "bfopen: what it opened is not UTF-8 text; -b opens texts that are not UTF-8\n");
        return 1;
    case opened:
        break;
    }
    return writeText(text);
}

int main(int argc, char **argv)
{
    OpenedBytes accept = openedText;
    if (argc == 4 && strcmp(argv[1], "-b") == 0) {
        accept = openedAnyBytes;
        --argc;
        ++argv;
    }
    if (argc != 3) {
        printUsage();
        return 0;
    }
    const char *key = argv[2];
    if (strcmp(argv[1], "-") != 0)
        return openHex(argv[1], strlen(argv[1]), key, accept);

    char *hex = nullptr;
    size_t length = 0;
    switch (readHexInput(stdin, &hex, &length)) {
    case hexInputOutOfMemory:
        fprintf(stderr, "bfopen: out of memory\n");
        return 1;
    case hexInputUnreadable:
        fprintf(stderr, "bfopen: cannot read standard input: %s\n", strerror(errno));
        return 1;
    case hexInputRead:
        break;
    }
    int status = openHex(hex, length, key, accept);
    free(hex);
    return status;
}
