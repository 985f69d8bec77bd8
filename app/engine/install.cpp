// Step 3, the install: copies or runs every downloaded file, then records the new version.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>

#include "app/engine/upgradeengine.h"
#include "app/texts.h"
#include "core/delta.h"
#include "core/manifest.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

// Copies in one batch share one flush pass; the batch holds a file open per copy.
constexpr size_t kCopiesPerBatch = 256;
// About a display frame.
constexpr qint64 kFrameMilliseconds = 16;

// A copy that failed for want of room says so, rather than blame a program holding the file.
bool DiskIsFull(int error) {
    return error == ENOSPC || error == EDQUOT;
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

void TUpgradeEngine::InstallUpdates() {
    journal_ = std::make_unique<TJournal>(applicationFolder_ + "Version.ini", InstalledVersion());
    updateList_.assign(journal_->Waiting().begin(), journal_->Waiting().end());

    std::vector<AnsiString> names;
    for (const TJournal::Entry& entry : updateList_) names.push_back(entry.fileName);
    face_.InstallListed(names);

    if (!WaitingCopiesAreUsable()) return;

    face_.InstallStarted();
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
        OfferResume();
        return;
    }
    Finish();
}

bool TUpgradeEngine::WaitingCopiesAreUsable() {
    const std::optional<AnsiString> updateFolder = Placed("Update");
    if (!updateFolder) return false;
    for (const TJournal::Entry& entry : updateList_) {
        currentFileName_ = entry.fileName;
        // Names are judged on real paths as well: a folder of the product that is a link may
        // lead anywhere, and only what stays inside the application folder is installed.
        if (!entry.safe) {
            ShowNameRefused(currentFileName_);
            return false;
        }
        if (entry.copy) {
            const std::optional<AnsiString> target = Placed(entry.InstalledName());
            if (!target) return false;
            if (LeadsOutside(applicationFolder_ + *target, applicationFolder_)) {
                ShowNameRefused(currentFileName_);
                return false;
            }
        }
        // A folder of downloads that is (or leads through) a link is not the updater's own:
        // what is in it was never downloaded by this program.
        const std::optional<AnsiString> waiting = Placed("Update\\" + currentFileName_);
        if (!waiting) return false;
        const AnsiString copy = applicationFolder_ + *waiting;
        if (platform::IsSymbolicLink(applicationFolder_ + *updateFolder) ||
            !platform::IsInsideFolder(copy, applicationFolder_ + *updateFolder) ||
            !platform::FileExists(copy)) {
            Stop({.message = Texts::UpdateFile + currentFileName_ + Texts::FileMissingTail,
                  .file = currentFileName_,
                  .reason = "no downloaded copy in " + applicationFolder_ + *updateFolder});
            cancelRequested_ = false;
            return false;
        }
        // Checked again here, for every entry before any is installed: the copy may have been
        // changed since it was downloaded, possibly in an earlier run of the program. A link in
        // its place is no copy at all.
        if (platform::IsSymbolicLink(copy) ||
            verification::CheckFile(journal_->Digests(currentFileName_), copy) ==
                verification::FileCheck::Fails) {
            ShowCopyDamaged(entry);
            return false;
        }
    }
    return true;
}

std::optional<AnsiString> TUpgradeEngine::BackupFolder() {
    // The copy kept in CUpdate\ is a courtesy: it never stops the install, and it is never
    // written through a link.
    if (systemFlag_ != "1") return std::nullopt;
    const platform::CaseInsensitiveNames::Resolution folder = names_->Resolve("CUpdate");
    if (folder.kind != platform::CaseInsensitiveNames::Kind::Existing ||
        platform::IsSymbolicLink(applicationFolder_ + folder.name))
        return std::nullopt;
    return folder.name;
}

bool TUpgradeEngine::KeepBackup(platform::FileReplacements* batch, const AnsiString& source,
                                const AnsiString& fileName) {
    const std::optional<AnsiString> folder = BackupFolder();
    if (!folder) return false;
    const platform::CaseInsensitiveNames::Resolution backup =
        names_->Resolve(*folder + "\\" + fileName);
    using Kind = platform::CaseInsensitiveNames::Kind;
    if ((backup.kind != Kind::Existing && backup.kind != Kind::New) ||
        !platform::CreateFoldersFor(applicationFolder_, backup.name))
        return false;
    names_->Created(backup.name);
    const AnsiString target = applicationFolder_ + backup.name;
    return batch ? batch->AddCopy(source, target) : platform::CopyFile(source, target);
}

bool TUpgradeEngine::InstallCopies(size_t first, size_t last) {
    platform::FileReplacements batch;
    QElapsedTimer sinceEvents;
    sinceEvents.start();
    size_t staged = first;
    AnsiString failure;
    int failureError = 0;
    for (; staged < last; ++staged) {
        const TJournal::Entry& entry = updateList_[staged];
        const std::optional<AnsiString> waiting = Placed("Update\\" + entry.fileName);
        const std::optional<AnsiString> target = waiting ? Placed(entry.InstalledName()) : waiting;
        if (!target) return false;
        const AnsiString source = applicationFolder_ + *waiting;
        // The target folder must already exist: it is never made.
        const std::optional<AnsiString> targetFolder =
            entry.targetFolder.empty() ? AnsiString() : Placed(entry.targetFolder);
        if (!targetFolder) return false;
        if (!targetFolder->empty() &&
            !platform::DirectoryExists(applicationFolder_ + *targetFolder)) {
            failure = "the target folder " + applicationFolder_ + *targetFolder + " does not exist";
            break;
        }
        // A release may bring a folder that the installation lacks; a target folder is the
        // publisher's promise of one that exists, so only the name's own folders are made.
        const AnsiString folders = FolderPart(*target);
        std::string reason;
        if (folders.size() > targetFolder->size() &&
            !platform::MakeFoldersInside(applicationFolder_, folders, &reason)) {
            failureError = errno;
            failure = reason;
            break;
        }
        if (!batch.AddCopy(source, applicationFolder_ + *target)) {
            failureError = errno;
            failure = platform::ErrorText(applicationFolder_ + *target);
            break;
        }
        names_->Created(*target);
        KeepBackup(&batch, source, entry.fileName);
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
            const int error = errno;
            ShowInstallFailed(updateList_[first].fileName, platform::ErrorText(applicationFolder_),
                              DiskIsFull(error));
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
        ShowInstallFailed(updateList_[staged].fileName, failure, DiskIsFull(failureError));
        return false;
    }
    return true;
}

bool TUpgradeEngine::InstallRun(size_t index) {
    const TJournal::Entry& entry = updateList_[index];
    const std::optional<AnsiString> waiting = Placed("Update\\" + entry.fileName);
    if (!waiting) return false;
    const AnsiString source = applicationFolder_ + *waiting;
    if (!RunAndWait(source)) {
        ShowInstallFailed(entry.fileName, platform::ErrorText(source), false);
        return false;
    }
    KeepBackup(nullptr, source, entry.fileName);
    if (!MarkInstalled({entry})) return false;
    ShowInstalled(index, index + 1);
    return true;
}

bool TUpgradeEngine::MarkInstalled(const std::vector<TJournal::Entry>& entries) {
    try {
        journal_->MarkInstalled(entries);
    } catch (const std::exception& error) {
        Stop({.message = error.what(),
              .file = "Version.ini",
              .reason = error.what(),
              .next = WizardStep::Install});
        return false;
    }
    for (const TJournal::Entry& entry : entries)
        if (const std::optional<AnsiString> waiting = Placed("Update\\" + entry.fileName))
            platform::DeleteFile(applicationFolder_ + *waiting);
    return true;
}

void TUpgradeEngine::ShowInstalled(size_t first, size_t last) {
    face_.EntriesInstalled(first, last, updateList_.size());
    QCoreApplication::processEvents();
}

bool TUpgradeEngine::RunAndWait(const AnsiString& path) {
    platform::MakeOwnerExecutable(path);
    std::optional<platform::ProcessId> process = platform::StartProgram(path);
    if (!process) return false;
    face_.ProgramRunning(true);
    RunOffTheGuiThread([&] { platform::WaitForProgram(*process); });
    face_.ProgramRunning(false);
    return true;
}

void TUpgradeEngine::Finish() {
    const size_t installedCount = updateList_.size();
    const AnsiString newVersion = journal_->NewVersion();
    const AnsiString newDataVersion = journal_->NewDataVersion();
    if (!newVersion.empty()) setupIni_->WriteEntry("VERSION", "VERSION", newVersion);
    if (!newDataVersion.empty()) setupIni_->WriteEntry("VERSION", "DATAVERSION", newDataVersion);
    // Patches serve only the upgrade that fetched them. A file that came whole after all (its
    // patch cut off in transfer, or a run that continued a killed one no longer taking the
    // patch) leaves the patch, or the part of it that arrived, where no later run looks.
    // Removed before the journal, whose next run finishes again after a crash in between.
    const platform::CaseInsensitiveNames::Resolution patches =
        names_->Resolve(AnsiString("Update\\") + delta::kPatchFolder);
    if (patches.kind == platform::CaseInsensitiveNames::Kind::Existing)
        platform::RemoveFolderTree(applicationFolder_ + patches.name);

    journal_.reset();
    platform::DeleteFile(applicationFolder_ + "Version.ini");
    updateList_.clear();

    Offer(WizardStep::Close);
    face_.Finished(installedCount);
}

void TUpgradeEngine::ShowCopyDamaged(const TJournal::Entry& entry) {
    if (const std::optional<AnsiString> waiting = Placed("Update\\" + entry.fileName))
        platform::DeleteFile(applicationFolder_ + *waiting);
    journal_->ReturnToDownload(entry);
    Stop({.message = Texts::UpdateFile + entry.fileName + Texts::DamagedCopyTail,
          .file = entry.fileName,
          .reason = "the waiting copy is a link or not what the manifest lists",
          .next = WizardStep::List});
}
