#include "app/mainform.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>

#include "app/dialogs.h"
#include "app/failurelog.h"
#include "app/listrows.h"
#include "app/notebook.h"
#include "app/texts.h"
#include "net/httpget/httpget.h"
#include "net/sock/nmhttp.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "resources/resources.h"
#include "ui/flat/flatmemo.h"
#include "ui/flat/hslutils.h"
#include "ui/flat/flatpanel.h"
#include "ui/flat/flatprogressbar.h"
#include "ui/flat/flatspeedbutton.h"

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
        QFont::insertSubstitutions(QStringLiteral("宋体"),
                                   {QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL UMing TW")});
        return true;
    }();
    (void)substituted;
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(12);
    return font;
}

QLabel* AddLabel(QWidget* page, int left, int top, const AnsiString& text = {}) {
    auto* label = new QLabel(ToUnicode(text), page);
    // A fixed geometry that reaches the page's right edge, and plain text: a label whose text
    // changes on every download chunk must neither relayout the page nor be parsed as markup.
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(left, top, page->width() - left, 14);
    return label;
}

struct Column {
    const AnsiString& caption;
    int width;
};

// A report-style list view inside a flat panel: no border, button-face colour, item icons.
QTreeWidget* AddListView(QWidget* page, TFlatPanel*& panel, QRect place,
                         std::initializer_list<Column> columns, bool showHeader = true) {
    panel = new TFlatPanel(page);
    panel->setGeometry(place);
    panel->SetColorHighLight(clInactiveCaption);
    panel->SetColorShadow(clInactiveCaption);
    auto* view = new QTreeWidget(panel);
    view->setGeometry(1, 1, place.width() - 2, place.height() - 2);
    view->setFrameShape(QFrame::NoFrame);
    view->setRootIsDecorated(false);
    // Rows of one height spare the view from measuring every row when one text changes.
    view->setUniformRowHeights(true);
    view->setIconSize(QSize(16, 16));
    view->setFocusPolicy(Qt::NoFocus);
    QPalette palette = view->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    view->setPalette(palette);
    view->setColumnCount(int(columns.size()));
    QStringList captions;
    int index = 0;
    for (const Column& column : columns) {
        captions << ToUnicode(column.caption);
        view->setColumnWidth(index, column.width);
        view->setColumnHidden(index, column.width == 0);
        ++index;
    }
    view->setHeaderLabels(captions);
    view->header()->setSectionsClickable(false);
    view->header()->setStretchLastSection(false);
    view->setHeaderHidden(!showHeader);
    return view;
}

TFlatProgressBar* AddProgressBar(QWidget* page, int left, int top) {
    auto* bar = new TFlatProgressBar(page);
    bar->setGeometry(left, top, 363, 25);
    return bar;
}

// A read-only memo that stays the colour of the page, hovered or not.
TFlatMemo* AddMemo(QWidget* page, QRect place) {
    auto* memo = new TFlatMemo(page);
    memo->setGeometry(place);
    memo->SetColorFocused(clBtnFace);
    memo->SetColorFlat(clBtnFace);
    memo->SetColorBorder(clInactiveCaption);
    return memo;
}

TFlatSpeedButton* AddButton(QWidget* parent, int left, const AnsiString& caption) {
    auto* button = new TFlatSpeedButton(parent);
    button->setGeometry(left, 283, 89, 25);
    button->SetCaption(caption);
    return button;
}

}  // namespace

TMainform::TMainform(TWizardEnvironment environment, QWidget* parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                  Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      environment_(std::move(environment)) {
    if (!environment_.Confirm)
        environment_.Confirm = [this](const AnsiString& q) { return dialogs::Confirm(this, q); };
    if (!environment_.ShowError)
        environment_.ShowError = [this](const AnsiString& m) { dialogs::ShowError(this, m); };
    BuildWindow();
    BuildPages();
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
    ImageList1 = {QIcon(ItemIcon(0)), QIcon(ItemIcon(1))};

    FlatPanel1 = new TFlatPanel(this);
    FlatPanel1->setGeometry(8, 8, 120, 257);
    Image1 = new QLabel(FlatPanel1);
    Image1->setGeometry(0, 0, 120, 257);
    Image1->setPixmap(QPixmap::fromImage(BannerImage()));

    Notebook1 = new TNotebook(this);
    Notebook1->setGeometry(136, 8, 377, 265);

    Panel1 = new QFrame(this);
    Panel1->setGeometry(8, 275, 505, 2);
    Panel1->setFrameStyle(QFrame::HLine | QFrame::Sunken);

    Button1 = AddButton(this, 219, Texts::ContinueButton);
    Button1->hide();
    Bitbtn1 = AddButton(this, 317, Texts::StartButton);
    Bitbtn2 = AddButton(this, 416, Texts::CancelButton);
    Button1->OnClick = Handler(&TMainform::Button1Click);
    Bitbtn1->OnClick = Handler(&TMainform::Bitbtn1Click);
    Bitbtn2->OnClick = Handler(&TMainform::Bitbtn2Click);
}

void TMainform::BuildPages() {
    QWidget* page = Notebook1->AddPage("welcome");
    page->resize(Notebook1->size());
    Label5 = AddLabel(page, 8, 11, Texts::Welcome);
    Label6 = AddLabel(page, 8, 35, Texts::InstalledComponents);
    ListView1 = AddListView(page, FlatPanel2, {8, 56, 361, 121}, {{Texts::ProductName, 300}},
                            /*showHeader=*/false);
    Label7 = AddLabel(page, 8, 203, Texts::StartHint);
    Label8 = AddLabel(page, 8, 203);
    Label8->hide();
    Label1 = AddLabel(page, 8, 224);

    page = Notebook1->AddPage("index");
    page->resize(Notebook1->size());
    Label3 = AddLabel(page, 8, 11, Texts::FindingUpdates);
    ListView2 = AddListView(page, FlatPanel3, {8, 32, 361, 145},
                            {{Texts::ColumnFile, 250}, {Texts::ColumnSize, 109}});
    Label19 = AddLabel(page, 10, 187);
    FlatProgressBar1 = AddProgressBar(page, 8, 212);
    Label2 = AddLabel(page, 11, 246);

    page = Notebook1->AddPage("download");
    page->resize(Notebook1->size());
    Label9 = AddLabel(page, 8, 11, Texts::DownloadingUpdates);
    ListView3 = AddListView(page, FlatPanel4, {8, 32, 361, 129},
                            {{Texts::ColumnFile, 240}, {Texts::ColumnState, 109}});
    Label17 = AddLabel(page, 11, 165);
    FlatProgressBar2 = AddProgressBar(page, 9, 179);
    Label18 = AddLabel(page, 11, 207);
    FlatProgressBar4 = AddProgressBar(page, 9, 222);
    Label21 = AddLabel(page, 9, 250);

    page = Notebook1->AddPage("install");
    page->resize(Notebook1->size());
    Label11 = AddLabel(page, 8, 11, Texts::InstallingUpdates);
    ListView4 = AddListView(page, FlatPanel5, {8, 32, 361, 137},
                            {{Texts::ColumnFile, 240}, {Texts::ColumnState, 109}});
    Label12 = AddLabel(page, 8, 187, Texts::InstallCountLabel);
    Label20 = AddLabel(page, 112, 187);
    FlatProgressBar3 = AddProgressBar(page, 8, 210);

    page = Notebook1->AddPage("finish");
    page->resize(Notebook1->size());
    Label13 = AddLabel(page, 8, 8, Texts::Welcome);
    Label14 = AddLabel(page, 8, 26, Texts::UpToDateProducts);
    ListView5 = AddListView(page, FlatPanel6, {8, 44, 361, 149},
                            {{Texts::ColumnFile, 350}, {Texts::ColumnSize, 0}});
    Memo1 = AddMemo(page, {8, 200, 361, 49});

    page = Notebook1->AddPage("New");
    page->resize(Notebook1->size());
    Label16 = AddLabel(page, 16, 19, Texts::Welcome);
    MEMO2 = AddMemo(page, {16, 48, 345, 145});
}

void TMainform::BuildNetworkComponents() {
    auto makeDownloader = [this](bool useCache) {
        auto* download = new THTTPGet(this);
        download->AcceptTypes = "*/*";
        download->Agent = "Corvilex HTTPGet";
        download->BinaryData = false;
        download->WaitThread = true;
        download->UseCache = useCache;
        return download;
    };
    // Ceilings: a version text is a few bytes and a manifest a few megabytes at most, so a
    // server that sends without end costs neither memory nor disk beyond them.
    HTTPGet1 = makeDownloader(false);
    HTTPGet1->MaxSize = kMaxVersionTextBytes;
    HTTPGet1->OnDoneString = Handler(&TMainform::HTTPGet1DoneString);
    HTTPGet1->OnError = Handler(&TMainform::HTTPGet1Error);
    HTTPGet2 = makeDownloader(false);
    HTTPGet2->OnProgress = Handler(&TMainform::HTTPGet2Progress);
    HTTPGet2->OnDoneFile = Handler(&TMainform::HTTPGet2DoneFile);
    HTTPGet2->OnError = Handler(&TMainform::HTTPGet2Error);
    HTTPGet3 = makeDownloader(true);
    HTTPGet3->MaxSize = kMaxManifestBytes;
    HTTPGet3->OnDoneFile = Handler(&TMainform::HTTPGet3DoneFile);
    HTTPGet3->OnError = Handler(&TMainform::HTTPGet3Error);
    // The signature may come from a cache like the manifest it signs: a stale pair still
    // verifies and is then refused for leading to an old version.
    HTTPGet4 = makeDownloader(true);
    HTTPGet4->MaxSize = kMaxVersionTextBytes;
    HTTPGet4->OnDoneFile = [this](QObject*, const AnsiString&, int FileSize) {
        signatureArrived_ = FileSize > 0;
    };

    NMHTTP1 = new TNMHTTP(this);
    NMHTTP1->Host = environment_.ServerUrl;
    NMHTTP1->Body = "Default.htm";
    NMHTTP1->Header = "Head.txt";
    NMHTTP1->Port = 0;
    NMHTTP1->ProxyFromEnvironment = true;
    // A server that accepts a size query and then says nothing, or trickles its answer a line
    // at a time, must not hold the list for ever: a query fails like any other when it has
    // not ended within a minute.
    NMHTTP1->TimeOut = 60000;
    NMHTTP1->RequestTimeOut = 60000;
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

void TMainform::FormCreate() {
    CancelFlag = false;
    SetupIni = std::make_unique<TIniFile>(environment_.ApplicationFolder + "setup.ini");
    SystemFlag = SetupIni->ReadEntry("QUENTAROVER", "SYSTEM");
    ApplicationFolder = environment_.ApplicationFolder;
    Notebook1->SetActivePage("welcome");
}

void TMainform::FormShow() {
    CheckComp();
    if (environment_.FirstArgument != "on" &&
        platform::FileExists(ApplicationFolder + "Version.ini"))
        ShowResumePrompt();
}

void TMainform::ShowResumePrompt() {
    ShowMessagePage({Texts::ResumeUnfinished, Texts::ResumeContinueHint, Texts::ResumeRestartHint});
    Button1->show();
    Bitbtn1->SetCaption(Texts::RestartButton);
    Bitbtn1->Tag = 0;
    Bitbtn1->setEnabled(true);
}

void TMainform::FormActivate() {
    if (environment_.FirstArgument != "on") return;
    Update(5);
    Update(3);
}

void TMainform::ShowMessagePage(std::initializer_list<AnsiString> lines) {
    Notebook1->SetActivePage("New");
    MEMO2->Lines.Clear();
    for (const AnsiString& line : lines) MEMO2->Lines.Add(line);
}

void TMainform::ShowStopped(const AnsiString& message, const AnsiString& mainCaption,
                            bool mainEnabled, int tag) {
    // A step that stops shows every row it has listed.
    for (QTreeWidget* view : {ListView2, ListView3, ListView4}) CompleteRows(view);
    Bitbtn1->SetCaption(mainCaption);
    Bitbtn1->Tag = tag;
    Bitbtn1->setEnabled(mainEnabled);
    Bitbtn2->SetCaption(Texts::CloseButton);
    ShowMessagePage({message});
}

void TMainform::Update(int step) {
    Bitbtn1->setEnabled(false);
    static const char* const kStepNames[] = {"version-check", "list",  "download",
                                             "install",       "close", "refresh"};
    if (step >= 0 && step <= 5) runningStep_ = kStepNames[step];
    switch (step) {
        case 0: CheckVersion(); break;
        case 1: ListUpdates(); break;
        case 2: DownloadUpdates(); break;
        case 3: InstallUpdates(); break;
        case 5: RefreshComponents(); break;
        case 4: close(); break;
        default: break;
    }
}

void TMainform::LogFailure(const AnsiString& file, const AnsiString& reason) {
    ::LogFailure(ApplicationFolder, runningStep_, file, reason);
}

void TMainform::Bitbtn1Click(QObject*) {
    CancelFlag = false;
    if (Bitbtn1->Tag >= 0 && Bitbtn1->Tag <= 4) Update(Bitbtn1->Tag);
}

void TMainform::Button1Click(QObject*) {
    Button1->hide();
    Bitbtn1->setEnabled(false);
    Bitbtn1->SetCaption(Texts::NextButton);
    Bitbtn1->Tag = 1;
    Update(1);
}

void TMainform::Bitbtn2Click(QObject*) { close(); }

bool TMainform::CloseNeedsQuestion() const {
    // A wizard that waits for the user has nothing running to interrupt, and the finish has
    // nothing left to lose.
    return !Bitbtn1->isEnabled() && Bitbtn1->Tag >= 1 && Bitbtn1->Tag <= 3;
}

bool TMainform::FormCloseQuery() {
    if (!CloseNeedsQuestion()) return true;
    switch (Bitbtn1->Tag) {
        case 1:
            if (!environment_.Confirm(Texts::CancelListingQuestion)) return false;
            HTTPGet1->Abort();
            HTTPGet3->Abort();
            CancelFlag = true;
            return true;
        case 2:
            if (!environment_.Confirm(Texts::CancelDownloadQuestion)) return false;
            // The download step ends the program once the running transfer has stopped.
            Bitbtn2->setEnabled(false);
            HTTPGet2->Abort();
            CancelFlag = true;
            return false;
        default:  // 3, the install
            if (!environment_.Confirm(Texts::CancelInstallQuestion)) return false;
            CancelFlag = true;
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
    for (THTTPGet* download : {HTTPGet1, HTTPGet2, HTTPGet3, HTTPGet4}) download->Abort();
    if (sizeQueryRunning_) NMHTTP1->Abort();
    QCoreApplication::quit();
}

void TMainform::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_) return;
    shown_ = true;
    if (QScreen* display = screen())
        move(display->availableGeometry().center() - rect().center());
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
