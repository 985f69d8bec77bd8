#include "app/buildsettings.h"

const char* const BuildSettings::ServerUrl = SENDRIFT_SERVER_URL;
