#include "app/startupguard.h"

#include <gtest/gtest.h>

namespace {

TEST(StartupGuard, RefusesOnlyWithoutAnArgumentWhileTheProductRuns) {
    std::vector<AnsiString> askedFor;
    auto productOpen = [&](const AnsiString& className) {
        askedFor.push_back(className);
        return true;
    };
    EXPECT_TRUE(GuardRefusesStart("", productOpen));
    EXPECT_EQ(askedFor, std::vector<AnsiString>{"QUENTAROS FOR WINDOWS"});
    for (const AnsiString argument : {"on", "ON", "x"})
        EXPECT_FALSE(GuardRefusesStart(argument, productOpen)) << argument;

    auto productClosed = [](const AnsiString&) { return false; };
    EXPECT_FALSE(GuardRefusesStart("", productClosed));
}

}  // namespace
