// A staged rollout: the publisher opens a release to a share of installations that grows from
// none at a start moment to all of them after a number of days, and may halt it. The schedule
// is a section of the manifest, so the manifest's signature covers it:
//
//   [ROLLOUT]
//   START=2026-12-10T08:00:00Z    the moment the share starts to grow, UTC (utctime.h)
//   DAYS=7                        how long it grows: 1 to 366 whole days (no leading zero)
//   HALTED=2026-12-12T10:00:00Z   only while halted: the moment it was halted
//
// One section of that name, START and DAYS once each, HALTED at most once, no other key; key
// names ignore letter case like every INI name. Anything else makes the section damaged.
// Older builds read no section of this name (it names no installed version), so a manifest
// that carries it upgrades them exactly as one without it.
//
// The share open at a moment grows on a line, to the second: none before START,
// (moment - START) / (DAYS x 24 h) in between, all from START + DAYS on. Each installation
// holds a random number from 0 to 2^32 - 1, made once and kept in its state file
// (updaterstate.h); it is offered the release when its number is below the count of numbers
// open, OpenNumbers. The same number is compared with a count that only grows, so the
// installations offered only grow while the schedule stands: none is offered and then
// withdrawn. A halted schedule offers the release to none (an upgrade already started goes on:
// that is the caller's journal, not the schedule); the share it had reached is kept for the
// resume.
//
// Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/inifile.h"
#include "core/utctime.h"

namespace rollout {

inline constexpr const char* kSection = "ROLLOUT";
inline constexpr int64_t kMaxDays = 366;
// How many installation numbers there are: 2^32.
inline constexpr uint64_t kNumbers = uint64_t(1) << 32;

struct Schedule {
    utctime::Moment start;
    int64_t days = 1;                       // 1 to kMaxDays
    std::optional<utctime::Moment> halted;  // nothing while it is not halted

    bool operator==(const Schedule&) const = default;
};

// What a manifest says about a rollout.
struct Reading {
    std::optional<Schedule> schedule;  // nothing: no section, or a damaged one
    std::string error;                 // why the section is damaged; empty when it is not
};

// The schedule of the manifest read into `manifest`, checked as above. A damaged section is
// never taken for no section: its error is what the caller refuses the manifest for.
Reading ReadSchedule(const TIniSnapshot& manifest);

// DAYS as the section and the publisher's options spell it: a whole number from 1 to kMaxDays
// without a leading zero; nothing for any other text.
std::optional<int64_t> DaysFromText(std::string_view text);

// Why `schedule` is no schedule that a manifest may carry (DAYS outside 1 to kMaxDays, an end
// after the year 9999); empty when it is one. ReadSchedule gives none that is not.
std::string Flaw(const Schedule& schedule);

// The section's keys and values in the order they are written, for a schedule without Flaw.
std::vector<std::pair<std::string, std::string>> Entries(const Schedule& schedule);

// How many of the kNumbers installation numbers are open at `now`: the line above, frozen at
// the moment of the halt while halted. 0 before START, kNumbers from START + DAYS on.
uint64_t OpenNumbers(const Schedule& schedule, utctime::Moment now);

// The first moment at which the installation with `number` is offered the release while the
// schedule stands; nothing while it is halted. Offered from then on, never a second before.
std::optional<utctime::Moment> OfferedFrom(const Schedule& schedule, uint32_t number);

enum class Phase { NotStarted, Growing, Complete, Halted };
Phase PhaseAt(const Schedule& schedule, utctime::Moment now);

// The publisher's changes, each made at `now`. None withdraws the release from an
// installation that it offered at `now` except the halt, which withdraws it from all.
// Halted: the schedule halted at `now`; one halted already stays as it is.
Schedule Halted(Schedule schedule, utctime::Moment now);
// Resumed: growing on from the share reached when it was halted, START moved on by the time it
// stood halted after START; one that is not halted stays as it is.
Schedule Resumed(Schedule schedule, utctime::Moment now);
// WithDays: growing at the pace of `days` (1 to kMaxDays) from the share open at `now` (at the
// halt, while halted): START moves so that this share stays, to the second rounded up.
Schedule WithDays(Schedule schedule, int64_t days, utctime::Moment now);

// Whether the installation with `number` is offered the release of a manifest with
// `schedule` at `now`.
struct Verdict {
    enum class Kind {
        Offered,  // its number is within the share open now
        NotYet,   // outside the share now; `from` says when it will be offered
        Halted,   // offered to no installation that has not started the upgrade
    };
    Kind kind = Kind::Offered;
    std::optional<utctime::Moment> from;  // NotYet only
};

// The rule of the version check, for the manifest as it arrived (after its signature was
// checked, where one is required) and before anything it lists is fetched:
//   1. ReadSchedule. A damaged section refuses the manifest, with the reading's error in
//      sendrift.log under Version.ini. No section: the release is offered, as to every
//      installation before rollouts, and the state file is not touched.
//   2. A schedule: InstallationNumber (updaterstate.h), then OfferTo with the computer's clock.
Verdict OfferTo(const Schedule& schedule, uint32_t number, utctime::Moment now);

}  // namespace rollout
