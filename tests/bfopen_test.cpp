// bfopen's input checks, and bfopen run whole on what bfseal and openssl
// sealed.
#include "sealed.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "BlowfishEncDec.h"
#include "hex.h"
#include "program.h"
#include "utf8_text.h"

namespace {

ProgramRun bfseal(const std::string &data, const std::string &key)
{
    return runProgram({ownProgram(BFSEAL_PATH, {data, key}), "", nullptr});
}

ProgramRun bfopen(std::vector<std::string> args, const char *stdoutFile = nullptr, std::string input = "")
{
    return runProgram({ownProgram(BFOPEN_PATH, std::move(args)), std::move(input), stdoutFile});
}

const std::string kNotText = "bfopen: wrong key or damaged input\n"
                             "bfopen: what it opened is not UTF-8 text; -b opens texts that are not UTF-8\n";

const std::string kIV = "3132333400000000";
const std::string kBlock = "0123456789abcdef";

TEST(CheckSealedHex, RefusesWhatBfsealCannotHaveWritten)
{
    const struct {
        std::string hex;
        SealedHexFault fault;
        size_t position;
    } cases[] = {
        {kIV, sealedHexOk, 0},
        {kIV + kBlock + "0123456789ABCDEF", sealedHexOk, 0},
        {"", sealedHexNoIV, 0},
        {"0123456789abcde", sealedHexOddLength, 15},
        {kIV + "0", sealedHexOddLength, 17},
        {"01234567", sealedHexNoIV, 8},
        {kIV + "01", sealedHexPartialBlock, 2},
        {kIV + kBlock + "0123456789", sealedHexPartialBlock, 26},
        {kIV + "g123456789abcdef", sealedHexNotADigit, 17},
        {" " + kIV, sealedHexNotADigit, 1},
        {kIV + kBlock + "\xff", sealedHexNotADigit, 33},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hex);
        SealedHexCheck check = checkSealedHex(c.hex.c_str());
        EXPECT_EQ(check.fault, c.fault);
        EXPECT_EQ(check.position, c.position);
    }
}

// Bytes above 0x7f in any order: not UTF-8, so they open with -b.
TEST(Bfopen, OpensWhatBfsealSealed)
{
    const std::string keys[] = {"", "k", "sesame", "a key with bytes \xc3\xa9\xff above 0x7f"};
    std::string data;
    for (int i = 0; data.size() < 40; ++i)
        data.push_back(static_cast<char>(0x21 + (i * 53) % 0xde));
    for (size_t n = 0; n <= 40; ++n) {
        const std::string &key = keys[n % std::size(keys)];
        std::string text = data.substr(0, n);
        SCOPED_TRACE(std::to_string(n) + " bytes under \"" + key + "\"");
        ProgramRun sealed = bfseal(text, key);
        ASSERT_EQ(sealed.status, 0);
        ProgramRun opened = bfopen({"-b", sealed.out, key});
        EXPECT_EQ(opened.out, text);
        EXPECT_EQ(opened.err, "");
        EXPECT_EQ(opened.status, 0);
    }
}

TEST(Bfopen, AcceptsUppercaseDigits)
{
    ProgramRun sealed = bfseal("Attack at dawn", "sesame");
    std::string upper = sealed.out;
    for (auto &c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(bfopen({upper, "sesame"}).out, "Attack at dawn");
}

// By default what opens must be UTF-8 text; -b opens any bytes.
TEST(Bfopen, OpensTextByDefaultAndOtherBytesWithB)
{
    const struct {
        std::string data;
        bool text;
    } cases[] = {
        {"", true},
        {"tab\there, lines\r\nand\nbreaks\n", true},
        {"accents: \xc3\xa9\xc3\xa0\xc3\xbc\xc3\x9f, euro \xe2\x82\xac", true},
        {"emoji \xf0\x9f\x98\x80, clef \xf0\x9d\x84\x9e, last \xf4\x8f\xbf\xbf", true},
        {"\xff\xfe bytes", false},
        {"bell \x07", false},
        {"overlong \xc0\xaf", false},
        {"surrogate \xed\xa0\x80", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(toHex(c.data));
        ProgramRun sealed = bfseal(c.data, "sesame");
        ASSERT_EQ(sealed.status, 0);
        ProgramRun byDefault = bfopen({sealed.out, "sesame"});
        EXPECT_EQ(byDefault.out, c.text ? c.data : "");
        EXPECT_EQ(byDefault.err, c.text ? "" : kNotText);
        EXPECT_EQ(byDefault.status, c.text ? 0 : 1);
        ProgramRun anyBytes = bfopen({"-b", sealed.out, "sesame"});
        EXPECT_EQ(anyBytes.out, c.data);
        EXPECT_EQ(anyBytes.status, 0);
    }
}

// Sealed by the library: under any IV, or a text longer than one argument
// can hold.
std::string sealedHex(const std::string &text, const std::string &key, IVString iv = {"12345678"})
{
    CBCBuffer cipher = encode_cbc(text.c_str(), key.c_str(), iv);
    char *ivHex = hexEncodeStartSTring(iv);
    char *cipherHex = hexEncodeCBCBuffer(cipher);
    std::string hex = std::string(ivHex) + cipherHex;
    free(ivHex);
    free(cipherHex);
    releaseCBCBuffer(&cipher);
    return hex;
}

// "-" reads the hex from standard input: the only way in for a text whose hex
// is longer than one argument may be. What cannot belong to a sealed text
// ends the reading at once, and so does the limit: memory follows the input
// kept, whatever arrives.
TEST(Bfopen, ReadsTheHexFromStandardInput)
{
    const std::string longest(131071, 'L');
    const std::string longer(300000, 'M'); // more than the reader's first buffer
    ProgramRun sealedLongest = bfseal(longest, "key");
    ProgramRun sealed = bfseal("Attack at dawn", "key");
    ASSERT_EQ(sealedLongest.status, 0);
    ASSERT_EQ(sealed.status, 0);
    // The limit to the byte; blanks after the hex, which the reader keeps no copy of, so that it costs little.
    const std::string sixteenMiB = "/tmp/bfopen_16MiB_" + std::to_string(getpid());
    // Written a piece at a time: a program's peak memory counts its parent's
    // at the time it starts.
    const std::string hundredMiB = "/tmp/bfopen_100MiB_" + std::to_string(getpid());
    {
        std::ofstream digits(hundredMiB, std::ios::binary), atLimit(sixteenMiB, std::ios::binary);
        const std::string piece(1 << 20, '0'), blanks(1 << 20, ' ');
        for (int i = 0; i < 100; ++i)
            digits << piece;
        for (int i = 0; i < 16; ++i)
            atLimit << blanks;
        atLimit.seekp(0) << sealed.out;
    }
    const struct {
        std::string input, out, err;
        const char *stdinFile;
    } cases[] = {
        {sealedLongest.out, longest, "", nullptr},
        {sealedHex(longer, "key"), longer, "", nullptr},
        {sealed.out + "\n", "Attack at dawn", "", nullptr},
        {sealed.out + " \t\r\n\n", "Attack at dawn", "", nullptr},
        {"", "", "bfopen: the input is too short: 0 hex digits, the IV alone takes 16\n", nullptr},
        {" " + sealed.out, "", "bfopen: character 1 of the input is not a hex digit\n", nullptr},
        {sealed.out + "\n" + sealed.out, "", "bfopen: character 49 of the input is not a hex digit\n", nullptr},
        {sealed.out.substr(0, 20) + std::string(1, '\0') + sealed.out.substr(21), "",
         "bfopen: character 21 of the input is not a hex digit\n", nullptr},
        {std::string("zz\0ab", 5), "", "bfopen: character 1 of the input is not a hex digit\n", nullptr},
        {"", "", "bfopen: character 1 of the input is not a hex digit\n", "/dev/zero"},
        {"", "", "bfopen: cannot read standard input: Is a directory\n", "/"},
        {"", "", "bfopen: the input is longer than 16777216 bytes, far more than any sealed text\n",
         hundredMiB.c_str()},
        {"", "Attack at dawn", "", sixteenMiB.c_str()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stdinFile != nullptr ? c.stdinFile : toHex(c.input.substr(0, 32)));
        ProgramRun run = runProgram({ownProgram(BFOPEN_PATH, {"-", "key"}), c.input, nullptr, c.stdinFile});
        EXPECT_TRUE(run.out == c.out) << run.out.size() << " bytes out";
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.status, c.err.empty() ? 0 : 1);
        // An endless input ends at its first byte, at once.
        if (c.stdinFile != nullptr && strcmp(c.stdinFile, "/dev/zero") == 0) {
            EXPECT_LT(run.seconds, 1.0);
        }
#ifndef SANITIZED
        EXPECT_LT(run.maxRssKiB, 64 << 10);
#endif
    }
    unlink(hundredMiB.c_str());
    unlink(sixteenMiB.c_str());
}

TEST(Bfopen, RefusesMalformedInputBeforeDecrypting)
{
    const struct {
        std::string hex, message;
    } cases[] = {
        {kIV + kBlock + "0", "bfopen: the input has an odd number of hex digits (33)\n"},
        {kIV + "x" + kBlock.substr(1), "bfopen: character 17 of the input is not a hex digit\n"},
        {"", "bfopen: the input is too short: 0 hex digits, the IV alone takes 16\n"},
        {"31323334", "bfopen: the input is too short: 8 hex digits, the IV alone takes 16\n"},
        {kIV + "0123",
         "bfopen: the ciphertext is not whole blocks: 4 hex digits after the IV, not a multiple of 16\n"},
        {"-x", "bfopen: character 1 of the input is not a hex digit\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hex);
        ProgramRun run = bfopen({c.hex, "key"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.message);
    }
}

// Blocks with chosen contents, sealed by openssl: a zero byte followed by
// anything but zeros is not bfseal's padding.
TEST(Bfopen, ChecksThePadding)
{
    const std::string key = "sixteen byte key";
    const struct {
        std::string plain;
        bool opens;
        std::string text;
    } cases[] = {
        {std::string("abc\0\0\0\0\0", 8), true, "abc"},
        {"abcdefgh", true, "abcdefgh"},
        {std::string(8, '\0'), true, ""},
        {std::string("abcdefghij\0\0\0\0\0\0", 16), true, "abcdefghij"},
        {std::string("ab\0c\0\0\0\0", 8), false, ""},
        {std::string("\0\0\0\0\0\0\0x", 8), false, ""},
        {std::string("abc\0\0\0\0\0abcdefgh", 16), false, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(toHex(c.plain));
        ProgramRun cipher = runProgram({{OPENSSL_PROGRAM, "enc", "-e", "-bf-cbc", "-nopad", "-K", toHex(key), "-iv",
                                         kIV, "-provider", "legacy", "-provider", "default"},
                                        c.plain, nullptr});
        ASSERT_EQ(cipher.status, 0) << cipher.err;
        ProgramRun run = bfopen({kIV + toHex(cipher.out), key});
        EXPECT_EQ(run.status, c.opens ? 0 : 1);
        EXPECT_EQ(run.out, c.text);
        EXPECT_EQ(run.err, c.opens ? "" : "bfopen: wrong key or damaged input\n");
    }
}

TEST(Bfopen, WrongKeyNeverGivesTheText)
{
    ProgramRun sealed = bfseal("Attack at dawn", "sesame");
    for (const char *key : {"sesamf", "", "Sesame", "sesame "}) {
        SCOPED_TRACE(key);
        ProgramRun run = bfopen({sealed.out, key});
        EXPECT_NE(run.out, "Attack at dawn");
        EXPECT_EQ(run.status == 0, run.err.empty());
    }
}

TEST(Bfopen, FailedWriteIsReported)
{
    ProgramRun sealed = bfseal("text", "key");
    ProgramRun run = bfopen({sealed.out, "key"}, "/dev/full");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "bfopen: cannot write to standard output: No space left on device\n");
}

TEST(Utf8Text, ShortestFormsOfCharactersOnlyAndNoControls)
{
    const struct {
        std::string bytes;
        bool text;
    } cases[] = {
        {"", true},
        {"plain ASCII ~", true},
        {"\t\n\r", true},
        {"\xc2\xa0 \xdf\xbf \xe0\xa0\x80 \xef\xbf\xbd \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf", true},
        {std::string(1, '\0'), false},
        {"\x1f", false},
        {"\x7f", false},
        {"\xc2\x80", false},     // C1 control
        {"\xc2\x9f", false},     // C1 control
        {"\x80", false},         // continuation byte without a lead
        {"\xc3", false},         // cut short
        {"\xe2\x82", false},     // cut short
        {"\xc3\x28", false},     // a lead byte not followed by a continuation
        {"\xc3\xc3", false},     // a lead byte where a continuation must be
        {"\xc0\xaf", false},     // overlong
        {"\xc1\xbf", false},     // overlong
        {"\xe0\x9f\xbf", false}, // overlong
        {"\xf0\x8f\xbf\xbf", false},
        {"\xed\xa0\x80", false}, // surrogate
        {"\xed\xbf\xbf", false},
        {"\xf4\x90\x80\x80", false}, // above U+10FFFF
        {"\xf8\x88\x80\x80\x80", false},
        {"a\xfc\x80\x80\x80", false}, // led by a byte F8 to FF, which no encoding uses
        {"\xff", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(toHex(c.bytes));
        EXPECT_EQ(isUtf8Text(c.bytes.data(), c.bytes.size()), c.text);
    }
}

// Random texts of 1 to 40 bytes under random keys, each opened once with its
// own key and once with another.
TEST(OpenSealed, NoticesAlmostEveryWrongKey)
{
    const char *pieces[] = {"a", "Z", "7", " ", "~", "\t", "\n", "\r", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
    std::mt19937 generator(20261208);
    auto randomKey = [&] {
        std::string key(1 + generator() % 56, '\0');
        for (auto &byte : key)
            byte = static_cast<char>(1 + generator() % 255);
        return key;
    };
    const int kTrials = 2000;
    int caught = 0, caughtByPadding = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        size_t length = 1 + trial % 40;
        std::string text;
        while (text.size() < length) {
            std::string piece = pieces[generator() % std::size(pieces)];
            if (text.size() + piece.size() <= length)
                text += piece;
        }
        std::string key = randomKey(), wrongKey = randomKey();
        if (wrongKey == key)
            continue;
        IVString iv = {};
        for (int i = 0; i < 8; ++i)
            iv.string[i] = static_cast<char>(generator());
        std::string hex = sealedHex(text, key, iv);
        SCOPED_TRACE("text " + toHex(text) + ", key " + toHex(key));

        char *result = nullptr;
        ASSERT_EQ(openSealed(hex.c_str(), key.c_str(), openedText, &result), opened);
        EXPECT_EQ(result, text);
        free(result);

        caught += openSealed(hex.c_str(), wrongKey.c_str(), openedText, &result) != opened;
        free(result);
        caughtByPadding += openSealed(hex.c_str(), wrongKey.c_str(), openedAnyBytes, &result) != opened;
        free(result);
    }
    std::printf("wrong keys caught: %d of %d as text, %d of %d by the padding alone\n", caught, kTrials,
                caughtByPadding, kTrials);
    EXPECT_GE(caught * 100, kTrials * 99);
}

} // namespace
