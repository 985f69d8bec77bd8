// sendrift.log in the application folder: why each failure happened, for whoever supports the
// product. The window shows the product's fixed texts; the log keeps the reason that goes with
// them (an HTTP status, an errno text with its path, a transport's error). One line each:
// local time, step, file, reason. Past 1 MB the log is cut to its last 1 MB, at a line start.
#pragma once

#include "platform/text.h"

// Appends one line; a log that cannot be written is no failure of the upgrade.
void LogFailure(const AnsiString& applicationFolder, const AnsiString& step, const AnsiString& file,
                const AnsiString& reason);
