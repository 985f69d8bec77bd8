// File-system operations on code-page paths.
//
// Every path is code-page text as the wizard builds it (application folder + relative name,
// backslashes); conversion to a native path happens inside. Operations report failure by
// their result and never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>

#include "platform/text.h"

namespace platform {

// The folder of the running executable as code-page text ending in a backslash.
AnsiString ApplicationFolder();

bool FileExists(const AnsiString& path);
bool DirectoryExists(const AnsiString& path);

// Creates one folder level; the parent must exist. True when the folder exists afterwards.
bool CreateDirectory(const AnsiString& path);

// Copies source over target (replacing it) and gives the copy the source's last-write time.
// The copy is written beside the target and renamed over it, so a failure never leaves a
// half-written target.
bool CopyFile(const AnsiString& source, const AnsiString& target);

bool DeleteFile(const AnsiString& path);

// Renames source over target, replacing it in one step.
bool RenameFile(const AnsiString& source, const AnsiString& target);

// Creates, below the existing folder `base`, every missing folder that the relative file name
// `relativeName` ("Bin\\Customs.dll") lies in. True when they all exist afterwards.
bool CreateFoldersFor(const AnsiString& base, const AnsiString& relativeName);

// Gives the file's owner the right to execute it.
bool MakeOwnerExecutable(const AnsiString& path);

struct LocalDateTime {
    int year, month, day, hour, minute, second;
};

// The file's last-write time in local time; empty when the file cannot be examined.
std::optional<LocalDateTime> LastWriteTime(const AnsiString& path);

// Why a file could not be read: nothing is at the path, or something is there that cannot be
// read (no permission, a folder, a read error). A writer that rewrites the whole file may
// start from nothing only in the first case; in the second it would wipe what it cannot see.
enum class ReadFailure { Missing, Unreadable };

// Reads the whole file; empty when it cannot be read, and then `failure`, when given, says why.
std::optional<std::string> ReadWholeFile(const AnsiString& path, ReadFailure* failure = nullptr);

// Reads the file from start to end and hands each piece to `consume` as it arrives, so a file
// of any size passes through a small buffer. False when it cannot be opened or read; the
// pieces handed over until then are not taken back.
bool ReadFileInPieces(const AnsiString& path,
                      const std::function<void(const char* data, size_t size)>& consume);

// Writes a complete new copy beside the file and renames it over the old one, so readers see
// either the old or the new content, never a mixture. On failure the old file is untouched.
bool ReplaceFileContents(const AnsiString& path, const std::string& contents);

// Creates a file that its owner alone may read and write, holding `contents`. Fails, leaving
// whatever is there untouched, when anything is at the path already; a file that cannot be
// written whole is removed again.
bool CreatePrivateFile(const AnsiString& path, const std::string& contents);

// Opens a file for writing from its first byte, creating it (mode 0644 less the umask) or
// emptying it. A symbolic link at the path is refused rather than followed, so a link planted
// in a folder of downloads cannot carry the write elsewhere. Nothing when it cannot be opened.
std::FILE* OpenForWriting(const AnsiString& path);

// True when the path itself is a symbolic link (which is not followed to find out), whatever it
// points at, nothing included.
bool IsSymbolicLink(const AnsiString& path);

// The permission bits (07777) of the file that `path` leads to, links followed; nothing when
// it cannot be examined.
std::optional<unsigned> PermissionBits(const AnsiString& path);

// The bytes that an unprivileged process may still write on the file system of `folder`;
// nothing when the folder cannot be examined.
std::optional<uint64_t> FreeDiskSpace(const AnsiString& folder);

}  // namespace platform
