// A list of "name: value" lines, as request headers are kept.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/text.h"

// A string list whose lines are looked up by name, the text before a line's first ":".
// Names compare case-insensitively (ASCII fast path, locale-aware for other text). With
// `Sorted` set, `Add` keeps the lines in case-insensitive order and `FindField` searches
// by halving; otherwise lines keep their order and `FindField` scans.
class TExStringList {
public:
    // Index of the first line named `name`, or -1. Unsorted: lines without ":" are skipped.
    // Sorted: a line without ":" counts as having an empty name.
    int FindField(const AnsiString& name) const;

    // A non-empty value replaces the named line by name + ": " + value (or adds that line);
    // an empty value removes the named line, if there is one.
    void SetField(const AnsiString& name, const AnsiString& value);

    // Adds a line (in order when `Sorted`) and returns its index.
    int Add(const AnsiString& line);
    void Delete(int index);
    void Clear() { lines_.clear(); }
    int Count() const { return static_cast<int>(lines_.size()); }
    const AnsiString& operator[](int index) const { return lines_.at(static_cast<size_t>(index)); }

    // Setting it to true sorts the lines that are there.
    void SetSorted(bool sorted);
    bool Sorted() const { return sorted_; }

private:
    std::vector<AnsiString> lines_;
    bool sorted_ = false;
};
