#include "core/freshness.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using freshness::Refusal;

class FreshnessCheck : public ::testing::Test {
protected:
    freshness::Statement Fields(uint64_t serial = 10) const {
        freshness::Statement s;
        s.versionDigest = verification::Digest(version_);
        s.manifestDigest = verification::Digest(manifest_);
        s.serial = serial;
        s.expires = expires_;
        return s;
    }
    std::string Signed(const freshness::Statement& s, const verification::KeyPair& by) const {
        return freshness::Make(s, by.secretKey).value();
    }
    freshness::Verdict Check(const std::optional<std::string>& text, uint64_t highest = 10,
                             utctime::Moment now = {}) const {
        return freshness::Check(text, version_, {key_.publicKey}, highest,
                                now == utctime::Moment{} ? expires_ - 1s : now);
    }

    const verification::KeyPair key_ = *verification::NewKeyPair();
    const verification::KeyPair other_ = *verification::NewKeyPair();
    const std::string version_ = "2.0";
    const std::string manifest_ = "[VERSION]\r\nVERSION=2.0\r\n";
    const utctime::Moment expires_ = *utctime::Parse("2026-12-17T08:00:00Z");
};

TEST_F(FreshnessCheck, TheStatementOfTheServedVersionTextIsAccepted) {
    const std::string text = Signed(Fields(), key_);
    EXPECT_EQ(text.substr(0, text.find("signature ")),
              "sendrift-freshness 1\nversion-sha256 " + verification::Digest("2.0") +
                  "\nmanifest-sha256 " + verification::Digest(manifest_) +
                  "\nserial 10\nexpires 2026-12-17T08:00:00Z\nrotations 0\nkey " + key_.publicKey +
                  "\n");
    const freshness::Verdict verdict = Check(text);
    ASSERT_TRUE(verdict.Accepted()) << verdict.reason;
    EXPECT_EQ(verdict.statement.serial, 10u);
    EXPECT_EQ(verdict.statement.signingKey, key_.publicKey);
    EXPECT_EQ(verdict.statement.expires, expires_);
}

// Every refusal, and the cases just inside each boundary.
TEST_F(FreshnessCheck, EachRefusalSaysWhy) {
    const std::string good = Signed(Fields(), key_);
    auto edited = [&](const std::string& from, const std::string& to,
                      std::string text = std::string()) {
        if (text.empty()) text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    freshness::Statement otherVersion = Fields();
    otherVersion.versionDigest = verification::Digest("2.0\r\n");
    const struct {
        const char* name;
        std::optional<std::string> text;
        uint64_t highest;
        utctime::Moment now;
        Refusal refusal;
        std::string says;
    } cases[] = {
        {"none on the server", std::nullopt, 10, {}, Refusal::Missing, "the server has none"},
        {"empty", "", 10, {}, Refusal::Unreadable, "line 1 is not \"sendrift-freshness 1\""},
        {"CR LF line ends", edited("\n", "\r\n"), 10, {}, Refusal::Unreadable, "line 1"},
        {"a line after the signature",
         good + "more\n",
         10,
         {},
         Refusal::Unreadable,
         "line 9 follows the signature"},
        {"cut before the signature",
         good.substr(0, good.find("signature")),
         10,
         {},
         Refusal::Unreadable,
         "the text ends before line 8"},
        {"a serial with a leading zero",
         edited("serial 10", "serial 010"),
         10,
         {},
         Refusal::Unreadable,
         "line 4: \"010\" is no count"},
        {"an upper-case digest",
         edited("version-sha256 ", "version-sha256 F"),
         10,
         {},
         Refusal::Unreadable,
         "line 2"},
        {"signed by another key",
         Signed(Fields(), other_),
         10,
         {},
         Refusal::NotTrusted,
         "which is not trusted here"},
        {"another key's signature under the trusted key's name",
         edited(other_.publicKey, key_.publicKey, Signed(Fields(), other_)),
         10,
         {},
         Refusal::NotTrusted,
         "does not hold"},
        {"the serial raised after signing",
         edited("serial 10", "serial 99"),
         10,
         {},
         Refusal::NotTrusted,
         "does not hold"},
        {"another Version.txt",
         Signed(otherVersion, key_),
         10,
         {},
         Refusal::OtherVersionText,
         "the server sent one with SHA-256 " + verification::Digest("2.0")},
        {"expired one hour and a second ago", good, 10, expires_ + 3601s, Refusal::Expired,
         "it expired at 2026-12-17T08:00:00Z; this computer's time 2026-12-17T09:00:01Z is "
         "more than 1 hour later"},
        {"expired one hour ago: a clock that is wrong", good, 10, expires_ + 3600s, Refusal::None,
         ""},
        {"a serial below one accepted before",
         good,
         11,
         {},
         Refusal::OlderSerial,
         "its serial 10 is below the serial 11 accepted before"},
        {"the same serial again", good, 10, {}, Refusal::None, ""},
    };
    for (const auto& c : cases) {
        const freshness::Verdict verdict = Check(c.text, c.highest, c.now);
        EXPECT_EQ(verdict.refusal, c.refusal) << c.name << ": " << verdict.reason;
        EXPECT_NE(verdict.reason.find(c.says), std::string::npos)
            << c.name << ": " << verdict.reason;
        EXPECT_EQ(verdict.reason.empty(), c.refusal == Refusal::None) << c.name;
    }
}

// Mix and match: a genuine statement, and a genuine signed manifest of another release.
TEST_F(FreshnessCheck, OnlyTheManifestTheStatementNamesIsTaken) {
    const freshness::Verdict verdict = Check(Signed(Fields(), key_));
    ASSERT_TRUE(verdict.Accepted());
    EXPECT_EQ(freshness::ManifestRefusal(verdict.statement, manifest_), std::nullopt);
    const std::string older = "[VERSION]\r\nVERSION=1.9\r\n";
    const std::optional<std::string> refusal = freshness::ManifestRefusal(verdict.statement, older);
    ASSERT_TRUE(refusal);
    EXPECT_NE(refusal->find(verification::Digest(older)), std::string::npos) << *refusal;
    EXPECT_NE(refusal->find("a manifest of another release"), std::string::npos);
}

}  // namespace
