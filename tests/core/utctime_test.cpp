#include "core/utctime.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(UtcTime, OneSpellingPerMoment) {
    const std::optional<utctime::Moment> moment = utctime::Parse("2024-02-29T23:59:59Z");
    ASSERT_TRUE(moment);
    EXPECT_EQ(moment->time_since_epoch().count(), 1709251199);
    EXPECT_EQ(utctime::Format(*moment), "2024-02-29T23:59:59Z");
    EXPECT_EQ(utctime::Format(utctime::Moment(0s)), "1970-01-01T00:00:00Z");
    for (const char* text :
         {"2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-01-01T24:00:00Z",
          "2024-01-01T00:60:00Z", "2024-01-01T00:00:60Z", "2024-01-01T00:00:00",
          "2024-01-01 00:00:00Z", "2024-01-01T00:00:00z", "2024-01-01T00:00:00+00:00",
          "2024-01-01T00:00:00.5Z", "1969-12-31T23:59:59Z", "2024-1-01T00:00:00Z",
          " 2024-01-01T00:00:00Z", ""})
        EXPECT_EQ(utctime::Parse(text), std::nullopt) << text;
}

}  // namespace
