// The message boxes of the wizard, as the windowing framework shows them. Each waits for its
// answer in an event loop of its own (GUI thread). A key held down since before a box opened
// does not answer it: only a click or a key pressed while it is shown does.
#pragma once

#include "platform/text.h"

class QWidget;

namespace dialogs {

// Title "确认", question icon, "是[&Y]" (the default) and "否[&N]" (the Escape answer).
// True for Yes.
bool Confirm(QWidget* parent, const AnsiString& question);

// The framework's default error box: the message with a full stop, title "SENDRIFT".
void ShowError(QWidget* parent, const AnsiString& message);

// The single-instance guard's refusal, and the like: no icon, one button "确定".
void ShowGuardMessage(const AnsiString& message);

}  // namespace dialogs
