// Step 1, the update list: the manifest's files for the installed version and newer
// components, each with the size the server announces.
#include <charconv>
#include <unordered_set>

#include "app/engine/upgradeengine.h"
#include "app/texts.h"
#include "core/displaytext.h"
#include "core/manifest.h"
#include "core/updateserver.h"
#include "core/verification.h"
#include "net/sock/nmhttp.h"
#include "platform/files.h"

namespace {

int64_t SizeOf(const AnsiString& sizeText) {
    int64_t size = 0;
    std::from_chars(sizeText.data(), sizeText.data() + sizeText.size(), size);
    return size;
}

}  // namespace

AnsiString TUpgradeEngine::QuerySize(const AnsiString& fileName) {
    sizeQueryRunning_ = true;
    try {
        sizeQuery_->Head(settings_.ServerUrl + "/Update/" + UrlPathOf(fileName));
    } catch (const std::exception& error) {
        sizeQueryRunning_ = false;
        Stop({.message = Texts::VersionUnavailableMessage,
              .file = fileName,
              .reason = error.what()});
        cancelRequested_ = true;
        return "0";
    }
    sizeQueryRunning_ = false;
    return SizeFromHeader(sizeQuery_->Header);
}

std::optional<AnsiString> TUpgradeEngine::SizeOfFile(const AnsiString& fileName) {
    std::optional<int64_t> listed;
    try {
        listed = journal_->ListedSize(fileName);
    } catch (const std::exception& error) {
        ShowManifestFailed(Texts::ManifestUnavailableMessage, error.what());
        return std::nullopt;
    }
    return listed ? std::to_string(*listed) : QuerySize(fileName);
}

void TUpgradeEngine::ListUpdates() {
    face_.ListStarted();
    journal_ = std::make_unique<TJournal>(applicationFolder_ + "Version.ini", InstalledVersion());
    updateList_.assign(journal_->ToDownload().begin(), journal_->ToDownload().end());
    updateSizes_.clear();
    patches_.assign(updateList_.size(), std::nullopt);
    downloadTotal_ = patchedFileBytes_ = bytesDownloaded_ = 0;
    plugInCount_ = 0;
    if (!ListSectionFiles()) return;
    face_.ComponentsListing();
    if (!ListNewerComponents()) return;

    Offer(WizardStep::Download);
    face_.ListCompleted();
    if (updateList_.empty()) RunNext();
}

void TUpgradeEngine::ShowListProgress(size_t position) {
    face_.ListAdvanced(position, updateList_.size() + componentFiles_.size());
}

void TUpgradeEngine::AddListRow(const AnsiString& name, const AnsiString& size, bool component) {
    TListedFile file;
    file.row = updateSizes_.size();
    file.name = name;
    file.size = SizeOf(size);
    file.component = component;
    updateSizes_.push_back(file.size);
    downloadTotal_ += file.size;
    file.totalBytes = downloadTotal_;
    file.listedCount = updateSizes_.size();
    file.componentCount = plugInCount_;
    face_.FileListed(file);
}

bool TUpgradeEngine::ListSectionFiles() {
    for (size_t i = 0; i < updateList_.size(); ++i) {
        if (cancelRequested_) return false;
        currentFileName_ = updateList_[i].fileName;
        // Checked before anything is asked for the name: "..\x" must not even reach the server.
        if (!updateList_[i].safe) {
            ShowNameRefused(currentFileName_);
            return false;
        }
        // A patch against the installed copy comes instead of the file, its size listed.
        patches_[i] = PatchForInstalled(updateList_[i]);
        if (const std::optional<delta::Patch>& patch = patches_[i]) {
            patchedFileBytes_ += *journal_->ListedSize(currentFileName_);
            AddListRow(patch->name, std::to_string(patch->size), /*component=*/false);
            ShowListProgress(i + 1);
            continue;
        }
        const std::optional<AnsiString> size = SizeOfFile(currentFileName_);
        if (!size || cancelRequested_) return false;
        AddListRow(currentFileName_, *size, /*component=*/false);
        ShowListProgress(i + 1);
    }
    return true;
}

std::optional<delta::Patch> TUpgradeEngine::PatchForInstalled(const TJournal::Entry& entry) {
    if (!entry.copy || !journal_->OffersPatches(entry.fileName)) return std::nullopt;
    const platform::CaseInsensitiveNames::Resolution installed =
        names_->Resolve(entry.InstalledName());
    if (installed.kind != platform::CaseInsensitiveNames::Kind::Existing) return std::nullopt;
    std::optional<AnsiString> digest;
    RunOffTheGuiThread(
        [&] { digest = verification::FileDigest(applicationFolder_ + installed.name); });
    return digest ? journal_->PatchFor(entry.fileName, *digest) : std::nullopt;
}

bool TUpgradeEngine::ListNewerComponents() {
    // A name is one file however it is spelled: a component that Default.ini and Custom.ini
    // both list, or that the version's section lists or [RUN] holds already, is fetched once.
    std::unordered_set<std::string> listed;
    for (const TJournal::Entry& entry : updateList_) listed.insert(FoldedName(entry.fileName));
    for (const TJournal::Entry& entry : journal_->Waiting())
        listed.insert(FoldedName(entry.fileName));
    for (size_t j = 0; j < componentFiles_.size(); ++j) {
        const AnsiString& name = componentFiles_[j];
        const platform::CaseInsensitiveNames::Resolution installed = names_->Resolve(name);
        using Kind = platform::CaseInsensitiveNames::Kind;
        const AnsiString path = applicationFolder_ + installed.name;
        if (installed.kind == Kind::Existing && platform::FileExists(path) &&
            !listed.count(FoldedName(name))) {
            const AnsiString serverDate = journal_->ComponentDate(name);
            const AnsiString localDate = FileDateText(path);
            if (!serverDate.empty() && DateFromText(serverDate) > DateFromText(localDate)) {
                if (cancelRequested_) return false;
                // The server's folder spells it as the publisher does.
                const AnsiString published = journal_->ComponentName(name);
                currentFileName_ = published;
                const std::optional<AnsiString> size = SizeOfFile(published);
                if (!size || shutdown_) return false;
                if (*size == "0") {
                    journal_->DropComponent(name);
                } else {
                    ++plugInCount_;
                    updateList_.push_back(journal_->AppendComponent(name));
                    patches_.emplace_back();
                    listed.insert(FoldedName(name));
                    AddListRow(published, *size, /*component=*/true);
                }
            }
        } else if (installed.kind == Kind::Ambiguous || installed.kind == Kind::Unlisted) {
            // Which of the installed files the date rule should look at cannot be told; one
            // that the manifest names no newer build of needs no decision.
            if (!journal_->ComponentDate(name).empty() && !Placed(name)) return false;
        }
        ShowListProgress(updateList_.size() + j + 1);
    }
    return !cancelRequested_;
}
