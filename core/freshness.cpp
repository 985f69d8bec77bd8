#include "core/freshness.h"

#include "core/namedlines.h"

namespace freshness {
namespace {

constexpr std::string_view kFirstLine = "sendrift-freshness 1\n";

struct Parsed {
    Statement statement;
    std::string_view signedPart;
    std::string_view signature;
};

bool IsExpiry(std::string_view text) {
    return utctime::Parse(text).has_value();
}

std::optional<Parsed> Parse(std::string_view text, std::string* error) {
    if (!text.starts_with(kFirstLine)) {
        *error =
            "line 1 is not \"" + std::string(kFirstLine.substr(0, kFirstLine.size() - 1)) + "\"";
        return std::nullopt;
    }
    namedlines::Reader lines(text);
    Parsed parsed;
    Statement& s = parsed.statement;
    std::optional<std::string_view> version, manifest, expires, key, signature;
    std::optional<uint64_t> serial, rotations;
    if (!lines.TakeLine(error) ||
        !(version = lines.Take("version-sha256", verification::IsDigestText, "digest", error)) ||
        !(manifest = lines.Take("manifest-sha256", verification::IsDigestText, "digest", error)) ||
        !(serial = lines.TakeCount("serial", error)) ||
        !(expires = lines.Take("expires", IsExpiry, "UTC time (YYYY-MM-DDTHH:MM:SSZ)", error)) ||
        !(rotations = lines.TakeCount("rotations", error)) ||
        !(key = lines.Take("key", verification::IsPublicKeyText, "public key", error)))
        return std::nullopt;
    parsed.signedPart = lines.Consumed();
    if (!(signature = lines.Take("signature", error))) return std::nullopt;
    if (!lines.AtEnd()) {
        *error = lines.Where() + " follows the signature";
        return std::nullopt;
    }
    if (*serial == 0) {
        *error = "line 4: the serial is 0; serials start at 1";
        return std::nullopt;
    }
    s.versionDigest = *version;
    s.manifestDigest = *manifest;
    s.serial = *serial;
    s.expires = *utctime::Parse(*expires);
    s.rotations = *rotations;
    s.signingKey = *key;
    parsed.signature = *signature;
    return parsed;
}

bool SignatureHolds(const Parsed& parsed) {
    return verification::SignatureIsValid(parsed.signedPart, parsed.signature,
                                          parsed.statement.signingKey);
}

Verdict Refused(Refusal refusal, std::string reason) {
    Verdict verdict;
    verdict.refusal = refusal;
    verdict.reason = std::move(reason);
    return verdict;
}

}  // namespace

std::optional<std::string> Make(const Statement& s, std::string_view secretKeyText) {
    const std::optional<std::string> key = verification::PublicKeyOf(secretKeyText);
    if (!key || !verification::IsDigestText(s.versionDigest) ||
        !verification::IsDigestText(s.manifestDigest) || s.serial == 0 ||
        s.serial > uint64_t(INT64_MAX) || s.rotations > uint64_t(INT64_MAX) ||
        !utctime::Parse(utctime::Format(s.expires)))
        return std::nullopt;
    using namedlines::Line;
    std::string text(kFirstLine);
    text += Line("version-sha256", s.versionDigest);
    text += Line("manifest-sha256", s.manifestDigest);
    text += Line("serial", std::to_string(s.serial));
    text += Line("expires", utctime::Format(s.expires));
    text += Line("rotations", std::to_string(s.rotations));
    text += Line("key", *key);
    const std::optional<std::string> signature = verification::Sign(text, secretKeyText);
    if (!signature) return std::nullopt;
    return text + Line("signature", *signature);
}

std::optional<Statement> Read(std::string_view text, std::string* error) {
    std::optional<Parsed> parsed = Parse(text, error);
    if (!parsed) return std::nullopt;
    return parsed->statement;
}

std::optional<Statement> ReadSigned(std::string_view text, std::string* error) {
    std::optional<Parsed> parsed = Parse(text, error);
    if (!parsed) return std::nullopt;
    if (!SignatureHolds(*parsed)) {
        *error = "its signature does not hold for the key " + parsed->statement.signingKey;
        return std::nullopt;
    }
    return parsed->statement;
}

Verdict Check(const std::optional<std::string>& statementText, std::string_view versionText,
              const verification::KeySet& trusted, uint64_t highestSerial, utctime::Moment now) {
    if (!statementText)
        return Refused(Refusal::Missing,
                       "the server has none; a build with a manifest key takes no version "
                       "without one");
    std::string error;
    const std::optional<Parsed> parsed = Parse(*statementText, &error);
    if (!parsed) return Refused(Refusal::Unreadable, "no freshness statement: " + error);
    const Statement& s = parsed->statement;

    if (!trusted.count(s.signingKey))
        return Refused(Refusal::NotTrusted,
                       "signed by the key " + s.signingKey + ", which is not trusted here");
    if (!SignatureHolds(*parsed))
        return Refused(Refusal::NotTrusted,
                       "its signature does not hold for the key " + s.signingKey);
    if (const std::string sent = verification::Digest(versionText); sent != s.versionDigest)
        return Refused(Refusal::OtherVersionText, "it names the Version.txt with SHA-256 " +
                                                      s.versionDigest +
                                                      ", the server sent one with SHA-256 " + sent);
    if (now > s.expires + kClockSkew)
        return Refused(Refusal::Expired, "it expired at " + utctime::Format(s.expires) +
                                             "; this computer's time " + utctime::Format(now) +
                                             " is more than " + utctime::Span(kClockSkew) +
                                             " later, the most a wrong clock is allowed");
    if (s.serial < highestSerial)
        return Refused(Refusal::OlderSerial,
                       "its serial " + std::to_string(s.serial) + " is below the serial " +
                           std::to_string(highestSerial) +
                           " accepted before: an older statement is being served again");
    Verdict verdict;
    verdict.statement = s;
    return verdict;
}

std::optional<std::string> ManifestRefusal(const Statement& accepted, std::string_view manifest) {
    const std::string digest = verification::Digest(manifest);
    if (digest == accepted.manifestDigest) return std::nullopt;
    return "its SHA-256 is " + digest + ", " + kFileName + " names the manifest with SHA-256 " +
           accepted.manifestDigest + ": a manifest of another release";
}

}  // namespace freshness
