#include "app/window/mainform.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QFont>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <climits>

#include "app/texts.h"
#include "app/window/dialogs.h"
#include "app/window/inputblocker.h"
#include "app/window/listrows.h"
#include "app/window/notebook.h"
#include "core/displaytext.h"
#include "platform/codepage.h"
#include "resources/resources.h"
#include "ui/flat/flatmemo.h"
#include "ui/flat/flatpanel.h"
#include "ui/flat/flatprogressbar.h"
#include "ui/flat/flatspeedbutton.h"

using platform::ToUnicode;

namespace {

constexpr int kClientWidth = 520;
constexpr int kClientHeight = 326;
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

// The bars count in 32 bits; a larger count is scaled down with its maximum, so the bar shows
// the same share.
struct BarScale {
    explicit BarScale(int64_t maximum) {
        while ((maximum >> shift) > INT_MAX) ++shift;
    }
    int operator()(int64_t bytes) const { return int(std::max<int64_t>(bytes, 0) >> shift); }
    int shift = 0;
};

void ShowOnBar(TFlatProgressBar* bar, int64_t position, int64_t maximum) {
    const BarScale scale(maximum);
    bar->SetMax(scale(maximum));
    bar->SetPosition(scale(position));
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
    engine_ = new TUpgradeEngine({.ApplicationFolder = environment_.ApplicationFolder,
                                  .ServerUrl = environment_.ServerUrl,
                                  .ResumedRun = environment_.FirstArgument == "on",
                                  .ManifestKey = environment_.ManifestKey},
                                 *this, this);
    shownProgress_.held.setSingleShot(true);
    connect(&shownProgress_.held, &QTimer::timeout, this, [this] { ShowDownloadProgress(); });
    heldPaint_.setSingleShot(true);
    heldPaint_.setTimerType(Qt::PreciseTimer);
    connect(&heldPaint_, &QTimer::timeout, this, [this] {
        QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    });
    pages_->SetActivePage("welcome");
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

void TMainform::RunHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        environment_.ShowError(error.what());
    } catch (...) {
        environment_.ShowError("Unknown error");
    }
}

void TMainform::FormShow() {
    engine_->Start();
}

void TMainform::FormActivate() {
    engine_->Activate();
}

void TMainform::ShowMessagePage(std::initializer_list<AnsiString> lines) {
    message_.Show(pages_, lines);
}

void TMainform::OfferNextStep() {
    mainButton_->setEnabled(true);
}

void TMainform::MainButtonClick(QObject*) {
    if (engine_->NextStep() == WizardStep::Close) {
        mainButton_->setEnabled(false);
        close();
        return;
    }
    engine_->RunNext();
}

void TMainform::ContinueButtonClick(QObject*) {
    continueButton_->hide();
    mainButton_->setEnabled(false);
    mainButton_->SetCaption(Texts::NextButton);
    engine_->Continue();
}

void TMainform::CloseButtonClick(QObject*) {
    close();
}

bool TMainform::FormCloseQuery() {
    const std::optional<AnsiString> question = engine_->CancelQuestion();
    if (!question) return true;
    if (!environment_.Confirm(*question)) return false;
    // A cancelled download ends the program once its transfers have stopped; until then the
    // close button has done its part.
    if (engine_->NextStep() == WizardStep::Download) closeButton_->setEnabled(false);
    return engine_->Cancel();
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
    engine_->Shutdown();
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
    if (!engine_->CancelQuestion()) {
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

// What the engine reports.

void TMainform::ComponentsFound(const std::vector<AnsiString>& names, bool remoteControlFound) {
    auto addEntry = [this](const AnsiString& caption) {
        auto* item = new QTreeWidgetItem(welcome_.components, {ToUnicode(caption)});
        item->setIcon(0, icons_.waiting);
    };
    addEntry(Texts::ProductName);
    for (const AnsiString& tool : Texts::ToolCaptions) addEntry(tool);
    if (remoteControlFound) addEntry(Texts::RemoteControlCaption);
    for (const AnsiString& name : names) addEntry(name + Texts::ComponentSuffix);
}

void TMainform::StepStarted(WizardStep) {
    mainButton_->setEnabled(false);
}

void TMainform::VersionCheckStarted() {
    welcome_.status->clear();
    welcome_.hint->setText(ToUnicode(Texts::CheckingHint));
    pages_->SetActivePage("welcome");
    continueButton_->hide();
}

void TMainform::LatestVersionAnnounced(const AnsiString& version) {
    welcome_.hint->setText(ToUnicode(Texts::LatestVersionIs + version));
}

void TMainform::UpToDate() {
    ShowMessagePage({Texts::UpToDateMessage});
    mainButton_->SetCaption(Texts::DoneButton);
    OfferNextStep();
    closeButton_->setEnabled(false);
}

void TMainform::NotYetOffered(const AnsiString& version,
                              std::optional<std::chrono::sys_seconds> from) {
    UpToDate();
    if (!from) return;
    const QString when = QDateTime::fromSecsSinceEpoch(from->time_since_epoch().count())
                             .toLocalTime()
                             .toString(QStringLiteral("yyyy-MM-dd hh:mm"));
    ShowMessagePage({Texts::UpToDateMessage, Texts::RolloutNotYet + version + Texts::RolloutFrom +
                                                 platform::FromUnicode(when) + Texts::RolloutTail});
}

void TMainform::UpdateFound() {
    welcome_.status->setText(ToUnicode(Texts::UpdateFoundHint));
    mainButton_->SetCaption(Texts::NextButton);
    OfferNextStep();
}

void TMainform::ListStarted() {
    list_.files->clear();
    pages_->SetActivePage("INDEX");
}

void TMainform::FileListed(const TListedFile& file) {
    AddRow(list_.files, file.name, icons_.waiting, SizeText(file.size));
    ScrollToRow(list_.files, int(file.row));
    const AnsiString components =
        file.component ? Texts::ListingPlugIns + std::to_string(file.componentCount) : AnsiString();
    list_.count->setText(ToUnicode(Texts::ListingProgress + std::to_string(file.listedCount) +
                                   components + Texts::ListingFilesOf + SizeText(file.totalBytes)));
}

void TMainform::ListAdvanced(size_t position, size_t count) {
    list_.progress->SetMax(int(count));
    list_.progress->SetPosition(int(position));
}

void TMainform::ComponentsListing() {
    list_.hint->clear();
}

void TMainform::ListCompleted() {
    CompleteRows(list_.files);
    list_.hint->setText(ToUnicode(Texts::ListedHint));
    OfferNextStep();
}

void TMainform::DownloadStarted() {
    download_.hint->clear();
    CopyRows(*list_.files, download_.files);
    pages_->SetActivePage("Download");
}

void TMainform::DownloadProgressed(const TDownloadProgress& progress) {
    // A piece arrives every kilobyte; the page shows the latest of them once a frame, which is
    // all anyone sees, instead of formatting and laying out every one.
    shownProgress_.rows[progress.row] = progress.rowRemaining;
    shownProgress_.latest = progress;
    if (!shownProgress_.sinceShown.isValid() ||
        shownProgress_.sinceShown.elapsed() >= kFrameMilliseconds) {
        ShowDownloadProgress();
    } else if (!shownProgress_.held.isActive()) {
        shownProgress_.held.start(kFrameMilliseconds - int(shownProgress_.sinceShown.elapsed()));
    }
}

void TMainform::ShowDownloadProgress() {
    shownProgress_.held.stop();
    shownProgress_.sinceShown.start();
    for (const auto& [row, remaining] : shownProgress_.rows)
        SetSubItem(download_.files, int(row), SizeText(remaining));
    shownProgress_.rows.clear();
    if (!shownProgress_.latest) return;
    const TDownloadProgress& progress = *shownProgress_.latest;
    ShowOnBar(download_.fileProgress, progress.currentReceived, progress.currentTotal);
    download_.fileLabel->setText(ToUnicode(Texts::DownloadingFile +
                                           SizeText(progress.currentReceived) + Texts::OfTotal +
                                           SizeText(progress.currentTotal) + Texts::CloseParen));
    ShowOnBar(download_.totalProgress, progress.totalReceived, progress.total);
    download_.totalLabel->setText(ToUnicode(Texts::TotalProgress +
                                            SizeText(progress.totalReceived) + Texts::OfTotal +
                                            SizeText(progress.total) + Texts::CloseParen));
    shownProgress_.latest.reset();
}

void TMainform::FileDownloaded(size_t row, size_t rowCount, int64_t) {
    ShowDownloadProgress();
    SetSubItem(download_.files, int(row), Texts::FileDone);
    if (row + 1 < rowCount) ScrollToRow(download_.files, int(row + 1));
}

void TMainform::DownloadCompleted() {
    ShowDownloadProgress();
    download_.hint->setText(ToUnicode(Texts::DownloadedHint));
    OfferNextStep();
}

void TMainform::DownloadCancelled() {
    EndProgram();
}

void TMainform::InstallListed(const std::vector<AnsiString>& names) {
    install_.files->clear();
    for (const AnsiString& name : names)
        AddRow(install_.files, name, icons_.waiting, Texts::NotInstalled);
    CompleteRows(install_.files);
}

void TMainform::InstallStarted() {
    pages_->SetActivePage("install");
}

void TMainform::EntriesInstalled(size_t first, size_t last, size_t count) {
    install_.progress->SetMax(int(count));
    install_.progress->SetPosition(int(last));
    install_.count->setText(ToUnicode(Texts::InstallCountOf + std::to_string(count) +
                                      Texts::InstallCountDone + std::to_string(last) +
                                      Texts::InstallCountUnit));
    if (last < count) ScrollToRow(install_.files, int(last));
    for (size_t i = first; i < last; ++i) {
        SetSubItem(install_.files, int(i), Texts::InstalledState);
        install_.files->topLevelItem(int(i))->setIcon(0, icons_.installed);
    }
}

void TMainform::ProgramRunning(bool running) {
    // A busy window takes no clicks or keys, but keeps painting.
    if (running)
        inputBlocker_ = std::make_unique<InputBlocker>(this);
    else
        inputBlocker_.reset();
}

void TMainform::Finished(size_t installedCount) {
    CopyRows(*install_.files, finish_.files);
    pages_->SetActivePage("finish");
    finish_.summary->Lines.Clear();
    finish_.summary->Lines.Add(Texts::InstalledUpdates + std::to_string(installedCount) +
                               Texts::InstalledUpdatesTail);
    finish_.summary->Lines.Add(Texts::UpgradeSucceeded);
    mainButton_->SetCaption(Texts::FinishButton);
    OfferNextStep();
    closeButton_->setEnabled(false);
}

void TMainform::Stopped(const TStop& stop) {
    ShowDownloadProgress();
    // A step that stops shows every row it has listed.
    for (QTreeWidget* view : {list_.files, download_.files, install_.files}) CompleteRows(view);
    switch (stop.offer) {
        case TStop::Offer::Retry:
            mainButton_->SetCaption(Texts::RetryButton);
            break;
        case TStop::Offer::Restart:
            mainButton_->SetCaption(Texts::RestartButton);
            break;
        case TStop::Offer::None:
            mainButton_->SetCaption(Texts::StoppedButton);
            break;
    }
    mainButton_->setEnabled(stop.offer != TStop::Offer::None);
    closeButton_->SetCaption(Texts::CloseButton);
    ShowMessagePage({stop.message});
}

void TMainform::ResumePrompt() {
    ShowMessagePage({Texts::ResumeUnfinished, Texts::ResumeContinueHint, Texts::ResumeRestartHint});
    continueButton_->show();
    mainButton_->SetCaption(Texts::RestartButton);
    OfferNextStep();
}

void TMainform::ShowError(const AnsiString& message) {
    // Whatever the step had stopped, the window stays closable.
    closeButton_->setEnabled(true);
    environment_.ShowError(message);
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
