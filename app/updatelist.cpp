// Step 1, the update list: the manifest's files for the installed version and newer
// components, each with the size the server announces.
#include <QLabel>
#include <QTreeWidget>
#include <charconv>

#include "core/displaytext.h"
#include "app/listrows.h"
#include "app/mainform.h"
#include "core/manifest.h"
#include "app/notebook.h"
#include "app/texts.h"
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
        NMHTTP1->Head(environment_.ServerUrl + "/Update/" + UrlPathOf(fileName));
    } catch (const std::exception& error) {
        sizeQueryRunning_ = false;
        LogFailure(fileName, error.what());
        ShowStopped(Texts::VersionUnavailableMessage, Texts::RetryButton, true, 0);
        CancelFlag = true;
        return "0";
    }
    sizeQueryRunning_ = false;
    return SizeFromHeader(NMHTTP1->Header);
}

void TMainform::ListUpdates() {
    ListView2->clear();
    Notebook1->SetActivePage("INDEX");
    InstalledVersion = SetupIni->ReadEntry("VERSION", "VERSION", "1.0");
    Journal = std::make_unique<TJournal>(ApplicationFolder + "Version.ini", InstalledVersion);
    UpdateList.assign(Journal->ToDownload().begin(), Journal->ToDownload().end());
    UpdateSizes.clear();
    DownloadTotal = BytesDownloaded = LastProgressCount = 0;
    PlugInCount = 0;

    auto showProgress = [this](size_t position) {
        FlatProgressBar1->SetMax(int(UpdateList.size() + ComponentFiles.size()));
        FlatProgressBar1->SetPosition(int(position));
    };

    const size_t listed = UpdateList.size();
    for (size_t i = 0; i < listed; ++i) {
        if (CancelFlag) return;
        CurrentFileName = UpdateList[i].fileName;
        // Checked before anything is asked for the name: "..\x" must not even reach the server.
        if (!UpdateList[i].safe) {
            ShowNameRefused(CurrentFileName);
            return;
        }
        const AnsiString size = QuerySize(CurrentFileName);
        if (CancelFlag) return;
        AddRow(ListView2, CurrentFileName, ImageList1[0], SizeText(size));
        ScrollToRow(ListView2, int(i));
        UpdateSizes.push_back(SizeOf(size));
        DownloadTotal += SizeOf(size);
        showProgress(i + 1);
        Label19->setText(platform::ToUnicode(Texts::ListingProgress + std::to_string(i + 1) +
                                             Texts::ListingFilesOf + SizeText(DownloadTotal)));
    }
    Label2->clear();

    // Components whose build on the server is newer than the installed file join the list.
    for (size_t j = 0; j < ComponentFiles.size(); ++j) {
        const AnsiString& name = ComponentFiles[j];
        if (platform::FileExists(ApplicationFolder + name)) {
            const AnsiString serverDate = Journal->ComponentDate(name);
            const AnsiString localDate = FileDateText(ApplicationFolder + name);
            if (!serverDate.empty() && DateFromText(serverDate) > DateFromText(localDate)) {
                if (CancelFlag) return;
                const AnsiString size = QuerySize(name);
                if (ProgramEnded()) return;
                if (size == "0") {
                    Journal->DropComponent(name);
                } else {
                    AddRow(ListView2, name, ImageList1[0], SizeText(size));
                    ScrollToRow(ListView2, int(UpdateList.size()));
                    UpdateSizes.push_back(SizeOf(size));
                    DownloadTotal += SizeOf(size);
                    ++PlugInCount;
                    UpdateList.push_back(Journal->AppendComponent(name));
                    Label19->setText(platform::ToUnicode(
                        Texts::ListingProgress + std::to_string(UpdateList.size()) +
                        Texts::ListingPlugIns + std::to_string(PlugInCount) +
                        Texts::ListingFilesOf + SizeText(DownloadTotal)));
                }
            }
        }
        showProgress(UpdateList.size() + j + 1);
    }
    if (CancelFlag) return;

    CompleteRows(ListView2);
    Label2->setText(platform::ToUnicode(Texts::ListedHint));
    Bitbtn1->Tag = 2;
    Bitbtn1->setEnabled(true);
    if (UpdateList.empty()) Bitbtn1->Click();
}
