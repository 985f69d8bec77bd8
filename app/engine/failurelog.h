// sendrift.log in the application folder: why each failure happened, and what each unattended
// run did, for whoever supports the product or runs it for an office. The window shows the
// product's fixed texts; the log keeps the reason that goes with them (an HTTP status, an errno
// text with its path, a transport's error).
//
// One line each: local time, what (the step, or "unattended"), the file, the text. The log is
// the updater's own file, read on Linux: UTF-8, paths with "/", "\n" line ends. Bytes that a
// server or a file name brings and that a terminal would act on (control characters, DEL) are
// written as "\xNN", so the log shows them rather than obeys them. Past 1 MB the log is cut to
// its last 1 MB, at a line start.
#pragma once

#include "platform/text.h"

// Appends one line, "<time> <subject>: <text>". A log that cannot be written is no failure of
// the upgrade; the line then goes to standard error, so that the reason is not lost.
void LogEvent(const AnsiString& applicationFolder, const AnsiString& subject,
              const AnsiString& text);

// Appends the reason of a failure of the step: "<time> <step> <file>: <reason>".
void LogFailure(const AnsiString& applicationFolder, const AnsiString& step, const AnsiString& file,
                const AnsiString& reason);
