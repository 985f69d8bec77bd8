#include "core/updateserver.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <string_view>


namespace {

bool MayStandInPath(unsigned char c) {
    return c > 0x20 && c < 0x7F && c != '%' && c != '#' && c != '?';
}

void AppendEncoded(AnsiString& out, unsigned char c) {
    static const char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
}

}  // namespace

AnsiString UrlPathOf(const AnsiString& fileName) {
    AnsiString path;
    for (size_t i = 0; i < fileName.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(fileName[i]);
        if (IsLeadByte(c) && i + 1 < fileName.size()) {
            // Both bytes of a double-byte character: a second byte that looks like "\" or
            // "?" is part of the character, not a separator or a query.
            AppendEncoded(path, c);
            AppendEncoded(path, static_cast<unsigned char>(fileName[++i]));
        } else if (c == '\\' || c == '/') {
            path += '/';
        } else if (MayStandInPath(c)) {
            path += static_cast<char>(c);
        } else {
            AppendEncoded(path, c);
        }
    }
    return path;
}

AnsiString SizeFromHeader(const AnsiString& header) {
    std::string_view rest = header;
    while (!rest.empty()) {
        const size_t lineEnd = rest.find('\n');
        std::string_view line = rest.substr(0, lineEnd);
        rest.remove_prefix(lineEnd == std::string_view::npos ? rest.size() : lineEnd + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos ||
            !SameTextIgnoringCase(line.substr(0, colon), "Content-Length"))
            continue;
        const std::optional<uint64_t> size = DecimalCount(line.substr(colon + 1), INT32_MAX);
        return size ? std::to_string(*size) : "0";
    }
    return "0";
}
