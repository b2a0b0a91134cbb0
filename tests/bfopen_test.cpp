// bfopen's input checks, and bfopen run whole on what bfseal and openssl
// sealed.
#include "sealed.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "hex.h"
#include "program.h"

namespace {

ProgramRun bfseal(const std::string &data, const std::string &key)
{
    return runProgram({ownProgram(BFSEAL_PATH, {data, key}), "", nullptr});
}

ProgramRun bfopen(std::vector<std::string> args, const char *stdoutFile = nullptr)
{
    return runProgram({ownProgram(BFOPEN_PATH, std::move(args)), "", stdoutFile});
}

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
        ProgramRun opened = bfopen({sealed.out, key});
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

} // namespace
