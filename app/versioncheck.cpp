// Step 0, the version check: asks the server for the latest version and fetches its manifest.
#include <QLabel>
#include <algorithm>

#include "app/mainform.h"
#include "app/notebook.h"
#include "app/texts.h"
#include "core/verification.h"
#include "net/httpget/httpget.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "ui/flat/flatspeedbutton.h"

namespace {

// A version text of this length or more is no version at all, such as an error page.
constexpr size_t kMaxVersionLength = 10;

// The manifest arrives beside its place and replaces the journal only once it is complete
// (and verified): a half-written or forged manifest would become the journal that the next
// start offers to resume.
constexpr const char* kManifestDownload = "Version.ini.download";
constexpr const char* kSignatureDownload = "Version.ini.sig.download";

// [RUN] is the journal's own section: a manifest from the server that carried one would have
// the install step run files already waiting in Update\ that this run never downloaded.
bool WithoutJournal(const AnsiString& manifestPath) {
    TIniFile manifest(manifestPath);
    std::vector<AnsiString> sections;
    auto isJournal = [](const AnsiString& section) { return SameTextIgnoringCase(section, "RUN"); };
    try {
        // Every one of them: with the first gone, a second [RUN] would become the journal.
        for (manifest.SectionNames(sections); std::any_of(sections.begin(), sections.end(), isJournal);
             manifest.SectionNames(sections))
            manifest.RemoveSection("RUN");
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace

AnsiString TMainform::UpdateFolderUrl(const AnsiString& name) const {
    return SetupIni->ReadEntry("CONNECT", "URL", environment_.ServerUrl) + "/" +
           SetupIni->ReadEntry("CONNECT", "Path", "Update") + "/" + name;
}

void TMainform::CheckVersion() {
    Label1->clear();
    Label7->setText(platform::ToUnicode(Texts::CheckingHint));
    Notebook1->SetActivePage("welcome");
    Button1->hide();
    HTTPGet1->URL = UpdateFolderUrl("Version.txt");
    HTTPGet1->GetString();
}

void TMainform::HTTPGet1DoneString(QObject*, const AnsiString& Result) {
    const AnsiString installedVersion = SetupIni->ReadEntry("VERSION", "VERSION", "1.0");
    if (installedVersion == Result) {
        ShowMessagePage({Texts::UpToDateMessage});
        Bitbtn1->SetCaption(Texts::DoneButton);
        Bitbtn1->setEnabled(true);
        Bitbtn2->setEnabled(false);
        Bitbtn1->Tag = 4;
        CancelFlag = true;
    } else if (Result.size() >= kMaxVersionLength) {
        CancelFlag = true;
        LogFailure("Version.txt", "an answer of " + std::to_string(Result.size()) +
                                      " bytes is no version");
        ShowStopped(Texts::VersionUnavailableMessage, Texts::RetryButton, true, 0);
    } else {
        Label7->setText(platform::ToUnicode(Texts::LatestVersionIs + Result));
    }
    if (CancelFlag) return;

    LatestVersion = Result;
    HTTPGet3->URL = UpdateFolderUrl("Version.ini");
    HTTPGet3->FileName = ApplicationFolder + kManifestDownload;
    HTTPGet3->GetFile();
}

void TMainform::HTTPGet1Error(QObject*) {
    LogFailure("Version.txt", HTTPGet1->LastError());
    ShowStopped(Texts::VersionUnavailableMessage, Texts::RetryButton, true, 0);
    CancelFlag = true;
}

void TMainform::HTTPGet3DoneFile(QObject*, const AnsiString&, int) {
    const AnsiString download = ApplicationFolder + kManifestDownload;
    const AnsiString manifest = ApplicationFolder + "Version.ini";
    if (CancelFlag || ProgramEnded()) {
        platform::DeleteFile(download);
    } else {
        if (!ManifestIsAuthentic(download)) {
            platform::DeleteFile(download);
            if (!ProgramEnded())
                ShowManifestFailed(Texts::ManifestUnavailableMessage,
                                   "no valid signature for the latest version's manifest");
            return;
        }
        // The folders first: the earlier journal is replaced only once the step can succeed,
        // or the next start would offer to resume a manifest that never got its folders.
        const bool foldersMade = (SystemFlag != "1" || CreateUpdateFolder("CUpdate")) &&
                                 CreateUpdateFolder("Update");
        if (!foldersMade || !WithoutJournal(download) || !platform::FlushFile(download) ||
            !platform::RenameFile(download, manifest)) {
            const AnsiString reason = platform::ErrorText(download);
            platform::DeleteFile(download);
            if (foldersMade) ShowManifestFailed(Texts::ManifestUnavailableMessage, reason);
            return;
        }
        FileDoneFlag = true;
        if (SystemFlag == "1")
            platform::CopyFile(manifest, ApplicationFolder + "CUpdate\\Version.ini");
    }
    Label1->setText(platform::ToUnicode(Texts::UpdateFoundHint));
    Bitbtn1->Tag = 1;
    Bitbtn1->SetCaption(Texts::NextButton);
    Bitbtn1->setEnabled(true);
}

bool TMainform::ManifestIsAuthentic(const AnsiString& path) {
    if (environment_.ManifestKey.empty()) return true;
    const std::optional<std::string> signature = FetchManifestSignature();
    if (!signature) return false;
    const std::optional<std::string> manifest = platform::ReadWholeFile(path);
    // An old manifest keeps its valid signature for ever; only the version it leads to tells
    // that it is being replayed as the latest.
    return manifest &&
           verification::SignatureIsValid(*manifest, *signature, environment_.ManifestKey) &&
           TIniFile(path).ReadEntry("VERSION", "VERSION") == LatestVersion;
}

std::optional<std::string> TMainform::FetchManifestSignature() {
    const AnsiString target = ApplicationFolder + kSignatureDownload;
    signatureArrived_ = false;
    HTTPGet4->URL = UpdateFolderUrl(verification::kSignatureFileName);
    HTTPGet4->FileName = target;
    HTTPGet4->GetFile();
    std::optional<std::string> signature =
        signatureArrived_ && !ProgramEnded() ? platform::ReadWholeFile(target) : std::nullopt;
    platform::DeleteFile(target);
    return signature;
}

bool TMainform::CreateUpdateFolder(const AnsiString& name) {
    const AnsiString folder = ApplicationFolder + name;
    if (!platform::IsSymbolicLink(folder) &&
        (platform::DirectoryExists(folder) || platform::CreateDirectory(folder)))
        return true;
    ShowManifestFailed(Texts::CannotCreateFolder + folder,
                       platform::IsSymbolicLink(folder) ? folder + " is a symbolic link"
                                                        : platform::ErrorText(folder));
    return false;
}

void TMainform::HTTPGet3Error(QObject*) {
    platform::DeleteFile(ApplicationFolder + kManifestDownload);
    ShowManifestFailed(Texts::ManifestUnavailableMessage, HTTPGet3->LastError());
}

void TMainform::ShowManifestFailed(const AnsiString& message, const AnsiString& reason) {
    LogFailure("Version.ini", reason);
    CancelFlag = true;
    ShowStopped(message, Texts::RetryButton, true, 0);
}
