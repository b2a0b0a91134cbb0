// bfopen [-b] <hex|-> <key>: prints the text that bfseal sealed under the
// key, with no newline added. "-" reads the hex from standard input;
// bfopen [-b] -k <file> <hex|-> reads the key text from a file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include <openssl/crypto.h>

#include "hex_input.h"
#include "key_file.h"
#include "sealed.h"

static void printUsage(void)
{
    printf("bfopen [-b] <hex|-> <key>\n"
           "bfopen [-b] -k <file> <hex|->\n");
}

static void reportFault(SealedHexCheck check)
{
    char text[128];
    describeSealedHexFault(check, text, sizeof text);
    fprintf(stderr, "bfopen: %s\n", text);
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
static int openHex(const char *apHex, const char *apKey, OpenedBytes accept)
{
    SealedHexCheck check = checkSealedHex(apHex);
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

// Opens the hex of the argument, or of standard input for "-"; returns the
// exit status.
static int openInput(const char *apHex, const char *apKey, OpenedBytes accept)
{
    if (strcmp(apHex, "-") != 0)
        return openHex(apHex, apKey, accept);
    char *hex = nullptr;
    HexInput input = readHexInput(STDIN_FILENO, hexInputMaxBytes, &hex);
    if (input.result != hexInputRead) {
        char text[256];
        describeHexInputFault(input, errno, text, sizeof text);
        fprintf(stderr, "bfopen: %s\n", text);
        return 1;
    }
    int status = openHex(hex, apKey, accept);
    free(hex);
    return status;
}

int main(int argc, char **argv)
{
    OpenedBytes accept = openedText;
    const char *keyFile = nullptr;
    // Only "-b" and "-k <file>" are options: any other argument, "-x"
    // included, is the hex, judged as such.
    int first = 1;
    for (; first < argc; ++first) {
        if (strcmp(argv[first], "-b") == 0)
            accept = openedAnyBytes;
        else if (strcmp(argv[first], "-k") == 0 && keyFile == nullptr && first + 1 < argc)
            keyFile = argv[++first];
        else
            break;
    }
    if (argc - first != (keyFile != nullptr ? 1 : 2)) {
        printUsage();
        return 0;
    }
    const char *hex = argv[first];
    if (keyFile == nullptr)
        return openInput(hex, argv[first + 1], accept);

    char key[keyFileBufferSize];
    KeyFile read = readKeyFile(keyFile, key);
    if (read.fault != keyFileOk) {
        reportKeyFileFault("bfopen", keyFile, read);
        return 1;
    }
    int status = openInput(hex, key, accept);
    OPENSSL_cleanse(key, sizeof key);
    return status;
}
