// How files are addressed on the update server and sized from a response head, on arbitrary
// names and heads. A URL path must be plain printable ASCII that cannot end the path early,
// and must name exactly the file it was made from.
#include <algorithm>
#include <cstdint>

#include "core/updateserver.h"
#include "fuzzsupport.h"
#include "platform/codepage.h"

namespace {

// The name with every folder separator (never the second byte of a double-byte character)
// written as "/".
AnsiString WithUnifiedSeparators(AnsiString name) {
    for (size_t at = platform::FindSeparator(name); at != AnsiString::npos;
         at = platform::FindSeparator(name, at + 1)) {
        name[at] = '/';
    }
    return name;
}

bool IsCanonicalSize(const AnsiString& size) {
    if (size.empty() || size.size() > 10) return false;
    if (!std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    if (size.size() > 1 && size.front() == '0') return false;
    return std::stoll(size) <= INT32_MAX;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const AnsiString input = fuzzsupport::Bytes(data, size);

    const AnsiString path = UrlPathOf(input);
    FUZZ_CHECK(std::all_of(path.begin(), path.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x7F && c != '?' && c != '#' && c != '\\';
    }));
    FUZZ_CHECK(fuzzsupport::PercentDecoded(path, false) == WithUnifiedSeparators(input));

    FUZZ_CHECK(IsCanonicalSize(SizeFromHeader(input)));
    return 0;
}
