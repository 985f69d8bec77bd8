#include "app/window/mainform.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>

#include "app/failurelog.h"
#include "app/texts.h"
#include "app/window/dialogs.h"
#include "app/window/listrows.h"
#include "app/window/notebook.h"
#include "net/httpget/httpget.h"
#include "net/sock/nmhttp.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "resources/resources.h"
#include "ui/flat/flatmemo.h"
#include "ui/flat/flatpanel.h"
#include "ui/flat/flatprogressbar.h"
#include "ui/flat/flatspeedbutton.h"
#include "ui/flat/hslutils.h"

using platform::ToUnicode;

namespace {

constexpr int kClientWidth = 520;
constexpr int kClientHeight = 326;
// The most that is read of a version text (or a signature), and of a manifest.
constexpr int64_t kMaxVersionTextBytes = 4 * 1024;
constexpr int64_t kMaxManifestBytes = 16 * 1024 * 1024;
// The shortest time between two paints of the window, about a display frame.
constexpr int kFrameMilliseconds = 16;

// The dialog font: "宋体" 9 pt is 12 pixels high; the installed Song face stands in for it
// under the same name so that every text keeps the layout's metrics.
QFont DialogFont() {
    static const bool substituted = [] {
        QFont::insertSubstitutions(QStringLiteral("宋体"), {QStringLiteral("AR PL UMing CN"),
                                                            QStringLiteral("AR PL UMing TW")});
        return true;
    }();
    (void)substituted;
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(12);
    return font;
}

TFlatSpeedButton* AddButton(QWidget* parent, const char* name, int left,
                            const AnsiString& caption) {
    auto* button = new TFlatSpeedButton(parent);
    button->setObjectName(name);
    button->setGeometry(left, 283, 89, 25);
    button->SetCaption(caption);
    return button;
}

}  // namespace

TMainform::TMainform(TWizardEnvironment environment, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      environment_(std::move(environment)) {
    if (!environment_.Confirm)
        environment_.Confirm = [this](const AnsiString& q) { return dialogs::Confirm(this, q); };
    if (!environment_.ShowError)
        environment_.ShowError = [this](const AnsiString& m) { dialogs::ShowError(this, m); };
    BuildWindow();
    BuildNetworkComponents();
    heldPaint_.setSingleShot(true);
    heldPaint_.setTimerType(Qt::PreciseTimer);
    connect(&heldPaint_, &QTimer::timeout, this, [this] {
        QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    });
    RunHandler([this] { FormCreate(); });
}

TMainform::~TMainform() = default;

void TMainform::BuildWindow() {
    setWindowTitle(ToUnicode(Texts::WindowCaption));
    setFont(DialogFont());
    setFixedSize(kClientWidth, kClientHeight);
    setWindowIcon(ApplicationIcon());
    icons_ = {QIcon(ItemIcon(0)), QIcon(ItemIcon(1))};

    auto* bannerFrame = new TFlatPanel(this);
    bannerFrame->setGeometry(8, 8, 120, 257);
    auto* banner = new QLabel(bannerFrame);
    banner->setObjectName("banner");
    banner->setGeometry(0, 0, 120, 257);
    banner->setPixmap(QPixmap::fromImage(BannerImage()));

    pages_ = new TNotebook(this);
    pages_->setObjectName("pages");
    pages_->setGeometry(136, 8, 377, 265);
    welcome_.Build(pages_);
    list_.Build(pages_);
    download_.Build(pages_);
    install_.Build(pages_);
    finish_.Build(pages_);
    message_.Build(pages_);

    auto* rule = new QFrame(this);
    rule->setGeometry(8, 275, 505, 2);
    rule->setFrameStyle(QFrame::HLine | QFrame::Sunken);

    continueButton_ = AddButton(this, "continueButton", 219, Texts::ContinueButton);
    continueButton_->hide();
    mainButton_ = AddButton(this, "mainButton", 317, Texts::StartButton);
    closeButton_ = AddButton(this, "closeButton", 416, Texts::CancelButton);
    continueButton_->OnClick = Handler(&TMainform::ContinueButtonClick);
    mainButton_->OnClick = Handler(&TMainform::MainButtonClick);
    closeButton_->OnClick = Handler(&TMainform::CloseButtonClick);
}

void TMainform::BuildNetworkComponents() {
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
    versionText_->OnDoneString = Handler(&TMainform::VersionTextDone);
    versionText_->OnError = Handler(&TMainform::VersionTextError);
    // Files download side by side: the download step waits for their events itself.
    for (size_t i = 0; i < fileTransfers_.size(); ++i) {
        THTTPGet* download =
            makeDownloader(i == 0 ? "fileDownload" : "fileDownload" + std::to_string(i + 1), false);
        download->WaitThread = false;
        download->Resume = true;
        download->OnProgress = Handler(&TMainform::FileDownloadProgress);
        download->OnDoneFile = Handler(&TMainform::FileDownloadDone);
        download->OnError = Handler(&TMainform::FileDownloadError);
        fileTransfers_[i].download = download;
    }
    manifestDownload_ = makeDownloader("manifestDownload", true);
    manifestDownload_->MaxSize = kMaxManifestBytes;
    manifestDownload_->OnDoneFile = Handler(&TMainform::ManifestDone);
    manifestDownload_->OnError = Handler(&TMainform::ManifestError);
    // The signature may come from a cache like the manifest it signs: a stale pair still
    // verifies and is then refused for leading to an old version.
    signatureDownload_ = makeDownloader("signatureDownload", true);
    signatureDownload_->MaxSize = kMaxVersionTextBytes;
    signatureDownload_->OnDoneFile = [this](QObject*, const AnsiString&, int64_t FileSize) {
        signatureArrived_ = FileSize > 0;
    };

    sizeQuery_ = new TNMHTTP(this);
    sizeQuery_->setObjectName("sizeQuery");
    sizeQuery_->Host = environment_.ServerUrl;
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

void TMainform::RunHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        environment_.ShowError(error.what());
    } catch (...) {
        environment_.ShowError("Unknown error");
    }
}

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

void TMainform::FormCreate() {
    cancelRequested_ = false;
    setupIni_ = std::make_unique<TIniFile>(environment_.ApplicationFolder + "setup.ini");
    systemFlag_ = setupIni_->ReadEntry("QUENTAROVER", "SYSTEM");
    applicationFolder_ = environment_.ApplicationFolder;
    pages_->SetActivePage("welcome");
}

void TMainform::FormShow() {
    CheckComp();
    if (environment_.FirstArgument != "on" &&
        platform::FileExists(applicationFolder_ + "Version.ini"))
        ShowResumePrompt();
}

void TMainform::ShowResumePrompt() {
    ShowMessagePage({Texts::ResumeUnfinished, Texts::ResumeContinueHint, Texts::ResumeRestartHint});
    continueButton_->show();
    mainButton_->SetCaption(Texts::RestartButton);
    OfferStep(WizardStep::VersionCheck);
}

void TMainform::FormActivate() {
    if (environment_.FirstArgument != "on") return;
    Update(WizardStep::ComponentRefresh);
    Update(WizardStep::Install);
}

void TMainform::ShowMessagePage(std::initializer_list<AnsiString> lines) {
    message_.Show(pages_, lines);
}

void TMainform::OfferStep(WizardStep next) {
    nextStep_ = next;
    mainButton_->setEnabled(true);
}

void TMainform::ShowStopped(const AnsiString& message, const AnsiString& mainCaption,
                            bool mainEnabled, WizardStep next) {
    // A step that stops shows every row it has listed.
    for (QTreeWidget* view : {list_.files, download_.files, install_.files}) CompleteRows(view);
    mainButton_->SetCaption(mainCaption);
    nextStep_ = next;
    mainButton_->setEnabled(mainEnabled);
    closeButton_->SetCaption(Texts::CloseButton);
    ShowMessagePage({message});
}

void TMainform::Update(WizardStep step) {
    mainButton_->setEnabled(false);
    runningStep_ = step;
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
            close();
            break;
    }
}

void TMainform::LogFailure(const AnsiString& file, const AnsiString& reason) {
    ::LogFailure(applicationFolder_, StepName(runningStep_), file, reason);
}

void TMainform::MainButtonClick(QObject*) {
    cancelRequested_ = false;
    Update(nextStep_);
}

void TMainform::ContinueButtonClick(QObject*) {
    continueButton_->hide();
    mainButton_->setEnabled(false);
    mainButton_->SetCaption(Texts::NextButton);
    nextStep_ = WizardStep::List;
    Update(WizardStep::List);
}

void TMainform::CloseButtonClick(QObject*) {
    close();
}

bool TMainform::CloseNeedsQuestion() const {
    // A wizard that waits for the user has nothing running to interrupt, and the finish has
    // nothing left to lose.
    return !mainButton_->isEnabled() &&
           (nextStep_ == WizardStep::List || nextStep_ == WizardStep::Download ||
            nextStep_ == WizardStep::Install);
}

bool TMainform::FormCloseQuery() {
    if (!CloseNeedsQuestion()) return true;
    switch (nextStep_) {
        case WizardStep::List:
            if (!environment_.Confirm(Texts::CancelListingQuestion)) return false;
            versionText_->Abort();
            manifestDownload_->Abort();
            cancelRequested_ = true;
            return true;
        case WizardStep::Download:
            if (!environment_.Confirm(Texts::CancelDownloadQuestion)) return false;
            // The download step ends the program once the running transfer has stopped.
            closeButton_->setEnabled(false);
            for (FileTransfer& transfer : fileTransfers_) transfer.download->Abort();
            cancelRequested_ = true;
            return false;
        default:  // the install
            if (!environment_.Confirm(Texts::CancelInstallQuestion)) return false;
            cancelRequested_ = true;
            return true;
    }
}

void TMainform::AskToClose() {
    closeQuestionQueued_ = false;
    // A Yes to an earlier question has already decided.
    if (programEnded_) return;
    RunHandler([this] {
        if (!FormCloseQuery()) return;
        EndProgram();
        close();
    });
}

void TMainform::EndProgram() {
    programEnded_ = true;
    for (THTTPGet* download : {versionText_, manifestDownload_, signatureDownload_})
        download->Abort();
    for (FileTransfer& transfer : fileTransfers_) transfer.download->Abort();
    if (sizeQueryRunning_) sizeQuery_->Abort();
    QCoreApplication::quit();
}

void TMainform::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_) return;
    shown_ = true;
    if (QScreen* display = screen()) move(display->availableGeometry().center() - rect().center());
    RunHandler([this] { FormShow(); });
    // Queued rather than tied to window activation: without a window manager, or with focus
    // stealing prevention, the window may never be activated, and every dialog that closes
    // would activate it again.
    QTimer::singleShot(0, this, [this] { RunHandler([this] { FormActivate(); }); });
}

void TMainform::closeEvent(QCloseEvent* event) {
    // Ending the program closes every window once more; the decision has been taken.
    if (programEnded_) {
        event->accept();
        return;
    }
    if (!CloseNeedsQuestion()) {
        event->accept();
        EndProgram();
        return;
    }
    // The question is asked once this event has been refused, never inside it. While a close
    // event is being handled, Qt takes any further close request of the window as accepted,
    // without calling this handler, and destroys the native window while the program goes on
    // running; the question's own event loop would let such requests in (the close box used
    // during the question, or a close that arrives together with the answer).
    event->ignore();
    if (closeQuestionQueued_) return;
    closeQuestionQueued_ = true;
    QMetaObject::invokeMethod(this, &TMainform::AskToClose, Qt::QueuedConnection);
}

bool TMainform::event(QEvent* event) {
    // The steps let the event loop run between any two of their changes (during every size
    // query, between runs of download chunks), and Qt paints the window's changes on each such
    // pass; painting the list views and their scroll bars hundreds of times a second costs more
    // than the queries and downloads themselves. A paint asked for within a frame of the last
    // one is held and made when the frame is over: the changes it would show are all still
    // marked, and Qt asks for no other paint until this one is made.
    if (event->type() == QEvent::UpdateRequest) {
        if (sinceLastPaint_.isValid() && sinceLastPaint_.elapsed() < kFrameMilliseconds) {
            if (!heldPaint_.isActive())
                heldPaint_.start(kFrameMilliseconds - int(sinceLastPaint_.elapsed()));
            return true;
        }
        sinceLastPaint_.start();
    }
    return QWidget::event(event);
}
