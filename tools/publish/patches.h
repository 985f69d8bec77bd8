// The patches of a release (core/delta.h): made by `release` against each older version's
// files, and rebuilt by `verify --from` to check them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "core/delta.h"
#include "platform/text.h"

namespace publish {

// A patch is published only when it is at most this share of its file: a larger one saves
// too little to be worth a rebuild on the client.
inline constexpr int64_t kPatchShareNumerator = 3;
inline constexpr int64_t kPatchShareDenominator = 4;

// The files of one older version that a patch may stand for: the copy entries of its section
// that its folder holds an older copy of.
struct PatchBases {
    AnsiString version;
    AnsiString folder;
    std::vector<AnsiString> files;  // names as the manifest writes them
};

struct ReleasePatch {
    AnsiString file;        // the entry's file name
    delta::PatchLine line;  // the base's digest and the patch's published name
    AnsiString made;        // where the patch lies until it is published
    int64_t size = 0;
    AnsiString digest;
};

struct ReleasePatches {
    // Each file and base once, in the order of the versions and their entries.
    std::vector<ReleasePatch> patches;
    // Per older version, in the order given: each file that a published patch stands for,
    // with that patch's size.
    std::vector<std::map<AnsiString, int64_t>> byVersion;
};

// Refuses, with a Failure, a file of the release that lies in the patch folder, where a patch
// could take its place on the server or in the client's Update\ folder.
void RefusePatchFolder(const std::vector<AnsiString>& releaseFiles);

// Makes, in the existing folder `workFolder`, the patch of each file of `newFolder` against
// each base that `versions` name, and keeps the patches that are at most kPatchShare of their
// file. `digestOf` gives the SHA-256 of a file by its path. Throws Failure when a file cannot
// be read or a patch cannot be written.
ReleasePatches MakePatches(const AnsiString& newFolder, const std::vector<PatchBases>& versions,
                           const std::function<AnsiString(const AnsiString& path)>& digestOf,
                           const AnsiString& workFolder);

}  // namespace publish
