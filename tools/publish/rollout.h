// The publisher's side of a staged rollout (core/rollout.h): the schedule that release writes
// with --rollout, the command that changes a published one, and the line that tells how far
// it has come.
//
//   release ... --rollout START,DAYS
//   rollout OUT (--halt | --resume | --days N) [--key SECRETKEY [--expires DURATION]]
//
// START is a UTC time as "2026-12-10T08:00:00Z" (it may lie in the past), DAYS and N whole
// days from 1 to 366. The rollout command changes the [ROLLOUT] section of OUT/Version.ini
// as of now: --halt offers the release to no installation that has not started it, --resume
// grows on from the share reached when halted, --days N grows at the pace of N days from the
// share open now (so no installation offered is withdrawn). A signed release (OUT holds
// Version.ini.sig or Version.txt.fresh) is changed only with --key, the key that signed it:
// the manifest is signed anew and, since the statement names the manifest's SHA-256, so is
// the statement, with the next serial and DURATION's expiry (default 7 days). It writes
// Version.ini, then Version.ini.sig and Version.txt.fresh; every refusal comes before.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "core/rollout.h"
#include "platform/text.h"
#include "tools/publish/statement.h"

namespace publish {

// START,DAYS as --rollout takes it; nothing for any other text.
std::optional<rollout::Schedule> ParseRolloutOption(std::string_view text);

// The phase and the share offered at `now`, for what the commands print:
// "rollout growing: 42.86% of installations offered now; 100% from 2026-12-17T08:00:00Z
// (in 3 days 20 hours)".
std::string DescribeRollout(const rollout::Schedule& schedule, utctime::Moment now);

struct RolloutOptions {
    enum class Change { Halt, Resume, Days };
    AnsiString out;
    Change change = Change::Halt;
    int64_t days = 0;  // Days only
    std::optional<AnsiString> secretKey;
    std::optional<std::chrono::seconds> validity;  // of the statement; only with a key
};

// The options after the word "rollout"; nothing when they do not make a command.
std::optional<RolloutOptions> ParseRolloutOptions(int argc, char* argv[]);

// Throws Failure, having written nothing, for everything it refuses.
void Rollout(const RolloutOptions& options);

}  // namespace publish
