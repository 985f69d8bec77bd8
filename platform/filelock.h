// An advisory lock on a file, held by one process at a time, so that two processes never work
// the same application folder together. The lock goes with the process: a process that ends in
// any way, killed included, releases it, so a lock can never outlive its holder.
#pragma once

#include <memory>
#include <string>

#include "platform/text.h"

namespace platform {

class FileLock {
public:
    enum class Outcome {
        Taken,  // this process holds the lock now
        Busy,   // another process holds it
        Failed  // the file cannot be opened or created: Reason() says why
    };

    // Tries to take the exclusive lock of the file at `path`, creating the file (mode 0644 less
    // the umask, empty) when it is missing. Never waits. A symbolic link at the path is
    // refused rather than followed. Programs that this process starts do not inherit the lock.
    explicit FileLock(const AnsiString& path);
    // Releases the lock; the file stays, for the next holder.
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    Outcome Result() const { return outcome_; }
    // Why the lock could not be taken, with the path; empty when it was taken or is busy.
    const std::string& Reason() const { return reason_; }

private:
    int fd_ = -1;
    Outcome outcome_ = Outcome::Failed;
    std::string reason_;
};

}  // namespace platform
