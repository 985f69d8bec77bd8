// The freshness statement and the key rotation records of an update folder (core/freshness.h,
// core/keyrotation.h): what release writes beside Version.txt with --key, and the commands that
// keep them current.
//
//   refresh OUT --key SECRETKEY [--expires DURATION]
//   rotate OUT --key OLDSECRETKEY --new NEWSECRETKEY [--expires DURATION]
//
// refresh signs a new Version.txt.fresh for OUT's Version.txt and Version.ini as they are, with
// the next serial and a new expiry; nothing else changes, so a daily cron job keeps a release
// believable. It signs only a folder whose Version.ini.sig holds for the key and whose
// Version.txt is the manifest's version, and never with a key that Version.keys has rotated
// away from.
//
// rotate appends to OUT/Version.keys a record from OLD to NEW signed by both, then signs
// Version.ini.sig and Version.txt.fresh with NEW. OUT must hold a statement signed by OLD that
// names its Version.txt and Version.ini, so only the publisher's own release is signed anew;
// NEW must be a key the chain never used. A rotation cut off after Version.keys was written is
// finished by running the same command again.
//
// DURATION is a whole number of days or hours ("7d", "36h"), from 1 hour to 366 days; the
// default is 7 days. A serial is the signing time in seconds since 1970 (UTC), or one more than
// the statement it replaces when that is larger: a release made in a new folder still outranks
// the one it replaces on the server, and a clock set back cannot lower a folder's serial.
//
// Every refusal comes before anything is written.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/freshness.h"
#include "core/keyrotation.h"
#include "platform/text.h"
#include "tools/publish/common.h"

namespace publish {

inline constexpr std::chrono::seconds kDefaultValidity = std::chrono::hours(7 * 24);

// A DURATION as above; nothing for any other text.
std::optional<std::chrono::seconds> ParseValidity(std::string_view text);

// The serial of a statement signed at `now` that replaces `previous`.
uint64_t NextSerial(const std::optional<freshness::Statement>& previous, utctime::Moment now);

// The rotation records of the Version.keys file at `path`; none when there is no file. Throws
// Failure when it cannot be read, is out of form, or holds a record not signed by both keys.
std::vector<keyrotation::Record> ReadChainFile(const AnsiString& path);

// Throws Failure when `chain` ends in another key than `publicKey`: installations that
// followed it retired every earlier key, and do not know a key it never named.
void RefuseKeyOutsideChain(const std::vector<keyrotation::Record>& chain,
                           const std::string& publicKey, const AnsiString& chainPath);

// The statement that a folder's Version.txt.fresh holds; nothing when there is none. Throws
// Failure when it cannot be read or its signature does not hold: its serial, which the next one
// must exceed, would be unknown.
std::optional<freshness::Statement> ReadStatementFile(const AnsiString& path);

// What refresh, rotate and rollout read from a published folder before they write anything.
struct PublishedFolder {
    std::string versionText, manifest;
    std::vector<keyrotation::Record> chain;
    std::optional<freshness::Statement> statement;
};

// OUT's Version.txt, Version.ini, Version.keys and Version.txt.fresh. Throws Failure when
// Version.txt or Version.ini cannot be read, Version.txt is not the manifest's version (a
// statement would vouch for what no installation takes), or as ReadChainFile and
// ReadStatementFile do.
PublishedFolder ReadPublishedFolder(const AnsiString& out);

// Throws Failure unless `key` is the newest key of the folder's chain and OUT's Version.ini.sig
// is its signature of the folder's manifest: signing anything else anew would vouch for a
// manifest that the key never signed.
void RefuseForeignManifest(const AnsiString& out, const PublishedFolder& folder,
                           const SecretKey& key);

// The signed statement for a folder, ready to be written; throws Failure when it cannot be made.
std::string MakeStatement(std::string_view versionText, std::string_view manifest,
                          const std::optional<freshness::Statement>& previous, uint64_t rotations,
                          std::chrono::seconds validity, const std::string& secretKey);

// "serial N, valid until T (7 days from now)", for what the commands print.
std::string Describe(const freshness::Statement& statement, utctime::Moment now);
// The same for a statement's text, which must be one.
std::string Describe(std::string_view statementText);

struct StatementOptions {
    AnsiString out;
    AnsiString secretKey;
    std::optional<AnsiString> newSecretKey;  // rotate only
    std::chrono::seconds validity = kDefaultValidity;
};

// The options after the word "refresh" or "rotate"; nothing when they do not make a command.
std::optional<StatementOptions> ParseStatementOptions(int argc, char* argv[], bool rotate);

void Refresh(const StatementOptions& options);
void Rotate(const StatementOptions& options);

}  // namespace publish
