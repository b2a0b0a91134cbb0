/* A C program using the libraries: their headers must compile as C and link. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "BlowfishEncDec.h"
#include "post_mac.h"

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

    /* The known answer of docs/server.md. */
    const char *sealedHex = "3734353231333638c70c840ac1c1e31145008c4a273f55aa";
    const char *known = "70aa729e7ef0f5d526e0b7233629cc1ef0495220d30e6762d50a75625c7d9221";
    struct PostMacKey macKey;
    struct PostMac mac;
    derivePostMacKey("sesame", &macKey);
    macPost(&macKey, "pump-7", sealedHex, &mac);
    /* The last digit changed; the MAC a digit short, and a digit long. */
    char changed[sizeof mac.digits + 1], shorter[sizeof mac.digits + 1], longer[sizeof mac.digits + 1];
    strcpy(changed, known);
    changed[postMacDigits - 1] = '0';
    strcpy(shorter, known);
    shorter[postMacDigits - 1] = '\0';
    strcpy(longer, known);
    strcat(longer, "1");
    bool macOk = strcmp(mac.digits, known) == 0 && checkPostMac(&macKey, "pump-7", sealedHex, known) &&
                 !checkPostMac(&macKey, NULL, sealedHex, known) && !checkPostMac(&macKey, "pump-7", sealedHex, changed) &&
                 !checkPostMac(&macKey, "pump-7", sealedHex, shorter) &&
                 !checkPostMac(&macKey, "pump-7", sealedHex, longer) && isDeviceName("pump-7", 6);
    if (!macOk)
        fprintf(stderr, "the MAC through the C interface is %s, not %s\n", mac.digits, known);
    return ok && macOk ? 0 : 1;
}
