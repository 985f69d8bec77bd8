// How the download worker reads the URL it is given; kept apart so that tests can reach it.
#pragma once

#include "platform/text.h"

// Where a URL points. The scheme is optional; without a slash after the host the host is
// empty, which no request can be sent to.
struct Location {
    bool secure = false;
    AnsiString host;
    AnsiString path;
};

Location SplitUrl(AnsiString rest);
