// Moments as the publisher's signed files write them: UTC in ISO 8601 to the second, with the
// "Z" ("2026-12-10T08:00:00Z"). One spelling per moment, so a signed text says one thing.
// Every function may be called from any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace utctime {

using Moment = std::chrono::sys_seconds;

// Exactly "YYYY-MM-DDTHH:MM:SSZ" naming a real second of the years 1970 to 9999; nothing for
// any other text (an offset, a fraction, lower-case letters, a 61st second, 30 February).
std::optional<Moment> Parse(std::string_view text);

// `moment` as Parse reads it; `moment` must lie within the years 1970 to 9999.
std::string Format(Moment moment);

// The system clock, to the second.
Moment Now();

// A span of time for people: its largest unit, and the next one unless that is zero ("6 days
// 23 hours", "2 hours", "42 seconds"); the rest is left out. A negative span is written as its
// size.
std::string Span(std::chrono::seconds span);

}  // namespace utctime
