// How the wizard addresses files on the update server and reads their sizes.
#pragma once

#include "platform/text.h"

// A relative file name as a URL path: "/" between its folders, and every byte that may not
// stand in a URL path (blank, "%", "#", "?", control bytes, bytes of double-byte characters)
// percent-encoded byte for byte.
AnsiString UrlPathOf(const AnsiString& fileName);

// The size announced by a response head: the value of its first "Content-Length" line (name
// in any letter case, blanks around the value ignored) as decimal text; "0" when there is no
// such line or its value is not a decimal count that fits 31 bits.
AnsiString SizeFromHeader(const AnsiString& header);
