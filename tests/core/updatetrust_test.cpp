#include "core/updatetrust.h"

#include <gtest/gtest.h>

#include "core/keyrotation.h"

namespace {

using namespace std::chrono_literals;
using verification::KeyPair;

TEST(TrustKeyList, TheBuildSettingIsSplitAndEveryKeyChecked) {
    const std::string a = verification::NewKeyPair()->publicKey;
    const std::string b = verification::NewKeyPair()->publicKey;
    std::string error;
    EXPECT_EQ(trust::KeysFromList("", &error), std::vector<std::string>{});
    EXPECT_EQ(trust::KeysFromList(a, &error), std::vector<std::string>{a});
    EXPECT_EQ(trust::KeysFromList(a + " , " + b, &error), (std::vector<std::string>{a, b}));
    for (const auto& [list, says] : std::vector<std::pair<std::string, std::string>>{
             {a + ",", "item 2 \"\""},
             {a + "," + a, "is listed twice"},
             {a + ";" + b, "item 1"},
             {a.substr(0, 43) + "A", "item 1"},
         }) {
        EXPECT_FALSE(trust::KeysFromList(list, &error)) << list;
        EXPECT_NE(error.find(says), std::string::npos) << error;
    }
}

// The publisher's keys A, B and C, and an installation built with A.
class TrustFlow : public ::testing::Test {
protected:
    std::string Statement(const KeyPair& by, uint64_t serial, uint64_t rotations) const {
        freshness::Statement s;
        s.versionDigest = verification::Digest(kVersion);
        s.manifestDigest = verification::Digest(kManifest);
        s.serial = serial;
        s.rotations = rotations;
        s.expires = now_ + 24h;
        return *freshness::Make(s, by.secretKey);
    }
    std::string Rotation(uint64_t sequence, const KeyPair& from, const KeyPair& to) const {
        return keyrotation::Text(*keyrotation::Make(sequence, from.secretKey, to.secretKey));
    }
    trust::Freshness Check(const std::string& statement,
                           const std::optional<std::string>& rotations = std::nullopt) const {
        return trust::CheckFreshness(build_, state_, kFolder, statement, kVersion, rotations, now_);
    }

    static constexpr const char* kVersion = "2.0";
    static constexpr const char* kManifest = "[VERSION]\r\nVERSION=2.0\r\n";
    static inline const std::string kFolder = "http://h/Update/";
    const KeyPair a_ = *verification::NewKeyPair(), b_ = *verification::NewKeyPair(),
                  c_ = *verification::NewKeyPair();
    std::vector<std::string> build_{a_.publicKey};
    UpdaterState state_;
    const utctime::Moment now_ = utctime::Now();
};

TEST_F(TrustFlow, AnAcceptedStatementRaisesTheFloorOfItsFolderOnly) {
    EXPECT_FALSE(trust::NeedsRotationRecords(Statement(a_, 7, 0), build_, state_));
    trust::Freshness accepted = Check(Statement(a_, 7, 0));
    ASSERT_TRUE(accepted.verdict.Accepted()) << accepted.verdict.reason;
    EXPECT_EQ(accepted.state.highestSerials, (std::map<std::string, uint64_t>{{kFolder, 7}}));
    EXPECT_TRUE(accepted.state.learnedKeys.empty()) << "a key of the build is not learned";
    EXPECT_EQ(accepted.trusted, verification::KeySet{a_.publicKey});

    state_ = accepted.state;
    EXPECT_EQ(Check(Statement(a_, 6, 0)).verdict.refusal, freshness::Refusal::OlderSerial);
    // A pilot group's folder counts serials of its own.
    EXPECT_TRUE(trust::CheckFreshness(build_, state_, "http://h/Update/pilot/", Statement(a_, 6, 0),
                                      kVersion, std::nullopt, now_)
                    .verdict.Accepted());
}

TEST_F(TrustFlow, AnInstallationThatSleptThroughTwoRotationsCatchesUpInOneCheck) {
    const std::string chain = Rotation(1, a_, b_) + Rotation(2, b_, c_);
    const std::string byC = Statement(c_, 9, 2);
    ASSERT_TRUE(trust::NeedsRotationRecords(byC, build_, state_));
    const trust::Freshness caughtUp = Check(byC, chain);
    ASSERT_TRUE(caughtUp.verdict.Accepted()) << caughtUp.verdict.reason;
    EXPECT_TRUE(caughtUp.rotationRefusals.empty());
    EXPECT_EQ(caughtUp.state.learnedKeys, verification::KeySet{c_.publicKey});
    EXPECT_EQ(caughtUp.state.retiredKeys, (verification::KeySet{a_.publicKey, b_.publicKey}));
    EXPECT_EQ(caughtUp.state.rotationsFollowed, 2u);
    EXPECT_EQ(caughtUp.trusted, verification::KeySet{c_.publicKey});
    // The manifest's signature: only by a key trusted now.
    for (const KeyPair* signer : {&a_, &b_, &c_}) {
        const std::string signature = *verification::Sign(kManifest, signer->secretKey);
        EXPECT_EQ(trust::ManifestSigner(kManifest, signature, caughtUp.trusted),
                  signer == &c_ ? std::optional(c_.publicKey) : std::nullopt);
    }

    // The next check needs no records, and the old key is refused even though the build lists
    // it: whoever stole it cannot lead the installation back.
    state_ = caughtUp.state;
    EXPECT_FALSE(trust::NeedsRotationRecords(Statement(c_, 10, 2), build_, state_));
    EXPECT_TRUE(Check(Statement(c_, 10, 2)).verdict.Accepted());
    const trust::Freshness stolen = Check(Statement(a_, 99, 0), chain);
    EXPECT_EQ(stolen.verdict.refusal, freshness::Refusal::NotTrusted);
    EXPECT_NE(stolen.verdict.reason.find(a_.publicKey), std::string::npos);
}

// A build that already lists the new key still retires the old one once it sees the record.
TEST_F(TrustFlow, ARecordBetweenTwoKeysOfTheBuildRetiresTheOldOne) {
    build_ = {a_.publicKey, b_.publicKey};
    const std::string byB = Statement(b_, 3, 1);
    ASSERT_TRUE(trust::NeedsRotationRecords(byB, build_, state_));
    const trust::Freshness accepted = Check(byB, Rotation(1, a_, b_));
    ASSERT_TRUE(accepted.verdict.Accepted()) << accepted.verdict.reason;
    EXPECT_EQ(accepted.state.retiredKeys, verification::KeySet{a_.publicKey});
    EXPECT_TRUE(accepted.state.learnedKeys.empty());
}

TEST_F(TrustFlow, AHalfSignedRecordLeadsNowhereAndChangesNothing) {
    keyrotation::Record halfSigned = *keyrotation::Make(1, a_.secretKey, b_.secretKey);
    halfSigned.newSignature = *verification::Sign("something else", b_.secretKey);
    const trust::Freshness refused = Check(Statement(b_, 3, 1), keyrotation::Text(halfSigned));
    EXPECT_EQ(refused.verdict.refusal, freshness::Refusal::NotTrusted);
    ASSERT_EQ(refused.rotationRefusals.size(), 1u);
    EXPECT_NE(refused.rotationRefusals[0].find("signed by its old key only"), std::string::npos);
    EXPECT_EQ(refused.state, UpdaterState{}) << "nothing to save";
}

}  // namespace
