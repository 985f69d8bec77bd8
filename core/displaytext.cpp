#include "core/displaytext.h"

#include <charconv>
#include <cstdint>
#include <cstdio>

#include "core/messages.h"
#include "platform/files.h"

AnsiString FileDateText(const AnsiString& path) {
    // Linux has no mandatory share locks, so a file that another program holds open (a
    // library the running product has loaded) still has a readable date here; only a missing
    // file or a date the legacy form cannot hold is refused.
    std::optional<platform::LocalDateTime> written = platform::LastWriteTime(path);
    if (!written || written->year < 1980 || written->year > 2107)
        throw Exception(Texts::InvalidDateArgument);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", written->year, written->month,
                  written->day);
    return text;
}

AnsiString SizeText(const AnsiString& text) {
    int64_t bytes = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+') ++first;
    auto [end, error] = std::from_chars(first, last, bytes);
    if (error != std::errc() || end != last || first == last)
        throw Exception("'" + text + "' is not a valid integer value");
    if (bytes < 1000) return text;

    // One decimal, rounded half up: tenths of a kilobyte are hundreds of bytes.
    const int64_t tenths = bytes / 100 + (bytes % 100 >= 50 ? 1 : 0);
    AnsiString whole = std::to_string(tenths / 10);
    for (int at = int(whole.size()) - 3; at > 0; at -= 3) whole.insert(size_t(at), ",");
    return whole + "." + std::to_string(tenths % 10) + "KB";
}

AnsiString SizeText(int64_t bytes) {
    return SizeText(std::to_string(bytes));
}

QDate DateFromText(const AnsiString& text) {
    auto number = [&](size_t at, size_t length) {
        int value = 0;
        for (size_t i = at; i < at + length; ++i) {
            if (text[i] < '0' || text[i] > '9') return -1;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    QDate date;
    if (text.size() == 10 && text[4] == '-' && text[7] == '-')
        date = QDate(number(0, 4), number(5, 2), number(8, 2));
    if (!date.isValid()) throw Exception("'" + text + "' is not a valid date");
    return date;
}
