#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include <QString>

#include "platform/codepage.h"
#include "platform/eintr.h"

namespace platform {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        // Closed on a failure path, whose errno the caller still has to read.
        const int saved = errno;
        if (fd_ >= 0) ::close(fd_);
        errno = saved;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) : fd_(std::exchange(other.fd_, -1)) {}
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports whether the data reached the file.
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

constexpr const char* kTemporarySuffix = ".sendrift-new";

// Copies pass through a buffer of at most this size: large enough that a big file takes few
// system calls, small enough that no file's size shows in the process's memory.
constexpr size_t kCopyBuffer = size_t(1) << 20;

int OpenFile(const std::string& nativePath, int flags, mode_t mode = 0) {
    return RetryOnEintr([&] { return ::open(nativePath.c_str(), flags | O_CLOEXEC, mode); });
}

// Removes a file on a failure path without losing the failure's errno.
void RemoveAfterFailure(const std::string& nativePath) {
    const int saved = errno;
    ::unlink(nativePath.c_str());
    errno = saved;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = RetryOnEintr([&] { return ::write(fd, data, size); });
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The folder part of a native path, without the separator; "." for a bare name.
std::string NativeFolderOf(const std::string& nativePath) {
    const size_t slash = nativePath.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : nativePath.substr(0, slash);
}

// `nativePath` without separators at its end, so that calls which do not follow a final link
// see the link rather than what a trailing "/" makes them look through.
std::string WithoutTrailingSeparators(std::string nativePath) {
    while (nativePath.size() > 1 && nativePath.back() == '/') nativePath.pop_back();
    return nativePath;
}

// Makes the renames and removals already done in a folder durable.
bool FlushFolder(const std::string& nativeFolder) {
    FileDescriptor fd(OpenFile(nativeFolder, O_RDONLY | O_DIRECTORY));
    return fd.valid() && RetryOnEintr([&] { return ::fsync(fd.get()); }) == 0;
}

// The canonical absolute path, every link and "." or ".." resolved; nothing when a part of it
// does not exist.
std::optional<std::string> RealPath(const std::string& nativePath) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(nativePath.c_str(), nullptr),
                                                     &std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

// Creates the new file `temporary` beside its target. Whatever is already under that name (a
// copy left by a run that a crash ended, or a link planted there) is removed and a new file
// made in its place, never written through.
int CreateBeside(const std::string& temporary, mode_t mode) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    int fd = OpenFile(temporary, flags, mode);
    if (fd < 0 && errno == EEXIST && ::unlink(temporary.c_str()) == 0)
        fd = OpenFile(temporary, flags, mode);
    return fd;
}

// Gives the new copy the permission bits, owner and group of the file it replaces. The owner
// goes first, since changing it may clear set-id bits. An owner or group that the process may
// not give away stays the process's own, and then the matching set-id bit goes: the copy must
// not run as someone other than the replaced file did.
bool TakeOver(int fd, const struct stat& replaced) {
    mode_t mode = replaced.st_mode & 07777;
    if (::fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
        if (errno != EPERM) return false;
        if (::fchown(fd, uid_t(-1), replaced.st_gid) != 0 && errno != EPERM) return false;
        struct stat now;
        if (::fstat(fd, &now) != 0) return false;
        if (now.st_uid != replaced.st_uid) mode &= ~mode_t(S_ISUID);
        if (now.st_gid != replaced.st_gid) mode &= ~mode_t(S_ISGID);
    }
    return ::fchmod(fd, mode) == 0;
}

// The new copy's name beside its target. It is the same for every run, so a run that a crash
// ended leaves nothing behind for good: the run that continues its work writes and renames
// the same names again, and whatever it finds there is removed first (CreateBeside).
std::string TemporaryBeside(const std::string& nativeTarget) {
    return nativeTarget + kTemporarySuffix;
}

// Writes a new file beside `nativeTarget` with `fill` and gives it what it takes over from
// the file it replaces (see files.h) and, when given, the last-write time `modified`. The
// open file comes back, not yet flushed; on failure nothing is left beside the target.
std::optional<FileDescriptor> WriteBeside(const std::string& nativeTarget,
                                          const std::function<bool(int fd)>& fill,
                                          const struct timespec* modified) {
    // Follows a link at the target: the mode of what it points to is the one to keep.
    struct stat replaced;
    bool replaces = ::stat(nativeTarget.c_str(), &replaced) == 0;
    if (!replaces && errno != ENOENT) return std::nullopt;
    if (replaces && S_ISDIR(replaced.st_mode)) {
        errno = EISDIR;
        return std::nullopt;
    }
    const std::string temporary = TemporaryBeside(nativeTarget);
    // Owner-only until it has taken over the replaced file's mode, which may be narrower than
    // a new file's.
    FileDescriptor fd(CreateBeside(temporary, replaces ? 0600 : 0644));
    if (!fd.valid()) return std::nullopt;
    bool ok = fill(fd.get());
    if (ok && modified) {
        struct timespec times[2] = {*modified, *modified};
        ok = ::futimens(fd.get(), times) == 0;
    }
    if (ok && replaces) ok = TakeOver(fd.get(), replaced);
    if (!ok) {
        RemoveAfterFailure(temporary);
        return std::nullopt;
    }
    return fd;
}

// Renames the flushed and closed copy beside `nativeTarget` over it.
bool Publish(const std::string& nativeTarget) {
    const std::string temporary = TemporaryBeside(nativeTarget);
    if (::rename(temporary.c_str(), nativeTarget.c_str()) == 0) return true;
    RemoveAfterFailure(temporary);
    return false;
}

// Writes a new file beside `nativeTarget` with `fill` (see WriteBeside), flushes it, renames
// it over the target and flushes the folder. On failure nothing is left beside the target and
// the target is untouched.
bool ReplaceFile(const std::string& nativeTarget, const std::function<bool(int fd)>& fill,
                 const struct timespec* modified) {
    std::optional<FileDescriptor> fd = WriteBeside(nativeTarget, fill, modified);
    if (!fd) return false;
    // fsync rather than fdatasync: the mode and time set on the copy must survive as well.
    bool ok = RetryOnEintr([&] { return ::fsync(fd->get()); }) == 0;
    ok = fd->Close() && ok;
    if (!ok) {
        RemoveAfterFailure(TemporaryBeside(nativeTarget));
        return false;
    }
    return Publish(nativeTarget) && FlushFolder(NativeFolderOf(nativeTarget));
}

// Reads `fd` to its end through `buffer` and hands each piece to `consume`, which stops the
// reading by returning false. False when the reading failed or was stopped.
bool ReadPieces(int fd, char* buffer, size_t size,
                const std::function<bool(const char* data, size_t size)>& consume) {
    for (;;) {
        ssize_t n = RetryOnEintr([&] { return ::read(fd, buffer, size); });
        if (n < 0) return false;
        if (n == 0) return true;
        if (!consume(buffer, static_cast<size_t>(n))) return false;
    }
}

// The source of a copy, opened without following a link, and how its bytes go into the copy.
struct CopySource {
    FileDescriptor file;
    struct stat info;
    std::unique_ptr<char[]> buffer;
    size_t bufferSize;

    // A source that is a symbolic link, or no regular file, is refused.
    static std::optional<CopySource> Open(const AnsiString& source) {
        FileDescriptor from(OpenFile(NativePath(source), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
        struct stat info;
        if (!from.valid() || ::fstat(from.get(), &info) != 0) return std::nullopt;
        if (!S_ISREG(info.st_mode)) {
            errno = EINVAL;
            return std::nullopt;
        }
        // A small file needs no more buffer than its size (and one byte to see its end at once).
        const size_t size = std::min(kCopyBuffer, size_t(std::max<off_t>(info.st_size, 0)) + 1);
        return CopySource{std::move(from), info, std::unique_ptr<char[]>(new char[size]), size};
    }

    std::function<bool(int)> Fill() {
        return [this](int to) {
            return ReadPieces(
                file.get(), buffer.get(), bufferSize,
                [to](const char* data, size_t length) { return WriteAll(to, data, length); });
        };
    }
};

// Enough for the pieces of a read into memory, small enough for the stack.
constexpr size_t kReadBuffer = 65536;

bool StatPath(const AnsiString& path, struct stat* info) {
    return ::stat(NativePath(path).c_str(), info) == 0;
}

}  // namespace

AnsiString ApplicationFolder() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "\\";
    QString folder = QString::fromUtf8(buffer, n);
    folder.truncate(folder.lastIndexOf('/') + 1);
    folder.replace('/', '\\');
    return FromUnicode(folder);
}

bool FileExists(const AnsiString& path) {
    struct stat info;
    return StatPath(path, &info) && !S_ISDIR(info.st_mode);
}

bool DirectoryExists(const AnsiString& path) {
    struct stat info;
    return StatPath(path, &info) && S_ISDIR(info.st_mode);
}

bool CreateDirectory(const AnsiString& path) {
    if (::mkdir(NativePath(path).c_str(), 0755) == 0) return true;
    return errno == EEXIST && DirectoryExists(path);
}

bool CopyFile(const AnsiString& source, const AnsiString& target) {
    std::optional<CopySource> from = CopySource::Open(source);
    return from && ReplaceFile(NativePath(target), from->Fill(), &from->info.st_mtim);
}

struct FileReplacements::Staged {
    std::string nativeTarget;
    FileDescriptor file;
    dev_t device;
};

FileReplacements::FileReplacements() = default;

FileReplacements::~FileReplacements() {
    for (const Staged& staged : staged_) ::unlink(TemporaryBeside(staged.nativeTarget).c_str());
}

bool FileReplacements::AddCopy(const AnsiString& source, const AnsiString& target) {
    std::optional<CopySource> from = CopySource::Open(source);
    if (!from) return false;
    const std::string nativeTarget = NativePath(target);
    std::optional<FileDescriptor> file =
        WriteBeside(nativeTarget, from->Fill(), &from->info.st_mtim);
    struct stat written;
    if (!file || ::fstat(file->get(), &written) != 0) return false;
    staged_.push_back({nativeTarget, std::move(*file), written.st_dev});
    return true;
}

bool FileReplacements::Commit() {
    // One flush of each file system makes every copy on it durable; a flush per file would
    // cost a wait for the disk each.
    std::set<dev_t> flushed;
    for (const Staged& staged : staged_) {
        if (!flushed.insert(staged.device).second) continue;
        if (::syncfs(staged.file.get()) != 0) return false;
    }
    // What is left beside the targets after a failure is removed by the destructor; a copy
    // already renamed has left nothing there.
    std::set<std::string> folders;
    for (Staged& staged : staged_) {
        if (!staged.file.Close() || !Publish(staged.nativeTarget)) return false;
        folders.insert(NativeFolderOf(staged.nativeTarget));
    }
    staged_.clear();
    for (const std::string& folder : folders)
        if (!FlushFolder(folder)) return false;
    return true;
}

bool FlushFileSystemOf(const AnsiString& path) {
    const FileDescriptor fd(OpenFile(NativePath(path), O_RDONLY));
    return fd.valid() && ::syncfs(fd.get()) == 0;
}

bool CanCreateFilesIn(const AnsiString& folder) {
    const std::string probe =
        NativePath(WithTrailingSeparator(folder)) + ".sendrift-probe-" + std::to_string(::getpid());
    const FileDescriptor fd(OpenFile(probe, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (!fd.valid()) return false;
    ::unlink(probe.c_str());
    return true;
}

bool DeleteFile(const AnsiString& path) {
    return ::unlink(NativePath(path).c_str()) == 0;
}

bool DiscardUnfinishedReplacement(const AnsiString& path) {
    return ::unlink(TemporaryBeside(NativePath(path)).c_str()) == 0 || errno == ENOENT;
}

namespace {

// The names in the open folder `folder`, "." and ".." left out.
std::optional<std::vector<std::string>> NamesIn(int folder) {
    // The listing takes over a descriptor of its own.
    const int listed = ::dup(folder);
    if (listed < 0) return std::nullopt;
    struct Closer {
        void operator()(DIR* listing) const { ::closedir(listing); }
    };
    const std::unique_ptr<DIR, Closer> listing(::fdopendir(listed));
    if (!listing) {
        ::close(listed);
        return std::nullopt;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    if (errno != 0) return std::nullopt;
    return names;
}

// Removes everything in the open folder `folder`. Every step goes from a descriptor of the
// folder it works in, so a link met on the way, or planted meanwhile, is removed and never
// followed.
bool RemoveFolderContents(int folder) {
    const std::optional<std::vector<std::string>> names = NamesIn(folder);
    if (!names) return false;
    for (const std::string& name : *names) {
        if (::unlinkat(folder, name.c_str(), 0) == 0 || errno == ENOENT) continue;
        if (errno != EISDIR) return false;
        const FileDescriptor inner(RetryOnEintr([&] {
            return ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }));
        if (!inner.valid() || !RemoveFolderContents(inner.get()) ||
            ::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0)
            return false;
    }
    return true;
}

}  // namespace

bool RemoveFolderTree(const AnsiString& folder) {
    const std::string native = WithoutTrailingSeparators(NativePath(folder));
    const FileDescriptor fd(OpenFile(native, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (!fd.valid()) return errno == ENOENT;
    return RemoveFolderContents(fd.get()) && ::rmdir(native.c_str()) == 0;
}

std::optional<int64_t> FileSize(const AnsiString& path) {
    struct stat info;
    if (!StatPath(path, &info)) return std::nullopt;
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return std::nullopt;
    }
    return int64_t(info.st_size);
}

std::optional<LocalDateTime> LastWriteTime(const AnsiString& path) {
    struct stat info;
    if (!StatPath(path, &info) || S_ISDIR(info.st_mode)) return std::nullopt;
    struct tm local;
    if (!::localtime_r(&info.st_mtim.tv_sec, &local)) return std::nullopt;
    return LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                         local.tm_hour,        local.tm_min,     local.tm_sec};
}

std::optional<std::string> ReadWholeFile(const AnsiString& path, ReadFailure* failure) {
    auto fail = [failure](ReadFailure why) -> std::optional<std::string> {
        if (failure) *failure = why;
        return std::nullopt;
    };
    FileDescriptor fd(OpenFile(NativePath(path), O_RDONLY));
    if (!fd.valid())
        return fail(errno == ENOENT || errno == ENOTDIR ? ReadFailure::Missing
                                                        : ReadFailure::Unreadable);
    struct stat info;
    if (::fstat(fd.get(), &info) != 0) return fail(ReadFailure::Unreadable);
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return fail(ReadFailure::Unreadable);
    }
    std::string contents;
    contents.reserve(static_cast<size_t>(info.st_size));
    char buffer[kReadBuffer];
    if (!ReadPieces(fd.get(), buffer, sizeof buffer, [&](const char* data, size_t size) {
            contents.append(data, size);
            return true;
        }))
        return fail(ReadFailure::Unreadable);
    return contents;
}

bool ReadFileInPieces(const AnsiString& path,
                      const std::function<void(const char* data, size_t size)>& consume) {
    FileDescriptor fd(OpenFile(NativePath(path), O_RDONLY | O_NOFOLLOW));
    struct stat info;
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) return false;
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return false;
    }
    char buffer[kReadBuffer];
    return ReadPieces(fd.get(), buffer, sizeof buffer, [&](const char* data, size_t size) {
        consume(data, size);
        return true;
    });
}

bool ReplaceFileContents(const AnsiString& path, const std::string& contents) {
    return ReplaceFile(
        NativePath(path), [&](int fd) { return WriteAll(fd, contents.data(), contents.size()); },
        nullptr);
}

bool ReplaceFileInPieces(const AnsiString& path,
                         const std::function<bool(const PieceWriter& write)>& produce) {
    return ReplaceFile(
        NativePath(path),
        [&](int fd) {
            return produce(
                [fd](const char* data, size_t size) { return WriteAll(fd, data, size); });
        },
        nullptr);
}

bool WriteFileInPieces(const AnsiString& path,
                       const std::function<bool(const PieceWriter& write)>& produce) {
    const std::string native = NativePath(path);
    FileDescriptor fd(OpenFile(native, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644));
    if (!fd.valid()) return false;
    bool ok =
        produce([&fd](const char* data, size_t size) { return WriteAll(fd.get(), data, size); });
    ok = fd.Close() && ok;
    if (!ok) RemoveAfterFailure(native);
    return ok;
}

bool RenameFile(const AnsiString& source, const AnsiString& target) {
    return ::rename(NativePath(source).c_str(), NativePath(target).c_str()) == 0;
}

bool FlushFile(const AnsiString& path) {
    FileDescriptor fd(OpenFile(NativePath(path), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    return fd.valid() && RetryOnEintr([&] { return ::fdatasync(fd.get()); }) == 0;
}

bool CreateFoldersFor(const AnsiString& base, const AnsiString& relativeName) {
    for (size_t at = FindSeparator(relativeName); at != AnsiString::npos;
         at = FindSeparator(relativeName, at + 1)) {
        const std::string folder = NativePath(base + relativeName.substr(0, at));
        struct stat info;
        if (::lstat(folder.c_str(), &info) != 0) {
            if (errno != ENOENT) return false;
            // Made by someone else meanwhile: examined again below.
            if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
            if (::lstat(folder.c_str(), &info) != 0) return false;
        }
        if (!S_ISDIR(info.st_mode)) {
            errno = S_ISLNK(info.st_mode) ? ELOOP : ENOTDIR;
            return false;
        }
    }
    return true;
}

bool MakeOwnerExecutable(const AnsiString& path) {
    // O_NONBLOCK: opening a pipe planted at the path must not wait for a writer.
    FileDescriptor fd(OpenFile(NativePath(path), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat info;
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) return false;
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return false;
    }
    return ::fchmod(fd.get(), (info.st_mode & 07777) | S_IXUSR) == 0;
}

bool IsSymbolicLink(const AnsiString& path) {
    struct stat info;
    return ::lstat(WithoutTrailingSeparators(NativePath(path)).c_str(), &info) == 0 &&
           S_ISLNK(info.st_mode);
}

bool IsInsideFolder(const AnsiString& path, const AnsiString& folder) {
    const std::optional<std::string> realFolder = RealPath(NativePath(folder));
    if (!realFolder) return false;
    const std::string native = WithoutTrailingSeparators(NativePath(path));
    std::optional<std::string> real = RealPath(native);
    if (!real) {
        // Only a path where nothing is yet is judged by its parent: a dangling link is
        // something, and where it leads cannot be judged.
        struct stat info;
        const bool nothingThere =
            errno == ENOENT && ::lstat(native.c_str(), &info) != 0 && errno == ENOENT;
        if (!nothingThere) return false;
        const std::string name = native.substr(native.rfind('/') + 1);
        std::optional<std::string> parent = RealPath(NativeFolderOf(native));
        if (!parent || name.empty() || name == "." || name == "..") return false;
        real = (*parent == "/" ? "" : *parent) + "/" + name;
    }
    if (*realFolder == "/") return true;
    return real->compare(0, realFolder->size(), *realFolder) == 0 &&
           (real->size() == realFolder->size() || (*real)[realFolder->size()] == '/');
}

bool CreatePrivateFile(const AnsiString& path, const std::string& contents) {
    const std::string native = NativePath(path);
    // O_EXCL: the check that nothing is there and the creation are one step, so an existing
    // file (or a link planted in its place) is never written through.
    FileDescriptor fd(RetryOnEintr(
        [&] { return ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }));
    if (!fd.valid()) return false;
    bool ok = WriteAll(fd.get(), contents.data(), contents.size());
    ok = fd.Close() && ok;
    if (!ok) ::unlink(native.c_str());
    return ok;
}

std::FILE* OpenForWriting(const AnsiString& path) {
    const int fd = RetryOnEintr([&] {
        return ::open(NativePath(path).c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    });
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) ::close(fd);
    return file;
}

std::FILE* OpenForContinuing(const AnsiString& path) {
    const int fd = RetryOnEintr([&] {
        return ::open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    });
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "r+b");
    if (!file) ::close(fd);
    return file;
}

std::optional<int64_t> OpenFileSize(std::FILE* file) {
    struct stat info;
    if (::fstat(::fileno(file), &info) != 0) return std::nullopt;
    return static_cast<int64_t>(info.st_size);
}

bool FlushOpenFile(std::FILE* file) {
    return std::fflush(file) == 0 && RetryOnEintr([&] { return ::fdatasync(::fileno(file)); }) == 0;
}

std::optional<unsigned> PermissionBits(const AnsiString& path) {
    struct stat info;
    if (!StatPath(path, &info)) return std::nullopt;
    return static_cast<unsigned>(info.st_mode & 07777);
}

namespace {

// Writes `text` into the file opened for writing with `how` (O_APPEND or O_TRUNC), creating it
// when it is missing and refusing a link.
bool WriteInto(const AnsiString& path, int how, const std::string& text) {
    FileDescriptor fd(OpenFile(NativePath(path), O_WRONLY | O_CREAT | O_NOFOLLOW | how, 0644));
    return fd.valid() && WriteAll(fd.get(), text.data(), text.size()) && fd.Close();
}

}  // namespace

bool AppendToFile(const AnsiString& path, const std::string& text) {
    return WriteInto(path, O_APPEND, text);
}

bool OverwriteFile(const AnsiString& path, const std::string& text) {
    return WriteInto(path, O_TRUNC, text);
}

AnsiString ErrorText(const AnsiString& path) {
    return FromUnicode(QString::fromLocal8Bit(std::strerror(errno))) + ": " + path;
}

std::optional<uint64_t> FreeDiskSpace(const AnsiString& folder) {
    struct statvfs info;
    if (RetryOnEintr([&] { return ::statvfs(NativePath(folder).c_str(), &info); }) != 0)
        return std::nullopt;
    return uint64_t(info.f_bavail) * info.f_frsize;
}

bool MakeFoldersInside(const AnsiString& root, const AnsiString& relativeFolder,
                       std::string* error) {
    auto fail = [&](const AnsiString& path, const std::string& why) {
        if (error) *error = why.empty() ? ErrorText(path) : why + ": " + path;
        return false;
    };
    if (!DirectoryExists(root)) return fail(root, {});
    const AnsiString base = WithTrailingSeparator(root);

    for (size_t start = 0; start <= relativeFolder.size();) {
        const size_t end = FindSeparator(relativeFolder, start);
        const size_t stop = end == AnsiString::npos ? relativeFolder.size() : end;
        if (stop > start) {
            const AnsiString level = base + relativeFolder.substr(0, stop);
            // Judged before anything is made there and again after, so that neither a folder
            // made outside nor a link swapped in meanwhile goes unnoticed.
            for (int pass = 0; pass < 2; ++pass) {
                if (!IsInsideFolder(level, root)) {
                    errno = EXDEV;
                    return fail(level, "leads out of " + root + " (a symbolic link or \"..\")");
                }
                if (pass == 1) break;
                const std::string native = NativePath(level);
                struct stat info;
                if (::lstat(native.c_str(), &info) != 0) {
                    if (errno != ENOENT) return fail(level, {});
                    if (::mkdir(native.c_str(), 0755) != 0 && errno != EEXIST)
                        return fail(level, {});
                }
            }
            if (!DirectoryExists(level)) {
                errno = ENOTDIR;
                return fail(level, {});
            }
        }
        if (end == AnsiString::npos) break;
        start = end + 1;
    }
    return true;
}

}  // namespace platform
