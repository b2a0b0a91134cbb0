// Built only for 32-bit ARM: the build really is one, and so are the programs.
#include <gtest/gtest.h>

#include <string>

#include "program.h"

static_assert(sizeof(void *) == 4 && sizeof(long) == 4 && sizeof(size_t) == 4, "not a 32-bit build");

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

} // namespace
