// sendrift-publish: what a publisher runs to make an update folder for the server and to check
// it, so that Sendrift can verify the manifest and every file it installs.
//
//   sendrift-publish keygen SECRETKEY   new key pair; the secret key to the new file SECRETKEY,
//                                       the public key (for SENDRIFT_MANIFEST_KEY) to stdout
//   sendrift-publish hash DIR           [SHA256] and [SIZE] of DIR/Version.ini for every
//                                       listed file
//   sendrift-publish sign DIR SECRETKEY DIR/Version.ini.sig for DIR/Version.ini as it is now
//   sendrift-publish release ...        an update folder made from release folders (release.h)
//   sendrift-publish refresh ...        its freshness statement signed anew (statement.h)
//   sendrift-publish rotate ...         a move to a new signing key (statement.h)
//   sendrift-publish rollout ...        a published staged rollout halted, resumed or paced
//                                       anew (rollout.h)
//   sendrift-publish verify ...         an update folder, or a server, checked (verify.h)
//
// A refused command writes nothing: keygen never replaces a file, hash takes no symbolic link
// inside DIR (neither a file nor a folder on the way to one), and sign takes no secret key
// that others than its owner may use.
//
// Paths on the command line are native; the manifest and its names are code-page text, like
// everything the wizard reads.
#include <algorithm>
#include <iostream>
#include <vector>

#include "core/manifest.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "tools/publish/common.h"
#include "tools/publish/release.h"
#include "tools/publish/rollout.h"
#include "tools/publish/statement.h"
#include "tools/publish/verify.h"

namespace publish {
namespace {

constexpr const char* kUsage =
    "usage: sendrift-publish keygen SECRETKEY\n"
    "       sendrift-publish hash DIR\n"
    "       sendrift-publish sign DIR SECRETKEY\n"
    "       sendrift-publish release NEWDIR --version V [--data-version D]\n"
    "                        --from OLDV=OLDDIR ... [--run NAME ...] [--rollout START,DAYS]\n"
    "                        [--key SECRETKEY [--expires DURATION] [--keys CHAINFILE]]\n"
    "                        --out OUTDIR [--force] [--dry-run] [--no-delta]\n"
    "       sendrift-publish refresh OUTDIR --key SECRETKEY [--expires DURATION]\n"
    "       sendrift-publish rotate OUTDIR --key OLDSECRETKEY --new NEWSECRETKEY\n"
    "                        [--expires DURATION]\n"
    "       sendrift-publish rollout OUTDIR (--halt | --resume | --days N)\n"
    "                        [--key SECRETKEY [--expires DURATION]]\n"
    "       sendrift-publish verify DIR [--key PUBLICKEYS ...] [--url URL]\n"
    "                        [--from OLDV=OLDDIR ...]\n"
    "DURATION: days or hours, 1h to 366d (\"7d\", \"36h\"); 7d when not given.\n"
    "START,DAYS: a UTC time and whole days, 1 to 366 (\"2026-12-10T08:00:00Z,7\").\n"
    "PUBLICKEYS: public keys separated by commas, or a file holding them.\n";

// The folder that the file `path` lies in, as written there ("." when none is named).
AnsiString FolderOf(const AnsiString& path) {
    size_t last = AnsiString::npos;
    for (size_t at = platform::FindSeparator(path); at != AnsiString::npos;
         at = platform::FindSeparator(path, at + 1))
        last = at;
    if (last == AnsiString::npos) return ".";
    return path.substr(0, last == 0 ? 1 : last);
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

// Removes every section of that name, so that no value of an earlier run stays behind, not
// even in a second section of the same name, into which a write would otherwise go once the
// first is removed.
void RemoveAllSections(TIniFile& manifest, const char* name) {
    std::vector<AnsiString> sections;
    auto any = [&] {
        manifest.SectionNames(sections);
        return std::any_of(sections.begin(), sections.end(), [&](const AnsiString& section) {
            return SameTextIgnoringCase(section, name);
        });
    };
    while (any()) manifest.RemoveSection(name);
}

void Hash(const AnsiString& folder) {
    TIniFile manifest(folder + "\\Version.ini");
    // Rewriting it would put a plain file in the link's place.
    RefuseLinks(folder, "Version.ini");
    ReadOrFail(manifest.FileName());

    // Every digest is made before the manifest changes, so a file that cannot be read leaves
    // the manifest as it was.
    struct Listed {
        AnsiString name, digest;
        int64_t size;
    };
    std::vector<Listed> listed;
    for (const AnsiString& name : ListedFileNames(manifest)) {
        const AnsiString path = folder + "\\" + name;
        if (!IsSafeRelativeName(name)) {
            std::cerr << "skipped " << Printable(name) << ": outside the folder\n";
            continue;
        }
        RefuseLinks(folder, name);
        if (!platform::FileExists(path)) {
            std::cerr << "skipped " << Printable(name) << ": not in the folder\n";
            continue;
        }
        const std::optional<AnsiString> digest = verification::FileDigest(path);
        const int64_t size = FileSize(path);
        if (!digest || size < 0) throw Failure{"cannot read " + PrintablePath(path)};
        listed.push_back({name, *digest, size});
    }

    RemoveAllSections(manifest, verification::kDigestSection);
    RemoveAllSections(manifest, kSizeSection);
    std::vector<AnsiString> written;
    std::optional<AnsiString> clash;
    for (const Listed& file : listed) {
        // Spellings that differ in letter case only share one key, held by the first listed,
        // and the wizard checks each of their files against it.
        manifest.ReadEntries(verification::kDigestSection, file.name, written);
        if (written.empty()) {
            manifest.WriteEntry(verification::kDigestSection, file.name, file.digest);
            manifest.WriteEntry(kSizeSection, file.name, std::to_string(file.size));
            std::cout << file.digest << "  " << Printable(file.name) << "\n";
        } else if (written.front() != file.digest && !clash) {
            clash = file.name;
        }
    }
    if (clash)
        throw Failure{Printable(*clash) + " differs from a file whose name differs only in " +
                      "letter case; they share one [SHA256] key"};
}

void Sign(const AnsiString& folder, const AnsiString& secretKeyPath) {
    const SecretKey key = ReadSecretKey(secretKeyPath);
    const std::string manifest = ReadOrFail(folder + "\\Version.ini");
    WriteOrFail(folder + "\\" + verification::kSignatureFileName,
                *verification::Sign(manifest, key.secret) + "\n");
}

}  // namespace
}  // namespace publish

int main(int argc, char* argv[]) {
    using namespace publish;
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 2 && args[0] == "keygen") {
            Keygen(CodePagePath(argv[2]));
        } else if (args.size() == 2 && args[0] == "hash") {
            Hash(CodePagePath(argv[2]));
        } else if (args.size() == 3 && args[0] == "sign") {
            Sign(CodePagePath(argv[2]), CodePagePath(argv[3]));
        } else if (!args.empty() && args[0] == "release") {
            std::optional<ReleaseOptions> options = ParseReleaseOptions(argc - 2, argv + 2);
            if (!options) {
                std::cerr << kUsage;
                return 2;
            }
            Release(*options);
        } else if (!args.empty() && (args[0] == "refresh" || args[0] == "rotate")) {
            const bool rotate = args[0] == "rotate";
            std::optional<StatementOptions> options =
                ParseStatementOptions(argc - 2, argv + 2, rotate);
            if (!options) {
                std::cerr << kUsage;
                return 2;
            }
            rotate ? Rotate(*options) : Refresh(*options);
        } else if (!args.empty() && args[0] == "rollout") {
            std::optional<RolloutOptions> options = ParseRolloutOptions(argc - 2, argv + 2);
            if (!options) {
                std::cerr << kUsage;
                return 2;
            }
            Rollout(*options);
        } else if (!args.empty() && args[0] == "verify") {
            std::optional<VerifyOptions> options = ParseVerifyOptions(argc - 2, argv + 2);
            if (!options) {
                std::cerr << kUsage;
                return 2;
            }
            return Verify(*options) ? 0 : 1;
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
