// sendrift-publish release: an update folder for the server, made from release folders laid
// out as installed.
//
//   release NEWDIR --version V [--data-version D] --from OLDV=OLDDIR ... [--run NAME ...]
//           [--rollout START,DAYS] [--key SECRETKEY [--expires DURATION] [--keys CHAINFILE]]
//           --out OUTDIR [--force] [--dry-run] [--no-delta]
//
// For each older version, the manifest section [OLDV] lists every file of NEWDIR whose
// content (by SHA-256) differs from OLDDIR's or is missing there, as copy entries in path
// order, then each --run NAME as a run entry. The components that NEWDIR's Default.ini and
// Custom.ini name get [DLL] dates, unless a section lists them: the wizard adds a component
// by its date without looking at the section, so one listed in both would be fetched twice,
// and a section's content comparison is the surer of the two. [SIZE] and [SHA256] cover every
// named file. The updater's own state (setup.ini, the manifest and its signature, Update\,
// CUpdate\, sendrift.log, sendrift.lock, sendrift.state) is never listed.
//
// With --rollout, the manifest carries a staged rollout's schedule (rollout.h): the release is
// offered to a share of installations growing from none at START to all after DAYS days.
//
// With --key, the manifest is signed and a freshness statement (statement.h) vouches for the
// release until DURATION from now (default 7 days). The key rotation records published with
// it come from CHAINFILE, or, when --force replaces a folder, from the folder's Version.keys;
// the key must be the newest they name. The statement's serial outranks the one it replaces.
//
// Unless --no-delta is given, each copy entry whose file OLDDIR holds gets a patch against
// that file (core/delta.h), published under .delta\ with its [SIZE] and [SHA256] and listed in
// [DELTA], when it is at most three quarters of the file; a base that several versions share
// gets one patch. The summary gives, per older version, the bytes of the files and of what
// an installation fetches with the patches.
//
// OUTDIR, the folder served as the server's Update folder, receives the named files, then
// Version.ini, Version.ini.sig and Version.keys (with --key), Version.txt, and
// Version.txt.fresh (with --key) last, so that a server that is read meanwhile announces the
// version only once everything is there. Every refusal comes before anything is written;
// --dry-run prints what would be written and writes nothing.
#pragma once

#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "core/rollout.h"
#include "platform/text.h"

namespace publish {

struct ReleaseOptions {
    AnsiString newFolder;
    AnsiString version;
    AnsiString dataVersion;  // empty: the manifest names none, and setup.ini keeps its own
    std::vector<std::pair<AnsiString, AnsiString>> from;  // older version, its folder
    std::vector<AnsiString> run;                          // names in NEWDIR, in order
    std::optional<rollout::Schedule> rollout;             // nothing: offered to all at once
    std::optional<AnsiString> secretKey;
    std::optional<std::chrono::seconds> validity;  // of the statement; only with a key
    std::optional<AnsiString> chainFile;           // Version.keys to publish; only with a key
    AnsiString out;
    bool force = false;
    bool dryRun = false;
    bool patches = true;
};

// The options after the word "release"; nothing when they do not make a command.
std::optional<ReleaseOptions> ParseReleaseOptions(int argc, char* argv[]);

// Throws Failure, having written nothing, for everything it refuses.
void Release(const ReleaseOptions& options);

}  // namespace publish
