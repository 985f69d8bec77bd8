// Internal to platform/: a system call interrupted by a signal is simply made again.
#pragma once

#include <cerrno>

namespace platform {

template <typename F>
auto RetryOnEintr(F call) {
    decltype(call()) rc;
    do {
        rc = call();
    } while (rc == -1 && errno == EINTR);
    return rc;
}

}  // namespace platform
