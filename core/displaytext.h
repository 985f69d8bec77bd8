// Text routines that several wizard steps share.
#pragma once

#include <QDate>
#include <cstdint>

#include "platform/text.h"

// The file's last-write date in local time as "yyyy-mm-dd", so that two such texts compare
// as plain text in date order. Throws Exception "Invalid argument to date encode" when the
// file cannot be examined or its date lies outside what the legacy directory-entry date
// form holds (1980 to 2107).
AnsiString FileDateText(const AnsiString& path);

// A byte count given as decimal text, for display: below 1000 the text unchanged, from 1000
// up thousands with one decimal and "KB" ("1234567" gives "1,234.6KB"; the divisor is 1000).
// Throws Exception when the text is not a decimal integer.
AnsiString SizeText(const AnsiString& text);
// The same for a count.
AnsiString SizeText(int64_t bytes);

// A "yyyy-mm-dd" text (the form FileDateText gives and manifests use) as a calendar date.
// Throws Exception "'<text>' is not a valid date" for any other form or an impossible date.
QDate DateFromText(const AnsiString& text);
