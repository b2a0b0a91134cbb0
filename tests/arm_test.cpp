// Built only for 32-bit ARM: the build really is one, and so are the programs.
#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <sstream>
#include <string>

#include "program.h"

static_assert(sizeof(void *) == 4 && sizeof(long) == 4 && sizeof(size_t) == 4, "not a 32-bit build");
static_assert(sizeof(time_t) == 8, "time_t overflows in January 2038");

namespace {

TEST(Arm, ProgramsAre32BitHardFloatArmExecutables)
{
    for (const char *path : {BFSEAL_PATH, BFOPEN_PATH, FORMSEND_PATH}) {
        SCOPED_TRACE(path);
        ProgramRun run = runProgram({{"readelf", "-h", path}, "", nullptr});
        ASSERT_EQ(run.status, 0) << run.err;
        for (const char *field : {"ELF32", "ARM", "hard-float ABI"})
            EXPECT_NE(run.out.find(field), std::string::npos) << field << " missing in\n" << run.out;
    }
}

// The C library functions a program imports, as the dynamic loader will
// bind them, without their version suffix.
std::set<std::string> importedFunctions(const char *path)
{
    ProgramRun run = runProgram({{"readelf", "--dyn-syms", "--wide", path}, "", nullptr});
    EXPECT_EQ(run.status, 0) << run.err;
    std::set<std::string> names;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string num, value, size, type, bind, vis, ndx, name;
        if (fields >> num >> value >> size >> type >> bind >> vis >> ndx >> name && ndx == "UND")
            names.insert(name.substr(0, name.find('@')));
    }
    return names;
}

// Built with a 32-bit time_t, these names would be bound instead of their
// 64-bit forms (__time64, __clock_gettime64, open64, __fstat64_time64, ...).
const char *const k32BitTimeAndOffsetFunctions[] = {
    "time", "gettimeofday", "clock_gettime", "localtime", "localtime_r", "gmtime", "gmtime_r", "mktime",
    "difftime", "ctime", "stat", "fstat", "lstat", "open", "fopen", "lseek", "ftello", "fseeko",
    "nanosleep", "select", "setsockopt", "getsockopt", "utime", "futimens",
};

TEST(Arm, ProgramsUseThe64BitTimeInterface)
{
    struct Case {
        const char *path;
        bool readsClock; // bfseal's IV starts from the clock
    };
    for (const Case &c : {Case{BFSEAL_PATH, true}, Case{BFOPEN_PATH, false}, Case{FORMSEND_PATH, false}}) {
        SCOPED_TRACE(c.path);
        std::set<std::string> imported = importedFunctions(c.path);
        ASSERT_NE(imported.count("__libc_start_main"), 0u) << "no imports read";
        for (const char *old : k32BitTimeAndOffsetFunctions)
            EXPECT_EQ(imported.count(old), 0u) << old << " takes a 32-bit time_t or offset";
        if (c.readsClock) {
            EXPECT_NE(imported.count("__time64"), 0u) << "the IV's clock is not read through __time64";
        }
    }
}

} // namespace
