// What the fuzz targets share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <QCoreApplication>

// A property that does not hold stops the run like a crash, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition) \
    ((condition) ? void()     \
                 : fuzzsupport::Stop(__FILE__, __LINE__, "property does not hold: " #condition))

namespace fuzzsupport {

[[noreturn]] inline void Stop(const char* file, int line, const char* why) {
    std::fprintf(stderr, "%s:%d: %s\n", file, line, why);
    std::abort();
}

inline std::string Bytes(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// The components that talk to sockets or own timers need an application object on the
// thread that uses them; it lives until the process ends.
inline void StartApplication() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

// "%XX" (either letter case) back to its byte, and with `plusIsBlank` "+" to a blank; nothing
// when a "%" is not followed by two hex digits.
inline std::optional<std::string> PercentDecoded(std::string_view text, bool plusIsBlank) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = hex(text[i + 1]), low = hex(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += plusIsBlank && text[i] == '+' ? ' ' : text[i];
        }
    }
    return decoded;
}

}  // namespace fuzzsupport
