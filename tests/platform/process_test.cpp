#include "platform/process.h"

#include <gtest/gtest.h>

TEST(Process, RunsAProgramAndReturnsItsExitCode) {
    for (auto [program, code] : {std::pair{"\\bin\\true", 0}, std::pair{"\\bin\\false", 1}}) {
        std::optional<platform::ProcessId> process = platform::StartProgram(program);
        ASSERT_TRUE(process) << program;
        EXPECT_EQ(platform::WaitForProgram(*process), code) << program;
    }
}

TEST(Process, AProgramThatCannotStartGivesNothing) {
    EXPECT_FALSE(platform::StartProgram("\\nonexistent\\setup.exe"));
}
