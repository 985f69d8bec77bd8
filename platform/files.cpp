#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include <QString>

#include "platform/codepage.h"
#include "platform/eintr.h"

namespace platform {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
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

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = RetryOnEintr([&] { return ::write(fd, data, size); });
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string TemporaryNameBeside(const std::string& nativePath) {
    return nativePath + ".tmp" + std::to_string(::getpid());
}

// Writes `contents` beside `nativeTarget`, optionally stamps it, then renames it into place.
bool WriteBesideAndRename(const std::string& nativeTarget, const char* data, size_t size,
                          const struct timespec* modified) {
    const std::string temporary = TemporaryNameBeside(nativeTarget);
    FileDescriptor fd(RetryOnEintr(
        [&] { return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
    if (!fd.valid()) return false;
    bool ok = WriteAll(fd.get(), data, size);
    if (ok && modified) {
        struct timespec times[2] = {*modified, *modified};
        ok = ::futimens(fd.get(), times) == 0;
    }
    ok = fd.Close() && ok;
    if (ok) ok = ::rename(temporary.c_str(), nativeTarget.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

bool ReadPieces(int fd, const std::function<void(const char*, size_t)>& consume) {
    char buffer[65536];
    for (;;) {
        ssize_t n = RetryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (n < 0) return false;
        if (n == 0) return true;
        consume(buffer, static_cast<size_t>(n));
    }
}

bool StatPath(const AnsiString& path, struct stat* info) {
    return ::stat(NativePath(path).c_str(), info) == 0;
}

// Reads a whole regular file and reports its status (for its times). On failure `failure`,
// when given, says whether anything is at the path.
std::optional<std::string> ReadOpenedFile(const AnsiString& path, struct stat* info,
                                          ReadFailure* failure) {
    auto fail = [failure](ReadFailure why) -> std::optional<std::string> {
        if (failure) *failure = why;
        return std::nullopt;
    };
    FileDescriptor fd(
        RetryOnEintr([&] { return ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd.valid())
        return fail(errno == ENOENT || errno == ENOTDIR ? ReadFailure::Missing
                                                        : ReadFailure::Unreadable);
    if (::fstat(fd.get(), info) != 0 || S_ISDIR(info->st_mode))
        return fail(ReadFailure::Unreadable);
    std::string contents;
    contents.reserve(static_cast<size_t>(info->st_size));
    if (!ReadPieces(fd.get(), [&](const char* data, size_t size) { contents.append(data, size); }))
        return fail(ReadFailure::Unreadable);
    return contents;
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
    struct stat info;
    std::optional<std::string> contents = ReadOpenedFile(source, &info, nullptr);
    return contents && WriteBesideAndRename(NativePath(target), contents->data(),
                                            contents->size(), &info.st_mtim);
}

bool DeleteFile(const AnsiString& path) { return ::unlink(NativePath(path).c_str()) == 0; }

std::optional<LocalDateTime> LastWriteTime(const AnsiString& path) {
    struct stat info;
    if (!StatPath(path, &info) || S_ISDIR(info.st_mode)) return std::nullopt;
    struct tm local;
    if (!::localtime_r(&info.st_mtim.tv_sec, &local)) return std::nullopt;
    return LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                         local.tm_hour,        local.tm_min,     local.tm_sec};
}

std::optional<std::string> ReadWholeFile(const AnsiString& path, ReadFailure* failure) {
    struct stat info;
    return ReadOpenedFile(path, &info, failure);
}

bool ReadFileInPieces(const AnsiString& path,
                      const std::function<void(const char* data, size_t size)>& consume) {
    FileDescriptor fd(
        RetryOnEintr([&] { return ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC); }));
    struct stat info;
    return fd.valid() && ::fstat(fd.get(), &info) == 0 && !S_ISDIR(info.st_mode) &&
           ReadPieces(fd.get(), consume);
}

bool ReplaceFileContents(const AnsiString& path, const std::string& contents) {
    return WriteBesideAndRename(NativePath(path), contents.data(), contents.size(), nullptr);
}

bool RenameFile(const AnsiString& source, const AnsiString& target) {
    return ::rename(NativePath(source).c_str(), NativePath(target).c_str()) == 0;
}

bool CreateFoldersFor(const AnsiString& base, const AnsiString& relativeName) {
    for (size_t at = FindSeparator(relativeName); at != AnsiString::npos;
         at = FindSeparator(relativeName, at + 1)) {
        if (!CreateDirectory(base + relativeName.substr(0, at))) return false;
    }
    return true;
}

bool MakeOwnerExecutable(const AnsiString& path) {
    struct stat info;
    return StatPath(path, &info) &&
           ::chmod(NativePath(path).c_str(), (info.st_mode & 07777) | S_IXUSR) == 0;
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
        return ::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                      0644);
    });
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) ::close(fd);
    return file;
}

bool IsSymbolicLink(const AnsiString& path) {
    struct stat info;
    return ::lstat(NativePath(path).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::optional<unsigned> PermissionBits(const AnsiString& path) {
    struct stat info;
    if (!StatPath(path, &info)) return std::nullopt;
    return static_cast<unsigned>(info.st_mode & 07777);
}

std::optional<uint64_t> FreeDiskSpace(const AnsiString& folder) {
    struct statvfs info;
    if (RetryOnEintr([&] { return ::statvfs(NativePath(folder).c_str(), &info); }) != 0)
        return std::nullopt;
    return uint64_t(info.f_bavail) * info.f_frsize;
}

}  // namespace platform
