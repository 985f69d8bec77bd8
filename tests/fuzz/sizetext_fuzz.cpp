// SizeText on arbitrary text: a decimal integer gives display text, anything else raises
// Exception; no other outcome is allowed.
#include <regex>

#include "core/displaytext.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::regex kilobytes(R"(\d{1,3}(,\d{3})*\.\dKB)");
    const AnsiString text = fuzzsupport::Bytes(data, size);
    AnsiString shown;
    try {
        shown = SizeText(text);
    } catch (const Exception&) {
        return 0;
    }
    FUZZ_CHECK(shown == text || std::regex_match(shown, kilobytes));
    return 0;
}
