#include "tools/publish/statement.h"

#include <iostream>

#include "core/inifile.h"
#include "core/namedlines.h"
#include "core/verification.h"
#include "platform/files.h"
#include "tools/publish/common.h"

namespace publish {
namespace {

constexpr std::chrono::seconds kLongestValidity = std::chrono::hours(366 * 24);

std::string ChainText(const std::vector<keyrotation::Record>& chain) {
    std::string text;
    for (const keyrotation::Record& record : chain) text += keyrotation::Text(record);
    return text;
}

}  // namespace

PublishedFolder ReadPublishedFolder(const AnsiString& out) {
    PublishedFolder folder;
    folder.versionText = ReadOrFail(JoinPath(out, "Version.txt"));
    folder.manifest = ReadOrFail(JoinPath(out, "Version.ini"));
    const AnsiString leadsTo =
        TIniFile(JoinPath(out, "Version.ini")).ReadEntry("VERSION", "VERSION");
    if (leadsTo != folder.versionText)
        throw Failure{"Version.txt in " + PrintablePath(out) + " says \"" +
                      Printable(folder.versionText) + "\", its manifest leads to \"" +
                      Printable(leadsTo) +
                      "\"; a statement would vouch for what no installation takes"};
    folder.chain = ReadChainFile(JoinPath(out, keyrotation::kFileName));
    folder.statement = ReadStatementFile(JoinPath(out, freshness::kFileName));
    return folder;
}

void RefuseForeignManifest(const AnsiString& out, const PublishedFolder& folder,
                           const SecretKey& key) {
    RefuseKeyOutsideChain(folder.chain, key.publicKey, JoinPath(out, keyrotation::kFileName));
    const std::optional<std::string> signature =
        platform::ReadWholeFile(JoinPath(out, verification::kSignatureFileName));
    if (!signature || !verification::SignatureIsValid(folder.manifest, *signature, key.publicKey))
        throw Failure{std::string(verification::kSignatureFileName) + " in " + PrintablePath(out) +
                      " is no signature of Version.ini by " + key.publicKey +
                      "; only a release signed by that key is signed anew with it"};
}

std::optional<std::chrono::seconds> ParseValidity(std::string_view text) {
    if (text.empty() || (text.back() != 'd' && text.back() != 'h')) return std::nullopt;
    const uint64_t hoursPerUnit = text.back() == 'd' ? 24 : 1;
    const std::optional<uint64_t> count = namedlines::Count(text.substr(0, text.size() - 1));
    if (!count || *count == 0 || *count * hoursPerUnit > uint64_t(kLongestValidity.count() / 3600))
        return std::nullopt;
    return std::chrono::hours(*count * hoursPerUnit);
}

uint64_t NextSerial(const std::optional<freshness::Statement>& previous, utctime::Moment now) {
    const uint64_t signingTime = uint64_t(std::max<int64_t>(1, now.time_since_epoch().count()));
    return previous ? std::max(previous->serial + 1, signingTime) : signingTime;
}

std::vector<keyrotation::Record> ReadChainFile(const AnsiString& path) {
    platform::ReadFailure failure;
    const std::optional<std::string> text = platform::ReadWholeFile(path, &failure);
    if (!text) {
        if (failure == platform::ReadFailure::Missing) return {};
        throw Failure{"cannot read " + Printable(platform::ErrorText(path))};
    }
    std::string error;
    std::optional<std::vector<keyrotation::Record>> chain = keyrotation::ReadChain(*text, &error);
    if (!chain) throw Failure{PrintablePath(path) + ": " + error};
    for (const keyrotation::Record& record : *chain)
        if (const std::optional<std::string> refusal = keyrotation::SignatureRefusal(record))
            throw Failure{PrintablePath(path) + ": " + *refusal};
    return *chain;
}

void RefuseKeyOutsideChain(const std::vector<keyrotation::Record>& chain,
                           const std::string& publicKey, const AnsiString& chainPath) {
    if (chain.empty() || chain.back().newKey == publicKey) return;
    for (const keyrotation::Record& record : chain)
        if (record.oldKey == publicKey)
            throw Failure{"the key " + publicKey + " was rotated away from by record " +
                          std::to_string(record.sequence) + " of " + PrintablePath(chainPath) +
                          "; sign with its newest key, " + chain.back().newKey};
    throw Failure{"the key " + publicKey + " is not the newest key of " + PrintablePath(chainPath) +
                  ", " + chain.back().newKey + "; installations that followed it trust no other"};
}

std::optional<freshness::Statement> ReadStatementFile(const AnsiString& path) {
    platform::ReadFailure failure;
    const std::optional<std::string> text = platform::ReadWholeFile(path, &failure);
    if (!text) {
        if (failure == platform::ReadFailure::Missing) return std::nullopt;
        throw Failure{"cannot read " + Printable(platform::ErrorText(path))};
    }
    std::string error;
    std::optional<freshness::Statement> statement = freshness::ReadSigned(*text, &error);
    if (!statement)
        throw Failure{PrintablePath(path) + ": " + error +
                      "; its serial, which the next statement must exceed, is unknown"};
    return statement;
}

std::string MakeStatement(std::string_view versionText, std::string_view manifest,
                          const std::optional<freshness::Statement>& previous, uint64_t rotations,
                          std::chrono::seconds validity, const std::string& secretKey) {
    const utctime::Moment now = utctime::Now();
    freshness::Statement fields;
    fields.versionDigest = verification::Digest(versionText);
    fields.manifestDigest = verification::Digest(manifest);
    fields.serial = NextSerial(previous, now);
    fields.expires = now + validity;
    fields.rotations = rotations;
    const std::optional<std::string> statement = freshness::Make(fields, secretKey);
    if (!statement)
        throw Failure{"cannot sign a statement with serial " + std::to_string(fields.serial)};
    return *statement;
}

std::string Describe(const freshness::Statement& statement, utctime::Moment now) {
    const std::string until = "serial " + std::to_string(statement.serial) + ", valid until " +
                              utctime::Format(statement.expires);
    if (statement.expires < now)
        return until + " (expired " + utctime::Span(now - statement.expires) + " ago)";
    return until + " (" + utctime::Span(statement.expires - now) + " from now)";
}

std::string Describe(std::string_view statementText) {
    std::string error;
    const std::optional<freshness::Statement> statement = freshness::Read(statementText, &error);
    return statement ? Describe(*statement, utctime::Now()) : error;
}

std::optional<StatementOptions> ParseStatementOptions(int argc, char* argv[], bool rotate) {
    StatementOptions o;
    bool haveOut = false, haveKey = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--key" && hasValue) {
            o.secretKey = CodePagePath(argv[++i]);
            haveKey = true;
        } else if (arg == "--new" && hasValue && rotate) {
            o.newSecretKey = CodePagePath(argv[++i]);
        } else if (arg == "--expires" && hasValue) {
            const std::optional<std::chrono::seconds> validity = ParseValidity(argv[++i]);
            if (!validity) return std::nullopt;
            o.validity = *validity;
        } else if (!arg.starts_with("--") && !haveOut) {
            o.out = CodePagePath(argv[i]);
            haveOut = true;
        } else {
            return std::nullopt;
        }
    }
    if (!haveOut || !haveKey || rotate != o.newSecretKey.has_value()) return std::nullopt;
    return o;
}

void Refresh(const StatementOptions& o) {
    const SecretKey key = ReadSecretKey(o.secretKey);
    const PublishedFolder folder = ReadPublishedFolder(o.out);
    RefuseForeignManifest(o.out, folder, key);

    const std::string statement =
        MakeStatement(folder.versionText, folder.manifest, folder.statement, folder.chain.size(),
                      o.validity, key.secret);
    WriteOrFail(JoinPath(o.out, freshness::kFileName), statement);
    std::cout << freshness::kFileName << ": " << Describe(statement) << "\n";
}

void Rotate(const StatementOptions& o) {
    const SecretKey oldKey = ReadSecretKey(o.secretKey);
    const SecretKey newKey = ReadSecretKey(*o.newSecretKey);
    if (oldKey.publicKey == newKey.publicKey)
        throw Failure{"--key and --new are the same key, " + newKey.publicKey};
    PublishedFolder folder = ReadPublishedFolder(o.out);
    const AnsiString chainPath = JoinPath(o.out, keyrotation::kFileName);
    const std::string where = " in " + PrintablePath(o.out);
    if (!folder.statement)
        throw Failure{std::string("no ") + freshness::kFileName + where +
                      "; publish the release with --key first"};
    if (folder.statement->signingKey == newKey.publicKey)
        throw Failure{std::string(freshness::kFileName) + where +
                      " is signed by the new key already: the rotation is done"};
    if (folder.statement->signingKey != oldKey.publicKey)
        throw Failure{std::string(freshness::kFileName) + where + " is signed by " +
                      folder.statement->signingKey + ", not by the old key " + oldKey.publicKey};
    // The statement vouches for the release; re-signing anything else with the new key would
    // bless a manifest the publisher never made.
    if (folder.statement->versionDigest != verification::Digest(folder.versionText) ||
        folder.statement->manifestDigest != verification::Digest(folder.manifest))
        throw Failure{std::string(freshness::kFileName) + where +
                      " names another Version.txt or Version.ini than the folder holds; "
                      "refresh it with the old key first"};

    const bool cutOff = !folder.chain.empty() && folder.chain.back().oldKey == oldKey.publicKey &&
                        folder.chain.back().newKey == newKey.publicKey;
    if (!cutOff) {
        RefuseKeyOutsideChain(folder.chain, oldKey.publicKey, chainPath);
        for (const keyrotation::Record& record : folder.chain)
            if (record.oldKey == newKey.publicKey || record.newKey == newKey.publicKey)
                throw Failure{"the new key was used by record " + std::to_string(record.sequence) +
                              " of " + PrintablePath(chainPath) + "; rotate to a key never used"};
        folder.chain.push_back(
            *keyrotation::Make(folder.chain.size() + 1, oldKey.secret, newKey.secret));
    }
    const std::optional<std::string> signature = verification::Sign(folder.manifest, newKey.secret);
    const std::string statement =
        MakeStatement(folder.versionText, folder.manifest, folder.statement, folder.chain.size(),
                      o.validity, newKey.secret);

    // The chain first: an installation that reads the folder meanwhile never meets the new key
    // without the record that leads to it.
    WriteOrFail(chainPath, ChainText(folder.chain));
    WriteOrFail(JoinPath(o.out, verification::kSignatureFileName), *signature + "\n");
    WriteOrFail(JoinPath(o.out, freshness::kFileName), statement);
    std::cout << keyrotation::kFileName << ": record " << folder.chain.size() << " from "
              << oldKey.publicKey << " to " << newKey.publicKey << "\n"
              << verification::kSignatureFileName << " and " << freshness::kFileName
              << " signed by " << newKey.publicKey << "\n"
              << freshness::kFileName << ": " << Describe(statement) << "\n";
}

}  // namespace publish
