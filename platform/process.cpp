#include "platform/process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/codepage.h"
#include "platform/eintr.h"

extern char** environ;

namespace platform {

std::optional<ProcessId> StartProgram(const AnsiString& path) {
    std::string program = NativePath(path);
    char* argv[] = {program.data(), nullptr};
    pid_t pid;
    if (const int error = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ)) {
        errno = error;
        return std::nullopt;
    }
    return pid;
}

int WaitForProgram(ProcessId process) {
    int status = 0;
    if (RetryOnEintr([&] { return ::waitpid(process, &status, 0); }) == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool IsTerminal(int fd) {
    return ::isatty(fd) == 1;
}

}  // namespace platform
