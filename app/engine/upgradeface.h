// TUpgradeFace: what the upgrade engine tells the person (or the script) it works for, and
// asks of them. The wizard window and the command line implement it; the engine decides
// every step and the faces only show and answer.
//
// Every call comes on the GUI thread, from inside a step of the engine, which waits while the
// call runs. A face must not run another step of the engine from inside a call; it queues
// that instead (the window's buttons do so by nature, the command line by a queued call).
// Reports that a face has no use for keep their default, which does nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/text.h"

// The steps of an upgrade, in the order it takes them.
enum class WizardStep {
    VersionCheck,      // asks for the latest version and fetches its manifest
    List,              // lists the files to download and their sizes
    Download,          // downloads them into the folder Update
    Install,           // installs what waits in the folder Update, then the finish
    Close,             // the upgrade is over: the face ends
    ComponentRefresh,  // a resumed run's first step: replaces outdated components
};

// The step's name in sendrift.log, in the command line's reports and in tests:
// "version-check", "list", ...
const char* StepName(WizardStep step);

// A file (or component) that the list step has added, with what the list knows so far.
struct TListedFile {
    size_t row = 0;             // its place in the list, from 0
    AnsiString name;            // as the manifest names it
    int64_t size = 0;           // listed or announced; 0 when neither is known
    bool component = false;     // added by its newer build date, not by the version's section
    size_t listedCount = 0;     // files listed so far, this one included
    size_t componentCount = 0;  // of them, components added by date
    int64_t totalBytes = 0;     // the sizes listed so far, this one's included
};

// Where the download stands, after every piece that arrived.
struct TDownloadProgress {
    size_t row = 0;               // the file the piece belongs to
    int64_t rowRemaining = 0;     // its bytes still to come
    size_t currentRow = 0;        // the file the page follows: the first one still moving
    int64_t currentReceived = 0;  // its bytes so far
    int64_t currentTotal = 0;     // its size, as its transfer announces it
    int64_t totalReceived = 0;    // bytes of every file so far
    int64_t total = 0;            // the listed total
};

// A step that ends without success: what to show, why, and how the person may go on.
struct TStop {
    enum class Offer {
        Retry,    // "重试": run `next` again
        Restart,  // "重新": start over from the version check
        None,     // nothing here can help: the face may only end
    };
    WizardStep step = WizardStep::VersionCheck;  // the step that stopped
    AnsiString message;                          // the product's own text for it (code page)
    AnsiString file;    // the file it concerns, as sendrift.log names it; may be empty
    AnsiString reason;  // why, as sendrift.log keeps it: status, errno text and path, ...
    Offer offer = Offer::Retry;
    WizardStep next = WizardStep::VersionCheck;
};

class TUpgradeFace {
public:
    virtual ~TUpgradeFace() = default;

    // The installed components, as Default.ini and Custom.ini name them, and whether the
    // remote-control tool is there.
    virtual void ComponentsFound(const std::vector<AnsiString>& /*names*/,
                                 bool /*remoteControlFound*/) {}

    // A step begins; nothing waits for the person until it ends.
    virtual void StepStarted(WizardStep /*step*/) {}

    // The version check.
    virtual void VersionCheckStarted() {}
    virtual void LatestVersionAnnounced(const AnsiString& /*version*/) {}
    // The installed version is the latest: nothing to do. The next step is Close.
    virtual void UpToDate() = 0;
    // A check that asks nothing more than the version found a newer one (CheckOnly).
    virtual void UpdateAvailable(const AnsiString& /*version*/) {}
    // A newer version is released to a growing share of installations, which this one is not
    // in yet: offered from `from` (UTC), or, with nothing, not while the release is halted.
    // Nothing to do now; the next step is Close.
    virtual void NotYetOffered(const AnsiString& version,
                               std::optional<std::chrono::sys_seconds> from) = 0;
    // The manifest arrived and is the journal now. The next step is List.
    virtual void UpdateFound() = 0;

    // The list.
    virtual void ListStarted() {}
    virtual void FileListed(const TListedFile& /*file*/) {}
    // The list's progress: `position` of `count` names looked at.
    virtual void ListAdvanced(size_t /*position*/, size_t /*count*/) {}
    // The version's own files are listed; components with newer builds come next.
    virtual void ComponentsListing() {}
    // Every file is listed. The next step is Download.
    virtual void ListCompleted() = 0;

    // The download.
    virtual void DownloadStarted() {}
    virtual void FileTransferStarted(size_t /*row*/) {}
    virtual void DownloadProgressed(const TDownloadProgress& /*progress*/) {}
    // The file of `row`, and every one before it, are in and journalled.
    virtual void FileDownloaded(size_t /*row*/, size_t /*rowCount*/, int64_t /*bytes*/) {}
    // Every file is in. The next step is Install.
    virtual void DownloadCompleted() = 0;
    // A cancel confirmed during the download has stopped every transfer: the face ends.
    virtual void DownloadCancelled() = 0;

    // The install.
    virtual void InstallListed(const std::vector<AnsiString>& /*names*/) {}
    virtual void InstallStarted() {}
    // Rows [first, last) of `count` are installed.
    virtual void EntriesInstalled(size_t /*first*/, size_t /*last*/, size_t /*count*/) {}
    // A downloaded program runs and is waited for; the face takes no input meanwhile.
    virtual void ProgramRunning(bool /*running*/) {}
    // Every entry is installed and the new version recorded. The next step is Close.
    virtual void Finished(size_t installedCount) = 0;

    // The step stopped; see TStop. The journal stays for a later run.
    virtual void Stopped(const TStop& stop) = 0;
    // An earlier upgrade is unfinished: continue it (TUpgradeEngine::Continue) or start anew
    // (the next step, VersionCheck).
    virtual void ResumePrompt() = 0;
    // An error that no step handled ended the step; its transfers are stopped and nothing
    // runs any more.
    virtual void ShowError(const AnsiString& message) = 0;
};
