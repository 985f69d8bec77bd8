// Step 0, the version check: asks the server for the latest version and fetches its manifest.
#include <QLabel>
#include <algorithm>

#include "app/texts.h"
#include "app/window/mainform.h"
#include "app/window/notebook.h"
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
        for (manifest.SectionNames(sections);
             std::any_of(sections.begin(), sections.end(), isJournal);
             manifest.SectionNames(sections))
            manifest.RemoveSection("RUN");
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace

AnsiString TMainform::UpdateFolderUrl(const AnsiString& name) const {
    return setupIni_->ReadEntry("CONNECT", "URL", environment_.ServerUrl) + "/" +
           setupIni_->ReadEntry("CONNECT", "Path", "Update") + "/" + name;
}

void TMainform::CheckVersion() {
    welcome_.status->clear();
    welcome_.hint->setText(platform::ToUnicode(Texts::CheckingHint));
    pages_->SetActivePage("welcome");
    continueButton_->hide();
    versionText_->URL = UpdateFolderUrl("Version.txt");
    versionText_->GetString();
}

void TMainform::VersionTextDone(QObject*, const AnsiString& Result) {
    const AnsiString installedVersion = setupIni_->ReadEntry("VERSION", "VERSION", "1.0");
    if (installedVersion == Result) {
        ShowMessagePage({Texts::UpToDateMessage});
        mainButton_->SetCaption(Texts::DoneButton);
        OfferStep(WizardStep::Close);
        closeButton_->setEnabled(false);
        cancelRequested_ = true;
    } else if (Result.size() >= kMaxVersionLength) {
        cancelRequested_ = true;
        LogFailure("Version.txt",
                   "an answer of " + std::to_string(Result.size()) + " bytes is no version");
        ShowStopped(Texts::VersionUnavailableMessage, Texts::RetryButton, true,
                    WizardStep::VersionCheck);
    } else {
        welcome_.hint->setText(platform::ToUnicode(Texts::LatestVersionIs + Result));
    }
    if (cancelRequested_) return;

    latestVersion_ = Result;
    manifestDownload_->URL = UpdateFolderUrl("Version.ini");
    manifestDownload_->FileName = applicationFolder_ + kManifestDownload;
    manifestDownload_->GetFile();
}

void TMainform::VersionTextError(QObject*) {
    LogFailure("Version.txt", versionText_->LastError());
    ShowStopped(Texts::VersionUnavailableMessage, Texts::RetryButton, true,
                WizardStep::VersionCheck);
    cancelRequested_ = true;
}

void TMainform::ManifestDone(QObject*, const AnsiString&, int64_t) {
    const AnsiString download = applicationFolder_ + kManifestDownload;
    const AnsiString manifest = applicationFolder_ + "Version.ini";
    if (cancelRequested_ || ProgramEnded()) {
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
        const bool foldersMade =
            (systemFlag_ != "1" || CreateUpdateFolder("CUpdate")) && CreateUpdateFolder("Update");
        if (!foldersMade || !WithoutJournal(download) || !platform::FlushFile(download) ||
            !platform::RenameFile(download, manifest)) {
            const AnsiString reason = platform::ErrorText(download);
            platform::DeleteFile(download);
            if (foldersMade) ShowManifestFailed(Texts::ManifestUnavailableMessage, reason);
            return;
        }
        manifestArrived_ = true;
        if (systemFlag_ == "1")
            platform::CopyFile(manifest, applicationFolder_ + "CUpdate\\Version.ini");
    }
    welcome_.status->setText(platform::ToUnicode(Texts::UpdateFoundHint));
    mainButton_->SetCaption(Texts::NextButton);
    OfferStep(WizardStep::List);
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
           TIniFile(path).ReadEntry("VERSION", "VERSION") == latestVersion_;
}

std::optional<std::string> TMainform::FetchManifestSignature() {
    const AnsiString target = applicationFolder_ + kSignatureDownload;
    signatureArrived_ = false;
    signatureDownload_->URL = UpdateFolderUrl(verification::kSignatureFileName);
    signatureDownload_->FileName = target;
    signatureDownload_->GetFile();
    std::optional<std::string> signature =
        signatureArrived_ && !ProgramEnded() ? platform::ReadWholeFile(target) : std::nullopt;
    platform::DeleteFile(target);
    return signature;
}

bool TMainform::CreateUpdateFolder(const AnsiString& name) {
    const AnsiString folder = applicationFolder_ + name;
    if (!platform::IsSymbolicLink(folder) &&
        (platform::DirectoryExists(folder) || platform::CreateDirectory(folder)))
        return true;
    ShowManifestFailed(Texts::CannotCreateFolder + folder, platform::IsSymbolicLink(folder)
                                                               ? folder + " is a symbolic link"
                                                               : platform::ErrorText(folder));
    return false;
}

void TMainform::ManifestError(QObject*) {
    platform::DeleteFile(applicationFolder_ + kManifestDownload);
    ShowManifestFailed(Texts::ManifestUnavailableMessage, manifestDownload_->LastError());
}

void TMainform::ShowManifestFailed(const AnsiString& message, const AnsiString& reason) {
    LogFailure("Version.ini", reason);
    cancelRequested_ = true;
    ShowStopped(message, Texts::RetryButton, true, WizardStep::VersionCheck);
}
