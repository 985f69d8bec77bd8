#include "platform/process.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "platform/codepage.h"

extern char** environ;

namespace platform {

std::optional<int> RunAndWait(const AnsiString& path) {
    std::string program = NativePath(path);
    char* argv[] = {program.data(), nullptr};
    pid_t pid;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0)
        return std::nullopt;
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, 0);
    } while (rc == -1 && errno == EINTR);
    if (rc == -1) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace platform
