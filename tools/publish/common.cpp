#include "tools/publish/common.h"

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

#include "core/delta.h"
#include "core/manifest.h"
#include "core/rollout.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace publish {

AnsiString CodePagePath(const char* native) {
    return platform::FromUnicode(QString::fromLocal8Bit(native));
}

std::optional<std::pair<AnsiString, AnsiString>> OlderRelease(const char* argument) {
    const AnsiString given = CodePagePath(argument);
    const size_t equals = given.find('=');
    if (equals == AnsiString::npos) return std::nullopt;
    return std::pair{given.substr(0, equals), given.substr(equals + 1)};
}

std::string Printable(const AnsiString& codePageText) {
    return platform::ToUnicode(codePageText).toLocal8Bit().toStdString();
}

std::string PrintablePath(const AnsiString& path) {
    return platform::NativePath(path);
}

std::string ReadOrFail(const AnsiString& path) {
    std::optional<std::string> contents = platform::ReadWholeFile(path);
    if (!contents) throw Failure{"cannot read " + PrintablePath(path)};
    return *contents;
}

void WriteOrFail(const AnsiString& path, const std::string& contents) {
    if (!platform::ReplaceFileContents(path, contents))
        throw Failure{"cannot write " + Printable(platform::ErrorText(path))};
}

std::string ShellWord(const std::string& word) {
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("/._-+,:@%=").find(c) != std::string_view::npos;
    });
    if (plain) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A link would give the digest of whatever it points at, outside the folder perhaps, while
// the server, or the copy uploaded to it, may hold something else.
void RefuseLinks(const AnsiString& folder, const AnsiString& name) {
    for (size_t end = platform::FindSeparator(name);;
         end = platform::FindSeparator(name, end + 1)) {
        const AnsiString part = name.substr(0, end);
        if (platform::IsSymbolicLink(folder + "\\" + part)) {
            const std::string where =
                part == name ? "" : " (on the way to " + Printable(name) + ")";
            throw Failure{Printable(part) + " is a symbolic link" + where +
                          "; the update folder must hold the files themselves"};
        }
        if (end == AnsiString::npos) return;
    }
}

// Whoever can read the secret key can sign an update that every installed Sendrift accepts.
void RefuseOpenSecretKey(const AnsiString& path) {
    const std::optional<unsigned> bits = platform::PermissionBits(path);
    if (!bits || (*bits & 077) == 0) return;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", *bits);
    throw Failure{PrintablePath(path) + " is open to others than its owner (mode " + mode +
                  "); a secret key must be its owner's alone: chmod 600 " +
                  ShellWord(PrintablePath(path))};
}

SecretKey ReadSecretKey(const AnsiString& path) {
    RefuseOpenSecretKey(path);
    SecretKey key;
    key.secret = ReadOrFail(path);
    std::optional<std::string> publicKey = verification::PublicKeyOf(key.secret);
    if (!publicKey) throw Failure{PrintablePath(path) + " holds no secret key"};
    key.publicKey = *publicKey;
    return key;
}

bool IsBookkeepingSection(const AnsiString& section) {
    return SameTextIgnoringCase(section, "VERSION") || SameTextIgnoringCase(section, "RUN") ||
           SameTextIgnoringCase(section, verification::kDigestSection) ||
           SameTextIgnoringCase(section, kSizeSection) ||
           SameTextIgnoringCase(section, delta::kPatchSection) ||
           SameTextIgnoringCase(section, rollout::kSection);
}

std::vector<AnsiString> ListedFileNames(const TIniFile& manifest) {
    std::vector<AnsiString> names, sections, keys;
    std::set<AnsiString> seen;
    auto add = [&](const AnsiString& name) {
        if (!name.empty() && seen.insert(name).second) names.push_back(name);
    };
    manifest.SectionNames(sections);
    for (const AnsiString& section : sections) {
        const bool patches = SameTextIgnoringCase(section, delta::kPatchSection);
        if (IsBookkeepingSection(section) && !patches) continue;
        std::vector<AnsiString> values;
        manifest.KeyNames(section, keys);
        const bool components = SameTextIgnoringCase(section, "DLL");
        for (const AnsiString& key : keys) {
            if (components) {
                add(key);
            } else if (!patches) {
                add(EntryFileName(manifest.ReadEntry(section, key)));
            } else {
                // Every line of a file with several bases, each once.
                manifest.ReadEntries(section, key, values);
                for (const AnsiString& value : values)
                    if (const auto line = delta::ParsePatchLine(value)) add(line->patchName);
            }
        }
    }
    return names;
}

int64_t FileSize(const AnsiString& path) {
    const QFileInfo info(QFile::decodeName(platform::NativePath(path).c_str()));
    if (info.isSymLink() || !info.isFile()) return -1;
    return info.size();
}

std::string Counted(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

AnsiString JoinPath(const AnsiString& left, const AnsiString& name) {
    return left + "\\" + name;
}

}  // namespace publish
