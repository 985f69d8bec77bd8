// How a benchmark gives up: by throwing rather than exiting at once, so that unwinding stops
// the servers it started and removes its temporary folders.
#pragma once

#include <stdexcept>
#include <string>

struct BenchFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void Die(const std::string& why) {
    throw BenchFailure(why);
}
