// The command line's face of the upgrade engine: an upgrade (or a check) with no window and no
// display, driven to its end without a person, reported as plain lines for a log or as one
// JSON object per line for a monitoring tool.
//
// Reports go to standard output. Without --json a line of the download's progress is redrawn
// on standard error while that is a terminal. An unattended run also writes its start and its
// outcome to sendrift.log, so the log tells an administrator what happened overnight.
#pragma once

#include <QElapsedTimer>
#include <cstdio>
#include <optional>
#include <variant>

#include "app/cli/commandline.h"
#include "app/engine/upgradeengine.h"

// Runs the check or the unattended upgrade that `line` asks for in the application folder of
// `settings` (a QCoreApplication must exist; its event loop runs until the outcome) and returns
// the exit code. The caller holds the folder's lock.
int RunWithoutWindow(const TCommandLine& line, TUpgradeSettings settings);

// Says why the run may not start now (another run holds the folder, the product's window is
// open) in the form `line` asks for, and returns kExitBusy.
int RefuseToRun(const TCommandLine& line, const std::string& reason);

class TConsoleFace : public TUpgradeFace {
public:
    TConsoleFace(const TCommandLine& line, AnsiString applicationFolder);

    // Drives `engine` from its first step to its outcome; returns the exit code.
    int Run(TUpgradeEngine& engine, bool journalLeft);

private:
    void UpToDate() override;
    void UpdateAvailable(const AnsiString& version) override;
    void LatestVersionAnnounced(const AnsiString& version) override;
    void UpdateFound() override;
    void NotYetOffered(const AnsiString& version,
                       std::optional<std::chrono::sys_seconds> from) override;
    void ListCompleted() override;
    void FileTransferStarted(size_t row) override;
    void DownloadProgressed(const TDownloadProgress& progress) override;
    void FileDownloaded(size_t row, size_t rowCount, int64_t bytes) override;
    void DownloadCompleted() override;
    void DownloadCancelled() override;
    void EntriesInstalled(size_t first, size_t last, size_t count) override;
    void Finished(size_t installedCount) override;
    void Stopped(const TStop& stop) override;
    void ResumePrompt() override;
    void ShowError(const AnsiString& message) override;

    // Runs the engine's next step once the current event has returned, when it is still the
    // step `expected` that waits: a step that had nothing to do may have run it already.
    void RunNextLater(WizardStep expected);
    // The run's outcome; the first one counts.
    void End(int exitCode);

    // One report: `event` with its fields, as a JSON object or as the plain `text`.
    struct Field {
        const char* name;
        std::variant<AnsiString, int64_t, bool> value;
    };
    void Report(const char* event, std::initializer_list<Field> fields, const AnsiString& text);
    void ClearProgressLine();

    const TCommandLine line_;
    const AnsiString applicationFolder_;
    TUpgradeEngine* engine_ = nullptr;
    std::optional<int> exitCode_;
    // Asked once: a progress call comes for every kilobyte.
    const bool progressOnTerminal_;
    bool progressShown_ = false;
    QElapsedTimer sinceProgress_;
};
