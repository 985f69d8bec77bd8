// Key rotation: how the publisher moves installations from one signing key to the next
// without a new build. Each rotation is a record that names the key signed with until then
// (old) and the key signed with from then on (new), signed by both, so that neither a thief of
// the old key alone nor one of the new key alone can make one. The records are published in
// order, one file for the whole chain, beside the freshness statement.
//
// Version.keys is ASCII with LF line ends: the records one after the other, each these lines:
//
//   sendrift-rotation 1
//   sequence <1 for the first record, one more for each next>
//   old <Ed25519 public key, Base64>
//   new <Ed25519 public key, Base64>
//   old-signature <signature by the old key of the record's first four lines, Base64>
//   new-signature <signature by the new key of the same bytes, Base64>
//
// Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/verification.h"

namespace keyrotation {

inline constexpr const char* kFileName = "Version.keys";

// Records followed in one check at most: an installation that slept through more needs a new
// build, and a file of thousands of records costs no more than 64 signature checks.
inline constexpr uint64_t kMaxFollowedAtOnce = 32;

struct Record {
    uint64_t sequence = 0;
    std::string oldKey, newKey;
    std::string oldSignature, newSignature;
};

// The record `sequence` from the key of `oldSecretKey` to the key of `newSecretKey`, signed by
// both. Nothing when either is no secret key or `sequence` is 0.
std::optional<Record> Make(uint64_t sequence, std::string_view oldSecretKey,
                           std::string_view newSecretKey);

// The record's lines as Version.keys holds them.
std::string Text(const Record& record);

// Every record of a Version.keys text, in order. Nothing for text that is not exactly records
// of the form above with the sequence 1, 2, 3, ..., with `error` saying where.
std::optional<std::vector<Record>> ReadChain(std::string_view text, std::string* error);

// Nothing when both signatures of the record hold; otherwise why not, naming the record.
std::optional<std::string> SignatureRefusal(const Record& record);

struct Following {
    verification::KeySet trusted;  // `trusted` and every key reached
    // (old, new) of each record followed, in order.
    std::vector<std::pair<std::string, std::string>> followed;
    // Why records were not followed, each for sendrift.log under kFileName.
    std::vector<std::string> refusals;
};

// Follows records `alreadyFollowed` + 1 to `announced` of `chain` (text as the server sent it;
// nothing when it had none) from the keys of `trusted`, in order: a record whose old key is
// trusted at that point and whose signatures both hold makes its new key trusted. A record
// from a key that is not trusted is passed over; one that is signed by one key only, or that
// leads to a key of `retired`, is refused and passed over. Refused as a whole, following
// nothing: a chain that cannot be read, that holds fewer than `announced` records, or that
// asks for more than kMaxFollowedAtOnce records at once.
Following Follow(const std::optional<std::string>& chain, uint64_t alreadyFollowed,
                 uint64_t announced, verification::KeySet trusted,
                 const verification::KeySet& retired);

}  // namespace keyrotation
