// Text as the system keeps it: bytes in the product's code page (GBK).
//
// Versions are compared byte for byte and lengths are byte counts, so code-page text stays
// in std::string everywhere above this layer. Conversion to Unicode happens only at the
// edges (screen, file paths, command lines), in codepage.h.
#pragma once

#include <stdexcept>
#include <cstdint>
#include <optional>
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

// A byte count as HTTP headers and the manifest write one: decimal digits only, blanks (spaces
// and tabs) around them allowed, no sign, at most `largest`. Nothing for any other text, so
// that "12a", "-5" or an overflow is never taken for some other count.
inline std::optional<uint64_t> DecimalCount(std::string_view text, uint64_t largest) {
    text = TrimBlanks(text);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = uint64_t(c - '0');
        if (value > (largest - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// True for the first byte of a GBK double-byte character. Its second byte may look like an
// ASCII letter, "\\" or "?", so code that looks for ASCII in code-page text steps over it.
inline bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// The name with its ASCII letters in lower case, double-byte characters as they are: two
// names compare equal ignoring case, as the product's INI names and HTTP header names do,
// exactly when their folded forms are equal.
inline std::string FoldedName(std::string_view name) {
    std::string folded(name);
    for (size_t i = 0; i < folded.size(); ++i) {
        if (IsLeadByte(static_cast<unsigned char>(folded[i])))
            ++i;  // the second byte may look like a letter; it belongs to the character
        else
            folded[i] = LowerAscii(folded[i]);
    }
    return folded;
}

// The same comparison without folded copies: the INI store makes it for every line it reads.
inline bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (IsLeadByte(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
            ++i;
        } else if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}
