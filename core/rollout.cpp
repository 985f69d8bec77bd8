#include "core/rollout.h"

#include <algorithm>

#include "core/namedlines.h"

namespace rollout {
namespace {

using std::chrono::seconds;

constexpr const char* kStartKey = "START";
constexpr const char* kDaysKey = "DAYS";
constexpr const char* kHaltedKey = "HALTED";

seconds Duration(const Schedule& schedule) {
    return std::chrono::days(schedule.days);
}

// The last moment utctime writes: a schedule must end by then, so that every moment it names
// or reaches can be written.
utctime::Moment LastMoment() {
    return *utctime::Parse("9999-12-31T23:59:59Z");
}

// How far the line has grown at `now`, from 0 to its whole duration: while halted, as far as
// it had grown at the halt.
seconds Grown(const Schedule& schedule, utctime::Moment now) {
    const utctime::Moment at = schedule.halted ? std::min(now, *schedule.halted) : now;
    return std::clamp(at - schedule.start, seconds(0), Duration(schedule));
}

std::string Where(const char* key) {
    return "[" + std::string(kSection) + "] " + key;
}

// The value of `key` as `parse` reads it (nothing for text it does not take). Nothing, with
// `error` saying why, when the key is given twice, is missing though `required`, or its text
// is not taken; nothing and no error when it is not given.
template <typename Parse>
auto Value(const TIniSnapshot& manifest, const char* key, bool required, Parse parse,
           const std::string& what, std::string* error) -> decltype(parse(std::string_view())) {
    const std::vector<AnsiString> values = manifest.ReadEntries(kSection, key);
    if (values.size() > 1)
        *error = Where(key) + " is given " + std::to_string(values.size()) + " times";
    else if (values.empty() && required)
        *error = Where(key) + " is missing";
    if (values.size() != 1) return std::nullopt;
    auto value = parse(values.front());
    if (!value) *error = Where(key) + " \"" + values.front() + "\" is no " + what;
    return value;
}

// Why the keys of the section are not those of a schedule; empty when they are.
std::string UnknownKey(const TIniSnapshot& manifest) {
    for (const TIniSnapshot::Entry& entry : manifest.Entries(kSection))
        if (!SameTextIgnoringCase(entry.key, kStartKey) &&
            !SameTextIgnoringCase(entry.key, kDaysKey) &&
            !SameTextIgnoringCase(entry.key, kHaltedKey))
            return "[" + std::string(kSection) + "] has the key \"" + entry.key +
                   "\", which this updater does not know";
    return {};
}

}  // namespace

Reading ReadSchedule(const TIniSnapshot& manifest) {
    Reading reading;
    const std::vector<AnsiString>& sections = manifest.SectionNames();
    const auto given = std::count_if(sections.begin(), sections.end(), [](const AnsiString& name) {
        return SameTextIgnoringCase(name, kSection);
    });
    std::string& error = reading.error;
    if (given == 0) return reading;
    // A second section would be read by nobody, whatever its author meant by it.
    error = given > 1 ? "[" + std::string(kSection) + "] is given more than once"
                      : UnknownKey(manifest);
    if (!error.empty()) return reading;

    const auto moment = [](std::string_view text) { return utctime::Parse(text); };
    constexpr const char* kMomentForm = "UTC time (YYYY-MM-DDTHH:MM:SSZ)";
    const std::optional<utctime::Moment> start =
        Value(manifest, kStartKey, true, moment, kMomentForm, &error);
    const std::optional<int64_t> days =
        error.empty() ? Value(manifest, kDaysKey, true, DaysFromText,
                              "whole number of days from 1 to " + std::to_string(kMaxDays), &error)
                      : std::nullopt;
    const std::optional<utctime::Moment> halted =
        error.empty() ? Value(manifest, kHaltedKey, false, moment, kMomentForm, &error)
                      : std::nullopt;
    if (!start || !days) return reading;  // with the error that says why
    const Schedule schedule{*start, *days, halted};
    if (error.empty()) error = Flaw(schedule);
    if (error.empty()) reading.schedule = schedule;
    return reading;
}

std::optional<int64_t> DaysFromText(std::string_view text) {
    const std::optional<uint64_t> days = namedlines::Count(text);
    if (!days || *days == 0 || *days > uint64_t(kMaxDays)) return std::nullopt;
    return int64_t(*days);
}

std::string Flaw(const Schedule& schedule) {
    if (schedule.days < 1 || schedule.days > kMaxDays)
        return Where(kDaysKey) + " " + std::to_string(schedule.days) +
               " is no whole number of days from 1 to " + std::to_string(kMaxDays);
    if (schedule.start > LastMoment() - Duration(schedule))
        return Where(kStartKey) + " " + utctime::Format(schedule.start) + " and " +
               Where(kDaysKey) + " " + std::to_string(schedule.days) +
               " end the rollout after the year 9999";
    return {};
}

std::vector<std::pair<std::string, std::string>> Entries(const Schedule& schedule) {
    std::vector<std::pair<std::string, std::string>> entries{
        {kStartKey, utctime::Format(schedule.start)}, {kDaysKey, std::to_string(schedule.days)}};
    if (schedule.halted) entries.emplace_back(kHaltedKey, utctime::Format(*schedule.halted));
    return entries;
}

uint64_t OpenNumbers(const Schedule& schedule, utctime::Moment now) {
    // At most 2^32 x 366 days in seconds, well within 64 bits.
    return kNumbers * uint64_t(Grown(schedule, now).count()) / uint64_t(Duration(schedule).count());
}

std::optional<utctime::Moment> OfferedFrom(const Schedule& schedule, uint32_t number) {
    if (schedule.halted) return std::nullopt;
    // number < 2^32 x grown / duration  <=>  grown >= (number + 1) x duration / 2^32
    const uint64_t duration = uint64_t(Duration(schedule).count());
    const uint64_t grown = ((uint64_t(number) + 1) * duration + kNumbers - 1) / kNumbers;
    return schedule.start + seconds(grown);
}

Phase PhaseAt(const Schedule& schedule, utctime::Moment now) {
    if (schedule.halted) return Phase::Halted;
    if (now < schedule.start) return Phase::NotStarted;
    return Grown(schedule, now) < Duration(schedule) ? Phase::Growing : Phase::Complete;
}

Schedule Halted(Schedule schedule, utctime::Moment now) {
    if (!schedule.halted) schedule.halted = now;
    return schedule;
}

Schedule Resumed(Schedule schedule, utctime::Moment now) {
    if (!schedule.halted) return schedule;
    // The time it stood halted after START; a halt before START delays only what was left of
    // the wait.
    schedule.start += std::max(seconds(0), now - std::max(*schedule.halted, schedule.start));
    schedule.halted.reset();
    return schedule;
}

Schedule WithDays(Schedule schedule, int64_t days, utctime::Moment now) {
    const utctime::Moment at = schedule.halted ? *schedule.halted : now;
    const uint64_t grown = uint64_t(Grown(schedule, at).count());
    const uint64_t oldDuration = uint64_t(Duration(schedule).count());
    schedule.days = days;
    if (grown == 0) return schedule;  // not started: START stays
    // Rounded up, so that the share open at `at` does not shrink by a single number.
    const uint64_t newDuration = uint64_t(Duration(schedule).count());
    const uint64_t regrown = (grown * newDuration + oldDuration - 1) / oldDuration;
    schedule.start = at - seconds(int64_t(regrown));
    return schedule;
}

Verdict OfferTo(const Schedule& schedule, uint32_t number, utctime::Moment now) {
    Verdict verdict;
    if (schedule.halted) {
        verdict.kind = Verdict::Kind::Halted;
    } else if (number >= OpenNumbers(schedule, now)) {
        verdict.kind = Verdict::Kind::NotYet;
        verdict.from = OfferedFrom(schedule, number);
    }
    return verdict;
}

}  // namespace rollout
