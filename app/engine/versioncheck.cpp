// Step 0, the version check: asks the server for the latest version and fetches its manifest.
#include <algorithm>

#include "app/engine/upgradeengine.h"
#include "app/texts.h"
#include "core/freshness.h"
#include "core/keyrotation.h"
#include "core/rollout.h"
#include "core/updaterstate.h"
#include "core/updatetrust.h"
#include "core/verification.h"
#include "net/httpget/httpget.h"
#include "platform/files.h"

namespace {

// A version text of this length or more is no version at all, such as an error page.
constexpr size_t kMaxVersionLength = 10;

// The manifest arrives beside its place and replaces the journal only once it is complete
// (and verified): a half-written or forged manifest would become the journal that the next
// start offers to resume.
constexpr const char* kManifestDownload = "Version.ini.download";
// What the small files published beside the manifest are fetched as: the name + this.
constexpr const char* kDownloadSuffix = ".download";

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

AnsiString TUpgradeEngine::UpdateFolderUrl(const AnsiString& name) const {
    return setupIni_->ReadEntry("CONNECT", "URL", settings_.ServerUrl) + "/" +
           setupIni_->ReadEntry("CONNECT", "Path", "Update") + "/" + name;
}

void TUpgradeEngine::CheckVersion() {
    face_.VersionCheckStarted();
    versionText_->URL = UpdateFolderUrl("Version.txt");
    versionText_->GetString();
}

void TUpgradeEngine::VersionTextDone(QObject*, const AnsiString& Result) {
    // With keys, no answer is believed, not even "the latest", before a fresh statement
    // vouches for it.
    if (!settings_.ManifestKey.empty() && !AcceptFreshness(Result)) return;
    if (InstalledVersion() == Result) {
        Offer(WizardStep::Close);
        cancelRequested_ = true;
        face_.UpToDate();
    } else if (Result.size() >= kMaxVersionLength) {
        cancelRequested_ = true;
        Stop({.message = Texts::VersionUnavailableMessage,
              .file = "Version.txt",
              .reason = "an answer of " + std::to_string(Result.size()) + " bytes is no version"});
    } else {
        face_.LatestVersionAnnounced(Result);
    }
    if (cancelRequested_) return;

    latestVersion_ = Result;
    // Every step from here on writes into the application folder; a folder the updater may not
    // write is said so now, not taken for a network that failed.
    if (!platform::CanCreateFilesIn(applicationFolder_)) {
        ShowManifestFailed(
            Texts::FolderNotWritable + applicationFolder_ + Texts::FolderNotWritableTail,
            platform::ErrorText(applicationFolder_));
        return;
    }
    manifestDownload_->URL = UpdateFolderUrl("Version.ini");
    manifestDownload_->FileName = applicationFolder_ + kManifestDownload;
    manifestDownload_->GetFile();
}

void TUpgradeEngine::VersionTextError(QObject*) {
    Stop({.message = Texts::VersionUnavailableMessage,
          .file = "Version.txt",
          .reason = versionText_->LastError()});
    cancelRequested_ = true;
}

void TUpgradeEngine::ManifestDone(QObject*, const AnsiString&, int64_t) {
    const AnsiString download = applicationFolder_ + kManifestDownload;
    const AnsiString manifest = applicationFolder_ + "Version.ini";
    if (cancelRequested_ || shutdown_) {
        platform::DeleteFile(download);
    } else {
        if (const std::optional<AnsiString> refusal = ManifestRefusal(download)) {
            platform::DeleteFile(download);
            if (!shutdown_) ShowManifestFailed(Texts::ManifestUnavailableMessage, *refusal);
            return;
        }
        // Before anything it lists is fetched: the release may not be offered here yet.
        if (!settings_.IgnoreRollout && !OfferedByRollout(download)) {
            platform::DeleteFile(download);
            return;
        }
        if (checkOnly_) {
            platform::DeleteFile(download);
            stepRunning_ = false;
            face_.UpdateAvailable(latestVersion_);
            return;
        }
        // The folders first: the earlier journal is replaced only once the step can succeed,
        // or the next start would offer to resume a manifest that never got its folders.
        std::optional<AnsiString> backups = "CUpdate";
        const bool foldersMade =
            (systemFlag_ != "1" || (backups = CreateUpdateFolder("CUpdate"))) &&
            CreateUpdateFolder("Update");
        if (!foldersMade || !WithoutJournal(download) || !platform::FlushFile(download) ||
            !platform::RenameFile(download, manifest)) {
            const AnsiString reason = platform::ErrorText(download);
            platform::DeleteFile(download);
            if (foldersMade) ShowManifestFailed(Texts::ManifestUnavailableMessage, reason);
            return;
        }
        manifestArrived_ = true;
        if (systemFlag_ == "1")
            if (const std::optional<AnsiString> copy = Placed(*backups + "\\Version.ini"))
                platform::CopyFile(manifest, applicationFolder_ + *copy);
    }
    Offer(WizardStep::List);
    face_.UpdateFound();
}

bool TUpgradeEngine::AcceptFreshness(const AnsiString& versionText) {
    auto refuse = [&](const AnsiString& file, const AnsiString& reason) {
        cancelRequested_ = true;
        Stop({.message = Texts::VersionUnavailableMessage, .file = file, .reason = reason});
        return false;
    };
    std::string error;
    const std::optional<std::vector<std::string>> buildKeys =
        trust::KeysFromList(settings_.ManifestKey, &error);
    if (!buildKeys) return refuse("", "the built-in manifest keys: " + error);
    const AnsiString statePath = applicationFolder_ + kUpdaterStateFileName;
    const std::optional<UpdaterState> state = ReadUpdaterState(statePath, &error);
    if (!state) return refuse(kUpdaterStateFileName, error);
    const std::optional<std::string> statement = FetchBesideManifest(freshness::kFileName);
    const std::optional<std::string> rotations =
        statement && trust::NeedsRotationRecords(*statement, *state)
            ? FetchBesideManifest(keyrotation::kFileName)
            : std::nullopt;
    if (shutdown_) return false;
    trust::Freshness fresh = trust::CheckFreshness(
        *buildKeys, *state, UpdateFolderUrl(""), statement, versionText, rotations, utctime::Now());
    for (const std::string& refusal : fresh.rotationRefusals)
        LogFailure(keyrotation::kFileName, refusal);
    if (!fresh.verdict.Accepted()) return refuse(freshness::kFileName, fresh.verdict.reason);
    // What the statement taught (its serial, keys learned or retired) is kept before anything
    // else of the answer is believed, so an older statement is never taken again.
    if (fresh.state != *state && !WriteUpdaterState(statePath, fresh.state, &error))
        return refuse(kUpdaterStateFileName, error);
    acceptedStatement_ = std::move(fresh.verdict.statement);
    trustedKeys_ = std::move(fresh.trusted);
    return true;
}

std::optional<AnsiString> TUpgradeEngine::ManifestRefusal(const AnsiString& path) {
    if (settings_.ManifestKey.empty()) return std::nullopt;
    const std::optional<std::string> signature =
        FetchBesideManifest(verification::kSignatureFileName);
    if (!signature) return AnsiString("no signature was published beside the manifest");
    const std::optional<std::string> manifest = platform::ReadWholeFile(path);
    if (!manifest) return platform::ErrorText(path);
    // The statement names the one manifest that goes with this Version.txt: no other signed
    // manifest, an older one replayed included, can be paired with it.
    if (std::optional<std::string> refusal =
            freshness::ManifestRefusal(acceptedStatement_, *manifest))
        return *refusal;
    if (!trust::ManifestSigner(*manifest, *signature, trustedKeys_))
        return AnsiString("the manifest's signature is not by a trusted key");
    if (TIniFile(path).ReadEntry("VERSION", "VERSION") != latestVersion_)
        return AnsiString("the manifest leads to another version than Version.txt names");
    return std::nullopt;
}

bool TUpgradeEngine::OfferedByRollout(const AnsiString& path) {
    const rollout::Reading reading = rollout::ReadSchedule(TIniSnapshot(path));
    if (!reading.error.empty()) {
        ShowManifestFailed(Texts::ManifestUnavailableMessage, reading.error);
        return false;
    }
    if (!reading.schedule) return true;
    std::string error;
    const std::optional<uint32_t> number =
        InstallationNumber(applicationFolder_ + kUpdaterStateFileName, &error);
    if (!number) {
        ShowManifestFailed(Texts::ManifestUnavailableMessage,
                           AnsiString(kUpdaterStateFileName) + ": " + error);
        return false;
    }
    const rollout::Verdict verdict = rollout::OfferTo(*reading.schedule, *number, utctime::Now());
    if (verdict.kind == rollout::Verdict::Kind::Offered) return true;
    Offer(WizardStep::Close);
    cancelRequested_ = true;
    face_.NotYetOffered(latestVersion_, verdict.from);
    return false;
}

std::optional<std::string> TUpgradeEngine::FetchBesideManifest(const AnsiString& name) {
    const AnsiString target = applicationFolder_ + name + kDownloadSuffix;
    signatureArrived_ = false;
    signatureDownload_->URL = UpdateFolderUrl(name);
    signatureDownload_->FileName = target;
    signatureDownload_->GetFile();
    std::optional<std::string> text =
        signatureArrived_ && !shutdown_ ? platform::ReadWholeFile(target) : std::nullopt;
    platform::DeleteFile(target);
    return text;
}

std::optional<AnsiString> TUpgradeEngine::CreateUpdateFolder(const AnsiString& name) {
    const std::optional<AnsiString> placed = Placed(name);
    if (!placed) return std::nullopt;
    const AnsiString folder = applicationFolder_ + *placed;
    if (!platform::IsSymbolicLink(folder) &&
        (platform::DirectoryExists(folder) || platform::CreateDirectory(folder))) {
        names_->Created(*placed);
        return placed;
    }
    ShowManifestFailed(Texts::CannotCreateFolder + folder, platform::IsSymbolicLink(folder)
                                                               ? folder + " is a symbolic link"
                                                               : platform::ErrorText(folder));
    return std::nullopt;
}

void TUpgradeEngine::ManifestError(QObject*) {
    platform::DeleteFile(applicationFolder_ + kManifestDownload);
    ShowManifestFailed(Texts::ManifestUnavailableMessage, manifestDownload_->LastError());
}
