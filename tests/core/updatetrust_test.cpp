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
    EXPECT_EQ(trust::KeysFromList(a + " , " + b, &error), (std::vector<std::string>{a, b}));
    for (const std::string& list : {a + ",", a + "," + a, a + ";" + b, a.substr(0, 43) + "A"})
        EXPECT_FALSE(trust::KeysFromList(list, &error)) << list;
    EXPECT_EQ(error, "item 1 \"" + a.substr(0, 43) + "A\" is no Ed25519 public key in Base64");
}

// The publisher's keys A and B, and an installation built with A.
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
    const KeyPair a_ = *verification::NewKeyPair(), b_ = *verification::NewKeyPair();
    std::vector<std::string> build_{a_.publicKey};
    UpdaterState state_;
    const utctime::Moment now_ = utctime::Now();
};

TEST_F(TrustFlow, AnAcceptedStatementRaisesTheFloorOfItsFolderOnly) {
    EXPECT_FALSE(trust::NeedsRotationRecords(Statement(a_, 7, 0), state_));
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

// A build that already lists the new key still retires the old one once it sees the record.
TEST_F(TrustFlow, ARecordBetweenTwoKeysOfTheBuildRetiresTheOldOne) {
    build_ = {a_.publicKey, b_.publicKey};
    const std::string byB = Statement(b_, 3, 1);
    ASSERT_TRUE(trust::NeedsRotationRecords(byB, state_));
    const trust::Freshness accepted = Check(byB, Rotation(1, a_, b_));
    ASSERT_TRUE(accepted.verdict.Accepted()) << accepted.verdict.reason;
    EXPECT_EQ(accepted.state.retiredKeys, verification::KeySet{a_.publicKey});
    EXPECT_TRUE(accepted.state.learnedKeys.empty());
}

}  // namespace
