// The single-instance guard of the program entry.
#pragma once

#include "platform/text.h"
#include "platform/windowlookup.h"

// True when the updater must not start: the main product's window is open (it holds the files
// an upgrade replaces) and no command-line argument says the caller knows better.
bool GuardRefusesStart(const AnsiString& firstArgument,
                       const platform::WindowLookup& topLevelWindowExists);
