// Step 2, the download: fetches each listed file into Update\ and journals it as it arrives.
#include <QCoreApplication>
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

    // Files fetched at once: the current one, and the next ones too when the manifest binds
    // every file to its size, so that the room checked for the total holds whatever order
    // they arrive in.
    const bool everySizeListed =
        std::all_of(updateList_.begin(), updateList_.end(), [this](const TJournal::Entry& entry) {
            return journal_->ListedSize(entry.fileName).has_value();
        });
    const size_t inFlight = everySizeListed ? fileTransfers_.size() : 1;
    std::vector<bool> arrived(updateList_.size());
    size_t nextToStart = 0;
    for (size_t journaled = 0; journaled < updateList_.size();) {
        for (FileTransfer& transfer : fileTransfers_) {
            if (cancelRequested_ ||
                nextToStart >= std::min(updateList_.size(), journaled + inFlight))
                break;
            if (transfer.running) continue;
            if (!StartFileTransfer(transfer, nextToStart)) return StopFileTransfers();
            ++nextToStart;
        }
        FileTransfer* ended = WaitForFileTransfer();
        if (cancelRequested_ || !ended) {
            StopFileTransfers();
            EndProgram();
            return;
        }
        if (!FileArrivedWhole(*ended)) return StopFileTransfers();
        arrived[ended->index] = true;
        // Each file joins [RUN] in list order, once it and every file before it are in: the
        // install order and the resume rules do not depend on the order of arrival. One write
        // each: a crash leaves an entry in the section or in [RUN], never in both.
        for (; journaled < updateList_.size() && arrived[journaled]; ++journaled) {
            journal_->MarkDownloaded(updateList_[journaled]);
            SetSubItem(download_.files, int(journaled), Texts::FileDone);
            if (journaled + 1 < updateList_.size())
                ScrollToRow(download_.files, int(journaled + 1));
        }
    }
    // Every listed file has arrived; with none listed, only a manifest fetched by this run
    // makes a finished download (a resumed run's empty list leaves the journal as it is).
    if (!updateList_.empty() || manifestArrived_) journal_->CloseSection();
    if (cancelRequested_) return;

    download_.hint->setText(platform::ToUnicode(Texts::DownloadedHint));
    OfferStep(WizardStep::Install);
    if (updateList_.empty()) mainButton_->Click();
}

bool TMainform::StartFileTransfer(FileTransfer& transfer, size_t index) {
    const TJournal::Entry& entry = updateList_[index];
    currentFileName_ = entry.fileName;
    if (!entry.safe) {
        ShowNameRefused(entry.fileName);
        return false;
    }
    const AnsiString updateFolder = applicationFolder_ + "Update\\";
    // The folder of downloads is the updater's own: it is not written through a link.
    if (platform::IsSymbolicLink(applicationFolder_ + "Update") ||
        !platform::CreateFoldersFor(updateFolder, entry.fileName)) {
        ShowDownloadFailed(platform::IsSymbolicLink(applicationFolder_ + "Update")
                               ? updateFolder + " is a symbolic link"
                               : platform::ErrorText(updateFolder + entry.fileName));
        return false;
    }
    THTTPGet& download = *transfer.download;
    download.URL = UpdateFolderUrl(UrlPathOf(entry.fileName));
    download.FileName = updateFolder + entry.fileName;
    // A listed size binds the body exactly. A server that goes on past the size it announced
    // cannot fill the disk; a file whose size was not announced shares the margin of room
    // that was checked beyond the total.
    const std::optional<int64_t> listed = journal_->ListedSize(entry.fileName);
    const int64_t announced = index < updateSizes_.size() ? updateSizes_[index] : 0;
    download.ExpectedSize = listed ? *listed : -1;
    download.MaxSize = announced > 0 ? announced : kFreeSpaceMargin;
    transfer = FileTransfer{&download, index, /*running=*/true};
    download.GetFile();
    return true;
}

TMainform::FileTransfer* TMainform::WaitForFileTransfer() {
    for (;;) {
        bool anyRunning = false;
        for (FileTransfer& transfer : fileTransfers_) {
            if (!transfer.running) continue;
            anyRunning = true;
            if (!transfer.ended) continue;
            transfer.running = false;
            return &transfer;
        }
        if (!anyRunning) return nullptr;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

bool TMainform::FileArrivedWhole(const FileTransfer& transfer) {
    const AnsiString& path = transfer.download->FileName;
    currentFileName_ = updateList_[transfer.index].fileName;
    if (!transfer.complete) {
        ShowDownloadFailed(transfer.download->LastError());
        return false;
    }
    // A copy that is not what the publisher made is not kept: the install step must never
    // find it, and the next try fetches it anew.
    if (verification::CheckFile(journal_->Digests(currentFileName_), path) ==
        verification::FileCheck::Fails) {
        platform::DeleteFile(path);
        ShowDownloadFailed("its SHA-256 is not the one the manifest lists");
        return false;
    }
    // The journal must not name a copy that a power cut could still empty.
    if (!platform::FlushFile(path)) {
        ShowDownloadFailed(platform::ErrorText(path));
        return false;
    }
    return true;
}

void TMainform::StopFileTransfers() {
    for (FileTransfer& transfer : fileTransfers_) transfer.download->Abort();
    // What the stopped transfers leave stays beside its name, to be continued by a later
    // download; files that arrived whole but were not journaled are fetched again.
    for (FileTransfer& transfer : fileTransfers_)
        while (transfer.download->Busy())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    for (FileTransfer& transfer : fileTransfers_) transfer.running = false;
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

TMainform::FileTransfer& TMainform::TransferOf(QObject* download) {
    return *std::find_if(fileTransfers_.begin(), fileTransfers_.end(),
                         [download](const FileTransfer& t) { return t.download == download; });
}

void TMainform::FileDownloadProgress(QObject* Sender, int64_t TotalSize, int64_t Readed) {
    FileTransfer& transfer = TransferOf(Sender);
    if (Readed == TotalSize) transfer.complete = true;
    SetSubItem(download_.files, int(transfer.index), SizeText(int64_t(TotalSize) - Readed));
    bytesDownloaded_ += Readed - transfer.counted;
    transfer.counted = Readed;
    transfer.total = TotalSize;
    // The page follows the lowest file still on its way; the others show in their rows and
    // in the total.
    const FileTransfer* current = &transfer;
    for (const FileTransfer& other : fileTransfers_)
        if (other.running && !other.ended && other.index < current->index) current = &other;
    download_.fileProgress->SetMax(current->total);
    download_.fileProgress->SetPosition(current->counted);
    download_.fileLabel->setText(platform::ToUnicode(
        Texts::DownloadingFile + SizeText(int64_t(current->counted)) + Texts::OfTotal +
        SizeText(int64_t(current->total)) + Texts::CloseParen));
    download_.totalProgress->SetMax(BarValue(downloadTotal_));
    download_.totalProgress->SetPosition(BarValue(bytesDownloaded_));
    download_.totalLabel->setText(
        platform::ToUnicode(Texts::TotalProgress + SizeText(bytesDownloaded_) + Texts::OfTotal +
                            SizeText(downloadTotal_) + Texts::CloseParen));
}

void TMainform::FileDownloadDone(QObject* Sender, const AnsiString&, int64_t FileSize) {
    FileTransfer& transfer = TransferOf(Sender);
    transfer.ended = true;
    // A file of size 0 counts as failed: it stands for a server that could not be reached.
    if (FileSize == 0) transfer.complete = false;
}

void TMainform::FileDownloadError(QObject* Sender) {
    FileTransfer& transfer = TransferOf(Sender);
    transfer.ended = true;
    transfer.complete = false;
}

void TMainform::ShowDownloadFailed(const AnsiString& reason) {
    LogFailure(currentFileName_, reason);
    ShowStopped(Texts::DownloadFailedMessage, Texts::StoppedButton, false,
                WizardStep::VersionCheck);
}
