// Text as the system keeps it: bytes in the product's code page (GBK).
//
// Versions are compared byte for byte and lengths are byte counts, so code-page text stays
// in std::string everywhere above this layer. Conversion to Unicode happens only at the
// edges (screen, file paths, command lines), in codepage.h.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

using AnsiString = std::string;

// The error every component raises. Its message is code-page text, shown as it is by the
// framework's default error box.
class Exception : public std::runtime_error {
public:
    explicit Exception(const AnsiString& message) : std::runtime_error(message) {}
    AnsiString Message() const { return what(); }
};

// `text` without the blanks (spaces and tabs) at both ends.
inline std::string_view TrimBlanks(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}
