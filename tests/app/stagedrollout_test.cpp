// A release opened to a growing share of installations: one outside the share is told when it
// will be offered the release and fetches nothing of it; a halt offers it to no one new, but
// never strands an upgrade already under way.
#include "app/stoppedstates.h"
#include "core/rollout.h"
#include "core/updaterstate.h"
#include "core/utctime.h"

namespace {

using namespace std::chrono_literals;

// The manifest of kManifest's release with `rollout` lines as its [ROLLOUT] section.
std::string WithRollout(const std::string& rollout) {
    return kManifest + "[ROLLOUT]\r\n" + rollout;
}

std::string Start(utctime::Moment moment) {
    return "START=" + utctime::Format(moment) + "\r\n";
}

class StagedRollout : public ::testing::Test {
protected:
    // The last installation of every share: offered only when the whole share is open.
    static void LastOfTheShare(UpgradeRun& t) {
        UpdaterState state;
        state.rolloutNumber = UINT32_MAX;
        std::string error;
        ASSERT_TRUE(WriteUpdaterState(t.folder_.Path("sendrift.state"), state, &error)) << error;
    }
};

TEST_F(StagedRollout, AnInstallationOutsideTheShareIsToldWhenAndFetchesNothing) {
    const utctime::Moment now = utctime::Now();
    const struct {
        const char* name;
        std::string rollout;
        std::string outcome;
        bool toldWhen;
    } cases[] = {
        {"growing, this one not yet in", Start(now - 1h) + "DAYS=7\r\n", "latest", true},
        {"complete", Start(now - 8 * 24h) + "DAYS=7\r\n", "found", false},
        {"halted", Start(now - 6 * 24h) + "DAYS=7\r\nHALTED=" + utctime::Format(now - 1h) + "\r\n",
         "latest", false},
        {"damaged", Start(now - 1h) + "DAYS=seven\r\n", "failed", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        LastOfTheShare(t);
        t.Publish("2.0", WithRollout(c.rollout));
        t.OpenWizard();
        t.ClickMain();
        const std::vector<AnsiString> memo = WizardHarness::MemoLines(Message(*t.form_));
        if (c.outcome == "found") {
            EXPECT_EQ(FirstLine(t.StateNow()), UpdateFound());
            continue;
        }
        if (c.outcome == "failed") {
            EXPECT_EQ(t.StateNow(), ManifestFailed());
        } else {
            EXPECT_EQ(FirstLine(t.StateNow()), State("New", WizardStep::Close, Texts::DoneButton,
                                                     true, Texts::CancelButton, false));
            ASSERT_EQ(memo.size(), c.toldWhen ? 2u : 1u);
            EXPECT_EQ(memo[0], Texts::UpToDateMessage);
            if (c.toldWhen) {
                EXPECT_EQ(memo[1].rfind(Texts::RolloutNotYet + "2.0" + Texts::RolloutFrom, 0), 0u);
            }
        }
        EXPECT_FALSE(t.Exists("Version.ini")) << "the release's manifest is not the journal";
        EXPECT_FALSE(t.Exists("Update")) << "nothing of it is fetched";
    }
}

// An upgrade under way finishes whatever the schedule says now: its journal is continued, and
// the schedule is looked at only when a new version check is made.
TEST_F(StagedRollout, AHaltNeverStrandsAnUpgradeUnderWay) {
    UpgradeRun t;
    LastOfTheShare(t);
    const utctime::Moment now = utctime::Now();
    t.Publish("2.0", WithRollout(Start(now - 8 * 24h) + "DAYS=7\r\n"));
    t.OpenWizard();
    t.ClickMain();
    t.ClickMain();
    ASSERT_TRUE(t.Exists("Version.ini"));
    // The publisher halts the release; the journal is continued from the resume prompt.
    t.Publish("2.0", WithRollout(Start(now - 8 * 24h) + "DAYS=7\r\nHALTED=" + utctime::Format(now) +
                                 "\r\n"));
    t.OpenWizard();
    ASSERT_TRUE(ContinueButton(*t.form_).isVisible());
    ASSERT_TRUE(testsupport::ClickAsAPerson(&ContinueButton(*t.form_)));
    t.Settle();
    t.ClickMain();
    t.ClickMain();
    EXPECT_EQ(Pages(*t.form_).ActivePage(), "finish");
    EXPECT_EQ(t.folder_.Read("a.dll"), "new a");
}

// The schedule is part of the manifest: where the manifest must be signed, a schedule that was
// changed after signing is refused with it.
TEST_F(StagedRollout, AScheduleChangedAfterSigningIsRefused) {
    const verification::KeyPair publisher = *verification::NewKeyPair();
    const std::string signedManifest = WithRollout(Start(utctime::Now() - 1h) + "DAYS=300\r\n");
    const std::string opened = WithRollout(Start(utctime::Now() - 1h) + "DAYS=1\r\n");
    UpgradeRun t;
    t.manifestKey_ = publisher.publicKey;
    t.Publish("2.0", opened);
    t.PublishStatement(publisher.secretKey, "2.0", opened);
    t.PublishFile("Version.ini.sig", *verification::Sign(signedManifest, publisher.secretKey));
    t.OpenWizard();
    t.ClickMain();
    EXPECT_EQ(t.StateNow(), ManifestFailed());
    EXPECT_NE(t.folder_.Read("sendrift.log").find("signature"), std::string::npos);
}

}  // namespace
