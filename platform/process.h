// Starting a program and waiting for it to end.
#pragma once

#include <optional>

#include "platform/text.h"

namespace platform {

// Starts the program at `path` (code-page text) with no arguments and blocks until it ends.
// Returns its exit code, or nothing when it could not be started. Dispatches no messages.
std::optional<int> RunAndWait(const AnsiString& path);

}  // namespace platform
