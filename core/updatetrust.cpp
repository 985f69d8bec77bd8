#include "core/updatetrust.h"

#include <algorithm>

#include "core/keyrotation.h"

namespace trust {

std::optional<std::vector<std::string>> KeysFromList(std::string_view list, std::string* error) {
    std::vector<std::string> keys;
    if (list.empty()) return keys;
    for (size_t start = 0;;) {
        const size_t comma = list.find(',', start);
        const std::string key(TrimBlanks(list.substr(start, comma - start)));
        if (!verification::IsPublicKeyText(key)) {
            *error = "item " + std::to_string(keys.size() + 1) + " \"" + key +
                     "\" is no Ed25519 public key in Base64";
            return std::nullopt;
        }
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
            *error = "the key " + key + " is listed twice";
            return std::nullopt;
        }
        keys.push_back(key);
        if (comma == std::string_view::npos) return keys;
        start = comma + 1;
    }
}

verification::KeySet TrustedKeys(const std::vector<std::string>& buildKeys,
                                 const UpdaterState& state) {
    verification::KeySet trusted(buildKeys.begin(), buildKeys.end());
    trusted.insert(state.learnedKeys.begin(), state.learnedKeys.end());
    for (const std::string& key : state.retiredKeys) trusted.erase(key);
    return trusted;
}

bool NeedsRotationRecords(std::string_view statementText, const UpdaterState& state) {
    std::string error;
    const std::optional<freshness::Statement> statement = freshness::Read(statementText, &error);
    // Even when the statement's key is trusted already (a build that lists both keys), the
    // record that leads to it is what retires the old key.
    return statement && statement->rotations > state.rotationsFollowed;
}

namespace {

// `signer` and every key from which records followed in `followed` led to it.
verification::KeySet WayTo(const std::string& signer,
                           const std::vector<std::pair<std::string, std::string>>& followed) {
    verification::KeySet way{signer};
    // Until nothing is added: a record may lead back into a key trusted before it.
    for (size_t known = 0; known != way.size();) {
        known = way.size();
        for (const auto& [oldKey, newKey] : followed)
            if (way.count(newKey)) way.insert(oldKey);
    }
    return way;
}

}  // namespace

Freshness CheckFreshness(const std::vector<std::string>& buildKeys, const UpdaterState& state,
                         const std::string& updateFolderUrl,
                         const std::optional<std::string>& statementText,
                         std::string_view versionText,
                         const std::optional<std::string>& rotationText, utctime::Moment now) {
    Freshness result;
    std::string error;
    const std::optional<freshness::Statement> announced =
        statementText ? freshness::Read(*statementText, &error) : std::nullopt;
    const uint64_t rotations = announced ? announced->rotations : 0;
    // An unreadable statement follows nothing: its check below refuses it.
    keyrotation::Following following =
        keyrotation::Follow(rotationText, state.rotationsFollowed, rotations,
                            TrustedKeys(buildKeys, state), state.retiredKeys);
    result.rotationRefusals = std::move(following.refusals);
    result.verdict = freshness::Check(statementText, versionText, following.trusted,
                                      state.HighestSerial(updateFolderUrl), now);
    if (!result.verdict.Accepted()) return result;

    const freshness::Statement& accepted = result.verdict.statement;
    result.state = state;
    uint64_t& floor = result.state.highestSerials[updateFolderUrl];
    floor = std::max(floor, accepted.serial);
    // A record refused now is met again by the next check, which may find it mended.
    if (result.rotationRefusals.empty())
        result.state.rotationsFollowed = std::max(state.rotationsFollowed, accepted.rotations);
    // A key the build lists is not learned: a later build that drops it stops trusting it.
    if (std::find(buildKeys.begin(), buildKeys.end(), accepted.signingKey) == buildKeys.end())
        result.state.learnedKeys.insert(accepted.signingKey);
    for (const std::string& key : WayTo(accepted.signingKey, following.followed)) {
        if (key == accepted.signingKey) continue;
        result.state.learnedKeys.erase(key);
        result.state.retiredKeys.insert(key);
    }
    result.trusted = TrustedKeys(buildKeys, result.state);
    return result;
}

std::optional<std::string> ManifestSigner(std::string_view manifest, std::string_view signatureText,
                                          const verification::KeySet& trusted) {
    for (const std::string& key : trusted)
        if (verification::SignatureIsValid(manifest, signatureText, key)) return key;
    return std::nullopt;
}

}  // namespace trust
