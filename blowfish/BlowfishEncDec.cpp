#include "BlowfishEncDec.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// The BF_ interface is deprecated in OpenSSL 3 but is the one this library is
// built on; suppress that warning for these headers only.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/crypto.h>

namespace {

constexpr size_t kBlock = 8;

// The two lowercase hex digits of every byte value, so that encoding is one
// table read and one two-byte store per byte.
struct DigitPairs {
    char pair[256][2];
};

constexpr DigitPairs makeDigitPairs()
{
    constexpr char digits[] = "0123456789abcdef";
    DigitPairs table{};
    for (int b = 0; b < 256; ++b) {
        table.pair[b][0] = digits[b >> 4];
        table.pair[b][1] = digits[b & 0x0f];
    }
    return table;
}

constexpr DigitPairs kDigitPairs = makeDigitPairs();

// Values of hex digit characters; every other character reads as 0.
struct DigitTable {
    unsigned char value[256];
};

constexpr DigitTable makeDigitTable()
{
    DigitTable table{};
    for (int c = '0'; c <= '9'; ++c)
        table.value[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        table.value[c] = static_cast<unsigned char>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c)
        table.value[c] = static_cast<unsigned char>(c - 'a' + 10);
    return table;
}

constexpr DigitTable kDigitValues = makeDigitTable();

// The caller wipes the schedule with OPENSSL_cleanse once it is done with it.
void setKey(BF_KEY *apSchedule, const char *apKey)
{
    // BF_set_key takes an int and uses at most 72 bytes itself.
    size_t length = strnlen(apKey, INT_MAX);
    BF_set_key(apSchedule, static_cast<int>(length), reinterpret_cast<const unsigned char *>(apKey));
}

// BF_cbc_encrypt counts in long, which is 32 bits on some targets: hand it
// whole-block pieces that fit. The IV it updates carries the chain across.
void cbcCrypt(const unsigned char *apIn, unsigned char *apOut, size_t length, const BF_KEY *apSchedule,
              IVString *apIV, int direction)
{
    constexpr size_t kMaxPiece = static_cast<size_t>(LONG_MAX) / kBlock * kBlock;
    unsigned char *iv = reinterpret_cast<unsigned char *>(apIV->string);
    while (length > kMaxPiece) {
        BF_cbc_encrypt(apIn, apOut, static_cast<long>(kMaxPiece), apSchedule, iv, direction);
        apIn += kMaxPiece;
        apOut += kMaxPiece;
        length -= kMaxPiece;
    }
    BF_cbc_encrypt(apIn, apOut, static_cast<long>(length), apSchedule, iv, direction);
}

char *ecbBlock(const char *apData, const char *apKey, int direction)
{
    // The input block stops at the terminator so a short text is never read
    // past its end; the missing bytes are zeros.
    unsigned char block[kBlock] = {};
    memcpy(block, apData, strnlen(apData, kBlock));

    // One spare zero byte after the block ends it as a text.
    unsigned char output[kBlock + 1] = {};
    BF_KEY key;
    setKey(&key, apKey);
    BF_ecb_encrypt(block, output, &key, direction);
    OPENSSL_cleanse(&key, sizeof key);

    size_t m = strlen(reinterpret_cast<const char *>(output));
    char *result = static_cast<char *>(malloc(m + 1));
    if (result != nullptr) {
        memcpy(result, output, m);
        result[m] = '\0';
    }
    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(output, sizeof output);
    return result;
}

} // namespace

extern "C" {

const CBCBuffer invalidCBCBuffer = {nullptr, 0};

CBCBuffer allocCBC(size_t size)
{
    size_t mod = size % kBlock;
    size_t bufferSize = size;
    if (mod != 0) {
        size_t complement = kBlock - mod;
        if (size > SIZE_MAX - complement)
            return invalidCBCBuffer;
        bufferSize = size + complement;
    }
    // calloc rather than malloc + memset: fresh pages come zeroed from the
    // kernel, so a large buffer is not touched twice. One byte for an empty
    // buffer keeps its data non-null.
    CBCBuffer result;
    result.data = static_cast<unsigned char *>(calloc(bufferSize != 0 ? bufferSize : 1, 1));
    if (result.data == nullptr)
        return invalidCBCBuffer;
    result.size = bufferSize;
    return result;
}

size_t CBCStrlenOf(CBCBuffer buffer)
{
    return buffer.size;
}

void releaseCBCBuffer(CBCBuffer *buffer)
{
    if (buffer == nullptr)
        return;
    if (buffer->data != nullptr) {
        // A memset here could be dropped as a dead store before free().
        OPENSSL_cleanse(buffer->data, buffer->size);
        free(buffer->data);
    }
    *buffer = invalidCBCBuffer;
}

char *hexEncodeBuffer(const unsigned char *apStart, size_t nBytes)
{
    if (nBytes > (SIZE_MAX - 1) / 2)
        return nullptr;
    char *result = static_cast<char *>(malloc(2 * nBytes + 1));
    if (result == nullptr)
        return nullptr;
    for (size_t i = 0; i < nBytes; ++i)
        memcpy(result + 2 * i, kDigitPairs.pair[apStart[i]], 2);
    result[2 * nBytes] = '\0';
    return result;
}

char *hexEncodeCBCBuffer(CBCBuffer cbcBuffer)
{
    return hexEncodeBuffer(cbcBuffer.data, cbcBuffer.size);
}

char *hexEncodeStartSTring(IVString StartString)
{
    return hexEncodeBuffer(reinterpret_cast<const unsigned char *>(StartString.string), kBlock);
}

IVString generateIV(void)
{
    IVString result = {};
    // Room for the ten digits of the largest draw and a terminator.
    char stringBuffer[11] = {};
    srand(static_cast<unsigned>(time(nullptr)));
    snprintf(stringBuffer, sizeof stringBuffer, "%d", rand());
    memcpy(result.string, stringBuffer, kBlock);
    return result;
}

IVString ivStringOf(const char *apIV)
{
    IVString result = {};
    if (apIV != nullptr && strnlen(apIV, kBlock + 1) == kBlock)
        memcpy(result.string, apIV, kBlock);
    return result;
}

IVString cloneIVString(IVString aOther)
{
    IVString result = {};
    memcpy(result.string, aOther.string, kBlock);
    return result;
}

CBCBuffer encode_cbc(const char *apData, const char *apKey, IVString aIV)
{
    size_t n = strlen(apData);
    CBCBuffer result = allocCBC(n);
    if (result.data == nullptr)
        return result;
    IVString ivStart = cloneIVString(aIV);
    BF_KEY key;
    setKey(&key, apKey);
    // Given the unrounded length, libcrypto reads only the n data bytes and
    // completes the last block with zeros itself.
    cbcCrypt(reinterpret_cast<const unsigned char *>(apData), result.data, n, &key, &ivStart, BF_ENCRYPT);
    OPENSSL_cleanse(&key, sizeof key);
    return result;
}

BFSchedule *allocSchedule(const char *apKey)
{
    BFSchedule *schedule = static_cast<BFSchedule *>(malloc(sizeof *schedule));
    if (schedule != nullptr)
        setKey(schedule, apKey);
    return schedule;
}

void releaseSchedule(BFSchedule *apSchedule)
{
    if (apSchedule == nullptr)
        return;
    OPENSSL_cleanse(apSchedule, sizeof *apSchedule);
    free(apSchedule);
}

char *decode_cbc_scheduled(CBCBuffer cbcBuffer, const BFSchedule *apSchedule, IVString aIV)
{
    // Decrypting a partial block would read a whole one past the end.
    size_t length = cbcBuffer.data != nullptr ? cbcBuffer.size - cbcBuffer.size % kBlock : 0;
    char *resultBuffer = static_cast<char *>(calloc(length + 1, 1));
    if (resultBuffer == nullptr)
        return nullptr;
    IVString ivStart = cloneIVString(aIV);
    cbcCrypt(cbcBuffer.data, reinterpret_cast<unsigned char *>(resultBuffer), length, apSchedule, &ivStart,
             BF_DECRYPT);
    return resultBuffer;
}

char *decode_cbc(CBCBuffer cbcBuffer, const char *apKey, IVString aIV)
{
    BF_KEY key;
    setKey(&key, apKey);
    char *result = decode_cbc_scheduled(cbcBuffer, &key, aIV);
    OPENSSL_cleanse(&key, sizeof key);
    return result;
}

char *capi_blowfish_encode_ecb(const char *apData, const char *apKey)
{
    return ecbBlock(apData, apKey, BF_ENCRYPT);
}

char *capi_blowfish_decode_ecb(const char *apData, const char *apKey)
{
    return ecbBlock(apData, apKey, BF_DECRYPT);
}

unsigned char hexFromChar(unsigned char aHex)
{
    return kDigitValues.value[aHex];
}

unsigned char shiftToUpperHalfSpace(unsigned char aChar)
{
    return static_cast<unsigned char>(aChar << 4);
}

unsigned char binFromHexWord(unsigned char aUpper, unsigned char aLower)
{
    unsigned char upper = shiftToUpperHalfSpace(hexFromChar(aUpper));
    unsigned char lower = hexFromChar(aLower);
    return static_cast<unsigned char>(upper | lower);
}

CBCBuffer hexDecode(const char *apHexEncodedData)
{
    size_t hexDataLen = strlen(apHexEncodedData);
    if (hexDataLen % 2 != 0)
        return invalidCBCBuffer;
    CBCBuffer result = allocCBC(hexDataLen / 2);
    if (result.data == nullptr)
        return result;
    const unsigned char *hex = reinterpret_cast<const unsigned char *>(apHexEncodedData);
    for (size_t hexIndex = 0, binIndex = 0; hexIndex < hexDataLen; hexIndex += 2, ++binIndex)
        result.data[binIndex] = binFromHexWord(hex[hexIndex], hex[hexIndex + 1]);
    return result;
}

} // extern "C"
