// Starting a program and waiting for it to end; what the process itself is attached to.
#pragma once

#include <optional>

#include "platform/text.h"

namespace platform {

using ProcessId = int;

// Starts the program at `path` (code-page text) with no arguments, the caller's environment
// and working folder. Nothing when it could not be started, and errno then says why.
std::optional<ProcessId> StartProgram(const AnsiString& path);

// Blocks the calling thread until the program has ended; its exit code, -1 when it was
// killed by a signal or cannot be waited for. Dispatches no messages.
int WaitForProgram(ProcessId process);

// True when the standard stream `fd` (1 or 2) is a terminal that a person watches, so that a
// line may be redrawn in place.
bool IsTerminal(int fd);

}  // namespace platform
