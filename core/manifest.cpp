#include "core/manifest.h"

#include <algorithm>

#include "platform/codepage.h"

namespace {
constexpr size_t kMaxTargetFolder = 20;
}  // namespace

AnsiString EntryFileName(const AnsiString& value) {
    const size_t semicolon = value.find(';');
    return semicolon == AnsiString::npos ? AnsiString() : value.substr(0, semicolon);
}

bool IsCopyEntry(const AnsiString& value) {
    const size_t semicolon = value.find(';');
    return semicolon != AnsiString::npos && semicolon + 1 < value.size() &&
           value[semicolon + 1] == '0';
}

AnsiString EntryTargetFolder(const AnsiString& value) {
    const size_t marker = value.find(";;");
    if (marker == AnsiString::npos || marker == 0) return {};
    return value.substr(marker + 2, kMaxTargetFolder);
}

bool IsSafeRelativeName(const AnsiString& name) {
    if (name.size() >= 2 && name[1] == ':') return false;
    if (std::any_of(name.begin(), name.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        }))
        return false;
    size_t segmentStart = 0;
    for (;;) {
        const size_t end = platform::FindSeparator(name, segmentStart);
        const AnsiString segment = name.substr(segmentStart, end - segmentStart);
        // An empty first segment is a leading separator: an absolute name.
        if (segment == ".." || (segmentStart == 0 && segment.empty() && end != AnsiString::npos))
            return false;
        if (end == AnsiString::npos) return true;
        segmentStart = end + 1;
    }
}

bool IsSafeEntry(const AnsiString& value) {
    return IsSafeRelativeName(EntryFileName(value)) && IsSafeRelativeName(EntryTargetFolder(value));
}
