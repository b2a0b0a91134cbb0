// bfseal run whole: what it prints, how it ends, and whether an independent
// Blowfish implementation opens what it sealed.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "hex.h"
#include "iv_draw.h"
#include "program.h"

namespace {

// The IV is the decimal digits of one draw, then zero bytes: one to eight
// pairs 30 to 39 followed by 00 pairs only.
bool ivShaped(const std::string &hex)
{
    size_t pair = 0;
    while (pair < 8 && hex[2 * pair] == '3' && isdigit(static_cast<unsigned char>(hex[2 * pair + 1])))
        ++pair;
    return pair >= 1 && hex.compare(2 * pair, 16 - 2 * pair, std::string(16 - 2 * pair, '0')) == 0;
}

ProgramRun bfseal(std::vector<std::string> args)
{
    return runProgram({ownProgram(BFSEAL_PATH, std::move(args)), "", nullptr});
}

TEST(Bfseal, OutputIsIvThenWholeBlocksInLowercaseHex)
{
    const struct {
        size_t dataLength, outputLength;
    } cases[] = {{0, 16}, {1, 32}, {8, 32}, {9, 48}, {16, 48}, {17, 64}, {131000, 16 + 2 * 131000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dataLength);
        ProgramRun run = bfseal({std::string(c.dataLength, 'd'), "key"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out.size(), c.outputLength);
        ASSERT_GE(run.out.size(), 16u);
        EXPECT_TRUE(ivShaped(run.out.substr(0, 16))) << run.out.substr(0, 16);
        EXPECT_EQ(run.out.find_first_not_of("0123456789abcdef"), std::string::npos);
    }
}

TEST(Bfseal, OpensWithOpenssl)
{
    // openssl enc takes a 16-byte key, so the key texts here have 16 bytes.
    const struct {
        std::string data, key;
    } cases[] = {
        {"a", "0123456789abcdef"},
        {"exactly8", "0123456789abcdef"},
        {"a text of several blocks, nine and more", "sixteen byte key"},
        {"bytes above 0x7f: \xc3\xa9\xe2\x82\xac\xff", "k\xe9y with \xff bytes"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data);
        ProgramRun sealed = bfseal({c.data, c.key});
        ASSERT_EQ(sealed.status, 0);
        ASSERT_GE(sealed.out.size(), 16u);
        ProgramRun opened = runProgram({{OPENSSL_PROGRAM, "enc", "-d", "-bf-cbc", "-nopad", "-K", toHex(c.key), "-iv",
                                         sealed.out.substr(0, 16), "-provider", "legacy", "-provider", "default"},
                                        fromHex(sealed.out.substr(16)), nullptr});
        ASSERT_EQ(opened.status, 0) << opened.err;
        size_t padded = (c.data.size() + 7) / 8 * 8;
        EXPECT_EQ(opened.out, c.data + std::string(padded - c.data.size(), '\0'));
    }
}

TEST(Bfseal, SameSecondSameOutputWithThatSecondsIv)
{
    // Retried when the two runs straddle a second boundary. The second run is
    // always this build's bfseal, so that other builds (the static ones for
    // boards) must seal exactly as it does.
    for (int attempt = 0; attempt < 5; ++attempt) {
        time_t before = time(nullptr);
        ProgramRun a = bfseal({"text", "key"});
        ProgramRun b = runProgram({builtProgram(BFSEAL_PATH, {"text", "key"}), "", nullptr});
        if (time(nullptr) != before)
            continue;
        EXPECT_EQ(a.out, b.out);
        EXPECT_EQ(a.out.substr(0, 16), toHex(ivDrawnIn(before)));
        return;
    }
    FAIL() << "could not run twice within one second";
}

TEST(Bfseal, FailedWriteIsReported)
{
    ProgramRun run = runProgram({ownProgram(BFSEAL_PATH, {"data", "key"}), "", "/dev/full"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "bfseal: cannot write to standard output: No space left on device\n");
}

} // namespace
