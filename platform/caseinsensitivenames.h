// Relative names resolved against a folder the way the product's home system finds its files:
// "BIN\\customs.DLL" and "Bin\\Customs.dll" name one file there, and the manifests, component
// lists and journals written on it spell a file whichever way their author typed it.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/text.h"

namespace platform {

// Finds the installed spelling of relative code-page names ("BIN\\customs.DLL", "\\" or "/"
// between components) below one existing folder. A name is resolved one component at a time,
// each against the entries of the folder that the components before it reached:
// - exactly one entry equals the component ignoring letter case: that entry's spelling is used;
// - none does: this component and every later one keep the given spelling (the name is new
//   from there on, and nothing below it is read);
// - two or more do (entries that differ in letter case only): the name is ambiguous, refused
//   with a reason that names those entries and the folder.
// Letter case is compared on the decoded text (GB18030, as NativePath decodes it) with
// Unicode case folding, so ASCII letters and the cased letters of the code page (full-width
// Ａ/ａ, Greek, Cyrillic) match their other case. Entries whose names are no UTF-8 cannot be
// named in the code page and are never matched.
//
// Each folder is listed once, the first time a name passes through it, and its entries kept in
// a hash of folded names, so a resolver answers from the folders as they were when it first
// read them plus what its caller reports through Created. Keep one for a run of work on one
// folder and report what the run creates; a later run makes a new one. It holds the names of
// every folder it has read (a few megabytes for 20,000 entries).
//
// Names only: a symbolic link is matched by its own name and listed as the folder it leads to,
// and nothing here decides whether a link may be used or followed; callers apply their own link
// rules to the resolved name (IsInsideFolder, MakeFoldersInside, the refusals of files.h).
// A component "." or ".." matches no entry: the name is new from there on and keeps it, so a
// caller's refusal of such names stays in force. An empty component (a leading, doubled or
// trailing separator) is kept as it is and, as on the file system, stays in the same folder.
//
// Not thread-safe: one thread at a time. The folder is read only by Resolve; nothing is written.
class CaseInsensitiveNames {
public:
    // `folder`: the code-page path of the folder the names are relative to, with or without a
    // separator at its end ("C:\\App\\" style). Nothing is read until the first Resolve.
    explicit CaseInsensitiveNames(AnsiString folder);
    CaseInsensitiveNames(const CaseInsensitiveNames&) = delete;
    CaseInsensitiveNames& operator=(const CaseInsensitiveNames&) = delete;

    enum class Kind {
        Existing,   // every component names an existing entry
        New,        // from some component on, nothing of that name exists yet
        Ambiguous,  // a component equals two or more entries of its folder ignoring case
        Unlisted,   // a folder on the way could not be listed (no permission, a read error)
    };

    struct Resolution {
        Kind kind;
        // Existing and New: the name to use, its components joined by "\\" where the given name
        // had "\\" or "/", each existing one in its installed spelling and the rest as given.
        // Ambiguous and Unlisted: the given name, unchanged.
        AnsiString name;
        // Ambiguous and Unlisted: why, naming the folder by its code-page path; empty otherwise.
        AnsiString reason;
    };

    Resolution Resolve(const AnsiString& relativeName);

    // Records that the caller has just created `relativeName` (a file or folder and the folders
    // it lies in, spelled as created: normally the name that Resolve gave), so that a later
    // Resolve of any spelling finds it. Folders not read yet are left to be read when a name
    // first passes through them, and will then show what the caller created in them.
    void Created(const AnsiString& relativeName);

private:
    struct Folder {
        // Folded name → every spelling (UTF-8, as on disk) that folds to it.
        std::unordered_map<std::string, std::vector<std::string>> entries;
        // Why the folder could not be listed; empty when it was (a missing folder has no
        // entries).
        AnsiString error;
    };

    // The folder at `nativeRelative` ("" for the base, "Bin/Plugins" below it), read from the
    // disk the first time it is asked for.
    const Folder& Listing(const std::string& nativeRelative);
    // The code-page path of the folder at `nativeRelative`, for messages.
    AnsiString FolderPath(const std::string& nativeRelative) const;

    AnsiString folder_;       // as given, ending in a separator
    std::string nativeBase_;  // native path of folder_, ending in "/"
    // Keyed by native relative path, each level in the spelling that was used to reach it.
    std::unordered_map<std::string, Folder> folders_;
};

}  // namespace platform
