#include "core/journal.h"

#include <algorithm>

#include "core/manifest.h"
#include "core/verification.h"
#include "platform/text.h"

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
    ParseSection(snapshot_.Entries(version_), toDownload_, shadowedToDownload_);
    ParseSection(snapshot_.Entries(kWaitingSection), waiting_, shadowedWaiting_);
}

void TJournal::ParseSection(const std::vector<TIniSnapshot::Entry>& lines,
                            std::deque<Entry>& entries,
                            std::unordered_map<std::string, std::vector<AnsiString>>& shadowed) {
    std::unordered_map<std::string, size_t> lastOfName;  // folded file name -> its last line
    for (size_t i = 0; i < lines.size(); ++i) {
        usedKeys_.insert(FoldedName(lines[i].key));
        lastOfName[FoldedName(EntryFileName(lines[i].value))] = i;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string name = FoldedName(EntryFileName(lines[i].value));
        if (lastOfName[name] == i)
            entries.push_back(Parse(lines[i]));
        else
            shadowed[name].push_back(lines[i].key);
    }
}

std::vector<AnsiString> TJournal::TakeShadowed(
    const std::vector<Entry>& entries,
    std::unordered_map<std::string, std::vector<AnsiString>>& shadowed) {
    std::vector<AnsiString> keys;
    if (shadowed.empty()) return keys;
    for (const Entry& entry : entries) {
        auto found = shadowed.find(FoldedName(entry.fileName));
        if (found == shadowed.end()) continue;
        keys.insert(keys.end(), found->second.begin(), found->second.end());
        shadowed.erase(found);
    }
    return keys;
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
    if (movedComponents_.count(FoldedName(name))) return {};
    return snapshot_.ReadEntry(kComponentSection, name);
}

AnsiString TJournal::ComponentName(const AnsiString& name) const {
    const TIniSnapshot::Entry* listed = snapshot_.FindEntry(kComponentSection, name);
    return listed ? listed->key : name;
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

bool TJournal::OffersPatches(const AnsiString& fileName) const {
    return snapshot_.FindEntry(delta::kPatchSection, fileName) != nullptr;
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
    const AnsiString value = ComponentName(name) + ";0";
    file_.MoveEntry(kComponentSection, name, version_, key, value);
    usedKeys_.insert(key);
    movedComponents_.insert(FoldedName(name));
    toDownload_.push_back(Parse({key, value}));
    return toDownload_.back();
}

void TJournal::DropComponent(const AnsiString& name) {
    file_.RemoveKey(kComponentSection, name);
    movedComponents_.insert(FoldedName(name));
}

void TJournal::MarkDownloaded(const std::vector<Entry>& entries) {
    std::vector<TIniFile::KeyValue> moved;
    for (const Entry& entry : entries) moved.push_back({entry.key, entry.value});
    std::unordered_map<std::string, std::vector<AnsiString>> shadowed = shadowedToDownload_;
    file_.MoveEntries(version_, kWaitingSection, moved, TakeShadowed(entries, shadowed));
    shadowedToDownload_ = std::move(shadowed);
    for (const Entry& entry : entries) {
        Take(toDownload_, entry.key);
        waiting_.push_back(entry);
    }
}

void TJournal::CloseSection() {
    file_.RemoveSection(version_);
    toDownload_.clear();
}

void TJournal::MarkInstalled(const std::vector<Entry>& entries) {
    std::unordered_map<std::string, std::vector<AnsiString>> shadowed = shadowedWaiting_;
    std::vector<AnsiString> keys = TakeShadowed(entries, shadowed);
    for (const Entry& entry : entries) keys.push_back(entry.key);
    file_.RemoveKeys(kWaitingSection, keys);
    shadowedWaiting_ = std::move(shadowed);
    for (const AnsiString& key : keys) {
        Take(waiting_, key);
        usedKeys_.erase(FoldedName(key));
    }
}

void TJournal::ReturnToDownload(const Entry& from) {
    auto first = std::find_if(waiting_.begin(), waiting_.end(),
                              [&](const Entry& entry) { return entry.key == from.key; });
    const std::vector<Entry> returned(first, waiting_.end());
    std::vector<TIniFile::KeyValue> moved;
    for (const Entry& entry : returned) moved.push_back({entry.key, entry.value});
    std::unordered_map<std::string, std::vector<AnsiString>> shadowed = shadowedWaiting_;
    file_.MoveEntries(kWaitingSection, version_, moved, TakeShadowed(returned, shadowed));
    shadowedWaiting_ = std::move(shadowed);
    toDownload_.insert(toDownload_.end(), returned.begin(), returned.end());
    waiting_.erase(first, waiting_.end());
}
