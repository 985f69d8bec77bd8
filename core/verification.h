// Whether what the wizard installs is what the publisher made: SHA-256 digests of the update
// files in the manifest's [SHA256] section, and a detached Ed25519 signature over the exact
// bytes of the manifest. The wizard checks with these functions and the publisher's tool
// (tools/publish) makes what they check, so both sides read and write the same texts.
//
// Texts: digests are 64 hexadecimal digits (either case when read, lower case when made);
// keys and signatures are Base64 with the standard alphabet and padding, and blanks and line
// ends inside them are ignored when read. Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/inifile.h"
#include "platform/text.h"

namespace verification {

// The manifest section that maps file names (as they stand before the first ";" of an entry
// value) to digests.
inline constexpr const char* kDigestSection = "SHA256";
// The signature of Version.ini, published beside it.
inline constexpr const char* kSignatureFileName = "Version.ini.sig";

// The SHA-256 digest of the file's bytes as 64 lower-case hexadecimal digits, read piece by
// piece; nothing when the file cannot be read.
std::optional<AnsiString> FileDigest(const AnsiString& path);
// The SHA-256 digest of `bytes`, written as FileDigest writes it.
std::string Digest(std::string_view bytes);
// True for exactly what Digest writes: 64 lower-case hexadecimal digits.
bool IsDigestText(std::string_view text);

// The SHA-256 digest of bytes handed over piece by piece, for a caller that has them in hand
// anyway (a file it is writing) and would otherwise read them again.
class StreamDigest {
public:
    StreamDigest();
    ~StreamDigest();
    StreamDigest(const StreamDigest&) = delete;
    StreamDigest& operator=(const StreamDigest&) = delete;

    void Add(const char* data, size_t size);
    // 64 lower-case hexadecimal digits of everything added. Ends the digest: call it once.
    AnsiString Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

enum class FileCheck {
    Unlisted,  // the manifest lists no digest for the file: it is taken as it is
    Matches,   // every digest listed for it is the file's
    Fails,     // a listed digest differs, is no digest at all, or the file cannot be read
};

// Checks the file at `path` against every [SHA256] value of `manifest` whose key is
// `fileName` (in any letter case, like every INI name). A value that is present is a promise:
// an empty or malformed one fails rather than counting as absent, and so does a name listed
// twice with differing digests, whichever comes first.
FileCheck CheckFile(const TIniFile& manifest, const AnsiString& fileName, const AnsiString& path);
// The same for the digests listed for the file, as a journal hands them out.
FileCheck CheckFile(const std::vector<AnsiString>& listedDigests, const AnsiString& path);

// The same for a digest already made (FileDigest, StreamDigest) of the bytes in question.
FileCheck CheckDigest(const std::vector<AnsiString>& listedDigests, const AnsiString& digest);

// True when `signatureText` is a detached Ed25519 signature of exactly `message` made with
// the secret key of `publicKeyText`. Texts that are not Base64 of the right length are false.
bool SignatureIsValid(std::string_view message, std::string_view signatureText,
                      std::string_view publicKeyText);

// Public keys in their one spelling (IsPublicKeyText), so that a set finds a key whatever file
// named it.
using KeySet = std::set<std::string>;

// True when `text` is an Ed25519 public key spelt as NewKeyPair spells it: 44 Base64
// characters, no blank, the unused bits zero. Files that name keys take no other spelling, so
// that one key never passes for two.
bool IsPublicKeyText(std::string_view text);

struct KeyPair {
    std::string publicKey;  // Base64, for the build setting SENDRIFT_MANIFEST_KEY
    std::string secretKey;  // Base64, for Sign; to be kept secret
};

// A new random Ed25519 key pair; nothing when the system gives no randomness.
std::optional<KeyPair> NewKeyPair();

// A number drawn evenly from 0 to 2^32 - 1 from the system's random source; nothing when the
// system gives no randomness.
std::optional<uint32_t> RandomNumber();

// The Base64 signature of `message`; nothing when `secretKeyText` is not a secret key.
std::optional<std::string> Sign(std::string_view message, std::string_view secretKeyText);

// The public key (as IsPublicKeyText spells it) that goes with a secret key; nothing when
// `secretKeyText` is not a secret key.
std::optional<std::string> PublicKeyOf(std::string_view secretKeyText);

}  // namespace verification
