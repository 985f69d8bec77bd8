#include "app/engine/upgradeengine.h"

#include <QCoreApplication>

#include "app/engine/failurelog.h"
#include "app/texts.h"
#include "net/httpget/httpget.h"
#include "net/sock/nmhttp.h"
#include "platform/files.h"

namespace {

// The most that is read of a version text (or a signature), and of a manifest.
constexpr int64_t kMaxVersionTextBytes = 4 * 1024;
constexpr int64_t kMaxManifestBytes = 16 * 1024 * 1024;

}  // namespace

const char* StepName(WizardStep step) {
    switch (step) {
        case WizardStep::VersionCheck:
            return "version-check";
        case WizardStep::List:
            return "list";
        case WizardStep::Download:
            return "download";
        case WizardStep::Install:
            return "install";
        case WizardStep::Close:
            return "close";
        case WizardStep::ComponentRefresh:
            return "refresh";
    }
    return "unknown";
}

TUpgradeEngine::TUpgradeEngine(TUpgradeSettings settings, TUpgradeFace& face, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      face_(face),
      applicationFolder_(settings_.ApplicationFolder),
      setupIni_(std::make_unique<TIniFile>(applicationFolder_ + "setup.ini")),
      systemFlag_(setupIni_->ReadEntry("QUENTAROVER", "SYSTEM")) {
    setObjectName("engine");
    BuildNetworkComponents();
}

TUpgradeEngine::~TUpgradeEngine() = default;

template <typename Action>
void TUpgradeEngine::Guarded(const Action& action) {
    try {
        action();
    } catch (const std::exception& error) {
        EndStepWithError(error.what());
    } catch (...) {
        EndStepWithError("Unknown error");
    }
}

template <typename... Args>
auto TUpgradeEngine::Handler(void (TUpgradeEngine::*handler)(QObject*, Args...)) {
    return [this, handler](QObject* sender, Args... args) {
        Guarded([&] { (this->*handler)(sender, args...); });
    };
}

void TUpgradeEngine::BuildNetworkComponents() {
    auto makeDownloader = [this](const std::string& name, bool useCache) {
        auto* download = new THTTPGet(this);
        download->setObjectName(QString::fromStdString(name));
        download->AcceptTypes = "*/*";
        download->Agent = "Corvilex HTTPGet";
        download->BinaryData = false;
        download->WaitThread = true;
        download->UseCache = useCache;
        return download;
    };
    // Ceilings: a version text is a few bytes and a manifest a few megabytes at most, so a
    // server that sends without end costs neither memory nor disk beyond them.
    versionText_ = makeDownloader("versionText", false);
    versionText_->MaxSize = kMaxVersionTextBytes;
    versionText_->OnDoneString = Handler(&TUpgradeEngine::VersionTextDone);
    versionText_->OnError = Handler(&TUpgradeEngine::VersionTextError);
    // Files download side by side: the download step waits for their events itself.
    for (size_t i = 0; i < fileTransfers_.size(); ++i) {
        THTTPGet* download =
            makeDownloader(i == 0 ? "fileDownload" : "fileDownload" + std::to_string(i + 1), false);
        download->WaitThread = false;
        download->Resume = true;
        // A file is whole only at the length its reply announces: a reply that announces none
        // can never bring one, and is refused before it writes anything.
        download->BinaryData = true;
        // The download step makes what arrived durable in batches (JournalArrivals).
        download->FlushWhenComplete = false;
        download->OnProgress = Handler(&TUpgradeEngine::FileDownloadProgress);
        download->OnDoneFile = Handler(&TUpgradeEngine::FileDownloadDone);
        download->OnError = Handler(&TUpgradeEngine::FileDownloadError);
        fileTransfers_[i].download = download;
    }
    manifestDownload_ = makeDownloader("manifestDownload", true);
    manifestDownload_->MaxSize = kMaxManifestBytes;
    manifestDownload_->OnDoneFile = Handler(&TUpgradeEngine::ManifestDone);
    manifestDownload_->OnError = Handler(&TUpgradeEngine::ManifestError);
    // The signature may come from a cache like the manifest it signs: a stale pair still
    // verifies and is then refused for leading to an old version.
    signatureDownload_ = makeDownloader("signatureDownload", true);
    signatureDownload_->MaxSize = kMaxVersionTextBytes;
    signatureDownload_->OnDoneFile = [this](QObject*, const AnsiString&, int64_t FileSize) {
        signatureArrived_ = FileSize > 0;
    };

    sizeQuery_ = new TNMHTTP(this);
    sizeQuery_->setObjectName("sizeQuery");
    sizeQuery_->Host = settings_.ServerUrl;
    sizeQuery_->Body = "Default.htm";
    sizeQuery_->Header = "Head.txt";
    sizeQuery_->Port = 0;
    // A server that accepts a size query and then says nothing, or trickles its answer a line
    // at a time, must not hold the list for ever: a query fails like any other when it has
    // not ended within a minute.
    sizeQuery_->TimeOut = 60000;
    sizeQuery_->RequestTimeOut = 60000;
    // Size queries go where the downloads go: through the proxy the environment names.
    sizeQuery_->ProxyFromEnvironment = true;
}

void TUpgradeEngine::EndStepWithError(const AnsiString& message) {
    // Transfers that a failed step started would run on with no one to take their files.
    try {
        StopFileTransfers();
        LogFailure(currentFileName_, message);
    } catch (...) {
        // The error being reported is the one that matters.
    }
    stepRunning_ = false;
    face_.ShowError(message);
}

AnsiString TUpgradeEngine::InstalledVersion() const {
    return setupIni_->ReadEntry("VERSION", "VERSION", "1.0");
}

void TUpgradeEngine::Start() {
    Guarded([this] {
        CheckComp();
        if (!settings_.ResumedRun && platform::FileExists(applicationFolder_ + "Version.ini"))
            OfferResume();
    });
}

void TUpgradeEngine::Activate() {
    if (!settings_.ResumedRun) return;
    // A refresh that fails ends the activation: the install does not run on top of it.
    Guarded([this] {
        RunStep(WizardStep::ComponentRefresh);
        RunStep(WizardStep::Install);
    });
}

void TUpgradeEngine::RunNext() {
    Guarded([this] {
        cancelRequested_ = false;
        RunStep(nextStep_);
    });
}

void TUpgradeEngine::Run(WizardStep step) {
    Guarded([&] { RunStep(step); });
}

void TUpgradeEngine::Continue() {
    Guarded([this] {
        nextStep_ = WizardStep::List;
        RunStep(WizardStep::List);
    });
}

void TUpgradeEngine::CheckOnly() {
    checkOnly_ = true;
    Run(WizardStep::VersionCheck);
}

void TUpgradeEngine::RunStep(WizardStep step) {
    // The folder may have changed while the engine waited for the person.
    names_ = std::make_unique<platform::CaseInsensitiveNames>(applicationFolder_);
    runningStep_ = step;
    stepRunning_ = step != WizardStep::Close;
    face_.StepStarted(step);
    switch (step) {
        case WizardStep::VersionCheck:
            CheckVersion();
            break;
        case WizardStep::List:
            ListUpdates();
            break;
        case WizardStep::Download:
            DownloadUpdates();
            break;
        case WizardStep::Install:
            InstallUpdates();
            break;
        case WizardStep::ComponentRefresh:
            RefreshComponents();
            break;
        case WizardStep::Close:
            break;
    }
}

std::optional<AnsiString> TUpgradeEngine::CancelQuestion() const {
    // An engine that waits for the person has nothing running to interrupt, and the finish
    // has nothing left to lose.
    if (!stepRunning_) return std::nullopt;
    switch (nextStep_) {
        case WizardStep::List:
            return Texts::CancelListingQuestion;
        case WizardStep::Download:
            return Texts::CancelDownloadQuestion;
        case WizardStep::Install:
            return Texts::CancelInstallQuestion;
        default:
            return std::nullopt;
    }
}

bool TUpgradeEngine::Cancel() {
    cancelRequested_ = true;
    switch (nextStep_) {
        case WizardStep::List:
            versionText_->Abort();
            manifestDownload_->Abort();
            return true;
        case WizardStep::Download:
            // The download step reports the cancel once the running transfers have stopped.
            for (FileTransfer& transfer : fileTransfers_) transfer.download->Abort();
            return false;
        default:
            return true;
    }
}

void TUpgradeEngine::Shutdown() {
    shutdown_ = true;
    for (THTTPGet* download : {versionText_, manifestDownload_, signatureDownload_})
        download->Abort();
    for (FileTransfer& transfer : fileTransfers_) transfer.download->Abort();
    if (sizeQueryRunning_) sizeQuery_->Abort();
}

void TUpgradeEngine::Offer(WizardStep next) {
    nextStep_ = next;
    stepRunning_ = false;
}

void TUpgradeEngine::OfferResume() {
    Offer(WizardStep::VersionCheck);
    face_.ResumePrompt();
}

void TUpgradeEngine::LogFailure(const AnsiString& file, const AnsiString& reason) {
    ::LogFailure(applicationFolder_, StepName(runningStep_), file, reason);
}

void TUpgradeEngine::Stop(TStop stop) {
    stop.step = runningStep_;
    LogFailure(stop.file, stop.reason);
    nextStep_ = stop.next;
    stepRunning_ = false;
    face_.Stopped(stop);
}

void TUpgradeEngine::ShowManifestFailed(const AnsiString& message, const AnsiString& reason) {
    cancelRequested_ = true;
    Stop({.message = message, .file = "Version.ini", .reason = reason});
}

void TUpgradeEngine::ShowDownloadFailed(const AnsiString& reason) {
    Stop({.message = Texts::DownloadFailedMessage,
          .file = currentFileName_,
          .reason = reason,
          .offer = TStop::Offer::None});
}

void TUpgradeEngine::ShowInstallFailed(const AnsiString& fileName, const AnsiString& reason,
                                       bool diskFull) {
    Stop({.message = Texts::UpdateFile + fileName +
                     (diskFull ? Texts::InstallDiskFullTail : Texts::InstallFailedTail),
          .file = fileName,
          .reason = reason,
          .next = WizardStep::Install});
}

std::optional<AnsiString> TUpgradeEngine::Placed(const AnsiString& relative) {
    const platform::CaseInsensitiveNames::Resolution found = names_->Resolve(relative);
    using Kind = platform::CaseInsensitiveNames::Kind;
    if (found.kind == Kind::Existing || found.kind == Kind::New) return found.name;
    Stop({.message = Texts::UpdateFile + relative + Texts::AmbiguousNameTail,
          .file = relative,
          .reason = found.reason,
          .next = runningStep_});
    return std::nullopt;
}

void TUpgradeEngine::ShowNameRefused(const AnsiString& fileName) {
    cancelRequested_ = true;
    Stop({.message = Texts::RefusedName + fileName + Texts::RefusedNameTail,
          .file = fileName,
          .reason = "the name leaves its folder or holds a control character",
          .offer = TStop::Offer::Restart});
}
