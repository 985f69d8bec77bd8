// Step 1, the update list: the manifest's files for the installed version and newer
// components, each with the size the server announces.
#include <QLabel>
#include <QTreeWidget>
#include <charconv>

#include "app/texts.h"
#include "app/window/listrows.h"
#include "app/window/mainform.h"
#include "app/window/notebook.h"
#include "core/displaytext.h"
#include "core/manifest.h"
#include "core/updateserver.h"
#include "net/sock/nmhttp.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "ui/flat/flatprogressbar.h"
#include "ui/flat/flatspeedbutton.h"

namespace {

int64_t SizeOf(const AnsiString& sizeText) {
    int64_t size = 0;
    std::from_chars(sizeText.data(), sizeText.data() + sizeText.size(), size);
    return size;
}

}  // namespace

AnsiString TMainform::QuerySize(const AnsiString& fileName) {
    sizeQueryRunning_ = true;
    try {
        sizeQuery_->Head(environment_.ServerUrl + "/Update/" + UrlPathOf(fileName));
    } catch (const std::exception& error) {
        sizeQueryRunning_ = false;
        LogFailure(fileName, error.what());
        ShowStopped(Texts::VersionUnavailableMessage, Texts::RetryButton, true,
                    WizardStep::VersionCheck);
        cancelRequested_ = true;
        return "0";
    }
    sizeQueryRunning_ = false;
    return SizeFromHeader(sizeQuery_->Header);
}

std::optional<AnsiString> TMainform::SizeOfFile(const AnsiString& fileName) {
    std::optional<int64_t> listed;
    try {
        listed = journal_->ListedSize(fileName);
    } catch (const std::exception& error) {
        ShowManifestFailed(Texts::ManifestUnavailableMessage, error.what());
        return std::nullopt;
    }
    return listed ? std::to_string(*listed) : QuerySize(fileName);
}

void TMainform::ListUpdates() {
    list_.files->clear();
    pages_->SetActivePage("INDEX");
    journal_ = std::make_unique<TJournal>(applicationFolder_ + "Version.ini",
                                          setupIni_->ReadEntry("VERSION", "VERSION", "1.0"));
    updateList_.assign(journal_->ToDownload().begin(), journal_->ToDownload().end());
    updateSizes_.clear();
    downloadTotal_ = bytesDownloaded_ = 0;
    plugInCount_ = 0;
    if (!ListSectionFiles()) return;
    list_.hint->clear();
    if (!ListNewerComponents()) return;

    CompleteRows(list_.files);
    list_.hint->setText(platform::ToUnicode(Texts::ListedHint));
    OfferStep(WizardStep::Download);
    if (updateList_.empty()) mainButton_->Click();
}

void TMainform::ShowListProgress(size_t position) {
    list_.progress->SetMax(int(updateList_.size() + componentFiles_.size()));
    list_.progress->SetPosition(int(position));
}

void TMainform::AddListRow(const AnsiString& name, const AnsiString& size) {
    AddRow(list_.files, name, icons_.waiting, SizeText(size));
    ScrollToRow(list_.files, int(updateSizes_.size()));
    updateSizes_.push_back(SizeOf(size));
    downloadTotal_ += SizeOf(size);
}

bool TMainform::ListSectionFiles() {
    for (size_t i = 0; i < updateList_.size(); ++i) {
        if (cancelRequested_) return false;
        currentFileName_ = updateList_[i].fileName;
        // Checked before anything is asked for the name: "..\x" must not even reach the server.
        if (!updateList_[i].safe) {
            ShowNameRefused(currentFileName_);
            return false;
        }
        const std::optional<AnsiString> size = SizeOfFile(currentFileName_);
        if (!size || cancelRequested_) return false;
        AddListRow(currentFileName_, *size);
        ShowListProgress(i + 1);
        list_.count->setText(platform::ToUnicode(Texts::ListingProgress + std::to_string(i + 1) +
                                                 Texts::ListingFilesOf + SizeText(downloadTotal_)));
    }
    return true;
}

bool TMainform::ListNewerComponents() {
    for (size_t j = 0; j < componentFiles_.size(); ++j) {
        const AnsiString& name = componentFiles_[j];
        if (platform::FileExists(applicationFolder_ + name)) {
            const AnsiString serverDate = journal_->ComponentDate(name);
            const AnsiString localDate = FileDateText(applicationFolder_ + name);
            if (!serverDate.empty() && DateFromText(serverDate) > DateFromText(localDate)) {
                if (cancelRequested_) return false;
                const std::optional<AnsiString> size = SizeOfFile(name);
                if (!size || ProgramEnded()) return false;
                if (*size == "0") {
                    journal_->DropComponent(name);
                } else {
                    AddListRow(name, *size);
                    ++plugInCount_;
                    updateList_.push_back(journal_->AppendComponent(name));
                    list_.count->setText(platform::ToUnicode(
                        Texts::ListingProgress + std::to_string(updateList_.size()) +
                        Texts::ListingPlugIns + std::to_string(plugInCount_) +
                        Texts::ListingFilesOf + SizeText(downloadTotal_)));
                }
            }
        }
        ShowListProgress(updateList_.size() + j + 1);
    }
    return !cancelRequested_;
}
