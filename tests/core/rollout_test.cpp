#include "core/rollout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "support/appfolder.h"

namespace {

using namespace std::chrono_literals;
using rollout::Verdict;

const utctime::Moment kStart = *utctime::Parse("2026-12-10T08:00:00Z");

// The installations of the share tests: numbers as InstallationNumber draws them, from a
// seeded generator so that a failure repeats.
std::vector<uint32_t> Installations() {
    std::mt19937 generator(27);
    std::vector<uint32_t> numbers(10000);
    for (uint32_t& number : numbers) number = uint32_t(generator());
    return numbers;
}

// Which installations are offered, checking each verdict's "from" on the way: a later moment,
// at which it is offered and a second before which it is not.
std::vector<bool> Offered(const rollout::Schedule& schedule, const std::vector<uint32_t>& numbers,
                          utctime::Moment now) {
    std::vector<bool> offered;
    for (const uint32_t number : numbers) {
        const Verdict verdict = rollout::OfferTo(schedule, number, now);
        offered.push_back(verdict.kind == Verdict::Kind::Offered);
        if (verdict.kind != Verdict::Kind::NotYet) continue;
        EXPECT_GT(*verdict.from, now);
        EXPECT_EQ(rollout::OfferTo(schedule, number, *verdict.from).kind, Verdict::Kind::Offered);
        EXPECT_EQ(rollout::OfferTo(schedule, number, *verdict.from - 1s).kind,
                  Verdict::Kind::NotYet);
    }
    return offered;
}

// No installation offered at one moment is withdrawn at a later one.
void ExpectOnlyGrows(const std::vector<bool>& earlier, const std::vector<bool>& later,
                     const std::string& when) {
    for (size_t i = 0; i < earlier.size(); ++i)
        ASSERT_TRUE(!earlier[i] || later[i]) << "installation " << i << " withdrawn " << when;
}

double ShareOf(const std::vector<bool>& offered) {
    return double(std::count(offered.begin(), offered.end(), true)) / double(offered.size());
}

TEST(RolloutShare, TenThousandInstallationsFollowTheScheduleAndOnlyGrow) {
    const rollout::Schedule schedule{kStart, 7, std::nullopt};
    const std::vector<uint32_t> numbers = Installations();
    std::vector<bool> before(numbers.size(), false);
    for (const auto after : {-1h, 0h, 1h, 6h, 24h, 60h, 84h, 120h, 166h, 168h, 720h}) {
        const std::vector<bool> offered = Offered(schedule, numbers, kStart + after);
        const double scheduled =
            double(rollout::OpenNumbers(schedule, kStart + after)) / double(rollout::kNumbers);
        std::printf("START%+5ldh: schedule %6.2f%%, offered %6.2f%%\n", long(after.count()),
                    100 * scheduled, 100 * ShareOf(offered));
        EXPECT_NEAR(ShareOf(offered), scheduled, 0.02) << after.count() << "h";
        ExpectOnlyGrows(before, offered, "at START " + std::to_string(after.count()) + "h");
        before = offered;
    }
    EXPECT_EQ(ShareOf(Offered(schedule, numbers, kStart)), 0.0);
    EXPECT_EQ(ShareOf(Offered(schedule, numbers, kStart + 7 * 24h)), 1.0);
}

TEST(RolloutShare, AHaltOffersNoneAndAResumeGrowsOnFromTheShareReached) {
    const rollout::Schedule schedule{kStart, 7, std::nullopt};
    const std::vector<uint32_t> numbers = Installations();
    const std::vector<bool> atHalt = Offered(schedule, numbers, kStart + 48h);
    const rollout::Schedule halted = rollout::Halted(schedule, kStart + 48h);
    for (const uint32_t number : {0u, UINT32_MAX}) {
        const Verdict verdict = rollout::OfferTo(halted, number, kStart + 30 * 24h);
        EXPECT_EQ(verdict.kind, Verdict::Kind::Halted);
        EXPECT_FALSE(verdict.from);
    }

    const rollout::Schedule resumed = rollout::Resumed(halted, kStart + 120h);
    EXPECT_EQ(resumed.start, kStart + 72h) << "moved on by the 72 hours it stood halted";
    EXPECT_EQ(Offered(resumed, numbers, kStart + 120h), atHalt);
    ExpectOnlyGrows(atHalt, Offered(resumed, numbers, kStart + 121h), "after the resume");
    EXPECT_EQ(rollout::PhaseAt(resumed, kStart + 72h + 7 * 24h), rollout::Phase::Complete);

    // Halted before it started: the resume delays only what was left of the wait.
    const rollout::Schedule early = rollout::Halted(schedule, kStart - 24h);
    EXPECT_EQ(rollout::Resumed(early, kStart - 1h).start, kStart);
    EXPECT_EQ(rollout::Resumed(early, kStart + 5h).start, kStart + 5h);
}

TEST(RolloutShare, NewDaysKeepTheShareOpenNowAndChangeOnlyThePace) {
    const rollout::Schedule schedule{kStart, 7, std::nullopt};
    const std::vector<uint32_t> numbers = Installations();
    const utctime::Moment now = kStart + 84h + 17s;
    const std::vector<bool> offered = Offered(schedule, numbers, now);
    for (const int64_t days : {1, 2, 7, 14, 366}) {
        const rollout::Schedule paced = rollout::WithDays(schedule, days, now);
        EXPECT_EQ(paced.days, days);
        EXPECT_GE(rollout::OpenNumbers(paced, now), rollout::OpenNumbers(schedule, now)) << days;
        ExpectOnlyGrows(offered, Offered(paced, numbers, now), std::to_string(days) + " days");
        // What was left of 7 days (half of them) opens in half of the new days.
        EXPECT_EQ(
            rollout::PhaseAt(paced, now + std::chrono::seconds(std::chrono::days(days)) / 2 + 1s),
            rollout::Phase::Complete)
            << days;
    }
    // Before START only the pace changes; while halted the share at the halt is kept.
    EXPECT_EQ(rollout::WithDays(schedule, 3, kStart - 1h).start, kStart);
    const rollout::Schedule halted = rollout::Halted(schedule, now);
    const rollout::Schedule pacedHalted = rollout::WithDays(halted, 14, now + 24h);
    EXPECT_EQ(pacedHalted.halted, now);
    EXPECT_GE(rollout::OpenNumbers(pacedHalted, now + 24h), rollout::OpenNumbers(halted, now));
}

class RolloutSection : public ::testing::Test {
protected:
    rollout::Reading Read(const std::string& manifest) const {
        folder_.Write("Version.ini", "[VERSION]\r\nVERSION=2.0\r\n" + manifest);
        return rollout::ReadSchedule(TIniSnapshot(folder_.Path("Version.ini")));
    }
    TempAppFolder folder_;
};

TEST_F(RolloutSection, ReadsWhatItWritesAndNoSectionIsNoSchedule) {
    const rollout::Reading none = Read("[1.0]\r\n1=a.dll;0\r\n");
    EXPECT_FALSE(none.schedule);
    EXPECT_EQ(none.error, "");
    for (const rollout::Schedule schedule : {rollout::Schedule{kStart, 7, std::nullopt},
                                             rollout::Schedule{kStart, 366, kStart + 1h}}) {
        std::string section = "[rollout]\r\n";
        for (const auto& [key, value] : rollout::Entries(schedule))
            section += key + "=" + value + "\r\n";
        const rollout::Reading read = Read(section + "[1.0]\r\n1=a.dll;0\r\n");
        EXPECT_EQ(read.schedule, schedule) << read.error;
    }
}

// A damaged section is never taken for none, which would offer the release to everyone.
TEST_F(RolloutSection, ADamagedSectionIsAnErrorWithItsReason) {
    const struct {
        std::string section;
        std::string says;
    } cases[] = {
        {"DAYS=7\r\n", "[ROLLOUT] START is missing"},
        {"START=2026-12-10T08:00:00Z\r\n", "[ROLLOUT] DAYS is missing"},
        {"START=2026-12-10T08:00:00+01:00\r\nDAYS=7\r\n",
         "START \"2026-12-10T08:00:00+01:00\" is no UTC time"},
        {"START=2026-12-10T08:00:00Z\r\nDAYS=0\r\n",
         "DAYS \"0\" is no whole number of days from 1 to 366"},
        {"START=2026-12-10T08:00:00Z\r\nDAYS=07\r\n", "DAYS \"07\""},
        {"START=2026-12-10T08:00:00Z\r\nDAYS=7d\r\n", "DAYS \"7d\""},
        {"START=2026-12-10T08:00:00Z\r\nDAYS=7\r\nHALTED=yes\r\n", "HALTED \"yes\" is no UTC time"},
        {"START=2026-12-10T08:00:00Z\r\nDAYS=7\r\ndays=8\r\n", "[ROLLOUT] DAYS is given 2 times"},
        {"START=2026-12-10T08:00:00Z\r\nDAYS=7\r\nSHARE=50\r\n", "the key \"SHARE\", which this"},
        {"START=9999-12-30T00:00:00Z\r\nDAYS=7\r\n", "end the rollout after the year 9999"},
        {"START=2026-12-10T08:00:00Z\r\nDAYS=7\r\n[ROLLOUT]\r\nDAYS=1\r\n",
         "[ROLLOUT] is given more than once"},
    };
    for (const auto& c : cases) {
        const rollout::Reading read = Read("[ROLLOUT]\r\n" + c.section);
        EXPECT_FALSE(read.schedule) << c.section;
        EXPECT_NE(read.error.find(c.says), std::string::npos) << c.section << ": " << read.error;
    }
}

}  // namespace
