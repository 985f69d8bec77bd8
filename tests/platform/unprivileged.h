// Work done by a process that holds no privilege, for tests that run as root in CI but must see
// what an ordinary user's process meets.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>

namespace testing_support {

// The user and group "nobody" of Debian; the kernel needs no account to switch to them.
constexpr uid_t kUnprivilegedId = 65534;

// Runs `work` in a forked child whose real, effective and saved user and group are
// kUnprivilegedId, without supplementary groups, and gives back what `work` returned. Nothing,
// with `whyNot` saying why, when no such child could run: the caller is not root, or the child
// cannot enter `nativeFolder` (a temporary folder below one that only root may enter).
// `work` runs in the child: it must report through its result, not through test assertions.
inline std::optional<bool> RunUnprivileged(const std::string& nativeFolder,
                                           const std::function<bool()>& work, std::string* whyNot) {
    enum : int { kDone = 0, kFailed = 1, kCannotDrop = 2, kCannotEnter = 3 };
    if (::geteuid() != 0) {
        *whyNot = "only root can run a process as another, unprivileged user";
        return std::nullopt;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        *whyNot = "fork failed";
        return std::nullopt;
    }
    if (child == 0) {
        const uid_t id = kUnprivilegedId;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(id, id, id) != 0 ||
            ::setresuid(id, id, id) != 0)
            ::_exit(kCannotDrop);
        if (::access(nativeFolder.c_str(), X_OK) != 0) ::_exit(kCannotEnter);
        ::_exit(work() ? kDone : kFailed);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == kCannotDrop) *whyNot = "the process could not drop to user 65534";
    if (code == kCannotEnter) *whyNot = "user 65534 cannot enter " + nativeFolder;
    if (code == kCannotDrop || code == kCannotEnter) return std::nullopt;
    return code == kDone;
}

}  // namespace testing_support
