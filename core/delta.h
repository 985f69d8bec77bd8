// Patches: a changed file sent as the difference from the version that an installation holds,
// rebuilt on the client and verified there before anything trusts it.
//
// A patch is one zstd frame made with the older file (the base) as its prefix, long-distance
// matching on and a window that reaches from the end of the new file back to the start of the
// base; it carries the new file's size, and no checksum of zstd's own: the rebuilt file's
// SHA-256 is checked against the manifest instead. `zstd -d --patch-from=BASE PATCH` rebuilds
// the file as well.
//
// The manifest lists patches in their own section, one line per file and base:
//
//   [DELTA]
//   Bin\Customs.dll=<SHA-256 of the base>;.delta\Bin\Customs.dll.<16 digits of it>.zst
//
// The key is the entry's file name (matched ignoring letter case, like [SHA256] keys), the
// value the base's SHA-256 in hexadecimal and the patch's name on the server, relative to the
// update folder like every file name of the manifest. A file may have several lines, one per
// base. Each patch is listed in [SIZE] and [SHA256] under its own name, like any file. A build
// that does not know the section ignores it: no entry names a patch.
//
// Every function may be called from any thread; none keeps state between calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/inifile.h"
#include "platform/text.h"

namespace delta {

inline constexpr const char* kPatchSection = "DELTA";
// The folder of the update folder that holds every patch. No release file may lie in it, so a
// patch can never be taken for a file of the release, on the server or in Update\.
inline constexpr const char* kPatchFolder = ".delta";

// The name that the publisher gives the patch of `fileName` against the base whose SHA-256 is
// `baseDigest`: inside kPatchFolder, the file's own name followed by the first 16 digits of
// the base's digest (lower case, so that names made on any system agree) and ".zst".
AnsiString PatchName(const AnsiString& fileName, const AnsiString& baseDigest);

// True when `name` is safe (IsSafeRelativeName) and lies inside kPatchFolder, in any letter
// case: a name the wizard may fetch a patch into without touching a file of the release.
bool IsPatchName(const AnsiString& name);

// One line of the section, as it stands.
struct PatchLine {
    AnsiString baseDigest;  // as written: 64 hexadecimal digits when the line is well formed
    AnsiString patchName;
};

// The line's value split at its ";"; nothing when it does not hold exactly a digest of 64
// hexadecimal digits and a patch name (IsPatchName).
std::optional<PatchLine> ParsePatchLine(const AnsiString& value);
// The value of a line for `line`'s base and patch.
AnsiString PatchLineValue(const PatchLine& line);

// The patch for the client to fetch instead of the file.
struct Patch {
    AnsiString name;        // relative to the update folder, as the manifest spells it
    AnsiString baseDigest;  // the installed file's SHA-256, as the manifest spells it
    int64_t size = 0;       // the patch's [SIZE]
};

// The patch that rebuilds `fileName` from an installed file whose SHA-256 is
// `installedDigest`; nothing when the manifest offers none for that base, or when what it
// offers cannot be used safely: a line that does not parse, a patch without [SIZE] and
// [SHA256], or a file without [SIZE] and [SHA256], against which a rebuild would go
// unchecked. The first usable line of the section wins.
std::optional<Patch> ChoosePatch(const TIniSnapshot& manifest, const AnsiString& fileName,
                                 const AnsiString& installedDigest);

// How a patch is made. The defaults were chosen on bench/delta's release pair (1,087 changed
// files of a Debian package, 43 MiB): level 12 makes patches of 1.07 times bsdiff's bytes in
// 0.09 times its processor time, where level 15 takes 0.34 times for 1.05 and level 19 0.87
// times for 0.97. Long-distance matching cost 1% there, where no file passes 9 MiB and the
// match finder's own tables reach the whole base; it keeps the base in reach in larger files.
struct PatchSettings {
    int level = 12;
    bool longDistanceMatching = true;
};

// The base-2 logarithm of the window that a patch of a base of `baseBytes` and a new file of
// `newBytes` is made with, and of the largest that a rebuild takes for those sizes: the
// smallest power of two that holds both files, so that every byte of the base stays in reach
// to the end of the new file; at least 1 KiB, and never above 1 GiB, the largest window zstd
// takes on a 32-bit system. Maker and client take it from here, so that no patch that the
// publisher makes is refused by a client.
int PatchWindowLog(int64_t baseBytes, int64_t newBytes);

struct Made {
    enum class Outcome {
        Made,      // the patch is at `patchPath`
        TooLarge,  // it grew past the given limit; nothing was written
        Failed,    // `failure` says why; nothing was written
    };
    Outcome outcome = Outcome::Failed;
    int64_t bytes = 0;   // the patch's size when made
    AnsiString failure;  // code-page text: the reason, with the path it concerns
};

// Makes the patch that rebuilds `newPath` from `basePath` and writes it at `patchPath`, in
// place and not flushed (a patch is made in a folder of the publisher's own and published from
// there, and a flush of each of thousands of patches would cost more than making them),
// creating no folder. The base is read whole into memory, since the frame refers back into it; the
// new file and the patch pass through in pieces of at most 128 KiB. A patch that would be larger
// than `largestPatch` bytes is given up as soon as it passes that size.
Made MakePatch(const AnsiString& basePath, const AnsiString& newPath, const AnsiString& patchPath,
               int64_t largestPatch, const PatchSettings& settings = {});

// Where a rebuilt file goes, and what it must be: the entry's [SIZE] and [SHA256].
struct RebuildTarget {
    AnsiString path;
    int64_t size = 0;
    std::vector<AnsiString> digests;
};

struct Rebuilt {
    enum class Outcome {
        Rebuilt,          // the file is at the target path, its size and digest as listed
        BaseUnreadable,   // the base is missing or cannot be read
        PatchUnreadable,  // the patch is missing or cannot be read
        PatchRefused,     // the frame does not fit this base and file (size, window)
        PatchCorrupt,     // the frame is damaged or cut short, or its checksum fails
        DigestMismatch,   // the rebuilt bytes are not the listed file: another base, say
        CannotWrite,      // the rebuilt file could not be written (a full disk, a folder)
    };
    Outcome outcome = Outcome::CannotWrite;
    // Empty when rebuilt; otherwise code-page text, as sendrift.log keeps it: the reason, with
    // the path it concerns.
    AnsiString failure;
    AnsiString digest;  // SHA-256 of the rebuilt bytes, when every byte was rebuilt
    // The decoder's own memory (its window and tables) at the end, beside the base's copy:
    // what the patch made the client allocate.
    int64_t decoderBytes = 0;
    explicit operator bool() const { return outcome == Outcome::Rebuilt; }
};

// Rebuilds the file from the base at `basePath` and the patch at `patchPath` and puts it at
// `target.path` only when its size and SHA-256 are the target's: the bytes are written beside
// the target and hashed on their way there, so the caller need not read them again, and
// renamed over it once they match (flushed, as every file that replaces another). On any
// failure the target and its folder are as they were and nothing is left beside them.
//
// Memory: a copy of the base (read rather than mapped, since a program that truncates a mapped
// file, as `cp` over it does, would end this one with SIGBUS), a decoder window of at most the
// file's size, and pieces of at most 128 KiB of the patch and the output. A frame that claims a
// content size other than the target's, or a window above PatchWindowLog for the base and the
// target, is refused before the decoder allocates anything for it.
Rebuilt Rebuild(const AnsiString& basePath, const AnsiString& patchPath,
                const RebuildTarget& target);

}  // namespace delta
