// TMainform: the updater's only window, the upgrade engine's graphical face: a wizard of named
// pages driven by three buttons.
//
// The engine (app/engine) runs the steps and decides; the form shows what it reports on its
// pages and buttons, asks the person what the engine needs to know, and applies the window's
// close rules. The main button runs the engine's next step. Everything here runs on the GUI
// thread.
//
// The pages and the engine are the form's own. They carry object names that say what they are
// ("mainButton", "pages", "download.totalLabel", and the engine's "fileDownload", ...), by which
// tools and tests find them.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "app/engine/upgradeengine.h"
#include "app/window/pages.h"
#include "platform/text.h"

class QObject;
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

class TMainform : public QWidget, private TUpgradeFace {
    Q_OBJECT
public:
    // Builds the window and the engine it shows.
    explicit TMainform(TWizardEnvironment environment, QWidget* parent = nullptr);
    ~TMainform() override;

    void FormShow();
    // A resumed run's steps; runs once, as soon as the shown window's event loop runs.
    void FormActivate();
    // True when the window may close; may ask the user and cancel the running step. The
    // question runs an event loop, so this is never called inside a close event.
    bool FormCloseQuery();

    // Shows the message page "New" with `lines` as its whole message.
    void ShowMessagePage(std::initializer_list<AnsiString> lines);

    // The step that the main button's next click runs.
    WizardStep NextStep() const { return engine_->NextStep(); }
    // True once a failure or a confirmed cancel has stopped the running step.
    bool CancelRequested() const { return engine_->CancelRequested(); }
    // True once the program has been asked to end (the quit request is posted).
    bool ProgramEnded() const { return programEnded_; }
    // setup.ini's [QUENTAROVER] SYSTEM, as read when the form was made.
    const AnsiString& SystemFlag() const { return engine_->SystemFlag(); }
    // The installed components' file names, from Default.ini and Custom.ini.
    const std::vector<AnsiString>& ComponentFiles() const { return engine_->ComponentFiles(); }
    // The entries of the last list (or install) step, in the order of its rows.
    const std::vector<TJournal::Entry>& ListedEntries() const { return engine_->ListedEntries(); }
    // The size that the manifest listed or the server announced for each listed entry, 0 when
    // neither did.
    const std::vector<int64_t>& ListedSizes() const { return engine_->ListedSizes(); }

protected:
    // Tests put the form into states that a person reaches only through a server.
    friend class TMainformProbe;

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Paints the window at most once a frame (see mainform.cpp).
    bool event(QEvent* event) override;

private:
    void BuildWindow();

    void MainButtonClick(QObject* Sender);
    void ContinueButtonClick(QObject* Sender);
    void CloseButtonClick(QObject* Sender);

    // What the engine reports (TUpgradeFace).
    void ComponentsFound(const std::vector<AnsiString>& names, bool remoteControlFound) override;
    void StepStarted(WizardStep step) override;
    void VersionCheckStarted() override;
    void LatestVersionAnnounced(const AnsiString& version) override;
    void UpToDate() override;
    void UpdateFound() override;
    void NotYetOffered(const AnsiString& version,
                       std::optional<std::chrono::sys_seconds> from) override;
    void ListStarted() override;
    void FileListed(const TListedFile& file) override;
    void ListAdvanced(size_t position, size_t count) override;
    void ComponentsListing() override;
    void ListCompleted() override;
    void DownloadStarted() override;
    void DownloadProgressed(const TDownloadProgress& progress) override;
    // Shows the download's latest progress, and the rows' remaining bytes, now.
    void ShowDownloadProgress();
    void FileDownloaded(size_t row, size_t rowCount, int64_t bytes) override;
    void DownloadCompleted() override;
    void DownloadCancelled() override;
    void InstallListed(const std::vector<AnsiString>& names) override;
    void InstallStarted() override;
    void EntriesInstalled(size_t first, size_t last, size_t count) override;
    void ProgramRunning(bool running) override;
    void Finished(size_t installedCount) override;
    void Stopped(const TStop& stop) override;
    void ResumePrompt() override;
    void ShowError(const AnsiString& message) override;

    // The main button, enabled, runs the engine's next step with the caption it has.
    void OfferNextStep();

    // Runs a handler the way the windowing framework runs an event: an error it raises is
    // shown in the default error box and ends the handler, never the program.
    void RunHandler(const std::function<void()>& handler);
    // A button's click, bound to a handler of this form that runs through RunHandler.
    auto Handler(void (TMainform::*handler)(QObject*)) {
        return [this, handler](QObject* sender) { RunHandler([&] { (this->*handler)(sender); }); };
    }

    // Posts the quit request and stops whatever still runs, so that nothing is written once
    // the program is ending.
    void EndProgram();
    // Runs a refused close request's question, queued after the request: ends the program and
    // closes the window on Yes. Requests made until it runs are answered by this question.
    void AskToClose();

    TWizardEnvironment environment_;

    // The window.
    TNotebook* pages_;
    TFlatSpeedButton* continueButton_;  // "继续(&G)" of the resume prompt
    TFlatSpeedButton* mainButton_;      // runs the engine's next step
    TFlatSpeedButton* closeButton_;
    RowIcons icons_;
    WelcomePage welcome_;
    ListPage list_;
    DownloadPage download_;
    InstallPage install_;
    FinishPage finish_;
    MessagePage message_;
    // Swallows input while a downloaded program runs.
    std::unique_ptr<QObject> inputBlocker_;

    TUpgradeEngine* engine_;

    bool programEnded_ = false;
    bool closeQuestionQueued_ = false;
    bool shown_ = false;
    QElapsedTimer sinceLastPaint_;
    QTimer heldPaint_;
    // The download's progress that waits to be shown (see DownloadProgressed).
    struct {
        std::map<size_t, int64_t> rows;  // row -> its bytes still to come
        std::optional<TDownloadProgress> latest;
        QElapsedTimer sinceShown;
        QTimer held;
    } shownProgress_;
};
