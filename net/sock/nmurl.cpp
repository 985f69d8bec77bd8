#include "net/sock/nmurl.h"

#include <exception>

namespace {

bool PassesUnchanged(unsigned char byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z');
}

AnsiString EncodeBytes(const AnsiString& text) {
    static const char kHexDigits[] = "0123456789abcdef";
    AnsiString encoded;
    encoded.reserve(text.size() * 3);
    for (unsigned char byte : text) {
        if (PassesUnchanged(byte)) {
            encoded += static_cast<char>(byte);
        } else if (byte == ' ') {
            encoded += '+';
        } else {
            encoded += '%';
            encoded += kHexDigits[byte >> 4];
            encoded += kHexDigits[byte & 15];
        }
    }
    return encoded;
}

}  // namespace

AnsiString TNMURL::Encode() const {
    try {
        return EncodeBytes(InputString);
    } catch (const std::exception& error) {
        if (OnError) OnError(const_cast<TNMURL*>(this), "Error during encode", error.what());
        return InputString;
    }
}
