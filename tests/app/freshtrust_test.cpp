// With manifest keys built in, an answer of the server is believed only when a fresh statement
// signed by a trusted key vouches for it: a frozen, replayed or mixed answer ends the version
// check before anything is downloaded, and the publisher's key rotations are followed.
#include "app/stoppedstates.h"
#include "core/keyrotation.h"
#include "core/updaterstate.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ScriptedResponse;

struct Keys {
    verification::KeyPair build = *verification::NewKeyPair();  // the build's key
    verification::KeyPair second = *verification::NewKeyPair();
    verification::KeyPair third = *verification::NewKeyPair();
    verification::KeyPair stranger = *verification::NewKeyPair();
};

std::string Chain(std::initializer_list<keyrotation::Record> records) {
    std::string text;
    for (const keyrotation::Record& record : records) text += keyrotation::Text(record);
    return text;
}

class FreshTrust : public ::testing::Test {
protected:
    // A run whose build trusts `keys.build`, with the manifest signed by `signer`.
    static void Arrange(UpgradeRun& t, const Keys& keys, const verification::KeyPair& signer) {
        t.manifestKey_ = keys.build.publicKey;
        t.server_.Serve("/Update/Version.ini.sig",
                        ScriptedResponse::Ok(*verification::Sign(kManifest, signer.secretKey)));
    }
    static void WriteState(UpgradeRun& t, const UpdaterState& state) {
        std::string error;
        ASSERT_TRUE(WriteUpdaterState(t.folder_.Path("sendrift.state"), state, &error)) << error;
    }
    static std::string FolderUrl(const UpgradeRun& t) { return t.server_.Url() + "/Update/"; }
};

TEST_F(FreshTrust, EachStaleOrForeignAnswerEndsTheCheckWithItsReason) {
    const Keys keys;
    const verification::KeyPair& build = keys.build;
    using Arrangement = std::function<void(UpgradeRun&)>;
    const struct {
        const char* name;
        Arrangement arrange;
        std::string outcome;  // the state the first click leaves
        const char* logged;   // in sendrift.log; empty when accepted
    } cases[] = {
        {"a fresh statement",
         [&](UpgradeRun& t) { t.PublishStatement(build.secretKey, "2.0", kManifest); },
         UpdateFound(), ""},
        {"expired within the hour a clock may be behind",
         [&](UpgradeRun& t) { t.PublishStatement(build.secretKey, "2.0", kManifest, 1, -30min); },
         UpdateFound(), ""},
        {"frozen: expired a day ago",
         [&](UpgradeRun& t) { t.PublishStatement(build.secretKey, "2.0", kManifest, 1, -24h); },
         VersionFailed(), "expired"},
        {"none published", [](UpgradeRun&) {}, VersionFailed(), "Version.txt.fresh"},
        {"signed by a key the build does not trust",
         [&](UpgradeRun& t) { t.PublishStatement(keys.stranger.secretKey, "2.0", kManifest); },
         VersionFailed(), "Version.txt.fresh"},
        {"frozen: yesterday's answer after a newer serial was seen",
         [&](UpgradeRun& t) {
             UpdaterState state;
             state.highestSerials[FolderUrl(t)] = 5;
             WriteState(t, state);
             t.PublishStatement(build.secretKey, "2.0", kManifest, 4);
         },
         VersionFailed(), "serial"},
        {"the statement of another Version.txt",
         [&](UpgradeRun& t) { t.PublishStatement(build.secretKey, "2.1", kManifest); },
         VersionFailed(), "Version.txt.fresh"},
        {"mix and match: the statement names another manifest",
         [&](UpgradeRun& t) { t.PublishStatement(build.secretKey, "2.0", kManifest + "\r\n"); },
         ManifestFailed(), "Version.ini"},
        {"a damaged state file",
         [&](UpgradeRun& t) {
             t.folder_.Write("sendrift.state", "sendrift-state 1\nserial 9 x\n");
             t.PublishStatement(build.secretKey, "2.0", kManifest);
         },
         VersionFailed(), "sendrift.state"},
        {"a rotation record signed by the old key only",
         [&](UpgradeRun& t) {
             keyrotation::Record record =
                 *keyrotation::Make(1, build.secretKey, keys.second.secretKey);
             record.newSignature =
                 keyrotation::Make(1, build.secretKey, keys.third.secretKey)->newSignature;
             t.PublishFile("Version.keys", Chain({record}));
             t.PublishStatement(keys.second.secretKey, "2.0", kManifest, 1, 168h, 1);
         },
         VersionFailed(), "Version.keys"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        Arrange(t, keys, build);
        c.arrange(t);
        t.OpenWizard();
        t.ClickMain();
        EXPECT_EQ(FirstLine(t.StateNow()), FirstLine(c.outcome));
        const std::string log = t.folder_.Read("sendrift.log");
        if (*c.logged) {
            EXPECT_NE(log.find(c.logged), std::string::npos) << log;
            EXPECT_FALSE(t.Exists("Version.ini")) << "nothing downloaded";
        } else {
            EXPECT_EQ(log, "<missing>");
        }
    }
}

// An installation that slept through two rotations follows both in one check, and from then on
// refuses the key it started with, although its build still lists it.
TEST_F(FreshTrust, TwoRotationsAreFollowedInOneCheckAndTheOldKeyIsRefusedAfterwards) {
    const Keys keys;
    UpgradeRun t;
    Arrange(t, keys, keys.third);
    t.PublishFile("Version.keys",
                  Chain({*keyrotation::Make(1, keys.build.secretKey, keys.second.secretKey),
                         *keyrotation::Make(2, keys.second.secretKey, keys.third.secretKey)}));
    t.PublishStatement(keys.third.secretKey, "2.0", kManifest, 7, 168h, 2);
    t.OpenWizard();
    t.ClickMain();
    ASSERT_EQ(FirstLine(t.StateNow()), UpdateFound());
    std::string error;
    const std::optional<UpdaterState> state =
        ReadUpdaterState(t.folder_.Path("sendrift.state"), &error);
    ASSERT_TRUE(state) << error;
    EXPECT_EQ(state->HighestSerial(FolderUrl(t)), 7u);
    EXPECT_TRUE(state->retiredKeys.count(keys.build.publicKey));

    // The first key signs again, with a higher serial: retired, it is trusted no more.
    platform::DeleteFile(t.folder_.Path("Version.ini"));
    t.PublishStatement(keys.build.secretKey, "2.0", kManifest, 8, 168h, 2);
    t.OpenWizard();
    t.ClickMain();
    EXPECT_EQ(t.StateNow(), VersionFailed());
    EXPECT_EQ(
        ReadUpdaterState(t.folder_.Path("sendrift.state"), &error)->HighestSerial(FolderUrl(t)),
        7u);
}

// A build without a key asks for nothing of this: its wire stays as it was.
TEST_F(FreshTrust, ABuildWithoutAKeyAsksForNoStatement) {
    UpgradeRun t;
    t.OpenWizard();
    t.ClickMain();
    EXPECT_EQ(t.RequestLines(), (std::vector<std::string>{"GET /Update/Version.txt HTTP/1.0",
                                                          "GET /Update/Version.ini HTTP/1.0"}));
    EXPECT_FALSE(t.Exists("sendrift.state"));
}

}  // namespace
