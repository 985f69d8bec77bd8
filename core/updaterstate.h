// What the updater remembers between runs beyond the journal: the highest freshness serial it
// has accepted from each update folder, how far it has followed the publisher's key rotations,
// the keys learned by rotation and the keys retired, and the installation's rollout number.
// Kept in sendrift.state in the application folder, beside the journal and written like it.
//
// sendrift.state is ASCII with LF line ends:
//
//   sendrift-state 1
//   serial <highest serial accepted> <the update folder's URL>    one line per update folder;
//                        in the URL each byte that is a blank, "%" or no printable ASCII
//                        (code-page text of a folder name) is written as %XX
//   rotations <records of Version.keys followed>                  at most once
//   learned <public key>                                          one line per key
//   retired <public key>                                          one line per key
//   rollout <the installation's number, 0 to 4294967295>          at most once
//   <name> <value>                     a field that a later version of the updater added
//   end <SHA-256 of every byte before this line>
//
// Fields may come in any order. Fields this version does not know are kept and written back
// as they are, so a later version's field survives a run of this one; a change that this
// version must not misread raises the number of the first line, which this version then
// refuses. The last line makes a file cut short or changed by accident a damaged one.
//
// Serials are kept per update folder, because each folder (a pilot group's `Update/pilot`
// beside `Update`) has a serial count of its own: a computer moved from one to the other must
// not refuse the other's statements because its numbers are lower.
//
// The rollout number places this installation in a publisher's staged rollout (rollout.h). It
// is drawn once, at random, and never leaves the computer: no request carries it, so the
// server cannot tell installations apart by it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/verification.h"
#include "platform/text.h"

inline constexpr const char* kUpdaterStateFileName = "sendrift.state";

struct UpdaterState {
    // The update folder's URL, code-page bytes as the version check asks it
    // ("http://host/Update/") -> highest serial accepted.
    std::map<std::string, uint64_t> highestSerials;
    uint64_t rotationsFollowed = 0;
    verification::KeySet learnedKeys;       // trusted through rotation records
    verification::KeySet retiredKeys;       // never trusted again, whatever the build lists
    std::optional<uint32_t> rolloutNumber;  // nothing until InstallationNumber draws it
    // Lines of fields that this version does not know, kept in their order.
    std::vector<std::string> laterFields;

    // 0 for an update folder that nothing was accepted from.
    uint64_t HighestSerial(const std::string& updateFolderUrl) const;

    bool operator==(const UpdaterState&) const = default;
};

// The state in `path`. A missing file is the empty state: a new installation. Nothing, with
// `error` saying what is wrong, for a file that cannot be read or is damaged (a line out of
// form, a key that is no key, a version line this version does not know, a field given twice,
// a file cut short or changed): starting from nothing instead would accept an older serial or
// a retired key again.
std::optional<UpdaterState> ReadUpdaterState(const AnsiString& path, std::string* error);
// The same for the file's text.
std::optional<UpdaterState> ParseUpdaterState(std::string_view text, std::string* error);

// The file's text for `state`.
std::string UpdaterStateText(const UpdaterState& state);

// Replaces the file with `state` (written beside it, flushed, renamed, the folder flushed).
// False when it cannot, with `error` saying why and the file as it was.
bool WriteUpdaterState(const AnsiString& path, const UpdaterState& state, std::string* error);

// The installation's rollout number: the one the state file at `path` keeps, or, when it keeps
// none (a new installation, or a state written by an updater before rollouts), one drawn from
// the system's random source and saved into the file, with everything else it keeps, before
// it is returned. Nothing, with `error` saying why, when the file is damaged, cannot be read or
// written, or the system gives no randomness: a number not kept would be drawn anew by every
// run, moving the installation in and out of the share.
//
// Call it with the application folder locked, like every reader and writer of the file, and
// before reading the state for anything else in the same run (or read it again afterwards): a
// state read before the number was drawn and written back would drop it.
std::optional<uint32_t> InstallationNumber(const AnsiString& path, std::string* error);
