/*
 * Blowfish text cipher: CBC and single-block encryption of zero-terminated
 * texts over libcrypto, and the hex text form of cipher buffers and IVs.
 *
 * Ownership: every text or buffer returned here is a new heap block owned by
 * the caller. Texts go back with free(), cipher buffers with
 * releaseCBCBuffer(), which wipes them first. Arguments are only read, except
 * the record that releaseCBCBuffer() resets.
 *
 * Failures: the library prints nothing. When the heap refuses a request, an
 * operation returning a CBCBuffer returns invalidCBCBuffer and one returning
 * a text returns a null pointer.
 */
#ifndef BLOWFISH_ENC_DEC_H
#define BLOWFISH_ENC_DEC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Raw bytes, not zero-terminated. Every buffer made here has a size that is
 * a multiple of 8. Copies of the record share the block; its owner gives it
 * back exactly once. */
typedef struct CBCBuffer {
    unsigned char *data;
    size_t size;
} CBCBuffer;

/* An 8-byte IV. Only string[0..7] is ever used: the IV may hold zero bytes,
 * so it is never read as a text. string[8] is zero in every IVString made
 * here. */
typedef struct IVString {
    char string[9];
} IVString;

/* No buffer: null data and size 0. */
extern const CBCBuffer invalidCBCBuffer;

/* A zero-filled buffer of size rounded up to a multiple of 8 (0 stays 0).
 * Even a size-0 buffer has non-null data, so it is never mistaken for
 * invalidCBCBuffer. */
CBCBuffer allocCBC(size_t size);

/* The buffer's size in bytes; its contents are not looked at. */
size_t CBCStrlenOf(CBCBuffer buffer);

/* Overwrites the bytes with zeros, frees them and resets *buffer to
 * invalidCBCBuffer. A record with null data is left as null and 0. */
void releaseCBCBuffer(CBCBuffer *buffer);

/* Two lowercase hex digits per byte, high nibble first, in a text of
 * 2 * nBytes + 1 bytes. */
char *hexEncodeBuffer(const unsigned char *apStart, size_t nBytes);
char *hexEncodeCBCBuffer(CBCBuffer cbcBuffer);
/* The 16 digits of the 8 IV bytes, zero bytes included. */
char *hexEncodeStartSTring(IVString StartString);

/* Reseeds rand() with the time in seconds and draws once: the IV is the
 * first 8 characters of the decimal text of the draw, followed by zero bytes
 * when it has fewer digits. Two calls within one second return the same IV. */
IVString generateIV(void);

/* The 8 bytes of a text of exactly 8 bytes; any other length (or a null
 * pointer) gives the all-zero IV. */
IVString ivStringOf(const char *apIV);

/* The first 8 bytes of aOther with a zero ninth character. */
IVString cloneIVString(IVString aOther);

/* Blowfish-CBC of the bytes of apData before its terminator, chained from
 * aIV, under the bytes of apKey (libcrypto uses at most 72 of them). A
 * partial last block is completed with zero bytes. aIV is not changed. */
CBCBuffer encode_cbc(const char *apData, const char *apKey, IVString aIV);

/* Decrypts the whole 8-byte blocks of cbcBuffer; bytes of a trailing partial
 * block are neither read nor decrypted. The result holds the decrypted
 * blocks and at least one zero byte after them, so as a text it ends at the
 * first zero byte. A buffer with null data decrypts to the empty text. */
char *decode_cbc(CBCBuffer cbcBuffer, const char *apKey, IVString aIV);

/* A key's Blowfish schedule, made once for many texts under the same key,
 * so that each need not make it again (the work of about 520 blocks). It
 * holds the key in another form: releaseSchedule wipes and frees it, and
 * takes a null pointer too. allocSchedule returns null when the heap
 * refuses. */
typedef struct bf_key_st BFSchedule;
BFSchedule *allocSchedule(const char *apKey);
void releaseSchedule(BFSchedule *apSchedule);

/* decode_cbc under a schedule allocSchedule made from the key. */
char *decode_cbc_scheduled(CBCBuffer cbcBuffer, const BFSchedule *apSchedule, IVString aIV);

/* One block in ECB mode. The block is the bytes of apData up to its
 * terminator, at most 8, completed with zero bytes. The result is the
 * output block cut at its first zero byte, so it has 0 to 8 characters. */
char *capi_blowfish_encode_ecb(const char *apData, const char *apKey);
char *capi_blowfish_decode_ecb(const char *apData, const char *apKey);

/* The value of a hex digit character, 0 to 15: 0-9, A-F and a-f. Any other
 * character counts as 0. */
unsigned char hexFromChar(unsigned char aHex);

/* aChar moved into the upper four bits of a byte; its own upper bits fall
 * away. */
unsigned char shiftToUpperHalfSpace(unsigned char aChar);

/* The byte spelt by two hex digit characters, the upper nibble first. */
unsigned char binFromHexWord(unsigned char aUpper, unsigned char aLower);

/* The bytes spelt by a hex text, in a buffer made by allocCBC: zero bytes
 * follow them up to the next multiple of 8. Characters that are not hex
 * digits count as 0. A text of odd length gives invalidCBCBuffer; the empty
 * text gives a buffer of size 0. */
CBCBuffer hexDecode(const char *apHexEncodedData);

#ifdef __cplusplus
}
#endif

#endif
