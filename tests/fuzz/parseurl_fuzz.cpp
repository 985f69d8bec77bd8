// The HTTP client's URL parsing on arbitrary text: it either raises Exception or leaves a
// request path, a port and a host that a request can be built from.
#include "fuzzsupport.h"
#include "net/sock/nmhttp.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::StartApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One client for the whole run: each one opens a socket.
    static TNMHTTP http;
    const AnsiString previousHost = "previous.host";
    http.URL = fuzzsupport::Bytes(data, size);
    http.Host = previousHost;
    http.Port = 0;
    try {
        http.ParseURL();
    } catch (const Exception&) {
        return 0;
    }
    FUZZ_CHECK(!http.RequestPath.empty() && http.RequestPath.front() == '/');
    FUZZ_CHECK(http.RequestPath.size() <= 256);
    FUZZ_CHECK(http.Port >= 0 && http.Port <= 65535);
    // A URL without a host of its own goes to the current one.
    FUZZ_CHECK(http.Host == previousHost ||
               (!http.Host.empty() && http.Host.find_first_of("/:") == AnsiString::npos));
    return 0;
}
