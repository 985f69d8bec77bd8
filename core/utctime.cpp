#include "core/utctime.h"

#include <cstdio>

namespace utctime {
namespace {

// The number written in `text` at [at, at + digits), which must all be digits.
std::optional<int> Digits(std::string_view text, size_t at, size_t digits) {
    int value = 0;
    for (size_t i = at; i < at + digits; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

std::optional<Moment> Parse(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ
    // 0    5  8  11 14 17
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    const auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
    const auto hour = Digits(text, 11, 2), minute = Digits(text, 14, 2),
               second = Digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second || *year < 1970 || *hour > 23 ||
        *minute > 59 || *second > 59)
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(*year),
                                           std::chrono::month(unsigned(*month)),
                                           std::chrono::day(unsigned(*day))};
    if (!date.ok()) return std::nullopt;
    return std::chrono::sys_days(date) + std::chrono::hours(*hour) + std::chrono::minutes(*minute) +
           std::chrono::seconds(*second);
}

std::string Format(Moment moment) {
    const auto day = std::chrono::floor<std::chrono::days>(moment);
    const std::chrono::year_month_day date(day);
    const std::chrono::hh_mm_ss time(moment - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()));
    return text;
}

Moment Now() {
    return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

std::string Span(std::chrono::seconds span) {
    long long left = span.count() < 0 ? -span.count() : span.count();
    static constexpr struct {
        const char* name;
        long long seconds;
    } kUnits[] = {{"day", 86400}, {"hour", 3600}, {"minute", 60}, {"second", 1}};
    std::string text;
    int written = 0;
    for (const auto& unit : kUnits) {
        const long long count = left / unit.seconds;
        left %= unit.seconds;
        if (count == 0) {
            if (written != 0) break;
            continue;
        }
        text += (written == 0 ? "" : " ") + std::to_string(count) + " " + unit.name +
                (count == 1 ? "" : "s");
        if (++written == 2) break;
    }
    return written == 0 ? "0 seconds" : text;
}

}  // namespace utctime
