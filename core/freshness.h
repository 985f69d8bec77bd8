// The freshness statement: a small signed file published beside Version.txt that tells an
// installation, under one of the publisher's keys, which Version.txt is current, which
// manifest it leads to, how recent the statement is and until when it may be believed.
// Version.txt itself stays unsigned and byte for byte what it always was; the statement is what
// stops a server, a mirror or a proxy from freezing installations on yesterday's answer or
// from replaying an older signed release.
//
// Version.txt.fresh is ASCII with LF line ends, exactly these lines in this order:
//
//   sendrift-freshness 1
//   version-sha256 <SHA-256 of Version.txt's bytes, 64 lower-case hexadecimal digits>
//   manifest-sha256 <SHA-256 of the Version.ini that Version.txt leads to>
//   serial <1 to 2^63 - 1: larger in every later statement>
//   expires <UTC, YYYY-MM-DDTHH:MM:SSZ>
//   rotations <how many records Version.keys held when this was signed (keyrotation.h)>
//   key <the Ed25519 public key that signs it, Base64>
//   signature <Ed25519 signature by that key of every byte before this line, Base64>
//
// Numbers are decimal without leading zeros. Every function may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/utctime.h"
#include "core/verification.h"

namespace freshness {

inline constexpr const char* kFileName = "Version.txt.fresh";

// How far the installation's clock may be behind the publisher's: a statement is believed
// until this long after it expires.
inline constexpr std::chrono::seconds kClockSkew{3600};

struct Statement {
    std::string versionDigest;   // of Version.txt
    std::string manifestDigest;  // of Version.ini
    uint64_t serial = 0;
    utctime::Moment expires;
    uint64_t rotations = 0;
    std::string signingKey;  // the public key named by the statement
};

// The statement's text, signed with `secretKeyText`; its key line names the secret key's
// public key (`statement.signingKey` is not read). Nothing when the secret key is none, or
// when a field cannot be written (a digest that is no digest, a serial of 0 or above 2^63 - 1,
// an expiry outside the years 1970 to 9999).
std::optional<std::string> Make(const Statement& statement, std::string_view secretKeyText);

// The statement's fields as written, its signature not yet checked: for telling which key
// signs it before the keys it needs are gathered, and for the publisher's tool. Nothing for
// text that is not exactly the form above, with `error` saying which line is wrong.
std::optional<Statement> Read(std::string_view text, std::string* error);
// Read, for a statement whose signature holds for the key it names, whichever key that is.
std::optional<Statement> ReadSigned(std::string_view text, std::string* error);

// Why a statement is refused. Each refusal ends the version check: nothing is downloaded.
enum class Refusal {
    None,              // accepted
    Missing,           // the server had none
    Unreadable,        // not the form above
    NotTrusted,        // signed by a key that is not trusted, or the signature does not hold
    OtherVersionText,  // it names other Version.txt bytes than the server sent
    Expired,           // more than kClockSkew past its expiry
    OlderSerial,       // its serial is below the highest this installation has accepted
};

struct Verdict {
    Refusal refusal = Refusal::None;
    // Why it was refused, for sendrift.log under kFileName; empty when accepted.
    std::string reason;
    // The accepted statement; empty fields when refused.
    Statement statement;

    bool Accepted() const { return refusal == Refusal::None; }
};

// Checks, in this order, that the statement is there and readable, that its key is one of
// `trusted` and its signature holds, that it names exactly `versionText` (the bytes of
// Version.txt as the server sent them), that `now` is at most kClockSkew past its expiry, and
// that its serial is at least `highestSerial` (the same statement fetched again is no replay).
// `statementText` is nothing when the server had no statement.
Verdict Check(const std::optional<std::string>& statementText, std::string_view versionText,
              const verification::KeySet& trusted, uint64_t highestSerial, utctime::Moment now);

// Nothing when `manifest` (the bytes of Version.ini as they arrived) is the manifest the
// accepted statement names; otherwise why it is refused, for sendrift.log under Version.ini.
// A manifest of another release, however well signed, is refused here.
std::optional<std::string> ManifestRefusal(const Statement& accepted, std::string_view manifest);

}  // namespace freshness
