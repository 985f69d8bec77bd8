// The version check's trust in one place, for a build with manifest keys: which keys sign the
// update now, whether the rotation records must be fetched, whether the freshness statement is
// accepted, what the installation remembers afterwards, and whether a manifest is signed by a
// key trusted now. The caller fetches the files and keeps the state file; these functions
// decide and say why. Any thread.
//
// The keys trusted are the build's keys and those learned by rotation, less those retired.
// A statement is accepted as freshness::Check says, after the rotation records it announces
// have been followed (keyrotation::Follow). Once a statement is accepted, its key is learned
// (unless the build lists it), every key that was rotated away from on the way to it is
// retired, and its serial becomes the floor for its update folder; none of that changes when it
// is refused.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/freshness.h"
#include "core/updaterstate.h"
#include "core/verification.h"

namespace trust {

// The keys of the build setting SENDRIFT_MANIFEST_KEY: public keys separated by commas, with
// blanks allowed around each; empty text is no keys (the build takes unsigned updates).
// Nothing, with `error` saying which, when an item is no public key (IsPublicKeyText) or a
// key is listed twice. CMakeLists.txt checks the setting by the same rules.
std::optional<std::vector<std::string>> KeysFromList(std::string_view list, std::string* error);

// The build's keys and those learned, less those retired.
verification::KeySet TrustedKeys(const std::vector<std::string>& buildKeys,
                                 const UpdaterState& state);

// Whether Version.keys must be fetched before the statement is checked: the statement
// announces rotation records that this installation has not followed. False for text that is
// no statement: its check says why.
bool NeedsRotationRecords(std::string_view statementText, const UpdaterState& state);

struct Freshness {
    freshness::Verdict verdict;
    // Rotation records that were not followed, each for sendrift.log under Version.keys,
    // whether or not the statement was accepted.
    std::vector<std::string> rotationRefusals;
    // When accepted: the state to save before anything else of the check is believed.
    UpdaterState state;
    // When accepted: the keys that may sign the manifest, Version.ini.sig.
    verification::KeySet trusted;
};

// The freshness check of the update folder `updateFolderUrl` (the key of its serial in the
// state): `statementText` and `rotationText` as the server sent Version.txt.fresh and
// Version.keys (nothing when it had none or they were not fetched), `versionText` as it sent
// Version.txt.
Freshness CheckFreshness(const std::vector<std::string>& buildKeys, const UpdaterState& state,
                         const std::string& updateFolderUrl,
                         const std::optional<std::string>& statementText,
                         std::string_view versionText,
                         const std::optional<std::string>& rotationText, utctime::Moment now);

// The key of `trusted` for which `signatureText` is a signature of exactly `manifest`; nothing
// when there is none.
std::optional<std::string> ManifestSigner(std::string_view manifest, std::string_view signatureText,
                                          const verification::KeySet& trusted);

}  // namespace trust
