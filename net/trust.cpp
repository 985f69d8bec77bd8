#include "net/trust.h"

#include <cstdlib>

namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

TrustedAuthorities TrustedAuthoritiesFor(const std::string& explicitFile) {
    if (!explicitFile.empty()) return {explicitFile, ""};
    return {Variable("SSL_CERT_FILE"), Variable("SSL_CERT_DIR")};
}
