#include "BlowfishEncDec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "hex.h"
#include "iv_draw.h"

namespace {

// Copies a text the library returned and frees it.
std::string take(char *text)
{
    EXPECT_NE(text, nullptr);
    if (text == nullptr)
        return {};
    std::string copy(text);
    free(text);
    return copy;
}

std::string bytesOf(const CBCBuffer &buffer)
{
    return std::string(reinterpret_cast<const char *>(buffer.data), buffer.size);
}

std::string cutAtZero(const std::string &bytes)
{
    return bytes.substr(0, bytes.find('\0'));
}

IVString ivOf(const std::string &bytes)
{
    IVString iv = {};
    memcpy(iv.string, bytes.data(), 8);
    return iv;
}

// A heap copy of exactly the text and its terminator, so that ASan sees any
// read past the end.
std::unique_ptr<char, decltype(&free)> exactCopy(const std::string &text)
{
    char *copy = static_cast<char *>(malloc(text.size() + 1));
    memcpy(copy, text.c_str(), text.size() + 1);
    return {copy, &free};
}

struct Vector {
    const char *key, *plain, *cipher;
};

// Eric Young's Blowfish ECB known answers (key, plaintext, ciphertext), as
// published with the Blowfish reference test vectors (vectors.txt).
const Vector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

// Texts end at their first zero byte, so a block is expressible as a text
// only when its zero bytes all come at the end.
bool onlyTrailingZeros(const std::string &bytes)
{
    size_t zero = bytes.find('\0');
    return zero == std::string::npos || bytes.find_first_not_of('\0', zero) == std::string::npos;
}

TEST(Ecb, PublishedVectors)
{
    int encrypted = 0, decrypted = 0;
    for (const auto &v : kEcbVectors) {
        SCOPED_TRACE(std::string(v.key) + " " + v.plain);
        std::string key = fromHex(v.key), plain = fromHex(v.plain), cipher = fromHex(v.cipher);
        if (key.find('\0') != std::string::npos)
            continue; // a key text cannot hold a zero byte
        if (onlyTrailingZeros(plain)) {
            EXPECT_EQ(toHex(take(capi_blowfish_encode_ecb(cutAtZero(plain).c_str(), key.c_str()))),
                      toHex(cutAtZero(cipher)));
            ++encrypted;
        }
        if (onlyTrailingZeros(cipher)) {
            EXPECT_EQ(toHex(take(capi_blowfish_decode_ecb(cutAtZero(cipher).c_str(), key.c_str()))),
                      toHex(cutAtZero(plain)));
            ++decrypted;
        }
    }
    EXPECT_GE(encrypted, 25);
    EXPECT_GE(decrypted, 25);
}

// The same source's variable-key-length answers: plaintext FEDCBA9876543210
// under the first 1, 2, ... bytes of F0E1D2C3B4A5968778695A4B3C2D1E0F. Longer
// prefixes of the published key hold a zero byte and cannot be key texts.
TEST(Ecb, PublishedVariableKeyLengths)
{
    const std::string key = fromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F");
    const std::string plain = fromHex("FEDCBA9876543210");
    const char *ciphers[] = {
        "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
        "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
        "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
        "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
    };
    for (size_t length = 1; length <= std::size(ciphers); ++length) {
        SCOPED_TRACE(length);
        std::string cipher = fromHex(ciphers[length - 1]);
        std::string keyText = key.substr(0, length);
        EXPECT_EQ(toHex(take(capi_blowfish_encode_ecb(plain.c_str(), keyText.c_str()))),
                  toHex(cutAtZero(cipher)));
        if (onlyTrailingZeros(cipher)) {
            EXPECT_EQ(take(capi_blowfish_decode_ecb(cutAtZero(cipher).c_str(), keyText.c_str())), plain);
        }
    }
}

TEST(Ecb, ReadsAtMostEightBytesAndNeverPastTheTerminator)
{
    const char *key = "sesame";
    const std::string block = "ABCDEFGH";
    std::string expected = take(capi_blowfish_encode_ecb(block.c_str(), key));
    EXPECT_EQ(take(capi_blowfish_encode_ecb((block + "tail").c_str(), key)), expected);

    // Short texts: the missing bytes are zeros, and the exact-size heap
    // copies make any read beyond the terminator visible to ASan.
    for (size_t length = 0; length < 8; ++length) {
        SCOPED_TRACE(length);
        auto text = exactCopy(block.substr(0, length));
        std::string cipher = take(capi_blowfish_encode_ecb(text.get(), key));
        if (cipher.size() == 8) {
            EXPECT_EQ(take(capi_blowfish_decode_ecb(cipher.c_str(), key)), block.substr(0, length));
        }
        take(capi_blowfish_decode_ecb(text.get(), key));
    }
}

// The Blowfish CBC known answer published with the same vectors: the 29 bytes
// "7654321 Now is the time for " and its terminator, completed with zeros.
TEST(Cbc, PublishedVector)
{
    const std::string key = fromHex("0123456789ABCDEFF0E1D2C3B4A59687");
    const IVString iv = ivOf(fromHex("FEDCBA9876543210"));
    const char *plain = "7654321 Now is the time for ";

    CBCBuffer cipher = encode_cbc(plain, key.c_str(), iv);
    EXPECT_EQ(toHex(bytesOf(cipher)), "6b77b4d63006dee605b156e27403979358deb9e7154616d959f1652bd5ff92cc");
    EXPECT_EQ(take(decode_cbc(cipher, key.c_str(), iv)), plain);
    releaseCBCBuffer(&cipher);
}

TEST(Cbc, RoundTripEveryLengthAndKey)
{
    const std::string keys[] = {"", "k", "sesame", std::string(56, 'x'), std::string(100, '\xa5')};
    const IVString iv = ivOf(std::string("1234\0\0\0\0", 8));
    std::string data;
    for (int i = 0; data.size() <= 48; ++i)
        data.push_back(static_cast<char>(0x20 + (i * 37) % 0xdf)); // bytes above 0x7f included

    for (const auto &key : keys) {
        for (size_t n = 0; n <= 48; ++n) {
            SCOPED_TRACE("key length " + std::to_string(key.size()) + ", data length " + std::to_string(n));
            IVString callerIV = iv;
            std::string text = data.substr(0, n);
            CBCBuffer cipher = encode_cbc(text.c_str(), key.c_str(), callerIV);
            ASSERT_NE(cipher.data, nullptr);
            EXPECT_EQ(cipher.size, (n + 7) / 8 * 8);
            EXPECT_EQ(memcmp(callerIV.string, iv.string, sizeof iv.string), 0);
            EXPECT_EQ(take(decode_cbc(cipher, key.c_str(), callerIV)), text);
            EXPECT_EQ(memcmp(callerIV.string, iv.string, sizeof iv.string), 0);
            releaseCBCBuffer(&cipher);
        }
    }
}

TEST(Cbc, KeyBytesPastTheSeventySecondAreNotUsed)
{
    const IVString iv = ivStringOf("abcdefgh");
    std::string key(72, 'k');
    CBCBuffer a = encode_cbc("text", (key + "A").c_str(), iv);
    CBCBuffer b = encode_cbc("text", (key + "B").c_str(), iv);
    CBCBuffer c = encode_cbc("text", (key.substr(0, 71) + "B").c_str(), iv);
    EXPECT_EQ(bytesOf(a), bytesOf(b));
    EXPECT_NE(bytesOf(a), bytesOf(c));
    releaseCBCBuffer(&a);
    releaseCBCBuffer(&b);
    releaseCBCBuffer(&c);
}

TEST(Cbc, DecodeReadsWholeBlocksOnly)
{
    const IVString iv = ivStringOf("abcdefgh");
    const std::string text = "0123456789abcdef";
    CBCBuffer cipher = encode_cbc(text.c_str(), "key", iv);

    // An exact-size block of 12 bytes: ASan reports any read past it.
    for (size_t size : {1u, 7u, 12u}) {
        SCOPED_TRACE(size);
        CBCBuffer partial = {static_cast<unsigned char *>(malloc(size)), size};
        memcpy(partial.data, cipher.data, size);
        EXPECT_EQ(take(decode_cbc(partial, "key", iv)), text.substr(0, size / 8 * 8));
        free(partial.data);
    }
    EXPECT_EQ(take(decode_cbc(invalidCBCBuffer, "key", iv)), "");
    releaseCBCBuffer(&cipher);
}

TEST(Buffers, AllocRoundsUpToWholeZeroedBlocks)
{
    const struct {
        size_t asked, size;
    } cases[] = {{0, 0}, {1, 8}, {7, 8}, {8, 8}, {9, 16}, {16, 16}, {17, 24}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.asked);
        CBCBuffer buffer = allocCBC(c.asked);
        ASSERT_NE(buffer.data, nullptr);
        EXPECT_EQ(CBCStrlenOf(buffer), c.size);
        EXPECT_EQ(bytesOf(buffer), std::string(c.size, '\0'));
        releaseCBCBuffer(&buffer);
    }
}

TEST(Buffers, AllocThatCannotBeSatisfiedGivesTheInvalidBuffer)
{
    for (size_t asked : {SIZE_MAX, SIZE_MAX - 6, SIZE_MAX - 8}) {
        CBCBuffer buffer = allocCBC(asked);
        EXPECT_EQ(buffer.data, nullptr);
        EXPECT_EQ(buffer.size, 0u);
    }
}

TEST(Buffers, ReleaseResetsTheRecordAndIsSafeTwice)
{
    CBCBuffer buffer = allocCBC(16);
    releaseCBCBuffer(&buffer);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.size, 0u);
    releaseCBCBuffer(&buffer);
    EXPECT_EQ(buffer.data, nullptr);
}

TEST(Hex, EveryByteAsTwoLowercaseDigits)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    const std::string cases[] = {"", std::string("\x00\x0f\x80\xff", 4), all};
    for (const auto &bytes : cases) {
        char *hex = hexEncodeBuffer(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
        ASSERT_NE(hex, nullptr);
        EXPECT_EQ(hex[2 * bytes.size()], '\0');
        EXPECT_EQ(take(hex), toHex(bytes));
    }
}

TEST(Hex, IvEncodesAllEightBytesZerosIncluded)
{
    EXPECT_EQ(take(hexEncodeStartSTring(ivOf(std::string(8, '\0')))), "0000000000000000");
    EXPECT_EQ(take(hexEncodeStartSTring(ivOf(std::string("12345\0\0\0", 8)))), "3132333435000000");
}

TEST(Iv, OfTakesExactlyEightBytes)
{
    const struct {
        const char *text;
        std::string bytes;
    } cases[] = {
        {"", std::string(8, '\0')},
        {"1234567", std::string(8, '\0')},
        {"123456789", std::string(8, '\0')},
        {"12345678", "12345678"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        IVString iv = ivStringOf(c.text);
        EXPECT_EQ(std::string(iv.string, 8), c.bytes);
        EXPECT_EQ(iv.string[8], '\0');
    }
}

TEST(Iv, GeneratedIsTheDrawOfTheSecond)
{
    // Retried when the call straddles a second boundary.
    for (int attempt = 0; attempt < 5; ++attempt) {
        time_t before = time(nullptr);
        IVString iv = generateIV();
        if (time(nullptr) != before)
            continue;
        EXPECT_EQ(toHex(std::string(iv.string, 9)), toHex(ivDrawnIn(before) + '\0'));
        return;
    }
    FAIL() << "could not draw within one second";
}

TEST(HexDecode, PairsToBytesInWholeBlocks)
{
    const struct {
        const char *hex;
        std::string bytes; // size included: the zero bytes up to a whole block
    } cases[] = {
        {"", ""},
        {"0A", std::string("\x0a\0\0\0\0\0\0\0", 8)},
        {"FF00", std::string("\xff\0\0\0\0\0\0\0", 8)},
        {"ff7fa0", std::string("\xff\x7f\xa0\0\0\0\0\0", 8)},
        {"3132333435363738", "12345678"},
        {"313233343536373839", std::string("123456789\0\0\0\0\0\0\0", 16)},
        {"G11 ", std::string("\x01\x10\0\0\0\0\0\0", 8)},   // non-digits count as 0
        {"aBcDeF", std::string("\xab\xcd\xef\0\0\0\0\0", 8)}, // both letter cases
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hex);
        CBCBuffer buffer = hexDecode(c.hex);
        ASSERT_NE(buffer.data, nullptr);
        EXPECT_EQ(toHex(bytesOf(buffer)), toHex(c.bytes));
        releaseCBCBuffer(&buffer);
    }
}

TEST(HexDecode, OddLengthGivesTheInvalidBuffer)
{
    for (const char *hex : {"0", "abc", "0123456789abcdef0"}) {
        SCOPED_TRACE(hex);
        CBCBuffer buffer = hexDecode(hex);
        EXPECT_EQ(buffer.data, nullptr);
        EXPECT_EQ(buffer.size, 0u);
    }
}

TEST(HexDecode, ReadsBackWhatTheEncoderWrites)
{
    std::mt19937 generator(7);
    for (size_t n = 0; n <= 70; ++n) {
        SCOPED_TRACE(n);
        std::string bytes(n, '\0');
        for (auto &byte : bytes)
            byte = static_cast<char>(generator());
        std::string hex = take(hexEncodeBuffer(reinterpret_cast<const unsigned char *>(bytes.data()), n));
        CBCBuffer buffer = hexDecode(hex.c_str());
        ASSERT_NE(buffer.data, nullptr);
        EXPECT_EQ(bytesOf(buffer), bytes + std::string((n + 7) / 8 * 8 - n, '\0'));
        releaseCBCBuffer(&buffer);
    }
}

} // namespace
