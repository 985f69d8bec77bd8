// The manifest entry grammar on arbitrary values, and the promise the installer relies on: a
// name that IsSafeRelativeName accepts, appended to a folder, stays inside that folder once it
// is a real path (decoded from the code page, separators turned into "/").
#include <string_view>
#include <vector>

#include "core/manifest.h"
#include "fuzzsupport.h"
#include "platform/codepage.h"

namespace {

// Whether the native relative path, appended to a folder, still lies inside it when "." and
// ".." segments are resolved the way the file system resolves them.
bool StaysInside(std::string_view native) {
    int depth = 0;
    while (!native.empty()) {
        const size_t slash = native.find('/');
        const std::string_view segment = native.substr(0, slash);
        native.remove_prefix(slash == std::string_view::npos ? native.size() : slash + 1);
        if (segment == "..") {
            if (--depth < 0) return false;
        } else if (!segment.empty() && segment != ".") {
            ++depth;
        }
    }
    return true;
}

void CheckSafetyPromise(const AnsiString& name) {
    if (!IsSafeRelativeName(name)) return;
    const std::string native = platform::NativePath(name);
    FUZZ_CHECK(native.empty() || native.front() != '/');
    FUZZ_CHECK(StaysInside(native));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const AnsiString value = fuzzsupport::Bytes(data, size);
    const size_t semicolon = value.find(';');

    const AnsiString name = EntryFileName(value);
    FUZZ_CHECK(semicolon == AnsiString::npos ? name.empty() : name == value.substr(0, semicolon));
    FUZZ_CHECK(IsCopyEntry(value) ==
               (semicolon != AnsiString::npos && value.compare(semicolon, 2, ";0") == 0));
    const AnsiString target = EntryTargetFolder(value);
    FUZZ_CHECK(target.size() <= 20);
    FUZZ_CHECK(target.empty() || value.find(";;" + target) != AnsiString::npos);

    for (const AnsiString& candidate : {value, name, target}) CheckSafetyPromise(candidate);
    return 0;
}
