#include "net/sock/nmextstr.h"

#include <algorithm>
#include <stdexcept>

#include <QString>

#include "platform/codepage.h"

namespace {

bool IsAscii(const AnsiString& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Case-insensitive comparison: <0, 0, >0. Header names are ASCII and take the fast path;
// other text is compared as the user's locale orders it.
int CompareText(const AnsiString& a, const AnsiString& b) {
    if (IsAscii(a) && IsAscii(b)) {
        const size_t common = std::min(a.size(), b.size());
        for (size_t i = 0; i < common; ++i) {
            const int ca = tolower(static_cast<unsigned char>(a[i]));
            const int cb = tolower(static_cast<unsigned char>(b[i]));
            if (ca != cb) return ca - cb;
        }
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    }
    return QString::localeAwareCompare(platform::ToUnicode(a).toCaseFolded(),
                                       platform::ToUnicode(b).toCaseFolded());
}

// The text before the first ":"; `hasColon` tells whether there was one.
AnsiString NameOf(const AnsiString& line, bool* hasColon) {
    const size_t colon = line.find(':');
    *hasColon = colon != AnsiString::npos;
    return *hasColon ? line.substr(0, colon) : AnsiString();
}

// Sorted lists are ordered by name first, so that the search by name halves correctly even
// when one name is a prefix of another ("Host" and "Host-Id").
bool LineBefore(const AnsiString& a, const AnsiString& b) {
    bool hasColon = false;
    const int byName = CompareText(NameOf(a, &hasColon), NameOf(b, &hasColon));
    return byName != 0 ? byName < 0 : CompareText(a, b) < 0;
}

}  // namespace

int TExStringList::FindField(const AnsiString& name) const {
    bool hasColon = false;
    if (!sorted_) {
        for (int i = 0; i < Count(); ++i) {
            const AnsiString lineName = NameOf(lines_[static_cast<size_t>(i)], &hasColon);
            if (hasColon && CompareText(lineName, name) == 0) return i;
        }
        return -1;
    }
    int low = 0;
    int high = Count() - 1;
    while (low <= high) {
        const int middle = low + (high - low) / 2;
        const int order = CompareText(NameOf(lines_[static_cast<size_t>(middle)], &hasColon), name);
        if (order == 0) return middle;
        if (order < 0) {
            low = middle + 1;
        } else {
            high = middle - 1;
        }
    }
    return -1;
}

void TExStringList::SetField(const AnsiString& name, const AnsiString& value) {
    const int index = FindField(name);
    if (value.empty()) {
        if (index != -1) Delete(index);
        return;
    }
    const AnsiString line = name + ": " + value;
    if (index == -1) {
        Add(line);
    } else if (sorted_) {
        // The new text may sort elsewhere than the line it replaces.
        Delete(index);
        Add(line);
    } else {
        lines_[static_cast<size_t>(index)] = line;
    }
}

int TExStringList::Add(const AnsiString& line) {
    if (!sorted_) {
        lines_.push_back(line);
        return Count() - 1;
    }
    const auto place = std::upper_bound(lines_.begin(), lines_.end(), line, LineBefore);
    return static_cast<int>(lines_.insert(place, line) - lines_.begin());
}

void TExStringList::Delete(int index) {
    if (index < 0 || index >= Count())
        throw std::out_of_range("TExStringList::Delete: list index out of bounds");
    lines_.erase(lines_.begin() + index);
}

void TExStringList::SetSorted(bool sorted) {
    if (sorted && !sorted_) {
        std::stable_sort(lines_.begin(), lines_.end(), LineBefore);
    }
    sorted_ = sorted;
}
