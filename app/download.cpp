// Step 2, the download: fetches each listed file into Update\ and journals it as it arrives.
#include <QLabel>
#include <algorithm>
#include <climits>

#include "core/displaytext.h"
#include "app/listrows.h"
#include "app/mainform.h"
#include "core/manifest.h"
#include "app/notebook.h"
#include "app/texts.h"
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
    Label21->clear();
    CopyRows(*ListView2, ListView3);
    Notebook1->SetActivePage("Download");
    if (!UpdateList.empty() && !HasRoomForDownloads()) return;

    for (size_t i = 0; i < UpdateList.size(); ++i) {
        if (CancelFlag) return;
        CurrentDownloadIndex = int(i);
        FileDoneFlag = false;
        const TJournal::Entry& entry = UpdateList[i];
        CurrentFileName = entry.fileName;
        if (!entry.safe) {
            ShowNameRefused(CurrentFileName);
            return;
        }
        const AnsiString updateFolder = ApplicationFolder + "Update\\";
        // The folder of downloads is the updater's own: it is not written through a link.
        if (platform::IsSymbolicLink(ApplicationFolder + "Update") ||
            !platform::CreateFoldersFor(updateFolder, CurrentFileName)) {
            ShowDownloadFailed(platform::IsSymbolicLink(ApplicationFolder + "Update")
                                   ? updateFolder + " is a symbolic link"
                                   : platform::ErrorText(updateFolder + CurrentFileName));
            return;
        }
        HTTPGet2->URL = UpdateFolderUrl(UrlPathOf(CurrentFileName));
        HTTPGet2->FileName = updateFolder + CurrentFileName;
        // A server that goes on past the size it announced cannot fill the disk; a file whose
        // size was not announced shares the margin of room that was checked beyond the total.
        const int64_t announced = i < UpdateSizes.size() ? UpdateSizes[i] : 0;
        HTTPGet2->MaxSize = announced > 0 ? announced : kFreeSpaceMargin;
        HTTPGet2->GetFile();
        // Whatever a failed or cancelled transfer left is no copy of the file: it would only
        // take room, and the next try fetches the file anew.
        if (CancelFlag || !FileDoneFlag) platform::DeleteFile(HTTPGet2->FileName);
        if (CancelFlag) EndProgram();
        if (!FileDoneFlag) return;
        // A copy that is not what the publisher made is not kept: the install step must
        // never find it, and the next try fetches it anew.
        if (verification::CheckFile(Journal->Digests(CurrentFileName), HTTPGet2->FileName) ==
            verification::FileCheck::Fails) {
            platform::DeleteFile(HTTPGet2->FileName);
            ShowDownloadFailed("its SHA-256 is not the one the manifest lists");
            return;
        }
        // The journal must not name a copy that a power cut could still empty.
        if (!platform::FlushFile(HTTPGet2->FileName)) {
            ShowDownloadFailed(platform::ErrorText(HTTPGet2->FileName));
            return;
        }

        // One write: a crash leaves the entry in the section or in [RUN], never in both.
        Journal->MarkDownloaded(entry);
        SetSubItem(ListView3, int(i), Texts::FileDone);
        if (i + 1 < UpdateList.size()) ScrollToRow(ListView3, int(i + 1));
    }
    if (FileDoneFlag) Journal->CloseSection();
    if (CancelFlag) return;

    Label21->setText(platform::ToUnicode(Texts::DownloadedHint));
    Bitbtn1->Tag = 3;
    Bitbtn1->setEnabled(true);
    if (UpdateList.empty()) Bitbtn1->Click();
}

bool TMainform::HasRoomForDownloads() {
    const std::optional<uint64_t> free = platform::FreeDiskSpace(ApplicationFolder + "Update");
    const int64_t needed = DownloadTotal + kFreeSpaceMargin;
    if (!free || *free >= uint64_t(needed)) return true;
    LogFailure(ApplicationFolder + "Update", "needs " + std::to_string(needed) + " bytes, " +
                                                 std::to_string(*free) + " free");
    ShowStopped(Texts::DiskFull + SizeText(needed) + Texts::DiskFullFree + SizeText(int64_t(*free)) +
                    Texts::DiskFullTail,
                Texts::RetryButton, true, 2);
    return false;
}

void TMainform::HTTPGet2Progress(QObject*, int TotalSize, int Readed) {
    if (Readed == TotalSize) FileDoneFlag = true;
    SetSubItem(ListView3, CurrentDownloadIndex, SizeText(int64_t(TotalSize) - Readed));
    FlatProgressBar2->SetMax(TotalSize);
    FlatProgressBar2->SetPosition(Readed);
    Label17->setText(platform::ToUnicode(Texts::DownloadingFile + SizeText(Readed) +
                                         Texts::OfTotal + SizeText(TotalSize) + Texts::CloseParen));
    BytesDownloaded += Readed - LastProgressCount;
    FlatProgressBar4->SetMax(BarValue(DownloadTotal));
    FlatProgressBar4->SetPosition(BarValue(BytesDownloaded));
    Label18->setText(platform::ToUnicode(Texts::TotalProgress + SizeText(BytesDownloaded) +
                                         Texts::OfTotal + SizeText(DownloadTotal) +
                                         Texts::CloseParen));
    LastProgressCount = Readed;
}

void TMainform::HTTPGet2DoneFile(QObject*, const AnsiString&, int FileSize) {
    LastProgressCount = 0;
    if (FileSize == 0) ShowDownloadFailed(HTTPGet2->LastError());
}

void TMainform::HTTPGet2Error(QObject*) {
    ShowDownloadFailed(HTTPGet2->LastError());
}

void TMainform::ShowDownloadFailed(const AnsiString& reason) {
    LogFailure(CurrentFileName, reason);
    ShowStopped(Texts::DownloadFailedMessage, Texts::StoppedButton, false, 0);
}
