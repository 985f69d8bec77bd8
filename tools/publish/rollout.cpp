#include "tools/publish/rollout.h"

#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace publish {
namespace {

// Hundredths of a percent, rounded down: 100% only once every installation is offered.
std::string ShareText(uint64_t openNumbers) {
    const uint64_t hundredths = openNumbers * 10000 / rollout::kNumbers;
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%02llu%%",
                  static_cast<unsigned long long>(hundredths / 100),
                  static_cast<unsigned long long>(hundredths % 100));
    return text;
}

// "2026-12-17T08:00:00Z (in 3 days 20 hours)", or "(... ago)" for a moment past.
std::string When(utctime::Moment moment, utctime::Moment now) {
    const std::string at = utctime::Format(moment) + " (";
    if (moment <= now) return at + utctime::Span(now - moment) + " ago)";
    return at + "in " + utctime::Span(moment - now) + ")";
}

rollout::Schedule Changed(const rollout::Schedule& schedule, const RolloutOptions& o,
                          utctime::Moment now) {
    const std::string where = "the rollout in " + PrintablePath(o.out);
    switch (o.change) {
        case RolloutOptions::Change::Halt:
            if (schedule.halted)
                throw Failure{where + " is halted already, since " +
                              utctime::Format(*schedule.halted)};
            return rollout::Halted(schedule, now);
        case RolloutOptions::Change::Resume:
            if (!schedule.halted) throw Failure{where + " is not halted"};
            return rollout::Resumed(schedule, now);
        case RolloutOptions::Change::Days:
            return rollout::WithDays(schedule, o.days, now);
    }
    return schedule;
}

// Writes `schedule` into the manifest at `path` through the INI store, which keeps every
// line it does not change as it was; refused when it does not read back as written.
void WriteSchedule(const AnsiString& path, const rollout::Schedule& schedule) {
    if (const std::string flaw = rollout::Flaw(schedule); !flaw.empty())
        throw Failure{"the changed schedule cannot be written: " + flaw};
    TIniFile manifest(path);
    const auto entries = rollout::Entries(schedule);
    std::vector<AnsiString> keys, gone;
    manifest.KeyNames(rollout::kSection, keys);
    for (const AnsiString& key : keys)
        if (std::none_of(entries.begin(), entries.end(),
                         [&](const auto& entry) { return SameTextIgnoringCase(key, entry.first); }))
            gone.push_back(key);
    manifest.RemoveKeys(rollout::kSection, gone);
    for (const auto& [key, value] : entries) manifest.WriteEntry(rollout::kSection, key, value);
    if (rollout::ReadSchedule(TIniSnapshot(path)).schedule != schedule)
        throw Failure{"the changed schedule does not read back from Version.ini as written"};
}

}  // namespace

std::optional<rollout::Schedule> ParseRolloutOption(std::string_view text) {
    const size_t comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    const std::optional<utctime::Moment> start = utctime::Parse(text.substr(0, comma));
    const std::optional<int64_t> days = rollout::DaysFromText(text.substr(comma + 1));
    if (!start || !days) return std::nullopt;
    const rollout::Schedule schedule{*start, *days, std::nullopt};
    if (!rollout::Flaw(schedule).empty()) return std::nullopt;
    return schedule;
}

std::string DescribeRollout(const rollout::Schedule& schedule, utctime::Moment now) {
    const std::string share = ShareText(rollout::OpenNumbers(schedule, now));
    const utctime::Moment end = schedule.start + std::chrono::days(schedule.days);
    switch (rollout::PhaseAt(schedule, now)) {
        case rollout::Phase::NotStarted:
            return "rollout not started: 0.00% of installations offered now; growing from " +
                   When(schedule.start, now) + " to 100% at " + utctime::Format(end);
        case rollout::Phase::Growing:
            return "rollout growing: " + share + " of installations offered now; 100% from " +
                   When(end, now);
        case rollout::Phase::Complete:
            return "rollout complete: 100.00% of installations offered now, since " +
                   When(end, now);
        case rollout::Phase::Halted:
            return "rollout halted: 0.00% of installations offered now (upgrades already "
                   "started go on), since " +
                   When(*schedule.halted, now) + "; --resume grows on from " + share;
    }
    return {};
}

std::optional<RolloutOptions> ParseRolloutOptions(int argc, char* argv[]) {
    RolloutOptions o;
    bool haveOut = false;
    int changes = 0;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--halt" || arg == "--resume") {
            o.change =
                arg == "--halt" ? RolloutOptions::Change::Halt : RolloutOptions::Change::Resume;
            ++changes;
        } else if (arg == "--days" && hasValue) {
            const std::optional<int64_t> days = rollout::DaysFromText(argv[++i]);
            if (!days) return std::nullopt;
            o.change = RolloutOptions::Change::Days;
            o.days = *days;
            ++changes;
        } else if (arg == "--key" && hasValue) {
            o.secretKey = CodePagePath(argv[++i]);
        } else if (arg == "--expires" && hasValue) {
            o.validity = ParseValidity(argv[++i]);
            if (!o.validity) return std::nullopt;
        } else if (!arg.starts_with("--") && !haveOut) {
            o.out = CodePagePath(argv[i]);
            haveOut = true;
        } else {
            return std::nullopt;
        }
    }
    if (!haveOut || changes != 1 || (o.validity && !o.secretKey)) return std::nullopt;
    return o;
}

void Rollout(const RolloutOptions& o) {
    const AnsiString manifestPath = JoinPath(o.out, "Version.ini");
    const std::string where = " in " + PrintablePath(o.out);
    // Rewriting it would put a plain file in the link's place.
    RefuseLinks(o.out, "Version.ini");
    const bool signedRelease =
        platform::FileExists(JoinPath(o.out, verification::kSignatureFileName)) ||
        platform::FileExists(JoinPath(o.out, freshness::kFileName));
    // Installations refuse a manifest whose signature no longer holds, so a signed release
    // changed without its key would stop every upgrade, and an unsigned one given a key would
    // become a signed one by accident.
    if (signedRelease && !o.secretKey)
        throw Failure{"the release" + where +
                      " is signed; a changed schedule must be signed anew: --key SECRETKEY"};
    if (!signedRelease && o.secretKey)
        throw Failure{"the release" + where + " is not signed; --key would sign it"};
    std::optional<SecretKey> key;
    std::optional<PublishedFolder> folder;
    if (o.secretKey) {
        key = ReadSecretKey(*o.secretKey);
        folder = ReadPublishedFolder(o.out);
        RefuseForeignManifest(o.out, *folder, *key);
    }

    // The manifest's bytes are read once and changed in a copy of their own, so that what is
    // signed is exactly what was read and changed.
    QTemporaryDir staging;
    if (!staging.isValid()) throw Failure{"cannot make a temporary folder"};
    const AnsiString staged = JoinPath(platform::FromUnicode(staging.path()), "Version.ini");
    WriteOrFail(staged, folder ? folder->manifest : ReadOrFail(manifestPath));
    const rollout::Reading reading = rollout::ReadSchedule(TIniSnapshot(staged));
    if (!reading.error.empty()) throw Failure{"Version.ini" + where + ": " + reading.error};
    if (!reading.schedule)
        throw Failure{"Version.ini" + where +
                      " has no rollout; publish the release with --rollout START,DAYS"};
    const utctime::Moment now = utctime::Now();
    const rollout::Schedule schedule = Changed(*reading.schedule, o, now);
    WriteSchedule(staged, schedule);
    const std::string manifest = ReadOrFail(staged);

    std::string signature, statement;
    if (key) {
        signature = *verification::Sign(manifest, key->secret) + "\n";
        statement =
            MakeStatement(folder->versionText, manifest, folder->statement, folder->chain.size(),
                          o.validity.value_or(kDefaultValidity), key->secret);
    }
    WriteOrFail(manifestPath, manifest);
    if (key) {
        WriteOrFail(JoinPath(o.out, verification::kSignatureFileName), signature);
        WriteOrFail(JoinPath(o.out, freshness::kFileName), statement);
    }
    std::cout << "Version.ini: " << DescribeRollout(schedule, now) << "\n";
    if (key) std::cout << freshness::kFileName << ": " << Describe(statement) << "\n";
}

}  // namespace publish
