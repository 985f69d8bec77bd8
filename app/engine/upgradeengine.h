// TUpgradeEngine: one upgrade of an application folder, step by step, with no window.
//
// The engine runs the version check, the list, the download, the install, the resumed run and
// the component refresh, keeps the journal (Version.ini) and sendrift.log, and reports to a
// face (TUpgradeFace) what there is to show and what it needs to know. The wizard window and
// the command line are its two faces; the same steps, requests and journal serve both.
//
// Threads: everything runs on the GUI thread (the thread of the QCoreApplication), the
// download components' events included. Steps that wait keep dispatching events, so a face's
// input (a close request, a click) is handled inside a running step, which learns of a
// cancel only through CancelRequested. The engine owns its network components as children,
// named "versionText", "manifestDownload", "signatureDownload", "fileDownload",
// "fileDownload2".., "sizeQuery", by which tools and tests find them.
//
// Errors: no exception leaves the engine. One that a step does not handle ends the step: its
// transfers are stopped, the reason goes to sendrift.log and the face shows it (ShowError).
#pragma once

#include <QObject>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/engine/upgradeface.h"
#include "core/delta.h"
#include "core/freshness.h"
#include "core/inifile.h"
#include "core/journal.h"
#include "core/verification.h"
#include "platform/caseinsensitivenames.h"
#include "platform/files.h"
#include "platform/text.h"

class THTTPGet;
class TNMHTTP;

// What an upgrade needs from outside, so that it runs in-process in tests.
struct TUpgradeSettings {
    AnsiString ApplicationFolder;  // code-page text ending in a backslash
    AnsiString ServerUrl;          // built-in update server base URL, no trailing slash
    // A resumed run (the command line's "on"): no resume prompt; Activate runs its steps.
    bool ResumedRun = false;
    // The Ed25519 public keys (Base64, ASCII, separated by commas) of which one must sign the
    // manifest and its freshness statement; empty takes the manifest unsigned.
    AnsiString ManifestKey;
    // A release offered to a growing share of installations is taken now, whether or not this
    // installation is in the share yet (the command line's --now).
    bool IgnoreRollout = false;
};

class TUpgradeEngine : public QObject {
public:
    // Opens setup.ini of the application folder. `face` must outlive the engine.
    TUpgradeEngine(TUpgradeSettings settings, TUpgradeFace& face, QObject* parent = nullptr);
    ~TUpgradeEngine() override;

    // What a face asks the engine to do.
    // Lists the installed components; then, unless this is a resumed run, asks whether to
    // continue an unfinished upgrade when the journal is there.
    void Start();
    // A resumed run's steps: the component refresh, then the install. Nothing otherwise.
    void Activate();
    // Runs the next step, as the main button of the wizard does; a cancel of an earlier step
    // is forgotten.
    void RunNext();
    // Runs `step` now.
    void Run(WizardStep step);
    // Continues the unfinished upgrade from its list step (the resume prompt's "继续").
    void Continue();
    // Asks for the latest version and its manifest only, and reports UpToDate, NotYetOffered or
    // UpdateAvailable (or Stopped); the manifest never becomes the journal.
    void CheckOnly();

    // The question to ask before a running step may be cancelled; nothing when it may simply
    // end.
    std::optional<AnsiString> CancelQuestion() const;
    // The person confirmed the cancel. True when the face may end now; false when the step
    // stops first and reports DownloadCancelled once it has.
    bool Cancel();
    // The face ends: every transfer stops and nothing more is written.
    void Shutdown();

    // The step that the next RunNext runs.
    WizardStep NextStep() const { return nextStep_; }
    // The step that runs, or ran last.
    WizardStep RunningStep() const { return runningStep_; }
    // True while a step runs and nothing waits for the person.
    bool StepRunning() const { return stepRunning_; }
    // True once a failure or a confirmed cancel has stopped the running step.
    bool CancelRequested() const { return cancelRequested_; }
    // setup.ini's [QUENTAROVER] SYSTEM, as read when the engine was made.
    const AnsiString& SystemFlag() const { return systemFlag_; }
    // The installed components' file names, from Default.ini and Custom.ini.
    const std::vector<AnsiString>& ComponentFiles() const { return componentFiles_; }
    // The entries of the last list (or install) step, in the order of its rows.
    const std::vector<TJournal::Entry>& ListedEntries() const { return updateList_; }
    // The size that the manifest listed or the server announced for each listed entry, 0 when
    // neither did.
    const std::vector<int64_t>& ListedSizes() const { return updateSizes_; }
    // The version that the last version check found on the server.
    const AnsiString& LatestVersion() const { return latestVersion_; }
    // setup.ini's installed version.
    AnsiString InstalledVersion() const;

private:
    // Tests put the engine into states that only a server could otherwise lead to.
    friend class TUpgradeEngineProbe;

    void BuildNetworkComponents();
    // Runs what a face or a component asks for: an error it raises ends the step (see the
    // class comment) and never crosses the event loop.
    template <typename Action>
    void Guarded(const Action& action);
    template <typename... Args>
    auto Handler(void (TUpgradeEngine::*handler)(QObject*, Args...));
    void EndStepWithError(const AnsiString& message);
    void RunStep(WizardStep step);

    // The steps, each in a source file of its own.
    void CheckComp();
    void CheckVersion();
    void ListUpdates();
    void DownloadUpdates();
    void InstallUpdates();
    void RefreshComponents();

    // Events of the download components.
    void VersionTextDone(QObject* Sender, const AnsiString& Result);
    void VersionTextError(QObject* Sender);
    void ManifestDone(QObject* Sender, const AnsiString& FileName, int64_t FileSize);
    void ManifestError(QObject* Sender);
    void FileDownloadProgress(QObject* Sender, int64_t TotalSize, int64_t Readed);
    void FileDownloadDone(QObject* Sender, const AnsiString& FileName, int64_t FileSize);
    void FileDownloadError(QObject* Sender);

    // One file download of the download step.
    struct FileTransfer {
        THTTPGet* download = nullptr;
        size_t index = 0;       // of its entry in updateList_
        bool running = false;   // started, and its end not yet taken by the step
        bool ended = false;     // its completion event has run
        bool complete = false;  // every byte it announced arrived
        int64_t total = 0;      // its size, as the progress reports it
        int64_t counted = 0;    // its bytes counted in bytesDownloaded_ so far
    };
    bool StartFileTransfer(FileTransfer& transfer, size_t index);
    // True when the transfer, which ended without its file while another file is still on its
    // way, is to be started again in its turn rather than fail the download: its server said
    // nothing yet, refused it or said it is busy, as a server that serves one connection at a
    // time does. `inFlight` then drops to one transfer at a time, logged.
    bool FetchAheadWaits(const FileTransfer& transfer, size_t& inFlight);
    // True while a transfer runs whose end the download step has not yet taken.
    bool AnyFileTransferRunning() const;
    // True when the file of `index` may start beside the transfers that run: four files at
    // once whatever their sizes, and more while they are small, so that a round trip per
    // request does not hold back a list of small files (patches above all).
    bool RoomInFlight(size_t index) const;
    // The next transfer to end, once its completion event has run; nothing when none runs, or
    // when `timeoutMs` (unless negative) passed first, which sets `timedOut`. Dispatches events
    // meanwhile.
    FileTransfer* WaitForFileTransfer(qint64 timeoutMs, bool* timedOut);
    // True when the ended transfer brought its file whole, as the publisher made it, and on
    // disk to stay; otherwise stops the download.
    bool FileArrivedWhole(const FileTransfer& transfer);
    // Aborts every file download and waits until each has ended.
    void StopFileTransfers();
    FileTransfer& TransferOf(QObject* download);

    // [CONNECT] URL + "/" + Path + "/" + `name`, read afresh from setup.ini.
    AnsiString UpdateFolderUrl(const AnsiString& name) const;
    bool ListSectionFiles();
    // The patch that rebuilds the entry's file from the copy installed now; nothing when the
    // manifest offers none for it, which the file then comes whole.
    std::optional<delta::Patch> PatchForInstalled(const TJournal::Entry& entry);
    // Rebuilds entry `index`'s file from its arrived patch into Update\, verified against the
    // manifest's digest, and removes the patch. False, with the reason logged, when the patch
    // cannot make the file: the entry then comes whole.
    bool RebuildFromPatch(size_t index, const AnsiString& patchPath);
    // The entry no longer comes as a patch: its file is fetched whole, and the totals say so.
    void FetchWhole(size_t index, const AnsiString& reason);
    // Runs `work` on a thread of its own and dispatches events until it has ended, so that a
    // long hash or rebuild leaves the face responsive.
    static void RunOffTheGuiThread(const std::function<void()>& work);
    bool ListNewerComponents();
    void AddListRow(const AnsiString& name, const AnsiString& size, bool component);
    void ShowListProgress(size_t position);
    // The size text of a file in the built-in server's update folder; "0" when none is
    // announced. A failed query stops the step and gives "0".
    AnsiString QuerySize(const AnsiString& fileName);
    // The manifest's [SIZE] when it lists one (no query is made), else QuerySize's. Nothing,
    // with the step stopped, when the listed size is no byte count.
    std::optional<AnsiString> SizeOfFile(const AnsiString& fileName);
    // Makes the folder `name` of the application folder unless it is there, in any letter
    // case; its name as it stands. Nothing, with the step stopped, when it cannot be made or is
    // a link, which the updater never follows with its own files.
    std::optional<AnsiString> CreateUpdateFolder(const AnsiString& name);
    // With manifest keys built in: true when the freshness statement published beside
    // Version.txt vouches for `versionText` (signed by a trusted key, after the rotation records
    // it announces; not expired; no older than what this installation accepted), whose lessons
    // are then kept in the updater's state file. Otherwise stops the version check, with the
    // reason logged.
    bool AcceptFreshness(const AnsiString& versionText);
    // Why the downloaded manifest at `path` is not the one to trust; nothing when it is, or
    // when no key is built in. With keys it must be the manifest the accepted statement names,
    // signed by a trusted key, and lead to the version Version.txt announced.
    std::optional<AnsiString> ManifestRefusal(const AnsiString& path);
    // True when the release of the manifest at `path` is offered to this installation now: it
    // has no rollout schedule, or this installation's number is in the share it opens.
    // Otherwise reports NotYetOffered, or stops when the schedule or the state file is damaged.
    bool OfferedByRollout(const AnsiString& path);
    // The text of the small file `name` of the server's update folder (a signature, a
    // statement, rotation records); nothing when none arrived.
    std::optional<std::string> FetchBesideManifest(const AnsiString& name);
    // True when the folder of downloads has room for what the upgrade writes (the downloads,
    // the install's copies, CUpdate\'s) and a margin; otherwise stops with how much is needed
    // and free, and a retry of the download step.
    bool HasRoomForUpgrade();
    // Makes the files of entries [first, last) durable, all at once, and journals them as
    // downloaded in one write. False, with the step stopped, when they cannot be flushed.
    bool JournalArrivals(size_t first, size_t last);
    // `relative` resolved against the application folder as the product's home system finds
    // names, ignoring letter case: the name to use there. Nothing, with the step stopped, when
    // two entries differ in case only or a folder cannot be read.
    std::optional<AnsiString> Placed(const AnsiString& relative);
    bool WaitingCopiesAreUsable();
    bool InstallCopies(size_t first, size_t last);
    // CUpdate\'s name when installed files are also kept there (SYSTEM=1, the folder there and
    // no link); nothing otherwise.
    std::optional<AnsiString> BackupFolder();
    // Keeps a copy of the downloaded `source` of `fileName` in CUpdate\, in `batch` or at once
    // (no batch). A courtesy: false when it is not kept, which stops nothing.
    bool KeepBackup(platform::FileReplacements* batch, const AnsiString& source,
                    const AnsiString& fileName);
    bool InstallRun(size_t index);
    bool MarkInstalled(const std::vector<TJournal::Entry>& entries);
    void ShowInstalled(size_t first, size_t last);
    // Runs a downloaded program and waits for it to end, with events dispatched meanwhile.
    // False when it could not be started.
    bool RunAndWait(const AnsiString& path);
    void Finish();

    // The stops, each logged with its reason before the face shows it.
    void Stop(TStop stop);
    void ShowManifestFailed(const AnsiString& message, const AnsiString& reason);
    void ShowDownloadFailed(const AnsiString& reason);
    void ShowInstallFailed(const AnsiString& fileName, const AnsiString& reason, bool diskFull);
    // A name that would leave the application folder: the manifest itself is unusable, so the
    // only way on is a new one, from the version check.
    void ShowNameRefused(const AnsiString& fileName);
    // A waiting copy that is no longer what the publisher made: deletes it and hands its entry,
    // and every entry after it, back to the download, so the install order stays as listed.
    void ShowCopyDamaged(const TJournal::Entry& entry);
    void LogFailure(const AnsiString& file, const AnsiString& reason);
    // The face may give the person the next step now.
    void Offer(WizardStep next);
    // An earlier upgrade is unfinished: the face asks whether to continue it or start anew.
    void OfferResume();

    TUpgradeSettings settings_;
    TUpgradeFace& face_;

    // The network components.
    THTTPGet* versionText_;        // Version.txt, into a string
    THTTPGet* manifestDownload_;   // Version.ini, into a file
    THTTPGet* signatureDownload_;  // Version.ini.sig, into a file
    TNMHTTP* sizeQuery_;           // the size of each update file
    // Each update file: the first fetches one at a time; with every size listed in the
    // manifest, the others fetch the next files ahead of it (RoomInFlight).
    std::array<FileTransfer, 16> fileTransfers_;

    // The names of the application folder as this step found them (see Placed).
    std::unique_ptr<platform::CaseInsensitiveNames> names_;

    // What the engine knows of the installation, from its start.
    const AnsiString applicationFolder_;
    std::unique_ptr<TIniFile> setupIni_;
    AnsiString systemFlag_;
    std::vector<AnsiString> componentFiles_;

    // The steps' state.
    WizardStep nextStep_ = WizardStep::VersionCheck;
    WizardStep runningStep_ = WizardStep::VersionCheck;  // the step that the failure log names
    bool stepRunning_ = false;
    bool cancelRequested_ = false;
    bool shutdown_ = false;
    bool checkOnly_ = false;  // the version check ends with the version's answer
    // This run has fetched a manifest and made it the journal: an empty update list then
    // closes its section, as a complete download does.
    bool manifestArrived_ = false;
    AnsiString latestVersion_;  // the version check's answer, which the manifest must lead to
    // With keys: the freshness statement that vouched for the answer, and the keys trusted
    // after it, which must sign the manifest.
    freshness::Statement acceptedStatement_;
    verification::KeySet trustedKeys_;
    std::unique_ptr<TJournal> journal_;        // the local Version.ini, read once per step
    std::vector<TJournal::Entry> updateList_;  // see ListedEntries
    std::vector<int64_t> updateSizes_;         // see ListedSizes
    // For each listed entry: the patch fetched instead of its file; nothing for a whole file.
    std::vector<std::optional<delta::Patch>> patches_;
    AnsiString currentFileName_;  // the file that the running step's failure log names
    size_t plugInCount_ = 0;
    int64_t downloadTotal_ = 0;     // what the listed entries fetch: files, or their patches
    int64_t patchedFileBytes_ = 0;  // the files that patches rebuild beside them
    int64_t bytesDownloaded_ = 0;

    bool sizeQueryRunning_ = false;
    bool signatureArrived_ = false;
};
