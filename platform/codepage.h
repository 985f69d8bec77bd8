// Conversion between the product's code page and Unicode.
//
// GBK text is decoded as GB18030, a superset that round-trips every Unicode text, so a
// name typed on screen and written back never loses a character. Invalid bytes decode to
// U+FFFD rather than failing: bad input must never stop a read.
#pragma once

#include <QString>

#include "platform/text.h"

namespace platform {

QString ToUnicode(const AnsiString& text);
AnsiString FromUnicode(const QString& text);

// UTF-8 source literals to code-page bytes; the program's fixed texts go through this once.
AnsiString FromUtf8(const char* utf8);

// A code-page path ("C:\App\Update\a.dll" style, backslashes) as a native file-system path.
// The backslashes are turned into slashes after decoding, never on the raw bytes, because
// a GBK trail byte can be 0x5C.
std::string NativePath(const AnsiString& path);

// The position of the first folder separator ("\" or "/") at or after `from` that is a
// character of its own, not the second byte of a double-byte character; npos when none.
size_t FindSeparator(const AnsiString& path, size_t from = 0);

// `folder` with a separator at its end: "\\" is added unless its last character is one already
// (a double-byte character whose second byte is 0x5C is none).
AnsiString WithTrailingSeparator(const AnsiString& folder);

}  // namespace platform
