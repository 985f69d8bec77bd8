// Values fixed when the program is built.
#pragma once

namespace BuildSettings {

// The program's version, as --version prints it and the Debian package carries it.
extern const char* const Version;

// The update server asked when setup.ini names none (scheme and host, no trailing slash).
extern const char* const ServerUrl;

// The Ed25519 public key (Base64) whose signature the manifest must carry; empty when
// manifests are taken unsigned.
extern const char* const ManifestKey;

}  // namespace BuildSettings
