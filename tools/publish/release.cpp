#include "tools/publish/release.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>

#include "core/displaytext.h"
#include "core/inifile.h"
#include "core/manifest.h"
#include "core/updaterstate.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "tools/publish/common.h"
#include "tools/publish/patches.h"
#include "tools/publish/rollout.h"
#include "tools/publish/statement.h"

namespace publish {
namespace {

// The wizard takes a version answer of ten bytes or more for an error page.
constexpr size_t kMaxVersionBytes = 9;
// The wizard reads sizes as 31-bit counts; a larger file would be announced as "0".
constexpr int64_t kMaxFileSize = INT32_MAX;
// Copies held open at once before their batch is committed.
constexpr size_t kCopiesPerBatch = 256;

QString NativeQ(const AnsiString& path) {
    return QFile::decodeName(platform::NativePath(path).c_str());
}

// The updater's own files and folders in an application folder: never published, never
// reported as left behind.
bool IsUpdaterState(const AnsiString& name) {
    const size_t separator = platform::FindSeparator(name);
    const AnsiString top = name.substr(0, separator);
    if (separator != AnsiString::npos)
        return SameTextIgnoringCase(top, "Update") || SameTextIgnoringCase(top, "CUpdate");
    for (const char* own : {"setup.ini", "Version.ini", "Version.ini.sig", "Version.ini.download",
                            "Version.ini.sig.download", "Version.txt.fresh.download",
                            "Version.keys.download", "sendrift.log", "sendrift.lock",
                            kUpdaterStateFileName})
        if (SameTextIgnoringCase(top, own)) return true;
    return false;
}

// Path order: folder by folder, bytes of the code page within each.
bool PathOrder(const AnsiString& a, const AnsiString& b) {
    size_t at = 0, bt = 0;
    for (;;) {
        const size_t ae = platform::FindSeparator(a, at), be = platform::FindSeparator(b, bt);
        const std::string_view as = std::string_view(a).substr(at, ae - at);
        const std::string_view bs = std::string_view(b).substr(bt, be - bt);
        if (as != bs) return as < bs;
        if (ae == AnsiString::npos || be == AnsiString::npos)
            return ae == AnsiString::npos && be != AnsiString::npos;
        at = ae + 1;
        bt = be + 1;
    }
}

struct TreeFile {
    int64_t size = 0;
};
using Tree = std::map<AnsiString, TreeFile, decltype(&PathOrder)>;

// Every regular file below `folder` but the updater's own, by relative code-page name with
// backslashes. In a new release a link or a special file is refused: the server would get
// whatever it points at. In an older one it counts as missing, so the new file is listed.
Tree Walk(const AnsiString& folder, bool isNew) {
    Tree tree(&PathOrder);
    const QDir root(QFileInfo(NativeQ(folder)).absoluteFilePath());
    for (QDirIterator it(root.path(),
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        const QFileInfo info(it.next());
        AnsiString name = platform::FromUnicode(root.relativeFilePath(info.absoluteFilePath()));
        for (char& c : name)
            if (c == '/') c = '\\';
        if (IsUpdaterState(name)) continue;
        if (info.isSymLink() || (!info.isFile() && !info.isDir())) {
            if (isNew)
                throw Failure{Printable(name) + " in " + PrintablePath(folder) +
                              " is a symbolic link or no regular file; a release folder must "
                              "hold the files themselves"};
            continue;
        }
        if (info.isFile()) tree[name] = {info.size()};
    }
    return tree;
}

void RequireFolder(const AnsiString& folder) {
    if (!platform::DirectoryExists(folder))
        throw Failure{"the folder " + PrintablePath(folder) + " does not exist"};
}

bool HasControlCharacter(const AnsiString& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

void RefuseVersions(const ReleaseOptions& o) {
    if (o.version.empty() || o.version.size() > kMaxVersionBytes || HasControlCharacter(o.version))
        throw Failure{"the version \"" + Printable(o.version) +
                      "\" is no version the wizard takes: 1 to 9 bytes without control "
                      "characters"};
    std::set<std::string> seen;
    for (const auto& [version, folder] : o.from) {
        if (version.empty() || HasControlCharacter(version))
            throw Failure{"--from needs an older version before \"=\""};
        if (SameTextIgnoringCase(version, o.version))
            throw Failure{"the older version " + Printable(version) +
                          " is the new version; an installation of it is up to date"};
        if (IsBookkeepingSection(version) || SameTextIgnoringCase(version, "DLL"))
            throw Failure{"the older version " + Printable(version) +
                          " would name a section the manifest uses for itself"};
        if (!seen.insert(FoldedName(version)).second)
            throw Failure{"the older version " + Printable(version) + " is given twice"};
    }
}

// The output folder must not be, hold or lie in a folder it is made from: --force would wipe
// a release, and the walk would see its own output.
void RefuseOutFolder(const ReleaseOptions& o) {
    if (platform::IsSymbolicLink(o.out) ||
        (platform::FileExists(o.out) && !platform::DirectoryExists(o.out)))
        throw Failure{PrintablePath(o.out) + " is no folder"};
    std::vector<AnsiString> inputs{o.newFolder};
    for (const auto& from : o.from) inputs.push_back(from.second);
    for (const AnsiString& input : inputs)
        if (platform::IsInsideFolder(o.out, input) || platform::IsInsideFolder(input, o.out))
            throw Failure{PrintablePath(o.out) + " overlaps the release folder " +
                          PrintablePath(input) + "; the output goes to a folder of its own"};
    if (platform::DirectoryExists(o.out) && !o.force &&
        !QDir(NativeQ(o.out))
             .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        throw Failure{PrintablePath(o.out) +
                      " is not empty; --force replaces what it holds with the release"};
}

// Refuses a name that the wizard would refuse, or that the entry grammar cannot carry.
void RefuseName(const AnsiString& name, const char* role) {
    const AnsiString entry = name + ";0";
    if (!IsSafeRelativeName(name) || !IsSafeEntry(entry) || EntryFileName(entry) != name)
        throw Failure{std::string(role) + " " + Printable(name) +
                      " is a name the wizard refuses or cannot read from an entry"};
}

AnsiString WithBackslashes(AnsiString name) {
    for (size_t at = platform::FindSeparator(name); at != AnsiString::npos;
         at = platform::FindSeparator(name, at + 1))
        name[at] = '\\';
    return name;
}

// Every component file that a component list of the release names, each once, in the order
// the wizard collects them.
std::vector<AnsiString> ComponentNames(const AnsiString& folder) {
    std::vector<AnsiString> names, sections, keys;
    std::set<std::string> seen;
    for (const char* list : {"Default.ini", "Custom.ini"}) {
        const TIniFile file(JoinPath(folder, list));
        file.SectionNames(sections);
        for (const AnsiString& section : sections) {
            file.KeyNames(section, keys);
            for (const AnsiString& key : keys) {
                const AnsiString name = file.ReadEntry(section, key);
                if (!name.empty() && seen.insert(FoldedName(name)).second) names.push_back(name);
            }
        }
    }
    return names;
}

struct Plan {
    struct Section {
        AnsiString version;
        std::vector<AnsiString> copies;
        std::vector<AnsiString> bases;  // the copies that the older folder holds a file of
        std::vector<AnsiString> runs;
        int64_t bytes = 0;
        std::vector<AnsiString> onlyInOld;
    };
    std::vector<Section> sections;
    std::vector<std::pair<AnsiString, AnsiString>> components;  // name, date
    std::vector<std::pair<AnsiString, AnsiString>> leftOut;     // component, why
    std::vector<AnsiString> files;                              // every named file, once
    std::unordered_map<std::string, AnsiString> digests;        // name -> digest
    std::unordered_map<std::string, int64_t> sizes;             // name -> size
};

// Digests by native path, so that no file is read twice in one run.
class DigestCache {
public:
    const AnsiString& Of(const AnsiString& path) {
        auto [it, added] = digests_.try_emplace(platform::NativePath(path));
        if (added) {
            std::optional<AnsiString> digest = verification::FileDigest(path);
            if (!digest) throw Failure{"cannot read " + PrintablePath(path)};
            it->second = *digest;
        }
        return it->second;
    }

private:
    std::unordered_map<std::string, AnsiString> digests_;
};

Plan MakePlan(const ReleaseOptions& o, DigestCache& digests) {
    Plan plan;
    const Tree release = Walk(o.newFolder, true);
    for (const auto& [name, file] : release) {
        RefuseName(name, "the file");
        if (file.size > kMaxFileSize)
            throw Failure{Printable(name) + " has " + std::to_string(file.size) +
                          " bytes; the wizard takes files below 2 GiB only"};
    }
    std::vector<AnsiString> runs;
    for (const AnsiString& given : o.run) {
        const AnsiString name = WithBackslashes(given);
        if (!release.count(name))
            throw Failure{"--run " + Printable(given) + " is no file of " +
                          PrintablePath(o.newFolder)};
        runs.push_back(name);
    }

    std::set<AnsiString> named;
    auto name = [&](const AnsiString& file) {
        if (named.insert(file).second) plan.files.push_back(file);
    };
    for (const auto& [version, folder] : o.from) {
        Plan::Section section{version, {}, {}, runs, 0, {}};
        const Tree old = Walk(folder, false);
        for (const auto& [file, info] : release) {
            if (std::find(runs.begin(), runs.end(), file) != runs.end()) continue;
            auto there = old.find(file);
            const bool same =
                there != old.end() && there->second.size == info.size &&
                digests.Of(JoinPath(folder, file)) == digests.Of(JoinPath(o.newFolder, file));
            if (same) continue;
            section.copies.push_back(file);
            if (there != old.end()) section.bases.push_back(file);
        }
        for (const auto& entry : old)
            if (!release.count(entry.first)) section.onlyInOld.push_back(entry.first);
        for (const auto* list : {&section.copies, &section.runs})
            for (const AnsiString& file : *list) {
                section.bytes += release.at(file).size;
                name(file);
            }
        plan.sections.push_back(std::move(section));
    }

    for (const AnsiString& component : ComponentNames(o.newFolder)) {
        RefuseName(component, "the component");
        const AnsiString file = WithBackslashes(component);
        if (!release.count(file)) {
            plan.leftOut.emplace_back(component, "not in the release folder");
            continue;
        }
        const auto listedBy = std::find_if(
            plan.sections.begin(), plan.sections.end(), [&](const Plan::Section& section) {
                return std::find(section.copies.begin(), section.copies.end(), file) !=
                           section.copies.end() ||
                       std::find(section.runs.begin(), section.runs.end(), file) !=
                           section.runs.end();
            });
        if (listedBy != plan.sections.end()) {
            plan.leftOut.emplace_back(component, "listed by [" + listedBy->version + "]");
            continue;
        }
        try {
            plan.components.emplace_back(component, FileDateText(JoinPath(o.newFolder, component)));
        } catch (const Exception&) {
            throw Failure{"the component " + Printable(component) +
                          " has no date the wizard can compare (1980 to 2107)"};
        }
        name(component);
    }

    std::map<std::string, AnsiString> folded;
    for (const AnsiString& file : plan.files) {
        auto [it, added] = folded.emplace(FoldedName(file), file);
        if (!added)
            throw Failure{Printable(file) + " and " + Printable(it->second) +
                          " differ in letter case only; the manifest's names ignore it"};
        plan.digests[file] = digests.Of(JoinPath(o.newFolder, WithBackslashes(file)));
        plan.sizes[file] = release.at(WithBackslashes(file)).size;
    }
    return plan;
}

// The manifest in the INI store's own line form ("[section]" and "key=value", CR LF), written
// whole in `folder` at once: thousands of writes through the store would rewrite the file each
// time. Refused when any name or value does not read back through the store as written.
std::string WriteManifest(const ReleaseOptions& o, const Plan& plan, const ReleasePatches& patches,
                          const AnsiString& folder) {
    std::vector<std::pair<AnsiString, std::vector<TIniSnapshot::Entry>>> intended;
    std::string text;
    auto write = [&](const AnsiString& section, const AnsiString& key, const AnsiString& value) {
        if (intended.empty() || intended.back().first != section) {
            intended.push_back({section, {}});
            text += "[" + section + "]\r\n";
        }
        intended.back().second.push_back({key, value});
        text += key + "=" + value + "\r\n";
    };
    write("VERSION", "VERSION", o.version);
    if (!o.dataVersion.empty()) write("VERSION", "DATAVERSION", o.dataVersion);
    if (o.rollout)
        for (const auto& [key, value] : rollout::Entries(*o.rollout))
            write(rollout::kSection, key, value);
    for (const Plan::Section& section : plan.sections) {
        size_t key = 0;
        for (const AnsiString& file : section.copies)
            write(section.version, std::to_string(++key), file + ";0");
        for (const AnsiString& file : section.runs)
            write(section.version, std::to_string(++key), file + ";1");
    }
    for (const auto& [component, date] : plan.components) write("DLL", component, date);
    for (const ReleasePatch& patch : patches.patches)
        write(delta::kPatchSection, patch.file, delta::PatchLineValue(patch.line));
    for (const AnsiString& file : plan.files)
        write(kSizeSection, file, std::to_string(plan.sizes.at(file)));
    for (const ReleasePatch& patch : patches.patches)
        write(kSizeSection, patch.line.patchName, std::to_string(patch.size));
    for (const AnsiString& file : plan.files)
        write(verification::kDigestSection, file, plan.digests.at(file));
    for (const ReleasePatch& patch : patches.patches)
        write(verification::kDigestSection, patch.line.patchName, patch.digest);

    const AnsiString path = JoinPath(folder, "Version.ini");
    if (!platform::ReplaceFileContents(path, text))
        throw Failure{"cannot write " + Printable(platform::ErrorText(path))};
    const TIniSnapshot readBack(path);
    std::vector<AnsiString> sections;
    for (const auto& [section, entries] : intended) sections.push_back(section);
    if (readBack.SectionNames() != sections)
        throw Failure{
            "a version does not read back from the manifest as it was given; "
            "section names hold no \"]\" and no blanks at either end"};
    for (const auto& [section, entries] : intended) {
        const std::vector<TIniSnapshot::Entry>& read = readBack.Entries(section);
        for (size_t i = 0; i < entries.size(); ++i)
            if (i >= read.size() || read[i].key != entries[i].key ||
                read[i].value != entries[i].value)
                throw Failure{"\"" + Printable(entries[i].key) + "=" + Printable(entries[i].value) +
                              "\" of [" + Printable(section) +
                              "] does not read back from the manifest as written"};
        if (read.size() != entries.size())
            throw Failure{"[" + Printable(section) + "] reads back with more lines than written"};
    }
    return text;
}

void PrintSummary(const ReleaseOptions& o, const Plan& plan, const ReleasePatches& patches) {
    for (size_t s = 0; s < plan.sections.size(); ++s) {
        const Plan::Section& section = plan.sections[s];
        std::cout << "From " << Printable(section.version) << ": "
                  << section.copies.size() + section.runs.size() << " files, " << section.bytes
                  << " bytes\n";
        const std::map<AnsiString, int64_t> none;
        const std::map<AnsiString, int64_t>& patched =
            s < patches.byVersion.size() ? patches.byVersion[s] : none;
        if (!patched.empty()) {
            int64_t fetched = section.bytes;
            for (const auto& [file, size] : patched) fetched += size - plan.sizes.at(file);
            std::cout << "  with " << Counted(patched.size(), "patch", "patches") << ": " << fetched
                      << " bytes\n";
        }
        for (const AnsiString& file : section.copies) {
            std::cout << "  " << Printable(file) << "  " << plan.sizes.at(file);
            if (auto patch = patched.find(file); patch != patched.end())
                std::cout << "  (patch " << patch->second << ")";
            std::cout << "\n";
        }
        for (const AnsiString& file : section.runs)
            std::cout << "  " << Printable(file) << "  " << plan.sizes.at(file) << "  (run)\n";
        for (const AnsiString& file : section.onlyInOld)
            std::cout << "  only in " << Printable(section.version)
                      << ", left in place: " << Printable(file) << "\n";
    }
    for (const auto& [component, date] : plan.components)
        std::cout << "Component " << Printable(component) << " dated " << date << "\n";
    for (const auto& [component, why] : plan.leftOut)
        std::cout << "Component " << Printable(component)
                  << " has no [DLL] date: " << Printable(why) << "\n";
    if (o.rollout) std::cout << DescribeRollout(*o.rollout, utctime::Now()) << "\n";
}

// What --key adds to the manifest: its signature, the rotation records and the statement.
struct Signed {
    std::string signature;
    std::string chain;  // empty: no Version.keys
    std::string statement;
};

void Publish(const ReleaseOptions& o, const Plan& plan, const ReleasePatches& patches,
             const std::string& manifest, const std::optional<Signed>& signedRelease) {
    if (platform::DirectoryExists(o.out) && !QDir(NativeQ(o.out)).removeRecursively())
        throw Failure{"cannot empty " + PrintablePath(o.out)};
    if (!QDir().mkpath(NativeQ(o.out))) throw Failure{"cannot create " + PrintablePath(o.out)};
    const AnsiString out = o.out + "\\";
    std::vector<std::pair<AnsiString, AnsiString>> copies;  // source, name in the output
    for (const AnsiString& name : plan.files) {
        const AnsiString file = WithBackslashes(name);
        copies.emplace_back(JoinPath(o.newFolder, file), file);
    }
    for (const ReleasePatch& patch : patches.patches)
        copies.emplace_back(patch.made, patch.line.patchName);
    for (size_t first = 0; first < copies.size(); first += kCopiesPerBatch) {
        platform::FileReplacements batch;
        for (size_t i = first; i < std::min(copies.size(), first + kCopiesPerBatch); ++i) {
            const auto& [source, file] = copies[i];
            if (!platform::CreateFoldersFor(out, file) || !batch.AddCopy(source, out + file))
                throw Failure{"cannot write " + Printable(platform::ErrorText(out + file))};
        }
        if (!batch.Commit()) throw Failure{"cannot write " + PrintablePath(o.out)};
    }
    WriteOrFail(out + "Version.ini", manifest);
    if (signedRelease) {
        WriteOrFail(out + verification::kSignatureFileName, signedRelease->signature + "\n");
        if (!signedRelease->chain.empty())
            WriteOrFail(out + keyrotation::kFileName, signedRelease->chain);
    }
    WriteOrFail(out + "Version.txt", o.version);
    if (signedRelease) WriteOrFail(out + freshness::kFileName, signedRelease->statement);
}

// Everything --key writes, made before anything is: a chain whose newest key is another, or
// a statement in the folder that cannot be read, refuses the release.
Signed SignRelease(const ReleaseOptions& o, const SecretKey& key, const std::string& manifest) {
    const AnsiString ownChain = JoinPath(o.out, keyrotation::kFileName);
    const AnsiString chainPath = o.chainFile ? *o.chainFile : ownChain;
    const bool replacing = o.force && platform::DirectoryExists(o.out);
    const std::vector<keyrotation::Record> chain =
        o.chainFile || replacing ? ReadChainFile(chainPath) : std::vector<keyrotation::Record>{};
    RefuseKeyOutsideChain(chain, key.publicKey, chainPath);
    const std::optional<freshness::Statement> previous =
        replacing ? ReadStatementFile(JoinPath(o.out, freshness::kFileName)) : std::nullopt;

    Signed signedRelease;
    signedRelease.signature = *verification::Sign(manifest, key.secret);
    for (const keyrotation::Record& record : chain)
        signedRelease.chain += keyrotation::Text(record);
    signedRelease.statement = MakeStatement(o.version, manifest, previous, chain.size(),
                                            o.validity.value_or(kDefaultValidity), key.secret);
    return signedRelease;
}

}  // namespace

std::optional<ReleaseOptions> ParseReleaseOptions(int argc, char* argv[]) {
    ReleaseOptions o;
    bool haveNew = false, haveVersion = false, haveOut = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--force") {
            o.force = true;
        } else if (arg == "--dry-run") {
            o.dryRun = true;
        } else if (arg == "--no-delta") {
            o.patches = false;
        } else if (arg == "--version" && hasValue) {
            o.version = CodePagePath(argv[++i]);
            haveVersion = true;
        } else if (arg == "--data-version" && hasValue) {
            o.dataVersion = CodePagePath(argv[++i]);
        } else if (arg == "--from" && hasValue) {
            const auto from = OlderRelease(argv[++i]);
            if (!from) return std::nullopt;
            o.from.push_back(*from);
        } else if (arg == "--run" && hasValue) {
            o.run.push_back(CodePagePath(argv[++i]));
        } else if (arg == "--key" && hasValue) {
            o.secretKey = CodePagePath(argv[++i]);
        } else if (arg == "--expires" && hasValue) {
            o.validity = ParseValidity(argv[++i]);
            if (!o.validity) return std::nullopt;
        } else if (arg == "--rollout" && hasValue) {
            o.rollout = ParseRolloutOption(argv[++i]);
            if (!o.rollout) return std::nullopt;
        } else if (arg == "--keys" && hasValue) {
            o.chainFile = CodePagePath(argv[++i]);
        } else if (arg == "--out" && hasValue) {
            o.out = CodePagePath(argv[++i]);
            haveOut = true;
        } else if (!arg.starts_with("--") && !haveNew) {
            o.newFolder = CodePagePath(argv[i]);
            haveNew = true;
        } else {
            return std::nullopt;
        }
    }
    if (!haveNew || !haveVersion || !haveOut || o.from.empty()) return std::nullopt;
    if (!o.secretKey && (o.validity || o.chainFile)) return std::nullopt;
    return o;
}

void Release(const ReleaseOptions& o) {
    RefuseVersions(o);
    RequireFolder(o.newFolder);
    for (const auto& from : o.from) RequireFolder(from.second);
    RefuseOutFolder(o);
    const std::optional<SecretKey> key =
        o.secretKey ? std::optional(ReadSecretKey(*o.secretKey)) : std::nullopt;

    DigestCache digests;
    const Plan plan = MakePlan(o, digests);
    QTemporaryDir staging;
    if (!staging.isValid()) throw Failure{"cannot make a temporary folder"};
    const AnsiString stagingFolder = platform::FromUnicode(staging.path());
    ReleasePatches patches;
    if (o.patches) {
        RefusePatchFolder(plan.files);
        std::vector<PatchBases> bases;
        for (size_t s = 0; s < plan.sections.size(); ++s)
            bases.push_back({o.from[s].first, o.from[s].second, plan.sections[s].bases});
        patches = MakePatches(
            o.newFolder, bases, [&](const AnsiString& path) { return digests.Of(path); },
            stagingFolder);
    }
    const std::string manifest = WriteManifest(o, plan, patches, stagingFolder);
    const std::optional<Signed> signedRelease =
        key ? std::optional(SignRelease(o, *key, manifest)) : std::nullopt;

    if (o.dryRun) {
        std::cout << "Version.ini:\n" << Printable(manifest) << "\n";
        if (signedRelease)
            std::cout << freshness::kFileName << ":\n" << signedRelease->statement << "\n";
        PrintSummary(o, plan, patches);
        std::cout << "Dry run: nothing written to " << PrintablePath(o.out) << "\n";
        return;
    }
    Publish(o, plan, patches, manifest, signedRelease);
    PrintSummary(o, plan, patches);
    std::vector<std::string> own{"Version.ini"};
    if (signedRelease) own.push_back(verification::kSignatureFileName);
    if (signedRelease && !signedRelease->chain.empty()) own.push_back(keyrotation::kFileName);
    own.push_back("Version.txt");
    if (signedRelease) own.push_back(freshness::kFileName);
    std::cout << "Wrote " << plan.files.size() << " files, "
              << (patches.patches.empty()
                      ? ""
                      : Counted(patches.patches.size(), "patch", "patches") + ", ");
    for (size_t i = 0; i < own.size(); ++i)
        std::cout << (i == 0 ? "" : i + 1 == own.size() ? " and " : ", ") << own[i];
    std::cout << " to " << PrintablePath(o.out) << "\n";
    if (signedRelease)
        std::cout << freshness::kFileName << ": " << Describe(signedRelease->statement) << "\n";
}

}  // namespace publish
