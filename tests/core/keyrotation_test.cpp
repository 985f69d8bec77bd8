#include "core/keyrotation.h"

#include <gtest/gtest.h>

namespace {

using verification::KeyPair;

class KeyRotation : public ::testing::Test {
protected:
    std::string Chain(std::initializer_list<std::pair<const KeyPair*, const KeyPair*>> steps) {
        std::string text;
        uint64_t sequence = 0;
        for (const auto& [from, to] : steps)
            text +=
                keyrotation::Text(*keyrotation::Make(++sequence, from->secretKey, to->secretKey));
        return text;
    }
    const KeyPair a_ = *verification::NewKeyPair(), b_ = *verification::NewKeyPair(),
                  c_ = *verification::NewKeyPair();
};

TEST_F(KeyRotation, RecordsReadBackAsWritten) {
    const keyrotation::Record first = *keyrotation::Make(1, a_.secretKey, b_.secretKey);
    EXPECT_EQ(first.oldKey, a_.publicKey);
    EXPECT_EQ(first.newKey, b_.publicKey);
    EXPECT_EQ(keyrotation::SignatureRefusal(first), std::nullopt);
    const std::string text = keyrotation::Text(first) +
                             keyrotation::Text(*keyrotation::Make(2, b_.secretKey, c_.secretKey));
    std::string error;
    const auto chain = keyrotation::ReadChain(text, &error);
    ASSERT_TRUE(chain) << error;
    ASSERT_EQ(chain->size(), 2u);
    EXPECT_EQ(keyrotation::Text((*chain)[0]) + keyrotation::Text((*chain)[1]), text);
    EXPECT_EQ(keyrotation::ReadChain("", &error)->size(), 0u);

    for (const auto& [broken, says] : std::vector<std::pair<std::string, std::string>>{
             {Chain({{&a_, &b_}, {&b_, &c_}}).substr(keyrotation::Text(first).size()),
              "record 1 has the sequence 2"},
             {text.substr(0, text.size() - 1), "line 12 has no line end"},
             {text + "\n", "line 13 does not begin a record"},
             {keyrotation::Text(first).substr(0, keyrotation::Text(first).find("new-signature")),
              "the text ends before line 6"},
         }) {
        EXPECT_FALSE(keyrotation::ReadChain(broken, &error));
        EXPECT_NE(error.find(says), std::string::npos) << says << ": " << error;
    }
}

// An installation that slept through two rotations catches up in one check.
TEST_F(KeyRotation, AChainIsFollowedInOrderFromATrustedKey) {
    const std::string chain = Chain({{&a_, &b_}, {&b_, &c_}});
    const keyrotation::Following both = keyrotation::Follow(chain, 0, 2, {a_.publicKey}, {});
    EXPECT_EQ(both.trusted, (verification::KeySet{a_.publicKey, b_.publicKey, c_.publicKey}));
    EXPECT_EQ(both.followed.size(), 2u);
    EXPECT_TRUE(both.refusals.empty());

    // Records after the announced ones, before the followed ones and from untrusted keys are
    // not followed.
    EXPECT_EQ(keyrotation::Follow(chain, 0, 1, {a_.publicKey}, {}).trusted,
              (verification::KeySet{a_.publicKey, b_.publicKey}));
    EXPECT_EQ(keyrotation::Follow(chain, 1, 2, {a_.publicKey}, {}).trusted,
              verification::KeySet{a_.publicKey});
    EXPECT_TRUE(keyrotation::Follow(chain, 0, 2, {c_.publicKey}, {}).followed.empty());
}

TEST_F(KeyRotation, ARecordSignedByOneKeyOnlyIsRefused) {
    keyrotation::Record oldOnly = *keyrotation::Make(1, a_.secretKey, b_.secretKey);
    keyrotation::Record newOnly = oldOnly, neither = oldOnly;
    // A thief of the new key alone, or of the old key alone, cannot make the other signature.
    oldOnly.newSignature = keyrotation::Make(1, a_.secretKey, c_.secretKey)->newSignature;
    newOnly.oldSignature = *verification::Sign("other bytes", a_.secretKey);
    neither.oldSignature = neither.newSignature;
    neither.newSignature = oldOnly.newSignature;
    for (const auto& [record, says] : {std::pair{oldOnly, "is signed by its old key only"},
                                       std::pair{newOnly, "is signed by its new key only"},
                                       std::pair{neither, "is signed by neither of its keys"}}) {
        const keyrotation::Following following =
            keyrotation::Follow(keyrotation::Text(record), 0, 1, {a_.publicKey}, {});
        EXPECT_EQ(following.trusted, verification::KeySet{a_.publicKey}) << says;
        ASSERT_EQ(following.refusals.size(), 1u);
        EXPECT_EQ(following.refusals[0],
                  "record 1 (" + a_.publicKey + " to " + b_.publicKey + ") " + says);
    }
}

TEST_F(KeyRotation, RefusedAsAWhole) {
    const std::string one = Chain({{&a_, &b_}});
    std::string thirtyThree;
    for (uint64_t sequence = 1; sequence <= 33; ++sequence)
        thirtyThree += keyrotation::Text(*keyrotation::Make(sequence, a_.secretKey, b_.secretKey));
    const struct {
        const char* name;
        std::optional<std::string> chain;
        uint64_t from, to;
        const char* says;
    } cases[] = {
        {"more than 32 at once", thirtyThree, 0, 33,
         "records 1 to 33 are to be followed, more "
         "than 32 at once"},
        {"fewer than announced", one, 0, 2, "and the server has 1"},
        {"none on the server", std::nullopt, 0, 1, "and the server has none"},
        {"unreadable", "junk\n", 0, 1, "no chain of rotation records: line 1"},
    };
    for (const auto& c : cases) {
        const keyrotation::Following following =
            keyrotation::Follow(c.chain, c.from, c.to, {a_.publicKey}, {});
        EXPECT_EQ(following.trusted, verification::KeySet{a_.publicKey}) << c.name;
        ASSERT_EQ(following.refusals.size(), 1u) << c.name;
        EXPECT_NE(following.refusals[0].find(c.says), std::string::npos) << following.refusals[0];
    }
    // 32 at once are followed.
    EXPECT_EQ(keyrotation::Follow(thirtyThree, 1, 33, {a_.publicKey}, {}).followed.size(), 32u);
    // A key retired here is never taken again, however well the record is signed.
    const keyrotation::Following retired =
        keyrotation::Follow(one, 0, 1, {a_.publicKey}, {b_.publicKey});
    EXPECT_EQ(retired.trusted, verification::KeySet{a_.publicKey});
    EXPECT_EQ(retired.refusals.size(), 1u);
}

}  // namespace
