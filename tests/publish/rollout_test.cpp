// A staged rollout as a publisher runs it: release --rollout, rollout --halt, --resume and
// --days, and verify, as programs; the published files then go through the checks an
// installation makes (core/rollout.h, core/updatetrust.h).
#include <QTemporaryDir>

#include "core/rollout.h"
#include "core/updatetrust.h"
#include "platform/codepage.h"
#include "publish/publishsupport.h"
#include "publish/publishtool.h"

namespace {

using namespace std::chrono_literals;

class RolloutTest : public ::testing::Test {
protected:
    void SetUp() override {
        v10_.Write("a.dll", "a 1.0");
        v20_.Write("a.dll", "a 2.0");
        const Outcome made = Publish({"keygen", key_});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        publicKey_ = made.out.substr(0, made.out.find('\n'));
        ASSERT_EQ(Publish({"keygen", otherKey_}).exitCode, 0);
    }
    // A release that started a day ago and grows over four days.
    QStringList Release(const QStringList& more = {}) const {
        const std::string start = utctime::Format(utctime::Now() - 24h);
        return QStringList{"release",   v20_.Path(),
                           "--version", "2.0",
                           "--from",    "1.0=" + v10_.Path(),
                           "--rollout", QString::fromStdString(start + ",4"),
                           "--out",     out_.Path()} +
               more;
    }
    rollout::Schedule Published() const {
        const rollout::Reading read =
            rollout::ReadSchedule(TIniSnapshot(platform::FromUnicode(out_.At("Version.ini"))));
        EXPECT_TRUE(read.schedule) << read.error;
        return read.schedule.value_or(rollout::Schedule{});
    }
    // What an installation built with the key makes of the folder: the statement and the
    // manifest's signature both hold, and the statement names this manifest.
    void ExpectAnInstallationTakesIt() const {
        const std::string manifest = out_.Read("Version.ini");
        const trust::Freshness checked = trust::CheckFreshness(
            {publicKey_}, UpdaterState{}, "http://h/Update/", out_.Read("Version.txt.fresh"),
            out_.Read("Version.txt"), std::nullopt, utctime::Now());
        ASSERT_TRUE(checked.verdict.Accepted()) << checked.verdict.reason;
        EXPECT_FALSE(freshness::ManifestRefusal(checked.verdict.statement, manifest));
        EXPECT_TRUE(trust::ManifestSigner(manifest, out_.Read("Version.ini.sig"), checked.trusted));
    }
    std::set<QString> Changed(const std::map<QString, std::string>& before) const {
        std::set<QString> changed;
        for (const auto& [name, bytes] : out_.Snapshot())
            if (before.at(name) != bytes) changed.insert(name);
        return changed;
    }

    QTemporaryDir work_;
    Folder v10_{work_.path() + "/1.0"}, v20_{work_.path() + "/2.0"};
    Folder out_{work_.path() + "/out"};
    const QString key_ = work_.path() + "/a.key", otherKey_ = work_.path() + "/b.key";
    std::string publicKey_;
};

TEST_F(RolloutTest, ASignedScheduleIsHaltedResumedAndPacedAnewUnderItsSignature) {
    const Outcome release = Publish(Release({"--key", key_}));
    ASSERT_EQ(release.exitCode, 0) << release.err;
    EXPECT_EQ(Published().days, 4);
    ExpectAnInstallationTakesIt();
    const Outcome verify = Publish({"verify", out_.Path(), "--key", publicKey_.c_str()});
    EXPECT_EQ(verify.exitCode, 0) << verify.out;
    // A day of four: a quarter, give or take the seconds the commands took.
    EXPECT_NE(verify.out.find("Version.ini: rollout growing: 25.0"), std::string::npos)
        << verify.out;
    EXPECT_NE(verify.out.find("ok: 1 files"), std::string::npos) << "[ROLLOUT] lists no file";

    const struct {
        QStringList change;
        const char* says;
    } steps[] = {
        {{"--halt"}, "Version.ini: rollout halted: 0.00% of installations offered now"},
        {{"--days", "8"}, "Version.ini: rollout halted: "},
        {{"--resume"}, "Version.ini: rollout growing: 25.0"},
    };
    for (const auto& step : steps) {
        const std::map<QString, std::string> before = out_.Snapshot();
        const Outcome changed =
            Publish(QStringList{"rollout", out_.Path()} + step.change + QStringList{"--key", key_});
        ASSERT_EQ(changed.exitCode, 0) << changed.err;
        EXPECT_NE(changed.out.find(step.says), std::string::npos) << changed.out;
        EXPECT_EQ(Changed(before),
                  (std::set<QString>{"Version.ini", "Version.ini.sig", "Version.txt.fresh"}));
        ExpectAnInstallationTakesIt();
    }
    // Paced anew while halted: the quarter reached grows on at the pace of eight days.
    EXPECT_EQ(Published().days, 8);
    EXPECT_FALSE(Published().halted);
}

TEST_F(RolloutTest, AnUnsignedScheduleChangesItsManifestAlone) {
    ASSERT_EQ(Publish(Release()).exitCode, 0);
    const std::map<QString, std::string> before = out_.Snapshot();
    const Outcome halt = Publish({"rollout", out_.Path(), "--halt"});
    ASSERT_EQ(halt.exitCode, 0) << halt.err;
    EXPECT_EQ(Changed(before), std::set<QString>{"Version.ini"});
    EXPECT_TRUE(Published().halted);
    // Every line but the schedule's stays as it was.
    std::string manifest = out_.Read("Version.ini");
    manifest.erase(manifest.find("HALTED="), manifest.find("[1.0]") - manifest.find("HALTED="));
    EXPECT_EQ(manifest, before.at("Version.ini"));

    out_.Write("Version.ini", before.at("Version.ini") + "[ROLLOUT]\r\nDAYS=1\r\n");
    const Outcome verify = Publish({"verify", out_.Path()});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_NE(verify.out.find("Version.ini: [ROLLOUT] is given more than once"), std::string::npos)
        << verify.out;
    EXPECT_EQ(Publish({"rollout", out_.Path(), "--resume"}).exitCode, 1);
}

TEST_F(RolloutTest, RefusalsWriteNothing) {
    ASSERT_EQ(Publish(Release({"--key", key_})).exitCode, 0);
    const Folder unsigned_(work_.path() + "/unsigned");
    ASSERT_EQ(Publish({"release", v20_.Path(), "--version", "2.0", "--from", "1.0=" + v10_.Path(),
                       "--out", unsigned_.Path()})
                  .exitCode,
              0);
    const QString out = out_.Path();
    const struct {
        QStringList arguments;
        const char* says;
    } cases[] = {
        {{"rollout", out, "--halt"}, "is signed; a changed schedule must be signed anew"},
        {{"rollout", out, "--halt", "--key", otherKey_}, "is no signature of Version.ini by"},
        {{"rollout", out, "--resume", "--key", key_}, "is not halted"},
        {{"rollout", unsigned_.Path(), "--halt", "--key", key_}, "is not signed; --key would"},
        {{"rollout", unsigned_.Path(), "--halt"}, "has no rollout; publish the release with"},
        {{"release", v20_.Path(), "--version", "2.0", "--from", "rollout=" + v10_.Path(), "--out",
          work_.path() + "/other"},
         "would name a section the manifest uses for itself"},
    };
    for (const auto& c : cases) {
        const std::map<QString, std::string> before = Folder(work_.path()).Snapshot();
        const Outcome refused = Publish(c.arguments);
        EXPECT_EQ(refused.exitCode, 1) << c.says;
        EXPECT_NE(refused.err.find(c.says), std::string::npos) << refused.err;
        EXPECT_EQ(Folder(work_.path()).Snapshot(), before) << c.says;
    }
    const std::map<QString, std::string> before = Folder(work_.path()).Snapshot();
    for (const char* days : {"0", "367"})
        EXPECT_EQ(Publish({"rollout", out, "--days", days, "--key", key_}).exitCode, 2) << days;
    EXPECT_EQ(Publish({"rollout", out, "--halt", "--resume", "--key", key_}).exitCode, 2);
    for (const char* rollout : {"2026-12-10T08:00:00,7", "9999-12-30T00:00:00Z,7"})
        EXPECT_EQ(Publish(QStringList{"release", v20_.Path(), "--version", "2.0", "--from",
                                      "1.0=" + v10_.Path(), "--rollout", rollout, "--out",
                                      work_.path() + "/other"})
                      .exitCode,
                  2)
            << rollout;
    EXPECT_EQ(Folder(work_.path()).Snapshot(), before);
}

}  // namespace
