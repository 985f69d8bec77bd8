// What the publisher's tool asks of the file system beyond platform/files.h: whether a path is
// a symbolic link itself, and who may use a file. Paths are code-page text, as there.
#pragma once

#include <optional>

#include "platform/text.h"

namespace publish {

// True when the last component of `path` is a symbolic link, whatever it points at (nothing
// included). False when it is anything else or cannot be examined.
bool IsSymbolicLink(const AnsiString& path);

// The permission bits (07777) of the file that `path` leads to, links followed; nothing when
// it cannot be examined.
std::optional<unsigned> PermissionBits(const AnsiString& path);

}  // namespace publish
