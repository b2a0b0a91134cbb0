// The shipped programs load no C++ runtime: formsend needs libc alone, and
// bfseal and bfopen libcrypto and libc.
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
        EXPECT_EQ(neededLibraries(c.path), c.needed);
    }
}

} // namespace
