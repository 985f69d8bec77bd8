#include "tools/publish/patches.h"

#include <unordered_map>

#include "core/manifest.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "tools/publish/common.h"

namespace publish {

void RefusePatchFolder(const std::vector<AnsiString>& releaseFiles) {
    for (const AnsiString& file : releaseFiles)
        if (delta::IsPatchName(file))
            throw Failure{"the file " + Printable(file) + " lies in " + delta::kPatchFolder +
                          ", the folder that patches are published in; rename it, or publish "
                          "without patches (--no-delta)"};
}

ReleasePatches MakePatches(const AnsiString& newFolder, const std::vector<PatchBases>& versions,
                           const std::function<AnsiString(const AnsiString& path)>& digestOf,
                           const AnsiString& workFolder) {
    ReleasePatches made;
    // Folded patch name -> the patch made under it, or nothing when it was too large: each
    // file and base is tried once, however many versions share that base.
    std::unordered_map<std::string, std::optional<size_t>> tried;
    for (const PatchBases& version : versions) {
        std::map<AnsiString, int64_t>& published = made.byVersion.emplace_back();
        for (const AnsiString& file : version.files) {
            const AnsiString base = JoinPath(version.folder, file);
            const AnsiString baseDigest = digestOf(base);
            const AnsiString name = delta::PatchName(file, baseDigest);
            auto [at, first] = tried.try_emplace(FoldedName(name));
            if (first) {
                const AnsiString newFile = JoinPath(newFolder, file);
                const int64_t size = FileSize(newFile);
                if (size < 0) throw Failure{"cannot read " + PrintablePath(newFile)};
                const AnsiString path = JoinPath(workFolder, name);
                if (!platform::CreateFoldersFor(workFolder + "\\", name))
                    throw Failure{"cannot write " + Printable(platform::ErrorText(path))};
                const delta::Made patch = delta::MakePatch(
                    base, newFile, path, size * kPatchShareNumerator / kPatchShareDenominator);
                if (patch.outcome == delta::Made::Outcome::Failed)
                    throw Failure{Printable(patch.failure)};
                if (patch.outcome == delta::Made::Outcome::Made) {
                    const std::optional<AnsiString> digest = verification::FileDigest(path);
                    if (!digest) throw Failure{"cannot read " + PrintablePath(path)};
                    at->second = made.patches.size();
                    made.patches.push_back({file, {baseDigest, name}, path, patch.bytes, *digest});
                }
            }
            if (at->second) {
                const ReleasePatch& patch = made.patches[*at->second];
                // Two bases whose digests begin alike would share the name; the second goes
                // without a patch rather than take the first one's.
                if (patch.line.baseDigest == baseDigest) published[file] = patch.size;
            }
        }
    }
    return made;
}

}  // namespace publish
