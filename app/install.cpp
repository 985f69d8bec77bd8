// Step 3, the install: copies or runs every downloaded file, then records the new version.
#include <QCoreApplication>
#include <QLabel>
#include <QTreeWidget>
#include <algorithm>
#include <atomic>
#include <thread>

#include "app/listrows.h"
#include "app/mainform.h"
#include "core/manifest.h"
#include "app/notebook.h"
#include "app/texts.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/process.h"
#include "ui/flat/flatmemo.h"
#include "ui/flat/flatprogressbar.h"
#include "ui/flat/flatspeedbutton.h"

namespace {

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
AnsiString CopyTarget(const AnsiString& applicationFolder, const AnsiString& value) {
    const AnsiString targetFolder = EntryTargetFolder(value);
    return applicationFolder + (targetFolder.empty() ? "" : targetFolder + "\\") +
           EntryFileName(value);
}

// True when the folder that a copy entry writes into exists and, judged on real paths, leads
// outside the application folder. A missing folder is no such case: the copy fails on it and
// can be retried once the folder is made.
bool LeadsOutside(const AnsiString& target, const AnsiString& applicationFolder) {
    size_t last = AnsiString::npos;
    for (size_t at = platform::FindSeparator(target); at != AnsiString::npos;
         at = platform::FindSeparator(target, at + 1))
        last = at;
    const AnsiString folder = target.substr(0, last);
    return platform::DirectoryExists(folder) && !platform::IsInsideFolder(target, applicationFolder);
}

bool CopyIntoPlace(const AnsiString& source, const AnsiString& applicationFolder,
                   const AnsiString& value) {
    const AnsiString targetFolder = EntryTargetFolder(value);
    return (targetFolder.empty() || platform::DirectoryExists(applicationFolder + targetFolder)) &&
           platform::CopyFile(source, CopyTarget(applicationFolder, value));
}

}  // namespace

void TMainform::InstallUpdates() {
    if (!ManifestIni) ManifestIni = std::make_unique<TIniFile>(ApplicationFolder + "Version.ini");
    ManifestIni->KeyNames("RUN", UpdateList);

    ListView4->clear();
    for (const AnsiString& key : UpdateList)
        AddRow(ListView4, EntryFileName(ManifestIni->ReadEntry("RUN", key)), ImageList1[0],
               Texts::NotInstalled);

    const AnsiString updateFolder = ApplicationFolder + "Update\\";
    for (const AnsiString& key : UpdateList) {
        const AnsiString value = ManifestIni->ReadEntry("RUN", key);
        CurrentFileName = EntryFileName(value);
        // Names are judged on real paths as well: a folder of the product that is a link may
        // lead anywhere, and only what stays inside the application folder is installed.
        if (!IsSafeEntry(value) ||
            (IsCopyEntry(value) &&
             LeadsOutside(CopyTarget(ApplicationFolder, value), ApplicationFolder))) {
            ShowNameRefused(CurrentFileName);
            return;
        }
        // A folder of downloads that is (or leads through) a link is not the updater's own:
        // what is in it was never downloaded by this program.
        if (platform::IsSymbolicLink(ApplicationFolder + "Update") ||
            !platform::IsInsideFolder(updateFolder + CurrentFileName, updateFolder) ||
            !platform::FileExists(updateFolder + CurrentFileName)) {
            ShowStopped(Texts::UpdateFile + CurrentFileName + Texts::FileMissingTail,
                        Texts::RetryButton, true, 0);
            CancelFlag = false;
            return;
        }
        // Checked again here, for every entry before any is installed: the copy may have been
        // changed since it was downloaded, possibly in an earlier run of the program. A link in
        // its place is no copy at all.
        if (platform::IsSymbolicLink(updateFolder + CurrentFileName) ||
            verification::CheckFile(*ManifestIni, CurrentFileName,
                                    updateFolder + CurrentFileName) ==
                verification::FileCheck::Fails) {
            ShowCopyDamaged(key);
            return;
        }
    }

    Notebook1->SetActivePage("install");
    QCoreApplication::processEvents();

    const int count = int(UpdateList.size());
    for (int i = 0; i < count; ++i) {
        if (CancelFlag) return;
        const AnsiString key = UpdateList[size_t(i)];
        const AnsiString value = ManifestIni->ReadEntry("RUN", key);
        CurrentFileName = EntryFileName(value);
        const AnsiString source = updateFolder + CurrentFileName;

        const bool installed = IsCopyEntry(value) ? CopyIntoPlace(source, ApplicationFolder, value)
                                                  : RunAndWait(this, source);
        // The downloaded copy and its journal entry stay for the retry.
        if (!installed) {
            ShowInstallFailed(CurrentFileName);
            return;
        }

        // The copy kept in CUpdate\ is a courtesy: it never stops the install, and it is
        // never written through a link.
        const AnsiString backupFolder = ApplicationFolder + "CUpdate\\";
        if (SystemFlag == "1" && !platform::IsSymbolicLink(ApplicationFolder + "CUpdate") &&
            platform::CreateFoldersFor(backupFolder, CurrentFileName))
            platform::CopyFile(source, backupFolder + CurrentFileName);
        // The journal first: a copy left behind is harmless, while a journal entry whose copy
        // is gone would stop the resumed install at a missing file.
        if (!ManifestIni->RemoveKey("RUN", key)) {
            ShowStopped(Texts::CannotWrite + ManifestIni->FileName(), Texts::RetryButton, true, 3);
            return;
        }
        platform::DeleteFile(source);

        FlatProgressBar3->SetMax(count);
        FlatProgressBar3->SetPosition(i + 1);
        Label20->setText(platform::ToUnicode(Texts::InstallCountOf + std::to_string(count) +
                                             Texts::InstallCountDone + std::to_string(i + 1) +
                                             Texts::InstallCountUnit));
        if (i + 1 < count) ScrollToRow(ListView4, i + 1);
        SetSubItem(ListView4, i, Texts::InstalledState);
        ListView4->topLevelItem(i)->setIcon(0, ImageList1[1]);
        QCoreApplication::processEvents();
    }
    Finish();
}

void TMainform::Finish() {
    CopyRows(*ListView4, ListView5);
    Notebook1->SetActivePage("finish");
    Memo1->Lines.Clear();
    Memo1->Lines.Add(Texts::InstalledUpdates + std::to_string(UpdateList.size()) +
                     Texts::InstalledUpdatesTail);
    Memo1->Lines.Add(Texts::UpgradeSucceeded);

    const AnsiString newVersion = ManifestIni->ReadEntry("VERSION", "VERSION");
    const AnsiString newDataVersion = ManifestIni->ReadEntry("VERSION", "DATAVERSION");
    if (!newVersion.empty()) SetupIni->WriteEntry("VERSION", "VERSION", newVersion);
    if (!newDataVersion.empty()) SetupIni->WriteEntry("VERSION", "DATAVERSION", newDataVersion);

    ManifestIni.reset();
    platform::DeleteFile(ApplicationFolder + "Version.ini");
    UpdateList.clear();

    Bitbtn1->SetCaption(Texts::FinishButton);
    Bitbtn1->setEnabled(true);
    Bitbtn1->Tag = 4;
    Bitbtn2->setEnabled(false);
}

void TMainform::ShowNameRefused(const AnsiString& fileName) {
    CancelFlag = true;
    ShowStopped(Texts::RefusedName + fileName + Texts::RefusedNameTail, Texts::RestartButton, true,
                0);
}

void TMainform::ShowCopyDamaged(const AnsiString& key) {
    const AnsiString fileName = EntryFileName(ManifestIni->ReadEntry("RUN", key));
    platform::DeleteFile(ApplicationFolder + "Update\\" + fileName);
    // Back to the section the list step reads, in their order and with their keys. The later
    // entries go too: appended to [RUN] after them once downloaded, the damaged one would be
    // installed out of its place.
    const AnsiString section = SetupIni->ReadEntry("VERSION", "VERSION", "1.0");
    for (auto it = std::find(UpdateList.begin(), UpdateList.end(), key); it != UpdateList.end();
         ++it)
        ManifestIni->MoveEntry("RUN", *it, section, *it, ManifestIni->ReadEntry("RUN", *it));
    ShowStopped(Texts::UpdateFile + fileName + Texts::DamagedCopyTail, Texts::RetryButton, true, 1);
}

void TMainform::ShowInstallFailed(const AnsiString& fileName) {
    ShowStopped(Texts::UpdateFile + fileName + Texts::InstallFailedTail, Texts::RetryButton, true,
                3);
}
