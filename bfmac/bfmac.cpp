// bfmac -k <file> [-d <device>] <hex|->: prints the MAC that a post naming
// the device and carrying bfseal's hex is sent with, and a newline, under
// the key text in the file. "-" reads the hex from standard input.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include <openssl/crypto.h>

#include "hex_input.h"
#include "key_file.h"
#include "post_mac.h"
#include "sealed.h"

// On standard error with status 2: a script that takes the MAC from
// standard output never takes the usage line for one.
static void printUsage(void)
{
    fprintf(stderr, "bfmac -k <file> [-d <device>] <hex|->\n");
}

// Whether apDevice is a device name, else says what is wrong with it.
static bool checkDevice(const char *apDevice)
{
    size_t length = strlen(apDevice);
    if (isDeviceName(apDevice, length))
        return true;
    if (length == 0)
        fprintf(stderr, "bfmac: the device name is empty; without -d the post names none\n");
    else if (length > deviceNameMax)
        fprintf(stderr, "bfmac: the device name is longer than %d characters\n", deviceNameMax);
    else
        fprintf(stderr, "bfmac: the device name holds other characters than A-Z a-z 0-9 . _ -\n");
    return false;
}

// The hex of the argument, or of standard input for "-", checked for the
// shape of bfseal's output; *apRead is what was read, which the caller frees.
// Returns null when the hex is refused, with a message.
static const char *sealedHex(const char *apArgument, char **apRead)
{
    *apRead = nullptr;
    const char *hex = apArgument;
    if (strcmp(apArgument, "-") == 0) {
        HexInput input = readHexInput(STDIN_FILENO, hexInputMaxBytes, apRead);
        if (input.result != hexInputRead) {
            char text[256];
            describeHexInputFault(input, errno, text, sizeof text);
            fprintf(stderr, "bfmac: %s\n", text);
            return nullptr;
        }
        hex = *apRead;
    }
    SealedHexCheck check = checkSealedHex(hex);
    if (check.fault != sealedHexOk) {
        char text[128];
        describeSealedHexFault(check, text, sizeof text);
        fprintf(stderr, "bfmac: %s\n", text);
        return nullptr;
    }
    return hex;
}

// The MAC under the key text in apKeyFile goes to standard output; returns
// the exit status.
static int printMac(const char *apKeyFile, const char *apDevice, const char *apHex)
{
    char key[keyFileBufferSize];
    KeyFile read = readKeyFile(apKeyFile, key);
    if (read.fault != keyFileOk) {
        reportKeyFileFault("bfmac", apKeyFile, read);
        return 1;
    }
    PostMacKey macKey;
    derivePostMacKey(key, &macKey);
    OPENSSL_cleanse(key, sizeof key);
    PostMac mac;
    macPost(&macKey, apDevice, apHex, &mac);
    OPENSSL_cleanse(&macKey, sizeof macKey);
    if (printf("%s\n", mac.digits) < 0 || fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "bfmac: cannot write to standard output: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    const char *keyFile = nullptr;
    const char *device = nullptr;
    // Only "-k <file>" and "-d <device>", each once, are options: any other
    // argument, "-x" included, is the hex, judged as such.
    int first = 1;
    for (; first + 1 < argc; first += 2) {
        if (strcmp(argv[first], "-k") == 0 && keyFile == nullptr)
            keyFile = argv[first + 1];
        else if (strcmp(argv[first], "-d") == 0 && device == nullptr)
            device = argv[first + 1];
        else
            break;
    }
    if (keyFile == nullptr || argc - first != 1) {
        printUsage();
        return 2;
    }
    // Everything given is checked before the key is read.
    if (device != nullptr && !checkDevice(device))
        return 1;
    char *read = nullptr;
    const char *hex = sealedHex(argv[first], &read);
    int status = hex != nullptr ? printMac(keyFile, device, hex) : 1;
    free(read);
    return status;
}
