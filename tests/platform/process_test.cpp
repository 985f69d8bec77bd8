#include "platform/process.h"

#include <gtest/gtest.h>

TEST(Process, RunsAProgramAndReturnsItsExitCode) {
    EXPECT_EQ(platform::RunAndWait("\\bin\\true"), 0);
    EXPECT_EQ(platform::RunAndWait("\\bin\\false"), 1);
}

TEST(Process, AProgramThatCannotStartGivesNothing) {
    EXPECT_FALSE(platform::RunAndWait("\\nonexistent\\setup.exe"));
}
