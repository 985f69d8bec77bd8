// File-system operations on code-page paths.
//
// Every path is code-page text as the wizard builds it (application folder + relative name,
// backslashes); conversion to a native path happens inside. Operations report failure by
// their result and never throw; on failure errno tells why.
//
// A file that replaces another is written whole beside it, flushed, and renamed over it, and
// the folder is flushed after the rename: after a power cut the path holds the old or the new
// contents, never a mixture or nothing. The new file keeps the permission bits, owner and
// group of the one it replaces (the owner where the process may set it; set-id bits go when
// the owner or group could not be kept); a file that replaces nothing gets mode 0644 less the
// umask. A symbolic link at the target is itself replaced by the file, as a rename replaces it,
// and the file takes the mode of what the link pointed to: the caller must have made sure that
// the link stays where the write may go (IsInsideFolder).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "platform/text.h"

namespace platform {

// The folder of the running executable as code-page text ending in a backslash.
AnsiString ApplicationFolder();

bool FileExists(const AnsiString& path);
bool DirectoryExists(const AnsiString& path);

// Creates one folder level; the parent must exist. True when the folder exists afterwards.
bool CreateDirectory(const AnsiString& path);

// Copies source over target (replacing it as described above) and gives the copy the source's
// last-write time. The contents pass through a buffer of fixed size, so a file of any size
// costs no more memory than a small one. A source that is a symbolic link, or no regular file,
// is refused: a link planted among the downloads cannot bring in a file from elsewhere. A
// failure never leaves a half-written target.
bool CopyFile(const AnsiString& source, const AnsiString& target);

// Several files replaced as one step, the way package managers install: each copy is written
// beside its target as it is added; Commit makes them all durable with one flush of each file
// system, then renames each over its target and flushes each folder once. Every file keeps
// the promise of a single replacement (CopyFile) for a fraction of the waits on the disk.
// Destroyed before Commit, the batch removes what it wrote and every target stays as it was.
// Holds a file open per copy until Commit, so batches are kept to a few hundred copies.
class FileReplacements {
public:
    FileReplacements();
    ~FileReplacements();
    FileReplacements(const FileReplacements&) = delete;
    FileReplacements& operator=(const FileReplacements&) = delete;

    // Writes a copy of `source` beside `target` as CopyFile does (the same refusals, mode and
    // last-write time taken over). False, with errno, when it cannot.
    bool AddCopy(const AnsiString& source, const AnsiString& target);
    // False, with errno, at the first failure; the copies renamed before it stay in place.
    bool Commit();

private:
    struct Staged;
    std::vector<Staged> staged_;
};

bool DeleteFile(const AnsiString& path);

// Removes what a replacement of `path` (as described above) that a crash ended left beside it,
// for a caller that will not replace `path` again and so would otherwise leave it for good.
// True when nothing is left there.
bool DiscardUnfinishedReplacement(const AnsiString& path);

// Removes the folder and everything below it. A symbolic link inside is removed, never followed;
// a link at `folder` itself is refused (ELOOP or ENOTDIR). True when the folder is gone, or was
// never there.
bool RemoveFolderTree(const AnsiString& folder);

// Renames source over target, replacing it in one step. Nothing is flushed.
bool RenameFile(const AnsiString& source, const AnsiString& target);

// Makes the data of a file that another writer has finished (and closed) durable, so that
// nothing written after this call can outlive it in a power cut. A symbolic link at the path
// is refused, not followed.
bool FlushFile(const AnsiString& path);

// Makes durable everything written so far to the file system that holds `path`, in one wait for
// the disk: for many files that other writers have finished, far cheaper than a flush each.
bool FlushFileSystemOf(const AnsiString& path);

// Whether this process may create files in the folder: tried with a file of its own, made and
// removed at once, so that privileges, access lists and a read-only mount all count. On false,
// errno says why.
bool CanCreateFilesIn(const AnsiString& folder);

// Creates, below the existing folder `base`, every missing folder that the relative file name
// `relativeName` ("Bin\\Customs.dll") lies in. True when they all exist afterwards. Fails,
// creating nothing further, at a level below `base` that is a symbolic link (even one to a
// folder), so that files written there cannot be led elsewhere; `base` itself is taken as it is.
bool CreateFoldersFor(const AnsiString& base, const AnsiString& relativeName);

// Gives the file's owner the right to execute it. Refuses a symbolic link and anything that
// is no regular file instead of changing what it leads to.
bool MakeOwnerExecutable(const AnsiString& path);

// Whether the path itself is a symbolic link (to anything, or dangling). A trailing
// separator does not make the link's target be examined instead.
bool IsSymbolicLink(const AnsiString& path);

// Whether `path` lies inside `folder` (or is that folder), judged on real paths with every
// link and "." or ".." resolved: a link inside the folder that leads to another place inside
// is fine, one that leads out is not. A path that does not exist yet is judged by its existing
// parent folder and its last name; a dangling link is never inside. False when `folder` does
// not exist.
bool IsInsideFolder(const AnsiString& path, const AnsiString& folder);

// The size in bytes of the file at `path` (links followed); nothing, with errno, when it
// cannot be examined or is a folder.
std::optional<int64_t> FileSize(const AnsiString& path);

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
// pieces handed over until then are not taken back. A symbolic link at the path is refused,
// so that what is read is the file that was written there, not one a link leads to.
bool ReadFileInPieces(const AnsiString& path,
                      const std::function<void(const char* data, size_t size)>& consume);

// Replaces the file's contents as described above: readers see either the old or the new
// contents, never a mixture, and a power cut leaves one of the two. On failure the old file is
// untouched.
bool ReplaceFileContents(const AnsiString& path, const std::string& contents);

// Writes one piece of a file being made; false, with errno, when the piece was not written.
using PieceWriter = std::function<bool(const char* data, size_t size)>;

// Replaces the file as ReplaceFileContents does, with the bytes that `produce` hands, piece by
// piece, to the writer it is given: a file of any size is written through the producer's own
// buffers. `produce` returns false to give up (when a piece could not be written, or for a
// reason of its own): then, as after any failure, nothing is left beside the target and the
// target is untouched. False when the producer gave up or the file could not be made durable;
// errno tells why only in the second case.
bool ReplaceFileInPieces(const AnsiString& path,
                         const std::function<bool(const PieceWriter& write)>& produce);

// Writes the file from its first byte, creating it or emptying it, with the bytes that
// `produce` hands to its writer as ReplaceFileInPieces does, but in place and without a flush:
// for a file that nothing relies on before its maker is done with it, such as one in a
// temporary folder. A symbolic link at the path is refused rather than followed. When
// `produce` gives up or a piece cannot be written, the file is removed. False then, or when
// the file cannot be opened (errno tells why in that case and for a failed write).
bool WriteFileInPieces(const AnsiString& path,
                       const std::function<bool(const PieceWriter& write)>& produce);

// Creates a file that its owner alone may read and write, holding `contents`. Fails, leaving
// whatever is there untouched, when anything is at the path already; a file that cannot be
// written whole is removed again.
bool CreatePrivateFile(const AnsiString& path, const std::string& contents);

// Opens a file for writing from its first byte, creating it (mode 0644 less the umask) or
// emptying it. A symbolic link at the path is refused rather than followed, so a link planted
// in a folder of downloads cannot carry the write elsewhere. Nothing when it cannot be opened.
std::FILE* OpenForWriting(const AnsiString& path);
// Opens a file for reading and writing where it stands, to continue it, creating it empty
// (mode 0644 less the umask) when it is missing: nothing is emptied, and a symbolic link at the
// path is refused as by OpenForWriting.
std::FILE* OpenForContinuing(const AnsiString& path);
// The size in bytes of a file opened by this layer; nothing when it cannot be examined.
std::optional<int64_t> OpenFileSize(std::FILE* file);
// Writes out what the C library holds of `file` and makes its data durable, as FlushFile does
// for a file that is closed, without opening it again.
bool FlushOpenFile(std::FILE* file);

// The permission bits (07777) of the file that `path` leads to, links followed; nothing when
// it cannot be examined.
std::optional<unsigned> PermissionBits(const AnsiString& path);

// Appends `text` to the file, creating it (mode 0644 less the umask) when it is missing. A
// symbolic link at the path is refused, not followed.
bool AppendToFile(const AnsiString& path, const std::string& text);
// Makes `text` the whole contents of the file, creating it (mode 0644 less the umask) or
// emptying it first. Nothing is flushed and a reader may find it half-written: for small files
// of the caller's own whose torn state is harmless. A symbolic link at the path is refused,
// not followed.
bool OverwriteFile(const AnsiString& path, const std::string& text);

// The text of the error that the last failed call of this layer left in errno, followed by
// the path it concerned: "No such file or directory: <path>".
AnsiString ErrorText(const AnsiString& path);

// The bytes that an unprivileged process may still write on the file system of `folder`;
// nothing when the folder cannot be examined.
std::optional<uint64_t> FreeDiskSpace(const AnsiString& folder);

// Creates, inside the application folder `root`, every missing folder of the relative folder
// name `relativeFolder` ("Bin\\Plugins"; an empty name asks for nothing). A level that exists
// may be a symbolic link as long as its real path stays inside `root`; anything that would
// lead out of it (a link, a ".." segment) is refused before a folder is made there, as is a
// level that is no folder. True when every level exists afterwards; otherwise false, with
// errno set and `error`, when given, holding the reason and the path it concerns.
bool MakeFoldersInside(const AnsiString& root, const AnsiString& relativeFolder,
                       std::string* error);

}  // namespace platform
