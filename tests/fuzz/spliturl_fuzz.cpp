// The download worker's URL splitting on arbitrary text: host and path are the text after an
// optional "http://" or "https://" (any letter case), split at the first "/".
#include <algorithm>
#include <cctype>

#include "fuzzsupport.h"
#include "net/httpget/spliturl.h"

namespace {

bool SameIgnoringCase(const AnsiString& text, const char* lower) {
    return std::equal(
        text.begin(), text.end(), lower, lower + std::char_traits<char>::length(lower),
        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const AnsiString url = fuzzsupport::Bytes(data, size);
    const Location location = SplitUrl(url);

    const AnsiString rest = location.host + location.path;
    FUZZ_CHECK(rest.size() <= url.size() &&
               url.compare(url.size() - rest.size(), rest.size(), rest) == 0);
    const AnsiString scheme = url.substr(0, url.size() - rest.size());
    FUZZ_CHECK(location.secure ? SameIgnoringCase(scheme, "https://")
                               : scheme.empty() || SameIgnoringCase(scheme, "http://"));
    FUZZ_CHECK(location.host.find('/') == AnsiString::npos);
    // Without a "/" there is no host, only a path.
    FUZZ_CHECK(rest.find('/') == AnsiString::npos ? location.host.empty()
                                                  : location.path.front() == '/');
    return 0;
}
