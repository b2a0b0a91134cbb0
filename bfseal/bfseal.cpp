// bfseal <data> <key>: prints the IV and the Blowfish-CBC ciphertext of the
// data text under the key text as lowercase hex, with no newline.
// bfseal -k <file> <data> reads the key text from a file instead.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "BlowfishEncDec.h"
#include "key_file.h"

static void printUsage(void)
{
    printf("bfseal <data> <key>\n");
}

// Seals apData under apKey and prints it; returns the exit status.
static int seal(const char *apData, const char *apKey)
{
    IVString ivStart = generateIV();
    CBCBuffer encrypted = encode_cbc(apData, apKey, ivStart);
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

int main(int argc, char **argv)
{
    const char *data = nullptr;
    const char *key = nullptr;
    char keyFromFile[keyFileBufferSize];
    // Two arguments are the data and the key whatever they hold, "-k"
    // included; only three can name a key file.
    if (argc == 3) {
        data = argv[1];
        key = argv[2];
    } else if (argc == 4 && strcmp(argv[1], "-k") == 0) {
        KeyFile read = readKeyFile(argv[2], keyFromFile);
        if (read.fault != keyFileOk) {
            reportKeyFileFault("bfseal", argv[2], read);
            return 1;
        }
        data = argv[3];
        key = keyFromFile;
    } else {
        printUsage();
        return 0;
    }
    int status = seal(data, key);
    OPENSSL_cleanse(keyFromFile, sizeof keyFromFile);
    return status;
}
