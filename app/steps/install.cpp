// Step 3, the install: copies or runs every downloaded file, then records the new version.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTreeWidget>
#include <algorithm>
#include <atomic>
#include <thread>

#include "app/texts.h"
#include "app/window/listrows.h"
#include "app/window/mainform.h"
#include "app/window/notebook.h"
#include "core/manifest.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/process.h"
#include "ui/flat/flatmemo.h"
#include "ui/flat/flatprogressbar.h"
#include "ui/flat/flatspeedbutton.h"

namespace {

// Copies in one batch share one flush pass; the batch holds a file open per copy.
constexpr size_t kCopiesPerBatch = 256;
// About a display frame.
constexpr qint64 kFrameMilliseconds = 16;

// Swallows clicks and keys meant for one window while it waits, as a busy window would take
// none; painting, timers and other windows (a confirmation box) go on.
class InputBlocker : public QObject {
public:
    explicit InputBlocker(QWidget* window) : window_(window) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~InputBlocker() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        if (!IsInput(event->type())) return false;
        auto* widget = qobject_cast<QWidget*>(target);
        return widget && widget->window() == window_;
    }

private:
    static bool IsInput(QEvent::Type type) {
        switch (type) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::Wheel:
            case QEvent::Shortcut:
            case QEvent::ShortcutOverride:
                return true;
            default:
                return false;
        }
    }

    QWidget* window_;
};

// Runs a downloaded program and waits for it to end. The window keeps painting meanwhile but
// takes no input. False when the program could not be started.
bool RunAndWait(QWidget* window, const AnsiString& path) {
    platform::MakeOwnerExecutable(path);
    std::optional<platform::ProcessId> process = platform::StartProgram(path);
    if (!process) return false;
    InputBlocker blocker(window);
    std::atomic<bool> ended = false;
    std::thread waiter([&] {
        platform::WaitForProgram(*process);
        ended = true;
        // Wakes the loop below, which sleeps until an event arrives.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
    });
    while (!ended) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    waiter.join();
    return true;
}

// Where a copy entry puts its file: the application folder, or the folder below it that the
// entry names, which must already exist: it is never made.
AnsiString CopyTarget(const AnsiString& applicationFolder, const TJournal::Entry& entry) {
    return applicationFolder + (entry.targetFolder.empty() ? "" : entry.targetFolder + "\\") +
           entry.fileName;
}

// The folders of a name, "" for a name without any: New\Sub for New\Sub\extra.dat.
AnsiString FolderPart(const AnsiString& name) {
    size_t last = AnsiString::npos;
    for (size_t at = platform::FindSeparator(name); at != AnsiString::npos;
         at = platform::FindSeparator(name, at + 1))
        last = at;
    return last == AnsiString::npos ? AnsiString() : name.substr(0, last);
}

// True when the folder that a copy entry writes into exists and, judged on real paths, leads
// outside the application folder. A missing folder is no such case: the install makes the
// folders of the entry's name, judging each on real paths as it goes.
bool LeadsOutside(const AnsiString& target, const AnsiString& applicationFolder) {
    return platform::DirectoryExists(FolderPart(target)) &&
           !platform::IsInsideFolder(target, applicationFolder);
}

}  // namespace

void TMainform::InstallUpdates() {
    journal_ = std::make_unique<TJournal>(applicationFolder_ + "Version.ini",
                                          setupIni_->ReadEntry("VERSION", "VERSION", "1.0"));
    updateList_.assign(journal_->Waiting().begin(), journal_->Waiting().end());

    install_.files->clear();
    for (const TJournal::Entry& entry : updateList_)
        AddRow(install_.files, entry.fileName, icons_.waiting, Texts::NotInstalled);
    CompleteRows(install_.files);

    if (!WaitingCopiesAreUsable()) return;

    pages_->SetActivePage("install");
    QCoreApplication::processEvents();

    // Consecutive copy entries go in batches; a run entry goes alone, since running it twice
    // after a crash is not harmless.
    for (size_t first = 0; first < updateList_.size();) {
        if (cancelRequested_) return;
        size_t last = first + 1;
        if (updateList_[first].copy) {
            while (last < updateList_.size() && updateList_[last].copy &&
                   last - first < kCopiesPerBatch)
                ++last;
            if (!InstallCopies(first, last)) return;
        } else if (!InstallRun(first)) {
            return;
        }
        first = last;
    }
    // A resumed run installs what was waiting; files that are still to be downloaded make
    // no finished upgrade, and recording the new version now would report one.
    if (!journal_->ToDownload().empty()) {
        LogFailure("Version.ini", std::to_string(journal_->ToDownload().size()) +
                                      " files are still to be downloaded");
        ShowResumePrompt();
        return;
    }
    Finish();
}

bool TMainform::WaitingCopiesAreUsable() {
    const AnsiString updateFolder = applicationFolder_ + "Update\\";
    for (const TJournal::Entry& entry : updateList_) {
        currentFileName_ = entry.fileName;
        // Names are judged on real paths as well: a folder of the product that is a link may
        // lead anywhere, and only what stays inside the application folder is installed.
        if (!entry.safe || (entry.copy && LeadsOutside(CopyTarget(applicationFolder_, entry),
                                                       applicationFolder_))) {
            ShowNameRefused(currentFileName_);
            return false;
        }
        // A folder of downloads that is (or leads through) a link is not the updater's own:
        // what is in it was never downloaded by this program.
        if (platform::IsSymbolicLink(applicationFolder_ + "Update") ||
            !platform::IsInsideFolder(updateFolder + currentFileName_, updateFolder) ||
            !platform::FileExists(updateFolder + currentFileName_)) {
            LogFailure(currentFileName_, "no downloaded copy in " + updateFolder);
            ShowStopped(Texts::UpdateFile + currentFileName_ + Texts::FileMissingTail,
                        Texts::RetryButton, true, WizardStep::VersionCheck);
            cancelRequested_ = false;
            return false;
        }
        // Checked again here, for every entry before any is installed: the copy may have been
        // changed since it was downloaded, possibly in an earlier run of the program. A link in
        // its place is no copy at all.
        if (platform::IsSymbolicLink(updateFolder + currentFileName_) ||
            verification::CheckFile(journal_->Digests(currentFileName_),
                                    updateFolder + currentFileName_) ==
                verification::FileCheck::Fails) {
            ShowCopyDamaged(entry);
            return false;
        }
    }
    return true;
}

bool TMainform::KeepsBackups() const {
    // The copy kept in CUpdate\ is a courtesy: it never stops the install, and it is never
    // written through a link.
    return systemFlag_ == "1" && !platform::IsSymbolicLink(applicationFolder_ + "CUpdate");
}

bool TMainform::InstallCopies(size_t first, size_t last) {
    const AnsiString updateFolder = applicationFolder_ + "Update\\";
    const AnsiString backupFolder = applicationFolder_ + "CUpdate\\";
    const bool keepBackups = KeepsBackups();
    platform::FileReplacements batch;
    QElapsedTimer sinceEvents;
    sinceEvents.start();
    size_t staged = first;
    AnsiString failure;
    for (; staged < last; ++staged) {
        const TJournal::Entry& entry = updateList_[staged];
        const AnsiString source = updateFolder + entry.fileName;
        const AnsiString target = CopyTarget(applicationFolder_, entry);
        // The target folder must already exist: it is never made.
        if (!entry.targetFolder.empty() &&
            !platform::DirectoryExists(applicationFolder_ + entry.targetFolder)) {
            failure =
                "the target folder " + applicationFolder_ + entry.targetFolder + " does not exist";
            break;
        }
        // A release may bring a folder that the installation lacks; a target folder is the
        // publisher's promise of one that exists, so only the name's own folders are made.
        const AnsiString nameFolder = FolderPart(entry.fileName);
        std::string reason;
        if (!nameFolder.empty() &&
            !platform::MakeFoldersInside(
                applicationFolder_,
                entry.targetFolder.empty() ? nameFolder : entry.targetFolder + "\\" + nameFolder,
                &reason)) {
            failure = reason;
            break;
        }
        if (!batch.AddCopy(source, target)) {
            failure = platform::ErrorText(target);
            break;
        }
        if (keepBackups && platform::CreateFoldersFor(backupFolder, entry.fileName))
            batch.AddCopy(source, backupFolder + entry.fileName);
        // The window stays responsive, without a pass of the event loop for every small file.
        if (sinceEvents.elapsed() >= kFrameMilliseconds) {
            QCoreApplication::processEvents();
            sinceEvents.restart();
        }
        // What is not yet in place is dropped with the batch, and stays in the journal.
        if (cancelRequested_) return false;
    }
    if (staged > first) {
        if (!batch.Commit()) {
            ShowInstallFailed(updateList_[first].fileName, platform::ErrorText(applicationFolder_));
            return false;
        }
        // The journal next: a copy left behind is harmless, while a journal entry whose copy
        // is gone would stop the resumed install at a missing file.
        const std::vector<TJournal::Entry> installed(updateList_.begin() + first,
                                                     updateList_.begin() + staged);
        if (!MarkInstalled(installed)) return false;
        ShowInstalled(first, staged);
    }
    // The downloaded copy and its journal entry stay for the retry.
    if (staged < last) {
        ShowInstallFailed(updateList_[staged].fileName, failure);
        return false;
    }
    return true;
}

bool TMainform::InstallRun(size_t index) {
    const TJournal::Entry& entry = updateList_[index];
    const AnsiString source = applicationFolder_ + "Update\\" + entry.fileName;
    if (!RunAndWait(this, source)) {
        ShowInstallFailed(entry.fileName, platform::ErrorText(source));
        return false;
    }
    const AnsiString backupFolder = applicationFolder_ + "CUpdate\\";
    if (KeepsBackups() && platform::CreateFoldersFor(backupFolder, entry.fileName))
        platform::CopyFile(source, backupFolder + entry.fileName);
    if (!MarkInstalled({entry})) return false;
    ShowInstalled(index, index + 1);
    return true;
}

bool TMainform::MarkInstalled(const std::vector<TJournal::Entry>& entries) {
    try {
        journal_->MarkInstalled(entries);
    } catch (const std::exception& error) {
        LogFailure("Version.ini", error.what());
        ShowStopped(error.what(), Texts::RetryButton, true, WizardStep::Install);
        return false;
    }
    for (const TJournal::Entry& entry : entries)
        platform::DeleteFile(applicationFolder_ + "Update\\" + entry.fileName);
    return true;
}

void TMainform::ShowInstalled(size_t first, size_t last) {
    const int count = int(updateList_.size());
    install_.progress->SetMax(count);
    install_.progress->SetPosition(int(last));
    install_.count->setText(platform::ToUnicode(Texts::InstallCountOf + std::to_string(count) +
                                                Texts::InstallCountDone + std::to_string(last) +
                                                Texts::InstallCountUnit));
    if (int(last) < count) ScrollToRow(install_.files, int(last));
    for (size_t i = first; i < last; ++i) {
        SetSubItem(install_.files, int(i), Texts::InstalledState);
        install_.files->topLevelItem(int(i))->setIcon(0, icons_.installed);
    }
    QCoreApplication::processEvents();
}

void TMainform::Finish() {
    CopyRows(*install_.files, finish_.files);
    pages_->SetActivePage("finish");
    finish_.summary->Lines.Clear();
    finish_.summary->Lines.Add(Texts::InstalledUpdates + std::to_string(updateList_.size()) +
                               Texts::InstalledUpdatesTail);
    finish_.summary->Lines.Add(Texts::UpgradeSucceeded);

    const AnsiString newVersion = journal_->NewVersion();
    const AnsiString newDataVersion = journal_->NewDataVersion();
    if (!newVersion.empty()) setupIni_->WriteEntry("VERSION", "VERSION", newVersion);
    if (!newDataVersion.empty()) setupIni_->WriteEntry("VERSION", "DATAVERSION", newDataVersion);

    journal_.reset();
    platform::DeleteFile(applicationFolder_ + "Version.ini");
    updateList_.clear();

    mainButton_->SetCaption(Texts::FinishButton);
    OfferStep(WizardStep::Close);
    closeButton_->setEnabled(false);
}

void TMainform::ShowNameRefused(const AnsiString& fileName) {
    LogFailure(fileName, "the name leaves its folder or holds a control character");
    cancelRequested_ = true;
    ShowStopped(Texts::RefusedName + fileName + Texts::RefusedNameTail, Texts::RestartButton, true,
                WizardStep::VersionCheck);
}

void TMainform::ShowCopyDamaged(const TJournal::Entry& entry) {
    LogFailure(entry.fileName, "the waiting copy is a link or not what the manifest lists");
    platform::DeleteFile(applicationFolder_ + "Update\\" + entry.fileName);
    journal_->ReturnToDownload(entry);
    ShowStopped(Texts::UpdateFile + entry.fileName + Texts::DamagedCopyTail, Texts::RetryButton,
                true, WizardStep::List);
}

void TMainform::ShowInstallFailed(const AnsiString& fileName, const AnsiString& reason) {
    LogFailure(fileName, reason);
    ShowStopped(Texts::UpdateFile + fileName + Texts::InstallFailedTail, Texts::RetryButton, true,
                WizardStep::Install);
}
