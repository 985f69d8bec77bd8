#include "platform/caseinsensitivenames.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include <QByteArrayView>
#include <QString>

#include "platform/codepage.h"
#include "platform/eintr.h"
#include "platform/files.h"

namespace platform {
namespace {

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The key under which every spelling of a name that differs in letter case only is kept: the
// UTF-8 of its Unicode case folding. Most names of a product are ASCII, whose folding is
// lowering A-Z, so they skip the decoding.
std::string FoldedKey(std::string_view utf8) {
    if (IsAscii(utf8)) {
        std::string folded(utf8);
        for (char& c : folded) c = LowerAscii(c);
        return folded;
    }
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size())).toCaseFolded().toStdString();
}

// The components of a code-page name between its separators, empty ones included, split only
// at separators that are characters of their own.
std::vector<AnsiString> Components(const AnsiString& name) {
    std::vector<AnsiString> components;
    for (size_t start = 0;;) {
        const size_t end = FindSeparator(name, start);
        components.push_back(name.substr(start, end - start));
        if (end == AnsiString::npos) return components;
        start = end + 1;
    }
}

// Hands each name in the folder at `nativePath` ("." and ".." left out) to `visit`. False, with
// errno, when the folder cannot be opened or read to its end.
bool ReadFolderNames(const std::string& nativePath,
                     const std::function<void(std::string_view name)>& visit) {
    const int fd = RetryOnEintr(
        [&] { return ::open(nativePath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return false;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::fdopendir(fd), &::closedir);
    if (!folder) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(folder.get());
        if (!entry) return errno == 0;
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") visit(name);
    }
}

AnsiString FromNative(std::string_view utf8) {
    return FromUnicode(QString::fromUtf8(utf8.data(), qsizetype(utf8.size())));
}

}  // namespace

CaseInsensitiveNames::CaseInsensitiveNames(AnsiString folder)
    : folder_(WithTrailingSeparator(folder)), nativeBase_(NativePath(folder_)) {}

CaseInsensitiveNames::Resolution CaseInsensitiveNames::Resolve(const AnsiString& relativeName) {
    AnsiString resolved;
    std::string reached;  // the folder that the components so far lead to
    bool isNew = false;
    bool first = true;
    for (const AnsiString& component : Components(relativeName)) {
        if (!std::exchange(first, false)) resolved += '\\';
        if (isNew || component.empty()) {
            resolved += component;
            continue;
        }
        const Folder& folder = Listing(reached);
        if (!folder.error.empty()) return {Kind::Unlisted, relativeName, folder.error};
        const auto match = folder.entries.find(FoldedKey(NativePath(component)));
        if (match == folder.entries.end()) {
            isNew = true;
            resolved += component;
            continue;
        }
        const std::vector<std::string>& spellings = match->second;
        if (spellings.size() > 1) {
            std::vector<std::string> sorted = spellings;
            std::sort(sorted.begin(), sorted.end());
            AnsiString reason;
            for (size_t i = 0; i < sorted.size(); ++i) {
                if (i > 0) reason += i + 1 == sorted.size() ? " and " : ", ";
                reason += "\"" + FromNative(sorted[i]) + "\"";
            }
            reason += " in " + FolderPath(reached) + " differ only in letter case";
            return {Kind::Ambiguous, relativeName, reason};
        }
        resolved += FromNative(spellings.front());
        reached += (reached.empty() ? "" : "/") + spellings.front();
    }
    return {isNew ? Kind::New : Kind::Existing, resolved, {}};
}

void CaseInsensitiveNames::Created(const AnsiString& relativeName) {
    std::string reached;
    for (const AnsiString& component : Components(relativeName)) {
        if (component.empty()) continue;
        const std::string native = NativePath(component);
        // Such a component leads elsewhere than its name says; what lies past it is not known.
        if (native == "." || native == "..") return;
        const auto folder = folders_.find(reached);
        if (folder != folders_.end() && folder->second.error.empty()) {
            std::vector<std::string>& spellings = folder->second.entries[FoldedKey(native)];
            if (std::find(spellings.begin(), spellings.end(), native) == spellings.end())
                spellings.push_back(native);
        }
        reached += (reached.empty() ? "" : "/") + native;
    }
}

const CaseInsensitiveNames::Folder& CaseInsensitiveNames::Listing(
    const std::string& nativeRelative) {
    const auto [known, added] = folders_.try_emplace(nativeRelative);
    Folder& folder = known->second;
    if (!added) return folder;
    const bool read = ReadFolderNames(nativeBase_ + nativeRelative, [&](std::string_view name) {
        // A name that is no UTF-8 was not made from a code-page name and cannot be one's match.
        if (IsAscii(name) || QByteArrayView(name.data(), qsizetype(name.size())).isValidUtf8())
            folder.entries[FoldedKey(name)].emplace_back(name);
    });
    // A folder that is missing, or a file where a folder was expected, holds nothing yet.
    if (!read && errno != ENOENT && errno != ENOTDIR) {
        const int why = errno;
        const AnsiString path = FolderPath(nativeRelative);
        errno = why;
        folder.entries.clear();
        folder.error = "cannot list the folder: " + ErrorText(path);
    }
    return folder;
}

AnsiString CaseInsensitiveNames::FolderPath(const std::string& nativeRelative) const {
    std::string relative = nativeRelative;
    std::replace(relative.begin(), relative.end(), '/', '\\');
    return folder_ + FromNative(relative);
}

}  // namespace platform
