// Which certificate authorities the program trusts, for every HTTPS connection it makes.
//
// Both HTTP clients (the libcurl-backed download component and the socket client) ask this one
// rule, so that a server one of them accepts is never refused by the other.
#pragma once

#include <string>

// Where the trusted authorities are. Both empty: the system's store.
struct TrustedAuthorities {
    std::string file;    // a PEM bundle
    std::string folder;  // a hashed folder of PEM certificates (c_rehash layout)

    bool SystemStore() const { return file.empty() && folder.empty(); }
    bool operator==(const TrustedAuthorities&) const = default;
};

// `explicitFile`, when not empty, alone. Otherwise SSL_CERT_FILE and SSL_CERT_DIR from the
// process environment, when either is set and not empty. Otherwise the system's store.
// Reads the environment at each call; safe on any thread that does not change it meanwhile.
TrustedAuthorities TrustedAuthoritiesFor(const std::string& explicitFile = "");
