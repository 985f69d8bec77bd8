// sendrift-publish: what a publisher runs on an update folder before putting it on the server,
// so that Sendrift can verify the manifest and every file it installs.
//
//   sendrift-publish keygen SECRETKEY   new key pair; the secret key to the new file SECRETKEY,
//                                       the public key (for SENDRIFT_MANIFEST_KEY) to stdout
//   sendrift-publish hash DIR           [SHA256] of DIR/Version.ini for every listed file
//   sendrift-publish sign DIR SECRETKEY DIR/Version.ini.sig for DIR/Version.ini as it is now
//
// A refused command writes nothing: keygen never replaces a file, hash takes no symbolic link
// inside DIR (neither a file nor a folder on the way to one), and sign takes no secret key
// that others than its owner may use.
//
// Paths on the command line are native; the manifest and its names are code-page text, like
// everything the wizard reads.
#include <QString>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <set>
#include <vector>

#include "core/inifile.h"
#include "core/manifest.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace {

constexpr const char* kUsage =
    "usage: sendrift-publish keygen SECRETKEY\n"
    "       sendrift-publish hash DIR\n"
    "       sendrift-publish sign DIR SECRETKEY\n";

// A failure to report; main prints it and exits with 1.
struct Failure {
    std::string message;
};

AnsiString CodePagePath(const char* native) {
    return platform::FromUnicode(QString::fromLocal8Bit(native));
}

std::string Printable(const AnsiString& codePageText) {
    return platform::ToUnicode(codePageText).toLocal8Bit().toStdString();
}

// A path as the file system knows it, for messages and for commands to copy from them.
std::string PrintablePath(const AnsiString& path) {
    return platform::NativePath(path);
}

std::string ReadOrFail(const AnsiString& path) {
    std::optional<std::string> contents = platform::ReadWholeFile(path);
    if (!contents) throw Failure{"cannot read " + PrintablePath(path)};
    return *contents;
}

// `word` as one word of a shell command line, so that a command shown for copying works
// whatever the path holds.
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

// The folder that the file `path` lies in, as written there ("." when none is named).
AnsiString FolderOf(const AnsiString& path) {
    size_t last = AnsiString::npos;
    for (size_t at = platform::FindSeparator(path); at != AnsiString::npos;
         at = platform::FindSeparator(path, at + 1))
        last = at;
    if (last == AnsiString::npos) return ".";
    return path.substr(0, last == 0 ? 1 : last);
}

// Refuses `name` when it, or a folder on the way to it, is a symbolic link in `folder`. A link
// would give the digest of whatever it points at, outside the folder perhaps, while the
// server, or the copy uploaded to it, may hold something else.
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

// Refuses a secret key file that anyone but its owner may use: whoever can read the key can
// sign an update that every installed Sendrift accepts.
void RefuseOpenSecretKey(const AnsiString& path) {
    const std::optional<unsigned> bits = platform::PermissionBits(path);
    if (!bits || (*bits & 077) == 0) return;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", *bits);
    throw Failure{PrintablePath(path) + " is open to others than its owner (mode " + mode +
                  "); a secret key must be its owner's alone: chmod 600 " +
                  ShellWord(PrintablePath(path))};
}

// Folds ASCII letters only, as the INI store matches names.
bool SameSectionName(const AnsiString& a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// Every file the wizard may fetch for this manifest, each spelling once, in file order: the
// names in the entry values of the upgrade sections, and the components of [DLL], which the
// wizard adds to its list when the server's build is newer.
std::vector<AnsiString> ListedFileNames(const TIniFile& manifest) {
    std::vector<AnsiString> names, sections, keys;
    std::set<AnsiString> seen;
    auto add = [&](const AnsiString& name) {
        if (!name.empty() && seen.insert(name).second) names.push_back(name);
    };
    manifest.SectionNames(sections);
    for (const AnsiString& section : sections) {
        if (SameSectionName(section, "VERSION") || SameSectionName(section, "RUN") ||
            SameSectionName(section, verification::kDigestSection))
            continue;
        manifest.KeyNames(section, keys);
        const bool components = SameSectionName(section, "DLL");
        for (const AnsiString& key : keys)
            add(components ? key : EntryFileName(manifest.ReadEntry(section, key)));
    }
    return names;
}

void Keygen(const AnsiString& secretKeyPath) {
    std::optional<verification::KeyPair> pair = verification::NewKeyPair();
    if (!pair) throw Failure{"no randomness for a new key"};
    if (!platform::CreatePrivateFile(secretKeyPath, pair->secretKey + "\n")) {
        const std::string file = PrintablePath(secretKeyPath);
        if (platform::IsSymbolicLink(secretKeyPath) || platform::FileExists(secretKeyPath) ||
            platform::DirectoryExists(secretKeyPath))
            throw Failure{file + " exists already; an existing file is never replaced"};
        const AnsiString folder = FolderOf(secretKeyPath);
        if (platform::FileExists(folder))
            throw Failure{"cannot create " + file + ": " + PrintablePath(folder) +
                          " is not a folder"};
        if (!platform::DirectoryExists(folder))
            throw Failure{"cannot create " + file + ": the folder " + PrintablePath(folder) +
                          " does not exist"};
        throw Failure{"cannot create " + file};
    }
    std::cout << pair->publicKey << "\n";
    std::cerr << "Secret key written to " << PrintablePath(secretKeyPath)
              << ". Build Sendrift with -DSENDRIFT_MANIFEST_KEY=" << pair->publicKey << "\n";
}

void Hash(const AnsiString& folder) {
    TIniFile manifest(folder + "\\Version.ini");
    // Rewriting it would put a plain file in the link's place.
    RefuseLinks(folder, "Version.ini");
    ReadOrFail(manifest.FileName());

    // Every digest is made before the manifest changes, so a file that cannot be read leaves
    // the manifest as it was.
    std::vector<std::pair<AnsiString, AnsiString>> digests;
    for (const AnsiString& name : ListedFileNames(manifest)) {
        const AnsiString path = folder + "\\" + name;
        if (!IsSafeRelativeName(name)) {
            std::cerr << "skipped " << Printable(name) << ": outside the folder\n";
            continue;
        }
        RefuseLinks(folder, name);
        if (!platform::FileExists(path)) {
            std::cerr << "skipped " << Printable(name) << ": not in the folder\n";
        } else if (std::optional<AnsiString> digest = verification::FileDigest(path)) {
            digests.emplace_back(name, *digest);
        } else {
            throw Failure{"cannot read " + PrintablePath(path)};
        }
    }

    // Made anew, so that no digest of a file that is gone stays behind, not even in a second
    // [SHA256] section, into which a write would otherwise go once the first is removed.
    std::vector<AnsiString> sections;
    auto anyDigestSection = [&] {
        manifest.SectionNames(sections);
        return std::any_of(sections.begin(), sections.end(), [](const AnsiString& section) {
            return SameSectionName(section, verification::kDigestSection);
        });
    };
    while (anyDigestSection()) manifest.RemoveSection(verification::kDigestSection);
    std::vector<AnsiString> written;
    std::optional<AnsiString> clash;
    for (const auto& [name, digest] : digests) {
        // Spellings that differ in letter case only share one key, held by the first listed,
        // and the wizard checks each of their files against it.
        manifest.ReadEntries(verification::kDigestSection, name, written);
        if (written.empty()) {
            manifest.WriteEntry(verification::kDigestSection, name, digest);
            std::cout << digest << "  " << Printable(name) << "\n";
        } else if (written.front() != digest && !clash) {
            clash = name;
        }
    }
    if (clash)
        throw Failure{Printable(*clash) + " differs from a file whose name differs only in " +
                      "letter case; they share one [SHA256] key"};
}

void Sign(const AnsiString& folder, const AnsiString& secretKeyPath) {
    RefuseOpenSecretKey(secretKeyPath);
    const std::string manifest = ReadOrFail(folder + "\\Version.ini");
    std::optional<std::string> signature = verification::Sign(manifest, ReadOrFail(secretKeyPath));
    if (!signature) throw Failure{PrintablePath(secretKeyPath) + " holds no secret key"};
    const AnsiString target = folder + "\\" + verification::kSignatureFileName;
    if (!platform::ReplaceFileContents(target, *signature + "\n"))
        throw Failure{"cannot write " + PrintablePath(target)};
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 2 && args[0] == "keygen") {
            Keygen(CodePagePath(argv[2]));
        } else if (args.size() == 2 && args[0] == "hash") {
            Hash(CodePagePath(argv[2]));
        } else if (args.size() == 3 && args[0] == "sign") {
            Sign(CodePagePath(argv[2]), CodePagePath(argv[3]));
        } else {
            std::cerr << kUsage;
            return 2;
        }
    } catch (const Failure& failure) {
        std::cerr << "sendrift-publish: " << failure.message << "\n";
        return 1;
    } catch (const Exception& error) {
        std::cerr << "sendrift-publish: " << Printable(error.Message()) << "\n";
        return 1;
    }
    return 0;
}
