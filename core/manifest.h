// Entry values of the update manifest: "name;kind", optionally followed by any text and by
// ";;" and a target folder ("Report.dll;0;;Plugins").
#pragma once

#include "platform/text.h"

// The section that lists files' sizes in bytes, decimal (DecimalCount): each key a file name as
// it stands before the first ";" of an entry value, matched like the [SHA256] keys.
inline constexpr const char* kSizeSection = "SIZE";

// All characters before the first ";"; empty when there is none.
AnsiString EntryFileName(const AnsiString& value);

// A copy entry has the kind "0" right after the first ";"; every other entry is run.
bool IsCopyEntry(const AnsiString& value);

// The copy target below the application folder: at most 20 characters after the first ";;",
// when that stands at the second character or later; empty otherwise.
AnsiString EntryTargetFolder(const AnsiString& value);

// True when `name` stays inside the folder it is appended to: not absolute, no drive prefix
// ("C:"), no ".." segment with either separator, and no control character (below 0x20, or
// 0x7F), which no file name of the product has and which would name another file on the way
// (a NUL ends a native path early). Names from a downloaded manifest must pass before anything
// is fetched, written, copied, run or deleted for them.
bool IsSafeRelativeName(const AnsiString& name);

// True when the entry's file name and its target folder, where it names one, are both safe.
bool IsSafeEntry(const AnsiString& value);
