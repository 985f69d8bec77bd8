// TIniFile: reads and writes one INI file, going to the file on every call.
//
// Nothing is cached: a value written through any store is seen by the next read through any
// other, and a file replaced on disk is seen by the next read. Section and key names match
// ignoring ASCII letter case. Lines are "[section]" and "key=value"; blanks around names and
// values are trimmed, a value in one pair of matching quotes comes back without them, and
// lines starting with ";" are comments. When names repeat, reads take the first section and
// the first key; name lists show every one.
//
// Writes replace the file as a whole (a complete copy renamed over the old one) and leave
// every line they do not change byte for byte as it was, line ends included. A file that is
// there but cannot be read is never rewritten: reads take it as missing, writes fail.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/text.h"

class TIniFile {
public:
    explicit TIniFile(AnsiString fileName) : fileName_(std::move(fileName)) {}

    const AnsiString& FileName() const { return fileName_; }

    // The value, at most 2,047 bytes of it; `defaultValue` when file, section or key is missing.
    AnsiString ReadEntry(const AnsiString& section, const AnsiString& key,
                         const AnsiString& defaultValue = {}) const;

    // Clear `list`, then fill it with the value of every key of that name in the section, in
    // file order; the first is the one ReadEntry reads. A missing file, section or key gives an
    // empty list, a key without a value an empty text in it. For callers that must not settle
    // for the first of several differing values.
    void ReadEntries(const AnsiString& section, const AnsiString& key,
                     std::vector<AnsiString>& list) const;

    // Sets a value, creating the file (not its folder) and the section as needed. An existing
    // key keeps its place; a new key goes to the end of its section, a new section to the end
    // of the file. Throws Exception "无法写入 <path>" when the file cannot be read or written.
    void WriteEntry(const AnsiString& section, const AnsiString& key, const AnsiString& value);

    // Clear `list`, then fill it with every name, in file order. A missing file or section
    // gives an empty list.
    void KeyNames(const AnsiString& section, std::vector<AnsiString>& list) const;
    void SectionNames(std::vector<AnsiString>& list) const;

    // Deletes the key's line. A missing file, section or key is no error. False only when the
    // key is there and the file could not be rewritten without it; callers for whom that is
    // no error may ignore the result.
    bool RemoveKey(const AnsiString& section, const AnsiString& key);

    // Sets `toKey` of `toSection` to `value` and deletes `fromKey` of `fromSection` in one
    // replacement of the file, so that a crash leaves both changes or neither. Throws like
    // WriteEntry.
    void MoveEntry(const AnsiString& fromSection, const AnsiString& fromKey,
                   const AnsiString& toSection, const AnsiString& toKey, const AnsiString& value);

    struct KeyValue {
        AnsiString key;
        AnsiString value;
    };
    // Moves many entries between two sections in one replacement of the file: sets each `moved`
    // key of `toSection` to its value (new keys in their order after the section's last line)
    // and deletes that key, and each key of `dropped`, from `fromSection` (the first line of
    // each name). A crash leaves every change or none. Throws like WriteEntry.
    void MoveEntries(const AnsiString& fromSection, const AnsiString& toSection,
                     const std::vector<KeyValue>& moved, const std::vector<AnsiString>& dropped);

    // Deletes the line of each key in `keys` (the first of that name) from the section, all in
    // one replacement of the file. Keys that are not there are no error. Throws like WriteEntry.
    void RemoveKeys(const AnsiString& section, const std::vector<AnsiString>& keys);

    // Deletes the section header and every line up to the next section. Throws like WriteEntry.
    void RemoveSection(const AnsiString& section);

private:
    AnsiString fileName_;
};

// The whole file read once, for a caller that looks up many names: each lookup gives what the
// same read through TIniFile would have given when the snapshot was taken, in constant time
// rather than by reading the file again. A missing or unreadable file gives an empty snapshot.
class TIniSnapshot {
public:
    struct Entry {
        AnsiString key;
        AnsiString value;  // as ReadEntry gives it
    };

    explicit TIniSnapshot(const AnsiString& fileName);

    // Every key line of the first section of that name, in file order.
    const std::vector<Entry>& Entries(const AnsiString& section) const;
    // The first line of the key in the section, with the key as the file spells it; nothing
    // when there is none.
    const Entry* FindEntry(const AnsiString& section, const AnsiString& key) const;
    AnsiString ReadEntry(const AnsiString& section, const AnsiString& key,
                         const AnsiString& defaultValue = {}) const;
    // The value of every key of that name in the section, as TIniFile::ReadEntries.
    std::vector<AnsiString> ReadEntries(const AnsiString& section, const AnsiString& key) const;
    const std::vector<AnsiString>& SectionNames() const { return sectionNames_; }

private:
    struct Section {
        std::vector<Entry> entries;
        std::unordered_map<std::string, std::vector<size_t>> byKey;  // folded key -> entries
    };
    const Section* Find(const AnsiString& section) const;

    std::vector<AnsiString> sectionNames_;
    std::unordered_map<std::string, Section> sections_;  // folded name -> the first section
};
