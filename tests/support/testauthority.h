// TestAuthority: a certificate authority made at test time with the openssl program, and the
// server certificates it issues, for HTTPS servers on 127.0.0.1.
//
//   testsupport::TestAuthority ca(folder);                      // folder/ca.pem, folder/ca.key
//   auto good = ca.Issue("good", "IP:127.0.0.1,DNS:localhost");  // valid for two days
//   auto old = ca.Issue("old", "IP:127.0.0.1", -1);             // expired yesterday
//   ScopedEnvironment trust("SSL_CERT_FILE", ca.CertificateFile());
//
// Keys are P-256 so that making them is quick. Failures raise std::runtime_error with the
// command that failed.
#pragma once

#include <string>

#include "support/scriptedhttpserver.h"

namespace testsupport {

class TestAuthority {
public:
    // Makes the authority's key and self-signed certificate in `folder` (which must exist),
    // under the file names `name`.pem and `name`.key.
    explicit TestAuthority(std::string folder, std::string name = "ca");

    std::string CertificateFile() const { return folder_ + "/" + name_ + ".pem"; }
    // A server certificate for `subjectAltName` (openssl syntax), valid from now for `days`
    // days; a negative count gives one that has expired. Files: `name`.pem and `name`.key.
    TlsIdentity Issue(const std::string& name, const std::string& subjectAltName,
                      int days = 2) const;

private:
    std::string folder_;
    std::string name_;
};

// Sets (or with nullptr unsets) one environment variable for its lifetime, then restores it.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const char* value);
    ScopedEnvironment(std::string name, const std::string& value)
        : ScopedEnvironment(std::move(name), value.c_str()) {}
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    bool wasSet_ = false;
    std::string previous_;
};

}  // namespace testsupport
