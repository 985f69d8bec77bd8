#include "core/journal.h"

#include <algorithm>

#include "core/manifest.h"
#include "core/verification.h"

namespace {

constexpr const char* kWaitingSection = "RUN";
constexpr const char* kComponentSection = "DLL";

// Takes the entry with `key` out of `entries`, looking at the front first, where the steps'
// order puts it. Nothing when it is not there.
std::optional<TJournal::Entry> Take(std::deque<TJournal::Entry>& entries, const AnsiString& key) {
    auto found = !entries.empty() && SameTextIgnoringCase(entries.front().key, key)
                     ? entries.begin()
                     : std::find_if(entries.begin(), entries.end(), [&](const auto& entry) {
                           return SameTextIgnoringCase(entry.key, key);
                       });
    if (found == entries.end()) return std::nullopt;
    TJournal::Entry entry = std::move(*found);
    entries.erase(found);
    return entry;
}

}  // namespace

TJournal::TJournal(AnsiString path, AnsiString version)
    : file_(std::move(path)), version_(std::move(version)), snapshot_(file_.FileName()) {
    for (const TIniSnapshot::Entry& line : snapshot_.Entries(version_))
        toDownload_.push_back(Parse(line));
    for (const TIniSnapshot::Entry& line : snapshot_.Entries(kWaitingSection))
        waiting_.push_back(Parse(line));
    for (const auto* entries : {&toDownload_, &waiting_})
        for (const Entry& entry : *entries) usedKeys_.insert(FoldedName(entry.key));
}

TJournal::Entry TJournal::Parse(const TIniSnapshot::Entry& line) const {
    Entry entry;
    entry.key = line.key;
    entry.value = line.value;
    entry.fileName = EntryFileName(line.value);
    entry.targetFolder = EntryTargetFolder(line.value);
    entry.copy = IsCopyEntry(line.value);
    entry.safe = IsSafeEntry(line.value);
    return entry;
}

AnsiString TJournal::ComponentDate(const AnsiString& name) const {
    return snapshot_.ReadEntry(kComponentSection, name);
}

std::vector<AnsiString> TJournal::Digests(const AnsiString& fileName) const {
    return snapshot_.ReadEntries(verification::kDigestSection, fileName);
}

std::optional<int64_t> TJournal::ListedSize(const AnsiString& fileName) const {
    const std::vector<AnsiString> sizes = snapshot_.ReadEntries(kSizeSection, fileName);
    if (sizes.empty()) return std::nullopt;
    const std::optional<uint64_t> size = DecimalCount(sizes.front(), INT64_MAX);
    if (!size)
        throw Exception("[" + AnsiString(kSizeSection) + "] " + fileName + "=" + sizes.front() +
                        " is no byte count");
    return int64_t(*size);
}

std::optional<delta::Patch> TJournal::PatchFor(const AnsiString& fileName,
                                               const AnsiString& installedDigest) const {
    return delta::ChoosePatch(snapshot_, fileName, installedDigest);
}

AnsiString TJournal::NewVersion() const {
    return snapshot_.ReadEntry("VERSION", "VERSION");
}

AnsiString TJournal::NewDataVersion() const {
    return snapshot_.ReadEntry("VERSION", "DATAVERSION");
}

AnsiString TJournal::UnusedKey() const {
    for (size_t n = toDownload_.size() + 1;; ++n) {
        AnsiString key = std::to_string(n);
        if (!usedKeys_.count(key)) return key;
    }
}

const TJournal::Entry& TJournal::AppendComponent(const AnsiString& name) {
    const AnsiString key = UnusedKey();
    const AnsiString value = name + ";0";
    file_.MoveEntry(kComponentSection, name, version_, key, value);
    usedKeys_.insert(key);
    toDownload_.push_back(Parse({key, value}));
    return toDownload_.back();
}

void TJournal::DropComponent(const AnsiString& name) {
    file_.RemoveKey(kComponentSection, name);
}

void TJournal::MarkDownloaded(const Entry& entry) {
    file_.MoveEntry(version_, entry.key, kWaitingSection, entry.key, entry.value);
    Take(toDownload_, entry.key);
    waiting_.push_back(entry);
}

void TJournal::CloseSection() {
    file_.RemoveSection(version_);
    toDownload_.clear();
}

void TJournal::MarkInstalled(const std::vector<Entry>& entries) {
    std::vector<AnsiString> keys;
    for (const Entry& entry : entries) keys.push_back(entry.key);
    file_.RemoveKeys(kWaitingSection, keys);
    for (const AnsiString& key : keys) {
        Take(waiting_, key);
        usedKeys_.erase(FoldedName(key));
    }
}

void TJournal::ReturnToDownload(const Entry& from) {
    auto first = std::find_if(waiting_.begin(), waiting_.end(),
                              [&](const Entry& entry) { return entry.key == from.key; });
    for (auto it = first; it != waiting_.end(); ++it)
        file_.MoveEntry(kWaitingSection, it->key, version_, it->key, it->value);
    toDownload_.insert(toDownload_.end(), first, waiting_.end());
    waiting_.erase(first, waiting_.end());
}
