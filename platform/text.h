// Text as the system keeps it: bytes in the product's code page (GBK).
//
// Versions are compared byte for byte and lengths are byte counts, so code-page text stays
// in std::string everywhere above this layer. Conversion to Unicode happens only at the
// edges (screen, file paths, command lines), in codepage.h.
#pragma once

#include <stdexcept>
#include <string>

using AnsiString = std::string;

// The error every component raises. Its message is code-page text, shown as it is by the
// framework's default error box.
class Exception : public std::runtime_error {
public:
    explicit Exception(const AnsiString& message) : std::runtime_error(message) {}
    AnsiString Message() const { return what(); }
};
