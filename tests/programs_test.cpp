// What the shipped programs share: they load no C++ runtime (formsend needs
// libc alone, bfseal and bfopen libcrypto and libc), and the sealing programs
// answer a wrong argument count with their usage line.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "program.h"

namespace {

std::string neededLibraries(const char *path)
{
    ProgramRun run = runProgram({{"readelf", "-d", path}, "", nullptr});
    EXPECT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string libraries;
    for (std::string line; std::getline(lines, line);) {
        size_t open = line.find("(NEEDED)") != std::string::npos ? line.find('[') : std::string::npos;
        if (open != std::string::npos)
            libraries += line.substr(open + 1, line.find(']') - open - 1) + " ";
    }
    return libraries;
}

// With the stack protector on, a 32-bit ARM program reads its canary from
// the dynamic loader, which comes with libc (package libc6) like libc itself.
#ifdef __arm__
const std::string kLoader = "ld-linux-armhf.so.3 ";
#else
const std::string kLoader = "";
#endif

TEST(Linkage, ProgramsNeedOnlyTheirLibraries)
{
#ifdef SANITIZED
    GTEST_SKIP() << "a sanitized build links the sanitizer runtimes on purpose";
#endif
    const struct {
        const char *path, *needed;
    } cases[] = {
        {BFSEAL_PATH, "libcrypto.so.3 libc.so.6 "},
        {FORMSEND_PATH, "libc.so.6 "},
        {BFOPEN_PATH, "libcrypto.so.3 libc.so.6 "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(neededLibraries(c.path), c.needed + kLoader);
    }
}

TEST(Usage, WrongArgumentCountPrintsTheUsageLine)
{
    const struct {
        const char *path, *usage;
    } programs[] = {{BFSEAL_PATH, "bfseal <data> <key>\n"}, {BFOPEN_PATH, "bfopen [-b] <hex|-> <key>\n"}};
    const std::vector<std::string> counts[] = {{}, {"one"}, {"one", "two", "three"}};
    for (const auto &program : programs) {
        for (const auto &args : counts) {
            SCOPED_TRACE(std::string(program.path) + " with " + std::to_string(args.size()) + " arguments");
            ProgramRun run = runProgram({ownProgram(program.path, args), "", nullptr});
            EXPECT_EQ(run.out, program.usage);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(run.status, 0);
        }
    }
}

} // namespace
