// TMainform: the updater's only window, a wizard of named pages driven by three buttons.
//
// The main button's Tag holds the wizard step that its next click runs; Update(step) runs a
// step on the GUI thread. Steps that wait keep dispatching events, so clicks and close
// requests are handled inside the running step, which learns of a cancel only through the
// cancel flag. Everything here runs on the GUI thread.
#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/inifile.h"
#include "core/journal.h"
#include "platform/text.h"

class QLabel;
class QFrame;
class THTTPGet;
class TNMHTTP;
class QTreeWidget;
class TNotebook;
class TFlatSpeedButton;
class TFlatProgressBar;
class TFlatPanel;
class TFlatMemo;

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

class TMainform : public QWidget {
    Q_OBJECT
public:
    // Builds the window and runs FormCreate.
    explicit TMainform(TWizardEnvironment environment, QWidget* parent = nullptr);
    ~TMainform() override;

    // Runs one wizard step: 0 version check, 1 update list, 2 download, 3 install and
    // finish, 4 close, 5 component refresh. Every step first disables the main button.
    void Update(int step);

    void Bitbtn1Click(QObject* Sender);
    void Button1Click(QObject* Sender);
    void Bitbtn2Click(QObject* Sender);

    void FormCreate();
    void FormShow();
    // A resumed run's steps; runs once, as soon as the shown window's event loop runs.
    void FormActivate();
    // True when the window may close; may ask the user and cancel the running step. The
    // question runs an event loop, so this is never called inside a close event.
    bool FormCloseQuery();

    // The prompt of an unfinished upgrade: continue ("继续(&G)") or start anew ("重新(&N)").
    void ShowResumePrompt();

    // Shows the message page "New" with `lines` as the whole content of MEMO2.
    void ShowMessagePage(std::initializer_list<AnsiString> lines);

    // Events of the download components.
    void HTTPGet1DoneString(QObject* Sender, const AnsiString& Result);
    void HTTPGet1Error(QObject* Sender);
    void HTTPGet3DoneFile(QObject* Sender, const AnsiString& FileName, int FileSize);
    void HTTPGet3Error(QObject* Sender);
    void HTTPGet2Progress(QObject* Sender, int TotalSize, int Readed);
    void HTTPGet2DoneFile(QObject* Sender, const AnsiString& FileName, int FileSize);
    void HTTPGet2Error(QObject* Sender);

    // True once the program has been asked to end (the quit request is posted).
    bool ProgramEnded() const { return programEnded_; }

    // The components of the window, by their given names.
    TFlatPanel* FlatPanel1;
    QLabel* Image1;
    TNotebook* Notebook1;
    QFrame* Panel1;
    TFlatSpeedButton* Button1;
    TFlatSpeedButton* Bitbtn1;
    TFlatSpeedButton* Bitbtn2;
    std::vector<QIcon> ImageList1;
    THTTPGet* HTTPGet1;  // the latest version text, into a string
    THTTPGet* HTTPGet2;  // each update file
    THTTPGet* HTTPGet3;  // the manifest, into a file
    THTTPGet* HTTPGet4;  // the manifest's signature, into a file
    TNMHTTP* NMHTTP1;    // size queries

    // Page "welcome".
    QLabel *Label5, *Label6, *Label7, *Label8, *Label1;
    TFlatPanel* FlatPanel2;
    QTreeWidget* ListView1;
    // Page "index".
    QLabel *Label3, *Label19, *Label2;
    TFlatPanel* FlatPanel3;
    QTreeWidget* ListView2;
    TFlatProgressBar* FlatProgressBar1;
    // Page "download".
    QLabel *Label9, *Label17, *Label18, *Label21;
    TFlatPanel* FlatPanel4;
    QTreeWidget* ListView3;
    TFlatProgressBar *FlatProgressBar2, *FlatProgressBar4;
    // Page "install".
    QLabel *Label11, *Label12, *Label20;
    TFlatPanel* FlatPanel5;
    QTreeWidget* ListView4;
    TFlatProgressBar* FlatProgressBar3;
    // Page "finish".
    QLabel *Label13, *Label14;
    TFlatPanel* FlatPanel6;
    QTreeWidget* ListView5;
    TFlatMemo* Memo1;
    // Page "New", the message page.
    QLabel* Label16;
    TFlatMemo* MEMO2;

    // Wizard state shared by the steps.
    bool CancelFlag = false;
    bool FileDoneFlag = false;
    std::unique_ptr<TIniFile> SetupIni;
    AnsiString SystemFlag;
    AnsiString ApplicationFolder;
    std::vector<AnsiString> ComponentFiles;
    AnsiString LatestVersion;  // the version check's answer, which the manifest must lead to

    // State of the update steps, made by the update list step (or the install step).
    std::unique_ptr<TJournal> Journal;   // the local Version.ini, read once per step
    std::vector<TJournal::Entry> UpdateList;  // the step's entries, in the order of its rows
    // The size the server announced for each entry of UpdateList, 0 when it announced none.
    std::vector<int64_t> UpdateSizes;
    AnsiString InstalledVersion;            // names the manifest section
    AnsiString CurrentFileName;
    int CurrentDownloadIndex = 0;
    int PlugInCount = 0;
    // Byte counts; wider than the bars' 32 bits so that a sum of sizes cannot overflow.
    int64_t DownloadTotal = 0;
    int64_t BytesDownloaded = 0;
    int64_t LastProgressCount = 0;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Paints the window at most once a frame (see mainform.cpp).
    bool event(QEvent* event) override;

private:
    void BuildWindow();
    void BuildPages();
    void BuildNetworkComponents();
    void CheckComp();

    // The wizard steps, each in a source file of its own.
    void CheckVersion();       // step 0
    void ListUpdates();        // step 1
    void DownloadUpdates();    // step 2
    void InstallUpdates();     // step 3 and the finish
    void RefreshComponents();  // step 5

    // [CONNECT] URL + "/" + Path + "/" + `name`, read afresh from setup.ini.
    AnsiString UpdateFolderUrl(const AnsiString& name) const;
    // The size text of a file in the built-in server's update folder; "0" when none is
    // announced. A failed query shows its state, sets the cancel flag and gives "0".
    AnsiString QuerySize(const AnsiString& fileName);
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
    // A stop on the message page: `message`, the main button as given, the close button
    // captioned "关闭(&C)".
    void ShowStopped(const AnsiString& message, const AnsiString& mainCaption, bool mainEnabled,
                     int tag);
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
    bool programEnded_ = false;
    const char* runningStep_ = "start";  // the step that the failure log names
    bool closeQuestionQueued_ = false;
    bool shown_ = false;
    bool sizeQueryRunning_ = false;
    bool signatureArrived_ = false;
    QElapsedTimer sinceLastPaint_;
    QTimer heldPaint_;
};
