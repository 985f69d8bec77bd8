// Values fixed when the program is built.
#pragma once

namespace BuildSettings {

// The update server asked when setup.ini names none (scheme and host, no trailing slash).
extern const char* const ServerUrl;

}  // namespace BuildSettings
