// The messages that the rules below the window raise, kept with them so that core/ needs
// nothing of the wizard; the wizard's own texts (app/texts.h) share their namespace.
#pragma once

#include "platform/text.h"

namespace Texts {

extern const AnsiString CannotWrite;  // followed by the file's path
extern const AnsiString InvalidDateArgument;

}  // namespace Texts
