// The form-data encoder on arbitrary bytes: its output is made only of characters that stand
// for themselves in a form body, and decodes back to the input.
#include <algorithm>

#include "fuzzsupport.h"
#include "net/sock/nmurl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TNMURL encoder;
    encoder.InputString = fuzzsupport::Bytes(data, size);
    bool failed = false;
    encoder.OnError = [&](QObject*, const AnsiString&, const AnsiString&) { failed = true; };
    const AnsiString encoded = encoder.Encode();
    FUZZ_CHECK(!failed);
    FUZZ_CHECK(std::all_of(encoded.begin(), encoded.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               c == '+' || c == '%';
    }));
    FUZZ_CHECK(fuzzsupport::PercentDecoded(encoded, true) == encoder.InputString);
    return 0;
}
