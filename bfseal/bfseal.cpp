// bfseal <data> <key>: prints the IV and the Blowfish-CBC ciphertext of the
// data text under the key text as lowercase hex, with no newline.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "BlowfishEncDec.h"

static void printUsage(void)
{
    printf("bfseal <data> <key>\n");
}

int main(int argc, char **argv)
{
    const char *data = nullptr;
    const char *key = nullptr;
    if (argc != 3) {
        printUsage();
        return 0;
    }
    data = argv[1];
    key = argv[2];

    IVString ivStart = generateIV();
    CBCBuffer encrypted = encode_cbc(data, key, ivStart);
    char *hexData = encrypted.data != nullptr ? hexEncodeCBCBuffer(encrypted) : nullptr;
    char *hexIV = hexEncodeStartSTring(ivStart);

    int status = 0;
    if (hexData == nullptr || hexIV == nullptr) {
        fprintf(stderr, "bfseal: out of memory\n");
        status = 1;
    } else {
        printf("%s%s", hexIV, hexData);
        // The sealed text exists nowhere else: make sure it left the process.
        if (fflush(stdout) != 0 || ferror(stdout)) {
            fprintf(stderr, "bfseal: cannot write to standard output: %s\n", strerror(errno));
            status = 1;
        }
    }

    free(hexIV);
    free(hexData);
    releaseCBCBuffer(&encrypted);
    return status;
}
