#include "app/window/mainform.h"

#include <gtest/gtest.h>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>
#include <QTreeWidget>
#include <QWindow>

#include "app/texts.h"
#include "app/window/notebook.h"
#include "app/wizardharness.h"
#include "net/httpget/httpget.h"
#include "support/scriptedhttpserver.h"
#include "support/waituntil.h"
#include "ui/flat/flatmemo.h"
#include "ui/flat/flatspeedbutton.h"

namespace {

// Calls `paint` whenever `widget` paints.
class PaintRecorder : public QObject {
public:
    PaintRecorder(QWidget* widget, std::function<void()> paint) : paint_(std::move(paint)) {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) paint_();
        return false;
    }

private:
    std::function<void()> paint_;
};

class Wizard : public ::testing::Test, public WizardHarness {
protected:
    std::vector<AnsiString> ListedCaptions() const {
        std::vector<AnsiString> captions;
        const QTreeWidget& components = Part<QTreeWidget>(*form_, "welcome.components");
        for (int i = 0; i < components.topLevelItemCount(); ++i)
            captions.push_back(platform::FromUnicode(components.topLevelItem(i)->text(0)));
        return captions;
    }

    // The wizard as a running step leaves it: main button disabled, `step` the next step.
    void RunningStep(WizardStep step) {
        TMainformProbe::SetNextStep(*form_, step, /*running=*/true);
    }

    // Lets a question that a close request needs be asked and answered.
    static void LetTheQuestionRun() {
        for (int pass = 0; pass < 3; ++pass) QCoreApplication::processEvents();
    }

    static void CloseAndAnswer(TMainform& form) {
        form.close();
        LetTheQuestionRun();
    }

    // A close request as the window system delivers one: to the native window.
    static void CloseBoxRequest(TMainform& form) {
        QCloseEvent request;
        QCoreApplication::sendEvent(form.windowHandle(), &request);
    }
};

TEST_F(Wizard, OpensOnTheWelcomePageWithTheStartButton) {
    TMainform& form = Open();
    EXPECT_EQ(form.windowTitle(), QStringLiteral("智能在线升级(3.0)"));
    EXPECT_EQ(form.size(), QSize(520, 326));
    EXPECT_EQ(Pages(form).ActivePage(), "welcome");
    EXPECT_EQ(MainButton(form).Caption(), Texts::StartButton);
    EXPECT_EQ(form.NextStep(), WizardStep::VersionCheck);
    EXPECT_TRUE(MainButton(form).isEnabled());
    EXPECT_FALSE(ContinueButton(form).isVisible());
    EXPECT_FALSE(form.CancelRequested());
    ASSERT_NE(Part<QLabel>(form, "banner").pixmap().size(), QSize()) << "the banner is decoded";
    EXPECT_EQ(Part<QLabel>(form, "banner").pixmap().size(), QSize(120, 257));
    EXPECT_FALSE(Part<QTreeWidget>(form, "welcome.components").topLevelItem(0)->icon(0).isNull())
        << "entries show image 0";
}

TEST_F(Wizard, ReadsTheSystemFlagOnceAtCreation) {
    folder_.Write("setup.ini", "[QUENTAROVER]\r\nSYSTEM=1\r\n");
    TMainform& form = Open();
    folder_.Write("setup.ini", "[QUENTAROVER]\r\nSYSTEM=0\r\n");
    EXPECT_EQ(form.SystemFlag(), "1");
}

TEST_F(Wizard, AnUnfinishedRunShowsTheResumePrompt) {
    folder_.Write("Version.ini", "[1.0]\r\n");
    for (const AnsiString argument : {"", "ON", "x"}) {
        TMainform& form = Open(argument);
        EXPECT_EQ(Pages(form).ActivePage(), "New") << argument;
        EXPECT_EQ(MemoLines(Message(form)),
                  (std::vector<AnsiString>{Texts::ResumeUnfinished, Texts::ResumeContinueHint,
                                           Texts::ResumeRestartHint}));
        EXPECT_TRUE(ContinueButton(form).isVisible());
        EXPECT_EQ(MainButton(form).Caption(), Texts::RestartButton);
        EXPECT_EQ(form.NextStep(), WizardStep::VersionCheck);
        form.FormActivate();
        EXPECT_TRUE(MainButton(form).isEnabled()) << "only \"on\" runs steps on activation";
    }
}

TEST_F(Wizard, AResumedRunNeverPromptsAndRunsItsStepsOnActivation) {
    folder_.Write("Version.ini", "[1.0]\r\n");
    TMainform& form = Open("on");
    EXPECT_NE(Pages(form).ActivePage(), "New");
    EXPECT_FALSE(ContinueButton(form).isVisible());
    // No window activation is needed: the steps run once the event loop runs.
    QCoreApplication::processEvents();
    EXPECT_EQ(Pages(form).ActivePage(), "finish");
    EXPECT_FALSE(platform::FileExists(folder_.Path("Version.ini")));
}

TEST_F(Wizard, WithoutAJournalThereIsNoPrompt) {
    TMainform& form = Open();
    EXPECT_EQ(Pages(form).ActivePage(), "welcome");
    EXPECT_EQ(Message(form).Lines.Count(), 0);
}

TEST_F(Wizard, ContinueButtonMovesToStepOne) {
    folder_.Write("Version.ini", "[1.0]\r\n");
    TMainform& form = Open();
    TMainformProbe::SetCancelRequested(form);
    ContinueButton(form).Click();
    EXPECT_FALSE(ContinueButton(form).isVisible());
    EXPECT_EQ(MainButton(form).Caption(), Texts::NextButton);
    EXPECT_EQ(form.NextStep(), WizardStep::List);
    EXPECT_FALSE(MainButton(form).isEnabled());
    EXPECT_TRUE(form.CancelRequested()) << "the continue button leaves the cancel flag alone";
}

TEST_F(Wizard, MainButtonClearsTheCancelFlagAndRunsItsStep) {
    TMainform& form = Open();
    TMainformProbe::SetCancelRequested(form);
    // An install with nothing to install goes straight to the finish.
    TMainformProbe::SetNextStep(form, WizardStep::Install);
    MainButton(form).Click();
    EXPECT_FALSE(form.CancelRequested());
    EXPECT_EQ(Pages(form).ActivePage(), "finish");
}

// The close step runs inside a click whose step has just disabled the main button: the close
// must go ahead without a question.
TEST_F(Wizard, TheCloseStepEndsTheProgramWithoutAQuestion) {
    TMainform& form = Open();
    TMainformProbe::SetNextStep(form, WizardStep::Close);
    MainButton(form).Click();
    EXPECT_TRUE(form.ProgramEnded());
    EXPECT_TRUE(questions_.empty());
}

TEST_F(Wizard, ClosingWhileTheWizardWaitsForTheUserNeverAsks) {
    for (WizardStep step :
         {WizardStep::VersionCheck, WizardStep::List, WizardStep::Download, WizardStep::Install}) {
        TMainform& form = Open();
        TMainformProbe::SetNextStep(form, step);
        CloseButton(form).Click();
        EXPECT_TRUE(form.ProgramEnded()) << StepName(step);
    }
    TMainform& form = Open();
    RunningStep(WizardStep::VersionCheck);
    form.close();
    EXPECT_TRUE(form.ProgramEnded()) << "the version check never asks";
    EXPECT_TRUE(questions_.empty());
}

TEST_F(Wizard, ClosingARunningStepAsksAndNoKeepsItRunning) {
    const std::pair<WizardStep, AnsiString> questions[] = {
        {WizardStep::List, Texts::CancelListingQuestion},
        {WizardStep::Download, Texts::CancelDownloadQuestion},
        {WizardStep::Install, Texts::CancelInstallQuestion}};
    for (const auto& [step, question] : questions) {
        questions_.clear();
        TMainform& form = Open();
        RunningStep(step);
        answer_ = false;
        CloseAndAnswer(form);
        EXPECT_EQ(questions_, (std::vector<AnsiString>{question}));
        EXPECT_FALSE(form.ProgramEnded());
        EXPECT_FALSE(form.CancelRequested());
        EXPECT_TRUE(form.isVisible());
    }
}

TEST_F(Wizard, ClosingARunningStepWithYesCancelsIt) {
    for (WizardStep step : {WizardStep::List, WizardStep::Install}) {
        TMainform& form = Open();
        RunningStep(step);
        answer_ = true;
        CloseAndAnswer(form);
        EXPECT_TRUE(form.CancelRequested()) << StepName(step);
        EXPECT_TRUE(form.ProgramEnded()) << StepName(step);
        EXPECT_FALSE(form.isVisible()) << StepName(step);
    }
    // A download is stopped first; the download step ends the program once it has.
    TMainform& form = Open();
    RunningStep(WizardStep::Download);
    CloseAndAnswer(form);
    EXPECT_TRUE(form.CancelRequested());
    EXPECT_FALSE(CloseButton(form).isEnabled());
    EXPECT_FALSE(form.ProgramEnded());
    EXPECT_TRUE(form.isVisible());
}

// The question runs after the close event, so a request can come while it is open (it arrives
// as the box is answered). Inside the close event Qt took such a request as accepted and
// destroyed the native window of a program that went on running, which no close could reach.
TEST_F(Wizard, ACloseRequestWhileTheQuestionIsOpenKeepsTheWindowAndIsAskedToo) {
    TMainform& form = Open();
    RunningStep(WizardStep::Download);
    whileAsking_ = [&] {
        if (questions_.size() == 1) CloseBoxRequest(form);
    };
    CloseBoxRequest(form);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return questions_.size() == 2; }))
        << questions_.size() << " questions";
    EXPECT_TRUE(form.isVisible());
    EXPECT_NE(form.windowHandle()->handle(), nullptr) << "the native window is kept";
    EXPECT_FALSE(form.ProgramEnded());
    EXPECT_FALSE(form.CancelRequested());

    whileAsking_ = nullptr;
    CloseBoxRequest(form);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return questions_.size() == 3; }))
        << "every further request asks";

    // A Yes decides the request made while it was open as well.
    questions_.clear();
    RunningStep(WizardStep::List);
    answer_ = true;
    whileAsking_ = [&] { CloseBoxRequest(form); };
    CloseBoxRequest(form);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return form.ProgramEnded(); }));
    LetTheQuestionRun();
    EXPECT_EQ(questions_.size(), 1u);
    EXPECT_FALSE(form.isVisible());
}

// Requests that come before the question runs are answered by it, and the state when it runs
// decides: a step that has finished meanwhile leaves nothing to ask about.
TEST_F(Wizard, TheQuestionFollowsTheStateWhenItRuns) {
    TMainform& form = Open();
    RunningStep(WizardStep::Install);
    form.close();
    form.close();
    LetTheQuestionRun();
    EXPECT_EQ(questions_.size(), 1u);
    EXPECT_FALSE(form.ProgramEnded());

    questions_.clear();
    form.close();
    TMainformProbe::SetNextStep(form, WizardStep::Install, /*running=*/false);
    LetTheQuestionRun();
    EXPECT_TRUE(questions_.empty());
    EXPECT_TRUE(form.ProgramEnded());
    EXPECT_FALSE(form.isVisible());
}

// A confirmed cancel must stop the transfers of the running step, not wait for a stalled server.
TEST_F(Wizard, ConfirmedCancelStopsTheRunningTransfers) {
    using testsupport::ScriptedResponse;
    testsupport::ScriptedHttpServer server;
    server.Serve(
        "/Update/big.dll",
        ScriptedResponse::Ok(std::string(4000, 'x')).PauseInBody(1025, std::chrono::seconds(30)));
    server.Serve("/Update/Version.txt",
                 ScriptedResponse::Ok("1.1").PauseInBody(0, std::chrono::seconds(30)));
    answer_ = true;

    TMainform& form = Open();
    RunningStep(WizardStep::Download);
    int downloadErrors = 0;
    FileDownload(form).URL = server.Url("/Update/big.dll");
    FileDownload(form).FileName = folder_.Path("big.dll");
    FileDownload(form).OnProgress = [&](QObject*, int, int) { form.close(); };
    FileDownload(form).OnError = [&](QObject*) { ++downloadErrors; };
    FileDownload(form).GetFile();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !FileDownload(form).Busy(); }));
    EXPECT_EQ(downloadErrors, 1);
    EXPECT_TRUE(form.CancelRequested());

    TMainform& listing = Open();
    RunningStep(WizardStep::List);
    int versionErrors = 0;
    Part<THTTPGet>(listing, "versionText").URL = server.Url("/Update/Version.txt");
    Part<THTTPGet>(listing, "versionText").OnError = [&](QObject*) { ++versionErrors; };
    Part<THTTPGet>(listing, "versionText").GetString();
    listing.close();
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return !Part<THTTPGet>(listing, "versionText").Busy(); }));
    EXPECT_EQ(versionErrors, 1);
    EXPECT_TRUE(listing.ProgramEnded());
}

TEST_F(Wizard, PagesAreFoundIgnoringCase) {
    TMainform& form = Open();
    Pages(form).SetActivePage("INDEX");
    EXPECT_EQ(Pages(form).ActivePage(), "index");
    Pages(form).SetActivePage("Download");
    EXPECT_EQ(Pages(form).ActivePage(), "download");
    Pages(form).SetActivePage("nowhere");
    EXPECT_EQ(Pages(form).ActivePage(), "download");
}

TEST_F(Wizard, ShowMessagePageReplacesTheWholeMemo) {
    TMainform& form = Open();
    form.ShowMessagePage({"one", "two"});
    form.ShowMessagePage({"three"});
    EXPECT_EQ(Pages(form).ActivePage(), "New");
    EXPECT_EQ(MemoLines(Message(form)), (std::vector<AnsiString>{"three"}));
}

// Steps change the window between any two passes of the event loop (every size query, every
// run of download chunks), so the window paints at most once a frame. The faults guarded
// against: a paint for every pass, a stream of changes that keeps the screen from ever being
// painted, and a last change that stays unpainted once the changes stop.
TEST_F(Wizard, PaintsAtMostOnceAFrameYetEveryChangeReachesTheScreen) {
    TMainform& form = Open();
    QLabel* label = &Part<QLabel>(form, "welcome.hint");
    QStringList painted;
    PaintRecorder recorder(label, [&] { painted << label->text(); });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !painted.isEmpty(); })) << "first paint";

    painted.clear();
    QElapsedTimer clock;
    clock.start();
    int changes = 0;
    while (clock.elapsed() < 320) {
        label->setText(QString::number(++changes));
        QTest::qWait(1);
    }
    const qint64 frames = clock.elapsed() / 16 + 1;
    EXPECT_LE(painted.size(), frames + 2) << changes << " changes";
    EXPECT_GE(painted.size(), 3) << "changes that keep coming are still painted";

    const QString last = label->text();
    EXPECT_TRUE(testsupport::WaitUntil([&] { return !painted.isEmpty() && painted.back() == last; },
                                       std::chrono::seconds(1)))
        << "the last change is painted without anything else happening";
}

class ComponentList : public Wizard {
protected:
    std::vector<AnsiString> FixedEntries() const {
        std::vector<AnsiString> entries{Texts::ProductName};
        entries.insert(entries.end(), std::begin(Texts::ToolCaptions),
                       std::end(Texts::ToolCaptions));
        return entries;
    }
    static AnsiString Module(const char* key) { return key + Texts::ComponentSuffix; }
};

TEST_F(ComponentList, WithoutListFilesShowsTheProductAndItsTools) {
    TMainform& form = Open();
    EXPECT_EQ(ListedCaptions(), FixedEntries());
    EXPECT_TRUE(form.ComponentFiles().empty());
}

TEST_F(ComponentList, DefaultThenCustomInFileSectionAndKeyOrder) {
    folder_.Write("Default.ini",
                  "[Main]\r\nCustoms=Bin\\Customs.dll\r\nPrint=Print.dll\r\n"
                  "[Extra]\r\nCustoms=Other.dll\r\nEmpty=\r\n");
    folder_.Write("Custom.ini", "[Mine]\r\nReport=Report.dll\r\n");
    TMainform& form = Open();
    std::vector<AnsiString> expected = FixedEntries();
    for (const char* key : {"Customs", "Print", "Customs", "Empty", "Report"})
        expected.push_back(Module(key));
    EXPECT_EQ(ListedCaptions(), expected);
    EXPECT_EQ(form.ComponentFiles(), (std::vector<AnsiString>{"Bin\\Customs.dll", "Print.dll",
                                                              "Other.dll", "", "Report.dll"}));
}

TEST_F(ComponentList, OnlyCustomIni) {
    folder_.Write("Custom.ini", "[Mine]\r\nReport=Report.dll\r\n");
    TMainform& form = Open();
    std::vector<AnsiString> expected = FixedEntries();
    expected.push_back(Module("Report"));
    EXPECT_EQ(ListedCaptions(), expected);
    EXPECT_EQ(form.ComponentFiles(), (std::vector<AnsiString>{"Report.dll"}));
}

// The remote-control tool is looked for in the working directory, not the application folder.
TEST_F(ComponentList, RemoteControlEntryFollowsTheWorkingDirectory) {
    folder_.Write("rc_host.exe", "");
    Open();
    EXPECT_EQ(ListedCaptions().size(), 6u);

    const QString previous = QDir::currentPath();
    QDir::setCurrent(folder_.NativeFolder());
    Open();
    QDir::setCurrent(previous);
    std::vector<AnsiString> expected = FixedEntries();
    expected.push_back(Texts::RemoteControlCaption);
    EXPECT_EQ(ListedCaptions(), expected);
}

}  // namespace
