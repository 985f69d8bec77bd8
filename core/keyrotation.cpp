#include "core/keyrotation.h"

#include "core/namedlines.h"

namespace keyrotation {
namespace {

constexpr std::string_view kFirstLine = "sendrift-rotation 1\n";

// The bytes both signatures of a record cover.
std::string SignedPart(uint64_t sequence, std::string_view oldKey, std::string_view newKey) {
    using namedlines::Line;
    return std::string(kFirstLine) + Line("sequence", std::to_string(sequence)) +
           Line("old", oldKey) + Line("new", newKey);
}

std::string Named(const Record& record) {
    return "record " + std::to_string(record.sequence) + " (" + record.oldKey + " to " +
           record.newKey + ")";
}

}  // namespace

std::optional<Record> Make(uint64_t sequence, std::string_view oldSecretKey,
                           std::string_view newSecretKey) {
    Record record;
    record.sequence = sequence;
    std::optional<std::string> oldKey = verification::PublicKeyOf(oldSecretKey);
    std::optional<std::string> newKey = verification::PublicKeyOf(newSecretKey);
    if (sequence == 0 || sequence > uint64_t(INT64_MAX) || !oldKey || !newKey) return std::nullopt;
    record.oldKey = *oldKey;
    record.newKey = *newKey;
    const std::string signedPart = SignedPart(sequence, record.oldKey, record.newKey);
    record.oldSignature = *verification::Sign(signedPart, oldSecretKey);
    record.newSignature = *verification::Sign(signedPart, newSecretKey);
    return record;
}

std::string Text(const Record& record) {
    return SignedPart(record.sequence, record.oldKey, record.newKey) +
           namedlines::Line("old-signature", record.oldSignature) +
           namedlines::Line("new-signature", record.newSignature);
}

std::optional<std::vector<Record>> ReadChain(std::string_view text, std::string* error) {
    namedlines::Reader lines(text);
    std::vector<Record> chain;
    while (!lines.AtEnd()) {
        const std::string where = lines.Where();
        const std::optional<std::string_view> first = lines.TakeLine(error);
        if (!first) return std::nullopt;
        if (*first != kFirstLine.substr(0, kFirstLine.size() - 1)) {
            *error = where + " does not begin a record (\"sendrift-rotation 1\")";
            return std::nullopt;
        }
        Record record;
        std::optional<uint64_t> sequence;
        std::optional<std::string_view> oldKey, newKey, oldSignature, newSignature;
        if (!(sequence = lines.TakeCount("sequence", error)) ||
            !(oldKey = lines.Take("old", verification::IsPublicKeyText, "public key", error)) ||
            !(newKey = lines.Take("new", verification::IsPublicKeyText, "public key", error)) ||
            !(oldSignature = lines.Take("old-signature", error)) ||
            !(newSignature = lines.Take("new-signature", error)))
            return std::nullopt;
        if (*sequence != chain.size() + 1) {
            *error = "record " + std::to_string(chain.size() + 1) + " has the sequence " +
                     std::to_string(*sequence);
            return std::nullopt;
        }
        chain.push_back({*sequence, std::string(*oldKey), std::string(*newKey),
                         std::string(*oldSignature), std::string(*newSignature)});
    }
    return chain;
}

std::optional<std::string> SignatureRefusal(const Record& record) {
    const std::string signedPart = SignedPart(record.sequence, record.oldKey, record.newKey);
    const bool byOld =
        verification::SignatureIsValid(signedPart, record.oldSignature, record.oldKey);
    const bool byNew =
        verification::SignatureIsValid(signedPart, record.newSignature, record.newKey);
    if (byOld && byNew) return std::nullopt;
    if (byOld) return Named(record) + " is signed by its old key only";
    if (byNew) return Named(record) + " is signed by its new key only";
    return Named(record) + " is signed by neither of its keys";
}

Following Follow(const std::optional<std::string>& chainText, uint64_t alreadyFollowed,
                 uint64_t announced, verification::KeySet trusted,
                 const verification::KeySet& retired) {
    Following following;
    following.trusted = std::move(trusted);
    if (announced <= alreadyFollowed) return following;
    const std::string wanted =
        "records " + std::to_string(alreadyFollowed + 1) + " to " + std::to_string(announced);
    if (announced - alreadyFollowed > kMaxFollowedAtOnce) {
        following.refusals.push_back(wanted + " are to be followed, more than " +
                                     std::to_string(kMaxFollowedAtOnce) +
                                     " at once; this installation needs a newer build");
        return following;
    }
    if (!chainText) {
        following.refusals.push_back(wanted + " are to be followed, and the server has none");
        return following;
    }
    std::string error;
    const std::optional<std::vector<Record>> chain = ReadChain(*chainText, &error);
    if (!chain) {
        following.refusals.push_back("no chain of rotation records: " + error);
        return following;
    }
    if (chain->size() < announced) {
        following.refusals.push_back(wanted + " are to be followed, and the server has " +
                                     std::to_string(chain->size()));
        return following;
    }
    for (uint64_t i = alreadyFollowed; i < announced; ++i) {
        const Record& record = (*chain)[i];
        if (!following.trusted.count(record.oldKey)) continue;
        if (std::optional<std::string> refusal = SignatureRefusal(record)) {
            following.refusals.push_back(*refusal);
        } else if (retired.count(record.newKey)) {
            following.refusals.push_back(Named(record) +
                                         " leads to a key retired here; it is not taken again");
        } else {
            following.trusted.insert(record.newKey);
            following.followed.emplace_back(record.oldKey, record.newKey);
        }
    }
    return following;
}

}  // namespace keyrotation
