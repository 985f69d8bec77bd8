// TMainform: the updater's only window, a wizard of named pages driven by three buttons.
//
// The form's step (WizardStep) is what the main button's next click runs; Update(step) runs a
// step on the GUI thread. Steps that wait keep dispatching events, so clicks and close
// requests are handled inside the running step, which learns of a cancel only through the
// cancel flag. Everything here runs on the GUI thread.
//
// The pages and the components are the form's own. They carry object names that say what they
// are ("mainButton", "pages", "download.totalLabel", "fileDownload", ...), by which tools and
// tests find them.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/window/pages.h"
#include "core/inifile.h"
#include "core/journal.h"
#include "platform/text.h"

class QLabel;
class THTTPGet;
class TNMHTTP;
class TNotebook;
class TFlatSpeedButton;

// What the wizard takes from outside, so that it runs in-process in tests.
struct TWizardEnvironment {
    AnsiString ApplicationFolder;  // code-page text ending in a backslash
    AnsiString ServerUrl;          // built-in update server base URL, no trailing slash
    AnsiString FirstArgument;      // the command line's first argument, empty when absent
    // The Ed25519 public key (Base64, ASCII) whose signature the manifest must carry; empty
    // takes the manifest unsigned.
    AnsiString ManifestKey;
    // Asks a yes/no question; true for Yes. Defaults to the confirmation box.
    std::function<bool(const AnsiString& question)> Confirm;
    // Shows an error that a step did not handle. Defaults to the framework's error box.
    std::function<void(const AnsiString& message)> ShowError;
};

// The steps of the wizard, in the order an upgrade takes them.
enum class WizardStep {
    VersionCheck,      // asks for the latest version and fetches its manifest
    List,              // lists the files to download and their sizes
    Download,          // downloads them into the folder Update
    Install,           // installs what waits in the folder Update, then the finish
    Close,             // ends the program
    ComponentRefresh,  // a resumed run's first step: replaces outdated components
};

// The step's name in sendrift.log and in test reports: "version-check", "list", ...
const char* StepName(WizardStep step);

class TMainform : public QWidget {
    Q_OBJECT
public:
    // Builds the window and runs FormCreate.
    explicit TMainform(TWizardEnvironment environment, QWidget* parent = nullptr);
    ~TMainform() override;

    // Runs one wizard step. Every step first disables the main button.
    void Update(WizardStep step);

    void FormCreate();
    void FormShow();
    // A resumed run's steps; runs once, as soon as the shown window's event loop runs.
    void FormActivate();
    // True when the window may close; may ask the user and cancel the running step. The
    // question runs an event loop, so this is never called inside a close event.
    bool FormCloseQuery();

    // The prompt of an unfinished upgrade: continue ("继续(&G)") or start anew ("重新(&N)").
    void ShowResumePrompt();
    // Shows the message page "New" with `lines` as its whole message.
    void ShowMessagePage(std::initializer_list<AnsiString> lines);

    // The step that the main button's next click runs.
    WizardStep NextStep() const { return nextStep_; }
    // True once a failure or a confirmed cancel has stopped the running step.
    bool CancelRequested() const { return cancelRequested_; }
    // True once the program has been asked to end (the quit request is posted).
    bool ProgramEnded() const { return programEnded_; }
    // setup.ini's [QUENTAROVER] SYSTEM, as read when the form was made.
    const AnsiString& SystemFlag() const { return systemFlag_; }
    // The installed components' file names, from Default.ini and Custom.ini.
    const std::vector<AnsiString>& ComponentFiles() const { return componentFiles_; }
    // The entries of the last list (or install) step, in the order of its rows.
    const std::vector<TJournal::Entry>& ListedEntries() const { return updateList_; }
    // The size that the manifest listed or the server announced for each listed entry, 0 when
    // neither did.
    const std::vector<int64_t>& ListedSizes() const { return updateSizes_; }

protected:
    // Tests put the form into states that a person reaches only through a server.
    friend class TMainformProbe;

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Paints the window at most once a frame (see mainform.cpp).
    bool event(QEvent* event) override;

private:
    void BuildWindow();
    void BuildNetworkComponents();
    void CheckComp();

    void MainButtonClick(QObject* Sender);
    void ContinueButtonClick(QObject* Sender);
    void CloseButtonClick(QObject* Sender);

    // The wizard steps, each in a source file of its own.
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
        int total = 0;          // its size, as the progress reports it
        int counted = 0;        // its bytes counted in bytesDownloaded_ so far
    };
    // Starts the download of entry `index` on `transfer`. False, with the failure shown, when
    // the entry's name is refused or its folder in Update cannot be made.
    bool StartFileTransfer(FileTransfer& transfer, size_t index);
    // The next transfer to end, once its completion event has run; nothing when none runs.
    // Dispatches events meanwhile.
    FileTransfer* WaitForFileTransfer();
    // True when the ended transfer brought its file whole, as the publisher made it, and on
    // disk to stay; otherwise shows the download failed.
    bool FileArrivedWhole(const FileTransfer& transfer);
    // Aborts every file download and waits until each has ended.
    void StopFileTransfers();
    FileTransfer& TransferOf(QObject* download);

    // [CONNECT] URL + "/" + Path + "/" + `name`, read afresh from setup.ini.
    AnsiString UpdateFolderUrl(const AnsiString& name) const;
    // The list step's parts: the files of the installed version's section, then the
    // components whose build on the server is newer than the installed file. False when the
    // step stops.
    bool ListSectionFiles();
    bool ListNewerComponents();
    void AddListRow(const AnsiString& name, const AnsiString& size);
    void ShowListProgress(size_t position);
    // The size text of a file in the built-in server's update folder; "0" when none is
    // announced. A failed query shows its state, sets the cancel flag and gives "0".
    AnsiString QuerySize(const AnsiString& fileName);
    // The size text of a listed file: the manifest's [SIZE] when it lists one (no query is
    // made), else QuerySize's. Nothing, with the failure shown, when the listed size is no
    // byte count.
    std::optional<AnsiString> SizeOfFile(const AnsiString& fileName);
    // Makes the folder `name` of the application folder unless it is there. False, with the
    // Manifest failed state shown, when it cannot be made or is a link, which the updater
    // never follows with its own files.
    bool CreateUpdateFolder(const AnsiString& name);
    // True when no manifest key is built in, or when the signature published beside the
    // manifest signs the downloaded bytes at `path` with it and the manifest leads to the
    // announced latest version.
    bool ManifestIsAuthentic(const AnsiString& path);
    // The text of Version.ini.sig from the server folder; nothing when none arrived.
    std::optional<std::string> FetchManifestSignature();
    void ShowManifestFailed(const AnsiString& message, const AnsiString& reason);
    void ShowDownloadFailed(const AnsiString& reason);
    // True when the folder of downloads has room for the listed total and a margin; otherwise
    // says how much is needed and free, with a retry of the download step.
    bool HasRoomForDownloads();
    void ShowInstallFailed(const AnsiString& fileName, const AnsiString& reason);
    // Appends the reason of a failure of the running step to sendrift.log.
    void LogFailure(const AnsiString& file, const AnsiString& reason);
    // A name that would leave the application folder: the manifest itself is unusable, so the
    // only way on is a new one, from the version check.
    void ShowNameRefused(const AnsiString& fileName);
    // A waiting copy that is no longer what the publisher made: deletes it and hands its entry,
    // and every entry after it, back to the download, so the install order stays as listed.
    void ShowCopyDamaged(const TJournal::Entry& entry);
    // True when every waiting entry may be installed: its name stays inside the application
    // folder, and its downloaded copy is there, the updater's own and what the publisher made.
    // Otherwise shows why not. Checked for all before any is installed.
    bool WaitingCopiesAreUsable();
    // Installs the waiting entries [first, last), all copy entries, as one batch: every copy is
    // put in place with one flush pass, then the entries leave the journal in one write. A
    // crash in between only repeats copies. False, with the failure shown, when one fails.
    bool InstallCopies(size_t first, size_t last);
    // True when installed files are also copied into CUpdate\ (SYSTEM=1, and no link there).
    bool KeepsBackups() const;
    // Runs one waiting run entry and journals it.
    bool InstallRun(size_t index);
    // Takes installed entries out of the journal and deletes their downloaded copies. False,
    // with the failure shown, when the journal cannot be written: the copies then stay.
    bool MarkInstalled(const std::vector<TJournal::Entry>& entries);
    // What shows that entries [first, last) are installed.
    void ShowInstalled(size_t first, size_t last);
    // A stop on the message page: `message`, the main button as given and running `next`, the
    // close button captioned "关闭(&C)".
    void ShowStopped(const AnsiString& message, const AnsiString& mainCaption, bool mainEnabled,
                     WizardStep next);
    // The main button, enabled, runs `next` with the caption it has.
    void OfferStep(WizardStep next);
    void Finish();

    // Runs a handler the way the windowing framework runs an event: an error it raises is
    // shown in the default error box and ends the handler, never the program.
    void RunHandler(const std::function<void()>& handler);
    // A component event bound to a handler of this form that runs through RunHandler.
    template <typename... Args>
    auto Handler(void (TMainform::*handler)(QObject*, Args...)) {
        return [this, handler](QObject* sender, Args... args) {
            RunHandler([&] { (this->*handler)(sender, args...); });
        };
    }

    // Posts the quit request and stops whatever still runs: the download components and a
    // size query, so that nothing is written once the program is ending.
    void EndProgram();
    // True when a close request must be confirmed: a step of the update runs.
    bool CloseNeedsQuestion() const;
    // Runs a refused close request's question, queued after the request: ends the program and
    // closes the window on Yes. Requests made until it runs are answered by this question.
    void AskToClose();

    TWizardEnvironment environment_;

    // The window.
    TNotebook* pages_;
    TFlatSpeedButton* continueButton_;  // "继续(&G)" of the resume prompt
    TFlatSpeedButton* mainButton_;      // runs nextStep_
    TFlatSpeedButton* closeButton_;
    RowIcons icons_;
    WelcomePage welcome_;
    ListPage list_;
    DownloadPage download_;
    InstallPage install_;
    FinishPage finish_;
    MessagePage message_;

    // The network components.
    THTTPGet* versionText_;        // Version.txt, into a string
    THTTPGet* manifestDownload_;   // Version.ini, into a file
    THTTPGet* signatureDownload_;  // Version.ini.sig, into a file
    TNMHTTP* sizeQuery_;           // the size of each update file
    // Each update file: the first fetches one at a time; with every size listed in the
    // manifest, the others fetch the next files ahead of it.
    std::array<FileTransfer, 4> fileTransfers_;

    // What the wizard knows of the installation, from its start.
    AnsiString applicationFolder_;
    std::unique_ptr<TIniFile> setupIni_;
    AnsiString systemFlag_;
    std::vector<AnsiString> componentFiles_;

    // The steps' state.
    WizardStep nextStep_ = WizardStep::VersionCheck;
    WizardStep runningStep_ = WizardStep::VersionCheck;  // the step that the failure log names
    bool cancelRequested_ = false;
    // This run has fetched a manifest and made it the journal: an empty update list then
    // closes its section, as a complete download does.
    bool manifestArrived_ = false;
    AnsiString latestVersion_;  // the version check's answer, which the manifest must lead to
    std::unique_ptr<TJournal> journal_;        // the local Version.ini, read once per step
    std::vector<TJournal::Entry> updateList_;  // see ListedEntries
    std::vector<int64_t> updateSizes_;         // see ListedSizes
    AnsiString currentFileName_;               // the file that the running step's failure log names
    int plugInCount_ = 0;
    // Byte counts; wider than the bars' 32 bits so that a sum of sizes cannot overflow.
    int64_t downloadTotal_ = 0;
    int64_t bytesDownloaded_ = 0;

    bool programEnded_ = false;
    bool closeQuestionQueued_ = false;
    bool shown_ = false;
    bool sizeQueryRunning_ = false;
    bool signatureArrived_ = false;
    QElapsedTimer sinceLastPaint_;
    QTimer heldPaint_;
};
