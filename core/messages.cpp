#include "core/messages.h"

#include "platform/codepage.h"

namespace Texts {

const AnsiString CannotWrite = platform::FromUtf8("无法写入 ");
const AnsiString InvalidDateArgument = platform::FromUtf8("Invalid argument to date encode");

}  // namespace Texts
