// Step 2, the download: fetches each listed file into Update\ and journals it as it arrives.
#include <QLabel>
#include <algorithm>
#include <climits>

#include "app/texts.h"
#include "app/window/listrows.h"
#include "app/window/mainform.h"
#include "app/window/notebook.h"
#include "core/displaytext.h"
#include "core/manifest.h"
#include "core/updateserver.h"
#include "core/verification.h"
#include "net/httpget/httpget.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "ui/flat/flatprogressbar.h"
#include "ui/flat/flatspeedbutton.h"

namespace {

// Room kept free beyond the announced total: files whose size the server did not announce, the
// journal's rewrites, and the rest of the system, which should not find its disk full.
constexpr int64_t kFreeSpaceMargin = 16 * 1024 * 1024;

// The bars count in 32 bits; a larger total simply shows as full.
int BarValue(int64_t bytes) {
    return int(std::clamp<int64_t>(bytes, 0, INT_MAX));
}

}  // namespace

void TMainform::DownloadUpdates() {
    download_.hint->clear();
    CopyRows(*list_.files, download_.files);
    pages_->SetActivePage("Download");
    if (!updateList_.empty() && !HasRoomForDownloads()) return;

    for (size_t i = 0; i < updateList_.size(); ++i) {
        if (cancelRequested_) return;
        currentDownloadIndex_ = int(i);
        fileComplete_ = false;
        const TJournal::Entry& entry = updateList_[i];
        currentFileName_ = entry.fileName;
        if (!entry.safe) {
            ShowNameRefused(currentFileName_);
            return;
        }
        const AnsiString updateFolder = applicationFolder_ + "Update\\";
        // The folder of downloads is the updater's own: it is not written through a link.
        if (platform::IsSymbolicLink(applicationFolder_ + "Update") ||
            !platform::CreateFoldersFor(updateFolder, currentFileName_)) {
            ShowDownloadFailed(platform::IsSymbolicLink(applicationFolder_ + "Update")
                                   ? updateFolder + " is a symbolic link"
                                   : platform::ErrorText(updateFolder + currentFileName_));
            return;
        }
        fileDownload_->URL = UpdateFolderUrl(UrlPathOf(currentFileName_));
        fileDownload_->FileName = updateFolder + currentFileName_;
        // A server that goes on past the size it announced cannot fill the disk; a file whose
        // size was not announced shares the margin of room that was checked beyond the total.
        const int64_t announced = i < updateSizes_.size() ? updateSizes_[i] : 0;
        fileDownload_->MaxSize = announced > 0 ? announced : kFreeSpaceMargin;
        fileDownload_->GetFile();
        // Whatever a failed or cancelled transfer left is no copy of the file: it would only
        // take room, and the next try fetches the file anew.
        if (cancelRequested_ || !fileComplete_) platform::DeleteFile(fileDownload_->FileName);
        if (cancelRequested_) EndProgram();
        if (!fileComplete_) return;
        // A copy that is not what the publisher made is not kept: the install step must
        // never find it, and the next try fetches it anew.
        if (verification::CheckFile(journal_->Digests(currentFileName_), fileDownload_->FileName) ==
            verification::FileCheck::Fails) {
            platform::DeleteFile(fileDownload_->FileName);
            ShowDownloadFailed("its SHA-256 is not the one the manifest lists");
            return;
        }
        // The journal must not name a copy that a power cut could still empty.
        if (!platform::FlushFile(fileDownload_->FileName)) {
            ShowDownloadFailed(platform::ErrorText(fileDownload_->FileName));
            return;
        }

        // One write: a crash leaves the entry in the section or in [RUN], never in both.
        journal_->MarkDownloaded(entry);
        SetSubItem(download_.files, int(i), Texts::FileDone);
        if (i + 1 < updateList_.size()) ScrollToRow(download_.files, int(i + 1));
    }
    // Every listed file has arrived; with none listed, only a manifest fetched by this run
    // makes a finished download (a resumed run's empty list leaves the journal as it is).
    if (updateList_.empty() ? manifestArrived_ : fileComplete_) journal_->CloseSection();
    if (cancelRequested_) return;

    download_.hint->setText(platform::ToUnicode(Texts::DownloadedHint));
    OfferStep(WizardStep::Install);
    if (updateList_.empty()) mainButton_->Click();
}

bool TMainform::HasRoomForDownloads() {
    const std::optional<uint64_t> free = platform::FreeDiskSpace(applicationFolder_ + "Update");
    const int64_t needed = downloadTotal_ + kFreeSpaceMargin;
    if (!free || *free >= uint64_t(needed)) return true;
    LogFailure(applicationFolder_ + "Update",
               "needs " + std::to_string(needed) + " bytes, " + std::to_string(*free) + " free");
    ShowStopped(Texts::DiskFull + SizeText(needed) + Texts::DiskFullFree +
                    SizeText(int64_t(*free)) + Texts::DiskFullTail,
                Texts::RetryButton, true, WizardStep::Download);
    return false;
}

void TMainform::FileDownloadProgress(QObject*, int TotalSize, int Readed) {
    if (Readed == TotalSize) fileComplete_ = true;
    SetSubItem(download_.files, currentDownloadIndex_, SizeText(int64_t(TotalSize) - Readed));
    download_.fileProgress->SetMax(TotalSize);
    download_.fileProgress->SetPosition(Readed);
    download_.fileLabel->setText(platform::ToUnicode(Texts::DownloadingFile + SizeText(Readed) +
                                                     Texts::OfTotal + SizeText(TotalSize) +
                                                     Texts::CloseParen));
    bytesDownloaded_ += Readed - lastProgressCount_;
    download_.totalProgress->SetMax(BarValue(downloadTotal_));
    download_.totalProgress->SetPosition(BarValue(bytesDownloaded_));
    download_.totalLabel->setText(
        platform::ToUnicode(Texts::TotalProgress + SizeText(bytesDownloaded_) + Texts::OfTotal +
                            SizeText(downloadTotal_) + Texts::CloseParen));
    lastProgressCount_ = Readed;
}

void TMainform::FileDownloadDone(QObject*, const AnsiString&, int FileSize) {
    lastProgressCount_ = 0;
    if (FileSize == 0) ShowDownloadFailed(fileDownload_->LastError());
}

void TMainform::FileDownloadError(QObject*) {
    ShowDownloadFailed(fileDownload_->LastError());
}

void TMainform::ShowDownloadFailed(const AnsiString& reason) {
    LogFailure(currentFileName_, reason);
    ShowStopped(Texts::DownloadFailedMessage, Texts::StoppedButton, false,
                WizardStep::VersionCheck);
}
