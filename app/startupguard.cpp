#include "app/startupguard.h"

#include "app/texts.h"

bool GuardRefusesStart(const AnsiString& firstArgument,
                       const platform::WindowLookup& topLevelWindowExists) {
    return firstArgument.empty() && topLevelWindowExists(Texts::MainProductWindowClass);
}
