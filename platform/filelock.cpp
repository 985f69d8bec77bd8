#include "platform/filelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/codepage.h"
#include "platform/eintr.h"
#include "platform/files.h"

namespace platform {

FileLock::FileLock(const AnsiString& path) {
    const std::string native = NativePath(path);
    fd_ = RetryOnEintr(
        [&] { return ::open(native.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644); });
    // A folder the process may not write still has a lock that others could have made.
    if (fd_ < 0 && (errno == EACCES || errno == EROFS))
        fd_ =
            RetryOnEintr([&] { return ::open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd_ < 0) {
        reason_ = ErrorText(path);
        return;
    }
    if (RetryOnEintr([&] { return ::flock(fd_, LOCK_EX | LOCK_NB); }) == 0) {
        outcome_ = Outcome::Taken;
    } else if (errno == EWOULDBLOCK) {
        outcome_ = Outcome::Busy;
    } else {
        reason_ = ErrorText(path);
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace platform
