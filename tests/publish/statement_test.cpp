// The freshness statement and key rotation as a publisher makes them (release, refresh,
// rotate and verify run as programs, with keys from keygen), and as an installation takes
// them: the published files go through the same core checks that the version check makes.
#include <QTemporaryDir>

#include "core/keyrotation.h"
#include "core/updatetrust.h"
#include "publish/publishsupport.h"
#include "publish/publishtool.h"

namespace {

using namespace std::chrono_literals;

struct Key {
    QString file;
    std::string publicKey, secret;
};

class StatementTest : public ::testing::Test {
protected:
    void SetUp() override {
        v10_.Write("a.dll", "a 1.0");
        v20_.Write("a.dll", "a 2.0");
        v20_.Write("b.dll", "b 2.0");
    }
    Key Keygen(const char* name) const {
        Key key{work_.path() + "/" + name, {}, {}};
        const Outcome made = Publish({"keygen", key.file});
        EXPECT_EQ(made.exitCode, 0) << made.err;
        key.publicKey = made.out.substr(0, made.out.find('\n'));
        key.secret = Folder(work_.path()).Read(name);
        return key;
    }
    QStringList Release(const Key& key, const QStringList& more = {}) const {
        return QStringList{"release", v20_.Path(),          "--version", "2.0",
                           "--from",  "1.0=" + v10_.Path(), "--key",     key.file,
                           "--out",   out_.Path()} +
               more;
    }
    freshness::Statement Published() const {
        std::string error;
        const auto statement = freshness::ReadSigned(out_.Read("Version.txt.fresh"), &error);
        EXPECT_TRUE(statement) << error;
        return statement.value_or(freshness::Statement{});
    }
    // The version check of an installation built with `build`, on the published files; its
    // state is kept when the statement is accepted.
    trust::Freshness Check(const std::vector<std::string>& build, UpdaterState& state) const {
        const std::string statement = out_.Read("Version.txt.fresh");
        const std::optional<std::string> chain = trust::NeedsRotationRecords(statement, state)
                                                     ? std::optional(out_.Read("Version.keys"))
                                                     : std::nullopt;
        trust::Freshness checked =
            trust::CheckFreshness(build, state, "http://h/Update/", statement,
                                  out_.Read("Version.txt"), chain, utctime::Now());
        if (checked.verdict.Accepted()) state = checked.state;
        return checked;
    }
    // Each file that differs from `before`, by name.
    std::set<QString> Changed(const std::map<QString, std::string>& before) const {
        std::set<QString> changed;
        for (const auto& [name, bytes] : out_.Snapshot())
            if (!before.count(name) || before.at(name) != bytes) changed.insert(name);
        return changed;
    }

    QTemporaryDir work_;
    Folder v10_{work_.path() + "/1.0"}, v20_{work_.path() + "/2.0"};
    Folder out_{work_.path() + "/out"};
    const Key a_ = Keygen("a.key"), b_ = Keygen("b.key"), c_ = Keygen("c.key");
};

TEST_F(StatementTest, ReleaseVouchesForWhatItWroteUntilTheExpiryAsked) {
    const int64_t before = utctime::Now().time_since_epoch().count();
    const Outcome release = Publish(Release(a_, {"--expires", "36h"}));
    ASSERT_EQ(release.exitCode, 0) << release.err;
    const int64_t after = utctime::Now().time_since_epoch().count();
    const freshness::Statement first = Published();
    EXPECT_EQ(first.manifestDigest, Sha256(out_.Read("Version.ini")));
    EXPECT_GE(int64_t(first.serial), before);
    EXPECT_LE(int64_t(first.serial), after);
    EXPECT_GE(first.expires.time_since_epoch().count(), before + 36 * 3600);
    EXPECT_LE(first.expires.time_since_epoch().count(), after + 36 * 3600);
    UpdaterState state;
    EXPECT_TRUE(Check({a_.publicKey}, state).verdict.Accepted());

    // Replaced at once, within the same second: the new statement still outranks the old.
    ASSERT_EQ(Publish(Release(a_, {"--force"})).exitCode, 0);
    EXPECT_GT(Published().serial, first.serial);
    EXPECT_GE(Published().expires, first.expires - 36h + 7 * 24h) << "7 days unless asked";
    EXPECT_TRUE(Check({a_.publicKey}, state).verdict.Accepted());
}

// A daily cron job: only the statement changes, and an installation that saw the newer one
// refuses the older one served again.
TEST_F(StatementTest, RefreshSignsTheNextSerialAndANewExpiryAndNothingElse) {
    ASSERT_EQ(Publish(Release(a_, {"--expires", "1h"})).exitCode, 0);
    const std::map<QString, std::string> before = out_.Snapshot();
    const freshness::Statement first = Published();
    const Outcome refresh = Publish({"refresh", out_.Path(), "--key", a_.file, "--expires", "7d"});
    ASSERT_EQ(refresh.exitCode, 0) << refresh.err;
    EXPECT_EQ(refresh.out.rfind("Version.txt.fresh: serial ", 0), 0u) << refresh.out;
    EXPECT_EQ(Changed(before), std::set<QString>{"Version.txt.fresh"});
    EXPECT_GT(Published().serial, first.serial);
    EXPECT_GE(Published().expires, first.expires + 6 * 24h);

    UpdaterState state;
    ASSERT_TRUE(Check({a_.publicKey}, state).verdict.Accepted());
    out_.Write("Version.txt.fresh", before.at("Version.txt.fresh"));
    EXPECT_EQ(Check({a_.publicKey}, state).verdict.refusal, freshness::Refusal::OlderSerial);
}

TEST_F(StatementTest, InstallationsFollowRotationsAndThenRefuseTheOldKey) {
    ASSERT_EQ(Publish(Release(a_)).exitCode, 0);
    const std::vector<std::string> build{a_.publicKey};
    UpdaterState awake, asleep;
    ASSERT_TRUE(Check(build, awake).verdict.Accepted());

    const std::map<QString, std::string> before = out_.Snapshot();
    const Outcome rotate = Publish({"rotate", out_.Path(), "--key", a_.file, "--new", b_.file});
    ASSERT_EQ(rotate.exitCode, 0) << rotate.err;
    EXPECT_EQ(Changed(before),
              (std::set<QString>{"Version.keys", "Version.ini.sig", "Version.txt.fresh"}));
    EXPECT_EQ(Published().signingKey, b_.publicKey);
    EXPECT_TRUE(verification::SignatureIsValid(out_.Read("Version.ini"),
                                               out_.Read("Version.ini.sig"), b_.publicKey));
    ASSERT_TRUE(Check(build, awake).verdict.Accepted());
    EXPECT_EQ(awake.retiredKeys, verification::KeySet{a_.publicKey});

    ASSERT_EQ(Publish({"rotate", out_.Path(), "--key", b_.file, "--new", c_.file}).exitCode, 0);
    for (UpdaterState* state : {&awake, &asleep}) {
        const trust::Freshness checked = Check(build, *state);
        ASSERT_TRUE(checked.verdict.Accepted()) << checked.verdict.reason;
        EXPECT_EQ(state->retiredKeys, (verification::KeySet{a_.publicKey, b_.publicKey}));
        EXPECT_EQ(trust::ManifestSigner(out_.Read("Version.ini"), out_.Read("Version.ini.sig"),
                                        checked.trusted),
                  c_.publicKey);
    }
    const Outcome verify = Publish({"verify", out_.Path(), "--key", a_.publicKey.c_str()});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;

    // A release or refresh with the old key would lock out every installation that followed.
    for (const QStringList& arguments :
         {QStringList{"refresh", out_.Path(), "--key", a_.file}, Release(a_, {"--force"}),
          QStringList{"rotate", out_.Path(), "--key", c_.file, "--new", a_.file}}) {
        const std::map<QString, std::string> unchanged = out_.Snapshot();
        const Outcome refused = Publish(arguments);
        EXPECT_EQ(refused.exitCode, 1) << arguments.join(' ').toStdString();
        EXPECT_NE(refused.err.find("record 1 of"), std::string::npos) << refused.err;
        EXPECT_EQ(out_.Snapshot(), unchanged);
    }
    // A new release with the newest key keeps the chain for installations still asleep.
    ASSERT_EQ(Publish(Release(c_, {"--force"})).exitCode, 0);
    EXPECT_EQ(Changed(before).count("Version.keys"), 1u);
    UpdaterState sleptLonger;
    EXPECT_TRUE(Check(build, sleptLonger).verdict.Accepted());

    // Whoever stole the old key cannot lead them back, though the build lists it.
    freshness::Statement stolen = Published();
    stolen.serial += 1000;
    out_.Write("Version.txt.fresh", *freshness::Make(stolen, a_.secret));
    EXPECT_EQ(Check(build, awake).verdict.refusal, freshness::Refusal::NotTrusted);
}

// Each refusal says why and leaves every folder as it was.
TEST_F(StatementTest, RefusalsWriteNothing) {
    ASSERT_EQ(Publish(Release(a_)).exitCode, 0);
    const std::string manifest = out_.Read("Version.ini");
    Folder(work_.path())
        .Write("chain", keyrotation::Text(*keyrotation::Make(1, b_.secret, c_.secret)));
    const QString out = out_.Path();
    const struct {
        const char* name;
        QStringList arguments;
        std::string says;
        const char* spoiled = nullptr;  // a file of the folder, given these bytes first
        std::string bytes = {};
    } cases[] = {
        {"refresh with a key that did not sign the manifest",
         {"refresh", out, "--key", b_.file},
         "is no signature of Version.ini by"},
        {"refresh over a damaged statement",
         {"refresh", out, "--key", a_.file},
         "its serial, which the next statement must exceed",
         "Version.txt.fresh",
         "x\n"},
        {"refresh of a Version.txt that is not the manifest's",
         {"refresh", out, "--key", a_.file},
         "its manifest leads to \"2.0\"",
         "Version.txt",
         "2.1"},
        {"rotate to the same key",
         {"rotate", out, "--key", a_.file, "--new", a_.file},
         "--key and --new are the same key"},
        {"rotate from a key that does not sign the folder",
         {"rotate", out, "--key", b_.file, "--new", c_.file},
         "not by the old key"},
        {"rotate a manifest the statement does not name",
         {"rotate", out, "--key", a_.file, "--new", b_.file},
         "names another Version.txt or",
         "Version.ini",
         manifest + "\r\n"},
        {"release with a chain that ends in another key",
         Release(a_, {"--force", "--keys", work_.path() + "/chain"}), "is not the newest key"},
    };
    for (const auto& c : cases) {
        QDir(out).removeRecursively();
        ASSERT_EQ(Publish(Release(a_)).exitCode, 0);
        if (c.spoiled) out_.Write(c.spoiled, c.bytes);
        const std::map<QString, std::string> before = Folder(work_.path()).Snapshot();
        const Outcome refused = Publish(c.arguments);
        EXPECT_EQ(refused.exitCode, 1) << c.name;
        EXPECT_NE(refused.err.find(c.says), std::string::npos) << c.name << ": " << refused.err;
        EXPECT_EQ(Folder(work_.path()).Snapshot(), before) << c.name;
    }
    for (const char* validity : {"0d", "7w", "367d", "1.5d", "d", "-1h"})
        EXPECT_EQ(Publish({"refresh", out, "--key", a_.file, "--expires", validity}).exitCode, 2)
            << validity;
    EXPECT_EQ(Publish({"rotate", out, "--key", a_.file}).exitCode, 2);
    EXPECT_EQ(Publish({"release", v20_.Path(), "--version", "2.0", "--from", "1.0=" + v10_.Path(),
                       "--expires", "1d", "--out", work_.path() + "/other"})
                  .exitCode,
              2)
        << "--expires without --key";
}

TEST_F(StatementTest, VerifyReportsAHalfSignedRecordAndAnExpiredStatement) {
    ASSERT_EQ(Publish(Release(a_)).exitCode, 0);
    ASSERT_EQ(Publish({"rotate", out_.Path(), "--key", a_.file, "--new", b_.file}).exitCode, 0);
    keyrotation::Record halfSigned = *keyrotation::Make(1, a_.secret, b_.secret);
    halfSigned.newSignature = *verification::Sign("other bytes", b_.secret);
    out_.Write("Version.keys", keyrotation::Text(halfSigned));
    const Outcome half = Publish({"verify", out_.Path(), "--key", a_.publicKey.c_str()});
    EXPECT_EQ(half.exitCode, 1);
    EXPECT_EQ(half.out, "Version.keys: record 1 (" + a_.publicKey + " to " + b_.publicKey +
                            ") is signed by its old key only\n"
                            "Version.txt.fresh: signed by the key " +
                            b_.publicKey +
                            ", which is not trusted here\n"
                            "Version.ini.sig: no valid signature of Version.ini by the given "
                            "keys or a key they rotated to\n");

    QDir(out_.Path()).removeRecursively();
    ASSERT_EQ(Publish(Release(a_)).exitCode, 0);
    freshness::Statement expired = Published();
    expired.expires = utctime::Now() - 2h;
    out_.Write("Version.txt.fresh", *freshness::Make(expired, a_.secret));
    const Outcome late = Publish({"verify", out_.Path()});
    EXPECT_EQ(late.exitCode, 1);
    EXPECT_EQ(late.out, "Version.txt.fresh: serial " + std::to_string(expired.serial) +
                            ", valid until " + utctime::Format(expired.expires) +
                            " (expired 2 hours ago); refresh it\n");
}

TEST_F(StatementTest, VerifyComparesTheServersStatementAndChain) {
    ASSERT_EQ(Publish(Release(a_)).exitCode, 0);
    ASSERT_EQ(Publish({"rotate", out_.Path(), "--key", a_.file, "--new", b_.file}).exitCode, 0);
    Folder site(work_.path() + "/site");
    ASSERT_EQ(QProcess::execute("cp", {"-r", out_.Path(), site.At("Update")}), 0);
    PythonServer server(site.Path());
    ASSERT_FALSE(server.Url().isEmpty()) << "python3 -m http.server did not start";
    EXPECT_EQ(Publish({"verify", out_.Path(), "--url", server.Url()}).exitCode, 0);

    // The server still has yesterday's statement, and no rotation records.
    site.Write("Update/Version.txt.fresh", "yesterday's");
    QFile::remove(site.At("Update/Version.keys"));
    const std::string url = server.Url().toStdString() + "/Update/";
    const Outcome stale = Publish({"verify", out_.Path(), "--url", server.Url()});
    EXPECT_EQ(stale.exitCode, 1);
    EXPECT_EQ(stale.out, "GET " + url + "Version.txt.fresh: differs from " +
                             out_.At("Version.txt.fresh").toStdString() + "\nGET " + url +
                             "Version.keys: status 404\n");
}

}  // namespace
