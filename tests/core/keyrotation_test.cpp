#include "core/keyrotation.h"

#include <gtest/gtest.h>

namespace {

class KeyRotation : public ::testing::Test {
protected:
    std::string Record(uint64_t sequence, const verification::KeyPair& from,
                       const verification::KeyPair& to) const {
        return keyrotation::Text(*keyrotation::Make(sequence, from.secretKey, to.secretKey));
    }
    const verification::KeyPair a_ = *verification::NewKeyPair(), b_ = *verification::NewKeyPair(),
                                c_ = *verification::NewKeyPair();
};

TEST_F(KeyRotation, AChainReadsBackAsWrittenAndNothingElseReads) {
    const std::string first = Record(1, a_, b_), text = first + Record(2, b_, c_);
    std::string error;
    const auto chain = keyrotation::ReadChain(text, &error);
    ASSERT_TRUE(chain) << error;
    ASSERT_EQ(chain->size(), 2u);
    EXPECT_EQ((*chain)[0].oldKey, a_.publicKey);
    EXPECT_EQ((*chain)[1].newKey, c_.publicKey);
    EXPECT_EQ(keyrotation::Text((*chain)[0]) + keyrotation::Text((*chain)[1]), text);
    for (const auto& [broken, says] : std::vector<std::pair<std::string, std::string>>{
             {Record(2, b_, c_), "record 1 has the sequence 2"},
             {text.substr(0, text.size() - 1), "line 12 has no line end"},
             {text + "\n", "line 13 does not begin a record"},
         }) {
        EXPECT_FALSE(keyrotation::ReadChain(broken, &error));
        EXPECT_NE(error.find(says), std::string::npos) << says << ": " << error;
    }
}

// A thief of the new key alone, or of the old key alone, cannot make the other signature.
TEST_F(KeyRotation, ARecordSignedByOneKeyOnlyIsRefused) {
    keyrotation::Record oldOnly = *keyrotation::Make(1, a_.secretKey, b_.secretKey);
    keyrotation::Record newOnly = oldOnly, neither = oldOnly;
    oldOnly.newSignature = keyrotation::Make(1, a_.secretKey, c_.secretKey)->newSignature;
    newOnly.oldSignature = *verification::Sign("other bytes", a_.secretKey);
    neither.oldSignature = oldOnly.newSignature;
    neither.newSignature = newOnly.oldSignature;
    for (const auto& [record, says] : {std::pair{oldOnly, "is signed by its old key only"},
                                       std::pair{newOnly, "is signed by its new key only"},
                                       std::pair{neither, "is signed by neither of its keys"}}) {
        const keyrotation::Following following =
            keyrotation::Follow(keyrotation::Text(record), 0, 1, {a_.publicKey}, {});
        EXPECT_EQ(following.trusted, verification::KeySet{a_.publicKey}) << says;
        EXPECT_EQ(following.refusals,
                  std::vector<std::string>{"record 1 (" + a_.publicKey + " to " + b_.publicKey +
                                           ") " + says});
    }
}

TEST_F(KeyRotation, WhatIsNotFollowed) {
    std::string thirtyThree;
    for (uint64_t sequence = 1; sequence <= 33; ++sequence) thirtyThree += Record(sequence, a_, b_);
    const struct {
        const char* name;
        std::optional<std::string> chain;
        uint64_t from, to;
        const char* says;  // nothing: passed over without a word
        verification::KeySet retired = {};
    } cases[] = {
        {"more than 32 at once", thirtyThree, 0, 33,
         "records 1 to 33 are to be followed, more than 32 at once"},
        {"fewer than announced", Record(1, a_, b_), 0, 2, "and the server has 1"},
        {"none on the server", std::nullopt, 0, 1, "and the server has none"},
        {"unreadable", "junk\n", 0, 1, "no chain of rotation records: line 1"},
        {"a record to a key retired here",
         Record(1, a_, b_),
         0,
         1,
         "leads to a key retired",
         {b_.publicKey}},
        {"a record from a key not trusted", Record(1, c_, b_), 0, 1, nullptr},
        {"a record followed before", Record(1, a_, b_), 1, 1, nullptr},
        {"a record not announced yet", Record(1, a_, b_), 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        const keyrotation::Following following =
            keyrotation::Follow(c.chain, c.from, c.to, {a_.publicKey}, c.retired);
        EXPECT_EQ(following.trusted, verification::KeySet{a_.publicKey}) << c.name;
        ASSERT_EQ(following.refusals.size(), c.says ? 1u : 0u) << c.name;
        if (c.says) {
            EXPECT_NE(following.refusals[0].find(c.says), std::string::npos)
                << following.refusals[0];
        }
    }
    EXPECT_EQ(keyrotation::Follow(thirtyThree, 1, 33, {a_.publicKey}, {}).followed.size(), 32u)
        << "32 at once are followed";
}

}  // namespace
