#include "core/inifile.h"

#include <optional>
#include <string_view>
#include <unordered_map>

#include "core/messages.h"
#include "platform/files.h"

namespace {

constexpr size_t kMaxValueBytes = 2047;

// One line of the file, kept with its own line end so untouched lines are written back as read.
struct Line {
    std::string_view text;  // without the line end
    std::string_view end;   // "\r\n", "\n" or empty for a last line without one
};

// The file split into lines and understood as sections and keys. Views point into `bytes`.
class IniDocument {
public:
    // Nothing when the file cannot be read; `failure`, when given, then says whether a file is
    // there at all.
    static std::optional<IniDocument> Load(const AnsiString& fileName,
                                           platform::ReadFailure* failure = nullptr) {
        std::optional<std::string> bytes = platform::ReadWholeFile(fileName, failure);
        if (!bytes) return std::nullopt;
        return IniDocument(std::move(*bytes));
    }

    explicit IniDocument(std::string bytes) : bytes_(std::move(bytes)) {
        std::string_view rest = bytes_;
        if (rest.substr(0, 3) == "\xEF\xBB\xBF") {
            bomLength_ = 3;
            rest.remove_prefix(3);
        }
        while (!rest.empty()) {
            size_t lf = rest.find('\n');
            Line line;
            if (lf == std::string_view::npos) {
                line.text = rest;
                rest = {};
            } else {
                size_t textEnd = lf > 0 && rest[lf - 1] == '\r' ? lf - 1 : lf;
                line.text = rest.substr(0, textEnd);
                line.end = rest.substr(textEnd, lf + 1 - textEnd);
                rest.remove_prefix(lf + 1);
            }
            lines_.push_back(line);
        }
    }

    IniDocument(const IniDocument&) = delete;
    // The lines point into `bytes_`, and a short text lives inside the string object itself,
    // so a moved-to document splits its own copy again.
    IniDocument(IniDocument&& other) : IniDocument(std::move(other.bytes_)) {}

    // The name of a "[section]" line, or nothing for any other line.
    static std::optional<std::string_view> SectionName(const Line& line) {
        std::string_view text = TrimBlanks(line.text);
        if (text.empty() || text.front() != '[') return std::nullopt;
        text.remove_prefix(1);
        size_t close = text.find(']');
        return TrimBlanks(text.substr(0, close));
    }

    // The key of a "key=value" line, or nothing for comments, headers and other lines.
    static std::optional<std::string_view> KeyName(const Line& line) {
        std::string_view text = TrimBlanks(line.text);
        if (text.empty() || text.front() == ';' || text.front() == '[') return std::nullopt;
        size_t equals = text.find('=');
        if (equals == std::string_view::npos) return std::nullopt;
        return TrimBlanks(text.substr(0, equals));
    }

    static std::string_view Value(const Line& line) {
        std::string_view value = TrimBlanks(line.text.substr(line.text.find('=') + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }

    // Index range [first, last) of the lines after the first header named `section`.
    std::optional<std::pair<size_t, size_t>> FindSection(std::string_view section) const {
        section = TrimBlanks(section);
        for (size_t i = 0; i < lines_.size(); ++i) {
            std::optional<std::string_view> name = SectionName(lines_[i]);
            if (!name || !SameTextIgnoringCase(*name, section)) continue;
            size_t end = i + 1;
            while (end < lines_.size() && !SectionName(lines_[end])) ++end;
            return std::make_pair(i + 1, end);
        }
        return std::nullopt;
    }

    std::optional<size_t> FindKey(std::pair<size_t, size_t> range, std::string_view key) const {
        key = TrimBlanks(key);
        for (size_t i = range.first; i < range.second; ++i) {
            std::optional<std::string_view> name = KeyName(lines_[i]);
            if (name && SameTextIgnoringCase(*name, key)) return i;
        }
        return std::nullopt;
    }

    const std::vector<Line>& lines() const { return lines_; }
    const std::string& bytes() const { return bytes_; }
    size_t BomLength() const { return bomLength_; }

    // The line end that new lines get: the file's own, CR LF for a file that has none yet.
    std::string_view LineEnd() const {
        for (const Line& line : lines_)
            if (!line.end.empty()) return line.end;
        return "\r\n";
    }

    // The file with lines [replaceFirst, replaceLast) replaced by `replacement` (text and line
    // ends given whole); a replaceFirst past the last line appends it.
    std::string Render(size_t replaceFirst, size_t replaceLast,
                       const std::string& replacement) const {
        std::string out(bytes_.data(), bomLength_);
        out.reserve(bytes_.size() + replacement.size());
        for (size_t i = 0; i < lines_.size(); ++i) {
            if (i == replaceFirst) out += replacement;
            if (i >= replaceFirst && i < replaceLast) continue;
            out.append(lines_[i].text);
            out.append(lines_[i].end);
        }
        if (replaceFirst >= lines_.size()) out += replacement;
        return out;
    }

private:
    std::string bytes_;
    size_t bomLength_ = 0;
    std::vector<Line> lines_;
};

// The file's contents with `key` of `section` set to `value` (see WriteEntry).
std::string WithEntry(const IniDocument& document, const AnsiString& section, const AnsiString& key,
                      const AnsiString& value) {
    const std::string_view end = document.LineEnd();
    auto range = document.FindSection(section);
    if (!range) {
        std::string addition;
        if (!document.lines().empty() && document.lines().back().end.empty()) addition += end;
        addition.append("[").append(TrimBlanks(section)).append("]").append(end);
        addition.append(TrimBlanks(key)).append("=").append(value).append(end);
        return document.Render(document.lines().size(), document.lines().size(), addition);
    } else if (std::optional<size_t> index = document.FindKey(*range, key)) {
        const Line& line = document.lines()[*index];
        std::string replacement(line.text.substr(0, line.text.find('=') + 1));
        replacement.append(value).append(line.end.empty() ? std::string_view() : line.end);
        return document.Render(*index, *index + 1, replacement);
    } else {
        // After the section's last non-blank line, so blank lines between sections stay put.
        size_t insertAt = range->second;
        while (insertAt > range->first && TrimBlanks(document.lines()[insertAt - 1].text).empty())
            --insertAt;
        const Line& previous = document.lines()[insertAt - 1];
        std::string replacement(previous.text);
        replacement.append(previous.end.empty() ? end : previous.end);
        replacement.append(TrimBlanks(key)).append("=").append(value);
        if (!previous.end.empty() || insertAt < document.lines().size()) replacement.append(end);
        return document.Render(insertAt - 1, insertAt, replacement);
    }
}

// The file's contents with the entries moved as TIniFile::MoveEntries describes, in one pass.
std::string WithEntriesMoved(const IniDocument& document, const AnsiString& fromSection,
                             const AnsiString& toSection,
                             const std::vector<TIniFile::KeyValue>& moved,
                             const std::vector<AnsiString>& dropped) {
    const std::vector<Line>& lines = document.lines();
    const std::string_view end = document.LineEnd();
    const auto from = document.FindSection(fromSection);
    const auto to = document.FindSection(toSection);

    // Keys that `toSection` has already get their new value where they stand; the others are
    // added after its last non-blank line.
    std::unordered_map<std::string, size_t> toLines;  // folded key -> its first line
    if (to)
        for (size_t i = to->second; i-- > to->first;)
            if (std::optional<std::string_view> name = IniDocument::KeyName(lines[i]))
                toLines[FoldedName(*name)] = i;
    std::unordered_map<size_t, const AnsiString*> newValues;  // line -> value
    std::string added;
    for (const TIniFile::KeyValue& entry : moved) {
        auto line = toLines.find(FoldedName(TrimBlanks(entry.key)));
        if (line != toLines.end())
            newValues[line->second] = &entry.value;
        else
            added.append(TrimBlanks(entry.key)).append("=").append(entry.value).append(end);
    }
    std::unordered_map<std::string, bool> removed;  // folded key -> its line was dropped
    for (const TIniFile::KeyValue& entry : moved)
        removed.emplace(FoldedName(TrimBlanks(entry.key)), false);
    for (const AnsiString& key : dropped) removed.emplace(FoldedName(TrimBlanks(key)), false);
    size_t insertAfter = lines.size();
    if (to) {
        insertAfter = to->second;
        while (insertAfter > to->first && TrimBlanks(lines[insertAfter - 1].text).empty())
            --insertAfter;
        --insertAfter;  // the header, for a section without lines
    }

    std::string out(document.bytes().data(), document.BomLength());
    out.reserve(document.bytes().size() + added.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        bool skip = false;
        if (from && i >= from->first && i < from->second)
            if (std::optional<std::string_view> name = IniDocument::KeyName(line)) {
                auto found = removed.find(FoldedName(*name));
                skip = found != removed.end() && !found->second;
                if (skip) found->second = true;
            }
        if (!skip) {
            auto value = newValues.find(i);
            if (value != newValues.end())
                out.append(line.text.substr(0, line.text.find('=') + 1)).append(*value->second);
            else
                out.append(line.text);
            out.append(line.end);
        }
        if (i == insertAfter && !added.empty()) {
            if (line.end.empty()) out.append(end);
            out.append(added);
        }
    }
    if (!to && !added.empty()) {
        if (!lines.empty() && lines.back().end.empty()) out.append(end);
        out.append("[").append(TrimBlanks(toSection)).append("]").append(end).append(added);
    }
    return out;
}

// The file's contents without `key` of `section`; nothing when there is no such key.
std::optional<std::string> WithoutKey(const IniDocument& document, const AnsiString& section,
                                      const AnsiString& key) {
    auto range = document.FindSection(section);
    if (!range) return std::nullopt;
    std::optional<size_t> index = document.FindKey(*range, key);
    if (!index) return std::nullopt;
    return document.Render(*index, *index + 1, {});
}

[[noreturn]] void RaiseCannotWrite(const AnsiString& fileName) {
    throw Exception(Texts::CannotWrite + fileName);
}

// The file for a removal: nothing when it is missing, where there is nothing to remove; an
// error when it is there but cannot be read.
std::optional<IniDocument> LoadForRemoval(const AnsiString& fileName) {
    platform::ReadFailure failure;
    std::optional<IniDocument> document = IniDocument::Load(fileName, &failure);
    if (!document && failure == platform::ReadFailure::Unreadable) RaiseCannotWrite(fileName);
    return document;
}

}  // namespace

AnsiString TIniFile::ReadEntry(const AnsiString& section, const AnsiString& key,
                               const AnsiString& defaultValue) const {
    std::optional<IniDocument> document = IniDocument::Load(fileName_);
    if (!document) return defaultValue;
    auto range = document->FindSection(section);
    if (!range) return defaultValue;
    std::optional<size_t> line = document->FindKey(*range, key);
    if (!line) return defaultValue;
    std::string_view value = IniDocument::Value(document->lines()[*line]);
    return AnsiString(value.substr(0, kMaxValueBytes));
}

void TIniFile::ReadEntries(const AnsiString& section, const AnsiString& key,
                           std::vector<AnsiString>& list) const {
    list.clear();
    std::optional<IniDocument> document = IniDocument::Load(fileName_);
    if (!document) return;
    auto range = document->FindSection(section);
    while (range) {
        std::optional<size_t> line = document->FindKey(*range, key);
        if (!line) return;
        list.emplace_back(IniDocument::Value(document->lines()[*line]).substr(0, kMaxValueBytes));
        range->first = *line + 1;
    }
}

void TIniFile::WriteEntry(const AnsiString& section, const AnsiString& key,
                          const AnsiString& value) {
    platform::ReadFailure failure;
    std::optional<IniDocument> loaded = IniDocument::Load(fileName_, &failure);
    // Only a missing file may be started afresh: rewriting one that is there but cannot be
    // read would replace everything in it with this one entry.
    if (!loaded && failure == platform::ReadFailure::Unreadable) RaiseCannotWrite(fileName_);
    IniDocument document = loaded ? std::move(*loaded) : IniDocument(std::string());
    if (!platform::ReplaceFileContents(fileName_, WithEntry(document, section, key, value)))
        RaiseCannotWrite(fileName_);
}

void TIniFile::KeyNames(const AnsiString& section, std::vector<AnsiString>& list) const {
    list.clear();
    std::optional<IniDocument> document = IniDocument::Load(fileName_);
    if (!document) return;
    auto range = document->FindSection(section);
    if (!range) return;
    for (size_t i = range->first; i < range->second; ++i)
        if (std::optional<std::string_view> name = IniDocument::KeyName(document->lines()[i]))
            list.emplace_back(*name);
}

void TIniFile::SectionNames(std::vector<AnsiString>& list) const {
    list.clear();
    std::optional<IniDocument> document = IniDocument::Load(fileName_);
    if (!document) return;
    for (const Line& line : document->lines())
        if (std::optional<std::string_view> name = IniDocument::SectionName(line))
            list.emplace_back(*name);
}

bool TIniFile::RemoveKey(const AnsiString& section, const AnsiString& key) {
    std::optional<IniDocument> document = IniDocument::Load(fileName_);
    if (!document) return true;
    std::optional<std::string> contents = WithoutKey(*document, section, key);
    return !contents || platform::ReplaceFileContents(fileName_, *contents);
}

void TIniFile::MoveEntry(const AnsiString& fromSection, const AnsiString& fromKey,
                         const AnsiString& toSection, const AnsiString& toKey,
                         const AnsiString& value) {
    platform::ReadFailure failure;
    std::optional<IniDocument> loaded = IniDocument::Load(fileName_, &failure);
    if (!loaded && failure == platform::ReadFailure::Unreadable) RaiseCannotWrite(fileName_);
    IniDocument document = loaded ? std::move(*loaded) : IniDocument(std::string());
    IniDocument written(WithEntry(document, toSection, toKey, value));
    const std::string contents =
        WithoutKey(written, fromSection, fromKey).value_or(written.bytes());
    if (!platform::ReplaceFileContents(fileName_, contents)) RaiseCannotWrite(fileName_);
}

void TIniFile::MoveEntries(const AnsiString& fromSection, const AnsiString& toSection,
                           const std::vector<KeyValue>& moved,
                           const std::vector<AnsiString>& dropped) {
    platform::ReadFailure failure;
    std::optional<IniDocument> loaded = IniDocument::Load(fileName_, &failure);
    if (!loaded && failure == platform::ReadFailure::Unreadable) RaiseCannotWrite(fileName_);
    const IniDocument document = loaded ? std::move(*loaded) : IniDocument(std::string());
    if (!platform::ReplaceFileContents(
            fileName_, WithEntriesMoved(document, fromSection, toSection, moved, dropped)))
        RaiseCannotWrite(fileName_);
}

void TIniFile::RemoveKeys(const AnsiString& section, const std::vector<AnsiString>& keys) {
    std::optional<IniDocument> document = LoadForRemoval(fileName_);
    if (!document) return;
    auto range = document->FindSection(section);
    if (!range) return;
    std::unordered_map<std::string, bool> wanted;  // folded key -> its line was dropped
    for (const AnsiString& key : keys) wanted.emplace(FoldedName(TrimBlanks(key)), false);
    std::string contents(document->bytes().data(), document->BomLength());
    for (size_t i = 0; i < document->lines().size(); ++i) {
        const Line& line = document->lines()[i];
        if (i >= range->first && i < range->second) {
            if (std::optional<std::string_view> name = IniDocument::KeyName(line)) {
                auto found = wanted.find(FoldedName(*name));
                if (found != wanted.end() && !found->second) {
                    found->second = true;
                    continue;
                }
            }
        }
        contents.append(line.text).append(line.end);
    }
    if (!platform::ReplaceFileContents(fileName_, contents)) RaiseCannotWrite(fileName_);
}

void TIniFile::RemoveSection(const AnsiString& section) {
    std::optional<IniDocument> document = LoadForRemoval(fileName_);
    if (!document) return;
    auto range = document->FindSection(section);
    if (!range) return;
    if (!platform::ReplaceFileContents(fileName_,
                                       document->Render(range->first - 1, range->second, {})))
        RaiseCannotWrite(fileName_);
}

TIniSnapshot::TIniSnapshot(const AnsiString& fileName) {
    std::optional<IniDocument> document = IniDocument::Load(fileName);
    if (!document) return;
    Section* current = nullptr;  // the section the lines belong to, when it is a first one
    for (const Line& line : document->lines()) {
        if (std::optional<std::string_view> name = IniDocument::SectionName(line)) {
            sectionNames_.emplace_back(*name);
            auto [place, first] = sections_.try_emplace(FoldedName(*name));
            current = first ? &place->second : nullptr;
        } else if (current) {
            if (std::optional<std::string_view> key = IniDocument::KeyName(line)) {
                current->byKey[FoldedName(*key)].push_back(current->entries.size());
                current->entries.push_back(
                    {AnsiString(*key),
                     AnsiString(IniDocument::Value(line).substr(0, kMaxValueBytes))});
            }
        }
    }
}

const TIniSnapshot::Section* TIniSnapshot::Find(const AnsiString& section) const {
    auto found = sections_.find(FoldedName(TrimBlanks(section)));
    return found == sections_.end() ? nullptr : &found->second;
}

const std::vector<TIniSnapshot::Entry>& TIniSnapshot::Entries(const AnsiString& section) const {
    static const std::vector<Entry> none;
    const Section* found = Find(section);
    return found ? found->entries : none;
}

const TIniSnapshot::Entry* TIniSnapshot::FindEntry(const AnsiString& section,
                                                   const AnsiString& key) const {
    const Section* found = Find(section);
    if (!found) return nullptr;
    auto lines = found->byKey.find(FoldedName(TrimBlanks(key)));
    return lines == found->byKey.end() ? nullptr : &found->entries[lines->second.front()];
}

AnsiString TIniSnapshot::ReadEntry(const AnsiString& section, const AnsiString& key,
                                   const AnsiString& defaultValue) const {
    std::vector<AnsiString> values = ReadEntries(section, key);
    return values.empty() ? defaultValue : values.front();
}

std::vector<AnsiString> TIniSnapshot::ReadEntries(const AnsiString& section,
                                                  const AnsiString& key) const {
    std::vector<AnsiString> values;
    const Section* found = Find(section);
    if (!found) return values;
    auto lines = found->byKey.find(FoldedName(TrimBlanks(key)));
    if (lines == found->byKey.end()) return values;
    for (size_t index : lines->second) values.push_back(found->entries[index].value);
    return values;
}
