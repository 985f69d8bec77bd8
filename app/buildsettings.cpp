#include "app/buildsettings.h"

const char* const BuildSettings::Version = SENDRIFT_VERSION;
const char* const BuildSettings::ServerUrl = SENDRIFT_SERVER_URL;
const char* const BuildSettings::ManifestKey = SENDRIFT_MANIFEST_KEY;
