// Is a top-level window of a given class open on this display?
//
// On X11 the class is the class part of a window's WM_CLASS property (compared ignoring
// letter case, as window class names are). The window is found under any window manager:
// through the client list an EWMH manager keeps on the root, else anywhere in the window
// tree, however deeply the manager's frames nest it. On other display servers no window is
// found.
#pragma once

#include <functional>

#include "platform/text.h"

namespace platform {

using WindowLookup = std::function<bool(const AnsiString& className)>;

bool TopLevelWindowExists(const AnsiString& className);

}  // namespace platform
