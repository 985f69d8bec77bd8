// The wizard's fixed texts, written once here as UTF-8 and held as code-page bytes.
#pragma once

#include "platform/text.h"

namespace Texts {

// Start-up.
extern const AnsiString ApplicationTitle;
extern const AnsiString MainProductWindowClass;
extern const AnsiString GuardMessage;
extern const AnsiString GuardButton;

// The window and its pages.
extern const AnsiString WindowCaption;
extern const AnsiString Welcome;
extern const AnsiString InstalledComponents;
extern const AnsiString StartHint;
extern const AnsiString FindingUpdates;
extern const AnsiString DownloadingUpdates;
extern const AnsiString InstallingUpdates;
extern const AnsiString InstallCountLabel;
extern const AnsiString UpToDateProducts;
extern const AnsiString ColumnFile;
extern const AnsiString ColumnSize;
extern const AnsiString ColumnState;

// Button captions.
extern const AnsiString ContinueButton;
extern const AnsiString StartButton;
extern const AnsiString CancelButton;
extern const AnsiString RestartButton;
extern const AnsiString NextButton;

// The resume prompt.
extern const AnsiString ResumeUnfinished;
extern const AnsiString ResumeContinueHint;
extern const AnsiString ResumeRestartHint;

// The close confirmation.
extern const AnsiString ConfirmTitle;
extern const AnsiString ConfirmYes;
extern const AnsiString ConfirmNo;
extern const AnsiString CancelListingQuestion;
extern const AnsiString CancelDownloadQuestion;
extern const AnsiString CancelInstallQuestion;

// The installed component list.
extern const AnsiString ProductName;
extern const AnsiString ToolCaptions[5];
extern const AnsiString RemoteControlCaption;
extern const AnsiString RemoteControlProgram;
extern const AnsiString ComponentSuffix;

// Errors.
extern const AnsiString CannotWrite;  // followed by the file's path
extern const AnsiString InvalidDateArgument;

}  // namespace Texts
