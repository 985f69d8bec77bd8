// The wizard's fixed texts, written once here as UTF-8 and held as code-page bytes.
#pragma once

#include "core/messages.h"
#include "platform/text.h"

namespace Texts {

// Start-up.
extern const AnsiString ApplicationTitle;
extern const AnsiString MainProductWindowClass;
extern const AnsiString GuardMessage;
extern const AnsiString GuardButton;
extern const AnsiString FolderBusyMessage;

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
extern const AnsiString RetryButton;
extern const AnsiString CloseButton;
extern const AnsiString DoneButton;      // "完成(&C)": the up-to-date answer
extern const AnsiString StoppedButton;   // "完成(&S)": a failed download, never enabled
extern const AnsiString FinishButton;    // "完成(&F)": the finish page

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

// The version check.
extern const AnsiString CheckingHint;
extern const AnsiString LatestVersionIs;  // followed by the version text
extern const AnsiString UpdateFoundHint;
extern const AnsiString UpToDateMessage;
extern const AnsiString RolloutNotYet;  // + version + RolloutFrom + local time + RolloutTail
extern const AnsiString RolloutFrom;
extern const AnsiString RolloutTail;
extern const AnsiString VersionUnavailableMessage;
extern const AnsiString ManifestUnavailableMessage;
extern const AnsiString CannotCreateFolder;  // followed by the folder's path

// The update list, the download and the install.
extern const AnsiString ListingProgress;      // + count + ListingFilesOf + total
extern const AnsiString ListingFilesOf;
extern const AnsiString ListingPlugIns;       // + count + ListingFilesOf + total
extern const AnsiString ListedHint;
extern const AnsiString DownloadFailedMessage;
extern const AnsiString FileDone;
extern const AnsiString DownloadingFile;      // + received + OfTotal + size + CloseParen
extern const AnsiString TotalProgress;        // + received + OfTotal + total + CloseParen
extern const AnsiString OfTotal;
extern const AnsiString CloseParen;
extern const AnsiString DownloadedHint;
extern const AnsiString NotInstalled;
extern const AnsiString InstalledState;
extern const AnsiString InstallCountOf;       // + count + InstallCountDone + done + InstallCountUnit
extern const AnsiString InstallCountDone;
extern const AnsiString InstallCountUnit;
extern const AnsiString UpdateFile;           // + file name + FileMissingTail or InstallFailedTail
extern const AnsiString FileMissingTail;
extern const AnsiString InstallFailedTail;
extern const AnsiString DamagedCopyTail;      // after UpdateFile + file name
extern const AnsiString InstallDiskFullTail;  // after UpdateFile + file name
extern const AnsiString AmbiguousNameTail;    // after UpdateFile + file name
extern const AnsiString FolderNotWritable;    // + folder + FolderNotWritableTail
extern const AnsiString FolderNotWritableTail;
extern const AnsiString RefusedName;          // + file name + RefusedNameTail
extern const AnsiString RefusedNameTail;
extern const AnsiString DiskFull;             // + needed + DiskFullFree + free + DiskFullTail
extern const AnsiString DiskFullFree;
extern const AnsiString DiskFullTail;
extern const AnsiString InstalledUpdates;     // + count + InstalledUpdatesTail
extern const AnsiString InstalledUpdatesTail;
extern const AnsiString UpgradeSucceeded;


}  // namespace Texts
