// The download: fetches each listed file into Update\ and journals what arrived, in list order.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <thread>

#include "app/engine/upgradeengine.h"
#include "app/texts.h"
#include "core/delta.h"
#include "core/displaytext.h"
#include "core/manifest.h"
#include "core/updateserver.h"
#include "core/verification.h"
#include "net/httpget/httpget.h"
#include "platform/files.h"

namespace {

// Room kept free beyond what the upgrade writes: the journal's rewrites, and the rest of the
// system, which should not find its disk full.
constexpr int64_t kFreeSpaceMargin = 16 * 1024 * 1024;

// Files that arrived are made durable and journalled together: one wait for the disk and one
// journal write for many small files. A crash costs at most the files of one batch, fetched
// again (or found whole and kept) by the next run.
constexpr size_t kFilesPerJournalWrite = 64;
constexpr qint64 kMillisecondsPerJournalWrite = 1000;

// Files in flight: this many whatever their sizes, and more, up to a transfer for each, while
// the bytes that the running ones fetch stay under the second figure.
constexpr size_t kFilesInFlight = 4;
constexpr int64_t kSmallFilesInFlightBytes = 1 << 20;

}  // namespace

void TUpgradeEngine::DownloadUpdates() {
    face_.DownloadStarted();
    if (!updateList_.empty() && !HasRoomForUpgrade()) return;

    // Files fetched at once: the current one, and the next ones too when the manifest binds
    // every file to its size, so that the room checked for the total holds whatever order
    // they arrive in.
    const bool everySizeListed =
        std::all_of(updateList_.begin(), updateList_.end(), [this](const TJournal::Entry& entry) {
            return journal_->ListedSize(entry.fileName).has_value();
        });
    size_t inFlight = everySizeListed ? fileTransfers_.size() : 1;
    std::vector<bool> started(updateList_.size());
    std::vector<bool> arrived(updateList_.size());
    size_t inOrder = 0;  // every file before this one has arrived
    size_t journaled = 0;
    QElapsedTimer sinceJournaled;
    sinceJournaled.start();
    // A download that stops keeps what arrived before it stopped, in list order.
    auto stop = [&] {
        StopFileTransfers();
        if (inOrder > journaled) JournalArrivals(journaled, inOrder);
    };
    while (journaled < updateList_.size()) {
        const size_t window = std::min(updateList_.size(), inOrder + inFlight);
        size_t next = inOrder;
        for (FileTransfer& transfer : fileTransfers_) {
            while (next < window && (started[next] || arrived[next])) ++next;
            if (cancelRequested_ || next >= window) break;
            if (transfer.running) continue;
            // One at a time means one: a file put back behind fetched-ahead ones waits until
            // they have ended, rather than asking a busy server again and again meanwhile.
            if (inFlight == 1 && AnyFileTransferRunning()) break;
            if (!RoomInFlight(next)) break;
            if (!StartFileTransfer(transfer, next)) return stop();
            started[next] = true;
        }
        // Files that arrived wait at most a batch's time for their journal write, however long
        // the next file takes.
        const qint64 journalDue =
            inOrder > journaled
                ? std::max<qint64>(0, kMillisecondsPerJournalWrite - sinceJournaled.elapsed())
                : -1;
        bool timedOut = false;
        FileTransfer* ended =
            inOrder < updateList_.size() ? WaitForFileTransfer(journalDue, &timedOut) : nullptr;
        if (cancelRequested_ || (!ended && !timedOut && inOrder < updateList_.size())) {
            stop();
            stepRunning_ = false;
            face_.DownloadCancelled();
            return;
        }
        // Even the first file may lose the one connection to a fetched-ahead one that reached
        // the server first.
        if (ended && (ended->index > inOrder || AnyFileTransferRunning()) &&
            FetchAheadWaits(*ended, inFlight)) {
            started[ended->index] = false;
            continue;
        }
        if (ended && patches_[ended->index]) {
            // A patch that does not make the file never fails the upgrade: the file comes whole.
            const size_t index = ended->index;
            if (!ended->complete) {
                FetchWhole(index, ended->download->LastError());
                started[index] = false;
                continue;
            }
            if (!RebuildFromPatch(index, ended->download->FileName)) {
                started[index] = false;
                continue;
            }
            ended->download->FileName =
                applicationFolder_ + *Placed("Update\\" + updateList_[index].fileName);
        }
        if (ended) {
            if (!FileArrivedWhole(*ended)) return stop();
            arrived[ended->index] = true;
            face_.FileDownloaded(ended->index, updateList_.size(), ended->total);
            while (inOrder < updateList_.size() && arrived[inOrder]) ++inOrder;
        }
        // Files join [RUN] in list order, once they and every file before them are in: the
        // install order and the resume rules do not depend on the order of arrival.
        const bool batchDue = inOrder - journaled >= kFilesPerJournalWrite ||
                              sinceJournaled.elapsed() >= kMillisecondsPerJournalWrite ||
                              inOrder == updateList_.size();
        if (inOrder > journaled && batchDue) {
            if (!JournalArrivals(journaled, inOrder)) return StopFileTransfers();
            journaled = inOrder;
            sinceJournaled.restart();
        }
    }
    // Every listed file has arrived; with none listed, only a manifest fetched by this run
    // makes a finished download (a resumed run's empty list leaves the journal as it is).
    if (!updateList_.empty() || manifestArrived_) journal_->CloseSection();
    if (cancelRequested_) return;

    Offer(WizardStep::Install);
    face_.DownloadCompleted();
    if (updateList_.empty()) RunNext();
}

bool TUpgradeEngine::JournalArrivals(size_t first, size_t last) {
    // The journal must not name a copy that a power cut could still empty.
    const AnsiString updateFolder = applicationFolder_ + *Placed("Update");
    if (!platform::FlushFileSystemOf(updateFolder)) {
        currentFileName_ = updateList_[first].fileName;
        ShowDownloadFailed(platform::ErrorText(updateFolder));
        return false;
    }
    journal_->MarkDownloaded({updateList_.begin() + first, updateList_.begin() + last});
    return true;
}

bool TUpgradeEngine::FetchAheadWaits(const FileTransfer& transfer, size_t& inFlight) {
    if (transfer.complete) return false;
    const THTTPGet& download = *transfer.download;
    const int status = download.LastStatus();
    // Silence before the first byte, a refused connection, or a server that says it is busy:
    // a server that serves one connection at a time answers this one only after the earlier
    // one. It gets one at a time from here on, and this file comes again in its turn.
    switch (download.LastOutcome()) {
        case THTTPGet::Outcome::Unreachable:
        case THTTPGet::Outcome::NoBody:
            break;
        case THTTPGet::Outcome::HttpStatus:
            if (status == 429 || status == 503) break;
            return false;
        default:
            return false;
    }
    if (inFlight > 1)
        LogFailure(updateList_[transfer.index].fileName,
                   download.LastError() + "; fetching one file at a time from here on");
    inFlight = 1;
    return true;
}

bool TUpgradeEngine::AnyFileTransferRunning() const {
    return std::any_of(fileTransfers_.begin(), fileTransfers_.end(),
                       [](const FileTransfer& transfer) { return transfer.running; });
}

bool TUpgradeEngine::RoomInFlight(size_t index) const {
    // What a file's transfer fetches: its patch, or the file as the manifest lists it.
    auto fetches = [this](size_t file) {
        return patches_[file] ? patches_[file]->size
                              : journal_->ListedSize(updateList_[file].fileName).value_or(0);
    };
    size_t running = 0;
    int64_t bytes = fetches(index);
    for (const FileTransfer& transfer : fileTransfers_) {
        if (!transfer.running) continue;
        ++running;
        bytes += fetches(transfer.index);
    }
    return running < kFilesInFlight || bytes <= kSmallFilesInFlightBytes;
}

bool TUpgradeEngine::StartFileTransfer(FileTransfer& transfer, size_t index) {
    const TJournal::Entry& entry = updateList_[index];
    currentFileName_ = entry.fileName;
    if (!entry.safe) {
        ShowNameRefused(entry.fileName);
        return false;
    }
    // A patch lands under its own name, inside Update\'s patch folder; the file is rebuilt
    // from it beside.
    const std::optional<delta::Patch>& patch = patches_[index];
    const AnsiString& fetched = patch ? patch->name : entry.fileName;
    const std::optional<AnsiString> target = Placed("Update\\" + fetched);
    if (!target) return false;
    // The folder of downloads is the updater's own: it is not written through a link.
    if (!platform::CreateFoldersFor(applicationFolder_, *target)) {
        ShowDownloadFailed(platform::ErrorText(applicationFolder_ + *target));
        return false;
    }
    // A rebuild that a crash ended leaves its bytes beside the file, and a file that now comes
    // whole never writes that name again.
    if (!patch && journal_->OffersPatches(entry.fileName))
        platform::DiscardUnfinishedReplacement(applicationFolder_ + *target);
    THTTPGet& download = *transfer.download;
    // The request names the file as the publisher wrote it; the copy lands where the installed
    // spelling of its folders puts it.
    download.URL = UpdateFolderUrl(UrlPathOf(fetched));
    download.FileName = applicationFolder_ + *target;
    // A listed size binds the body exactly; any other body is bound by its own Content-Length
    // and, like every body, by the room that the disk has.
    const std::optional<int64_t> listed = journal_->ListedSize(fetched);
    // Asked of the copy's folder, made above: the copy itself does not exist yet.
    const std::optional<uint64_t> free =
        platform::FreeDiskSpace(applicationFolder_ + target->substr(0, target->rfind('\\')));
    download.ExpectedSize = listed ? *listed : -1;
    download.MaxSize = free ? std::max<int64_t>(1, int64_t(*free) - kFreeSpaceMargin) : 0;
    // A partial copy may be continued on a date alone only when a digest checks the whole.
    download.ContinueOnWeakValidator = !journal_->Digests(fetched).empty();
    transfer = FileTransfer{&download, index, /*running=*/true};
    face_.FileTransferStarted(index);
    download.GetFile();
    return true;
}

TUpgradeEngine::FileTransfer* TUpgradeEngine::WaitForFileTransfer(qint64 timeoutMs,
                                                                  bool* timedOut) {
    QTimer deadline;
    deadline.setSingleShot(true);
    if (timeoutMs >= 0) deadline.start(int(timeoutMs));
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
        if (timeoutMs >= 0 && !deadline.isActive()) {
            *timedOut = true;
            return nullptr;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

bool TUpgradeEngine::FileArrivedWhole(const FileTransfer& transfer) {
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
    return true;
}

void TUpgradeEngine::StopFileTransfers() {
    for (FileTransfer& transfer : fileTransfers_) transfer.download->Abort();
    // What the stopped transfers leave stays beside its name, to be continued by a later
    // download; files that arrived whole but were not journaled are fetched again.
    for (FileTransfer& transfer : fileTransfers_)
        while (transfer.download->Busy())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    for (FileTransfer& transfer : fileTransfers_) transfer.running = false;
}

bool TUpgradeEngine::HasRoomForUpgrade() {
    // The downloads land in Update\ (a patch and the file it rebuilds beside it), the install
    // writes each copy beside its target before it replaces the old file, and CUpdate\ keeps
    // one more copy: all on the file system of the application folder as the product installs
    // it.
    const int64_t copies = BackupFolder() ? 3 : 2;
    const std::optional<AnsiString> updateFolder = Placed("Update");
    if (!updateFolder) return false;
    const std::optional<uint64_t> free =
        platform::FreeDiskSpace(applicationFolder_ + *updateFolder);
    int64_t patches = 0;
    for (size_t i = 0; i < patches_.size(); ++i)
        if (patches_[i]) patches += patches_[i]->size;
    const int64_t files = downloadTotal_ - patches + patchedFileBytes_;
    const int64_t needed = patches + copies * files + kFreeSpaceMargin;
    if (!free || *free >= uint64_t(needed)) return true;
    Stop({.message = Texts::DiskFull + SizeText(needed) + Texts::DiskFullFree +
                     SizeText(int64_t(*free)) + Texts::DiskFullTail,
          .file = applicationFolder_ + *updateFolder,
          .reason = "needs " + std::to_string(needed) + " bytes (" + std::to_string(copies) +
                    " copies of " + std::to_string(files) + " bytes of files, " +
                    std::to_string(patches) + " of patches and a margin), " +
                    std::to_string(*free) + " free",
          .next = WizardStep::Download});
    return false;
}

bool TUpgradeEngine::RebuildFromPatch(size_t index, const AnsiString& patchPath) {
    const TJournal::Entry& entry = updateList_[index];
    const delta::Patch patch = *patches_[index];
    std::optional<AnsiString> failure;
    if (verification::CheckFile(journal_->Digests(patch.name), patchPath) ==
        verification::FileCheck::Fails)
        failure = "its SHA-256 is not the one the manifest lists";
    const std::optional<AnsiString> base = Placed(entry.InstalledName());
    const std::optional<AnsiString> rebuilt = Placed("Update\\" + entry.fileName);
    if (!base || !rebuilt) return false;
    if (!failure && !platform::CreateFoldersFor(applicationFolder_, *rebuilt))
        failure = platform::ErrorText(applicationFolder_ + *rebuilt);
    if (!failure) {
        const delta::RebuildTarget target{applicationFolder_ + *rebuilt,
                                          *journal_->ListedSize(entry.fileName),
                                          journal_->Digests(entry.fileName)};
        delta::Rebuilt outcome;
        RunOffTheGuiThread(
            [&] { outcome = delta::Rebuild(applicationFolder_ + *base, patchPath, target); });
        if (!outcome) failure = outcome.failure;
    }
    platform::DeleteFile(patchPath);
    if (failure) {
        FetchWhole(index, *failure);
        return false;
    }
    names_->Created(*rebuilt);
    return true;
}

void TUpgradeEngine::FetchWhole(size_t index, const AnsiString& reason) {
    const delta::Patch patch = *patches_[index];
    const AnsiString& fileName = updateList_[index].fileName;
    LogFailure(patch.name, reason + "; " + fileName + " is fetched whole instead");
    const int64_t size = journal_->ListedSize(fileName).value_or(0);
    patches_[index].reset();
    patchedFileBytes_ -= size;
    downloadTotal_ += size - patch.size;
    if (index < updateSizes_.size()) updateSizes_[index] = size;
}

void TUpgradeEngine::RunOffTheGuiThread(const std::function<void()>& work) {
    std::atomic<bool> done = false;
    std::thread worker([&] {
        work();
        done = true;
        // Wakes the loop below, which sleeps until an event arrives.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    worker.join();
}

TUpgradeEngine::FileTransfer& TUpgradeEngine::TransferOf(QObject* download) {
    return *std::find_if(fileTransfers_.begin(), fileTransfers_.end(),
                         [download](const FileTransfer& t) { return t.download == download; });
}

void TUpgradeEngine::FileDownloadProgress(QObject* Sender, int64_t TotalSize, int64_t Readed) {
    FileTransfer& transfer = TransferOf(Sender);
    if (Readed == TotalSize) transfer.complete = true;
    bytesDownloaded_ += Readed - transfer.counted;
    transfer.counted = Readed;
    transfer.total = TotalSize;
    // The page follows the first file that is moving; one whose server has not answered yet
    // (a server that serves one connection at a time) shows in its row only.
    const FileTransfer* current = nullptr;
    for (const FileTransfer& other : fileTransfers_)
        if (other.running && !other.ended && other.total > 0 &&
            (!current || other.index < current->index))
            current = &other;
    if (!current) current = &transfer;
    face_.DownloadProgressed({.row = transfer.index,
                              .rowRemaining = TotalSize - Readed,
                              .currentRow = current->index,
                              .currentReceived = current->counted,
                              .currentTotal = current->total,
                              .totalReceived = bytesDownloaded_,
                              .total = downloadTotal_});
}

void TUpgradeEngine::FileDownloadDone(QObject* Sender, const AnsiString&, int64_t FileSize) {
    FileTransfer& transfer = TransferOf(Sender);
    transfer.ended = true;
    // A file of size 0 counts as failed: it stands for a server that could not be reached.
    if (FileSize == 0) transfer.complete = false;
}

void TUpgradeEngine::FileDownloadError(QObject* Sender) {
    FileTransfer& transfer = TransferOf(Sender);
    transfer.ended = true;
    transfer.complete = false;
}
