#include "tools/publish/filestatus.h"

#include <sys/stat.h>

#include "platform/codepage.h"

namespace publish {

bool IsSymbolicLink(const AnsiString& path) {
    struct stat info;
    return ::lstat(platform::NativePath(path).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::optional<unsigned> PermissionBits(const AnsiString& path) {
    struct stat info;
    if (::stat(platform::NativePath(path).c_str(), &info) != 0) return std::nullopt;
    return static_cast<unsigned>(info.st_mode & 07777);
}

}  // namespace publish
