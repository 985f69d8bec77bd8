// The upgrade road in-process: the wizard's states, the journal, the files and the requests,
// against the scripted server.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <sstream>

#include "app/texts.h"
#include "app/upgraderun.h"
#include "app/window/notebook.h"
#include "core/manifest.h"
#include "net/httpget/httpget.h"
#include "net/sock/nmhttp.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/clicks.h"
#include "support/scriptedhttpserver.h"
#include "support/waituntil.h"
#include "ui/flat/flatspeedbutton.h"

namespace {

using testsupport::ScriptedResponse;

class Upgrade : public ::testing::Test, public UpgradeRun {};

// Each case arranges the server and the folder, clicks the main button `clicks` times and
// checks the state a person then sees.
TEST_F(Upgrade, EveryStateOfTheRoad) {
    using Arrange = std::function<void(UpgradeRun&)>;
    const AnsiString versionFailed = Texts::VersionUnavailableMessage;
    struct Case {
        const char* name;
        Arrange arrange;
        int clicks;
        std::string expected;
    } cases[] = {
        {"up to date", [](UpgradeRun& t) { t.Publish("1.0", kManifest); }, 1,
         State("New", WizardStep::Close, Texts::DoneButton, true, Texts::CancelButton, false,
               {Texts::UpToDateMessage})},
        {"version request failed",
         [](UpgradeRun& t) { t.server_.Serve("/Update/Version.txt", ScriptedResponse::Raw("")); },
         1,
         State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton, true,
               {versionFailed})},
        {"an answer of 10 bytes", [](UpgradeRun& t) { t.Publish("1234567890", kManifest); }, 1,
         State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton, true,
               {versionFailed})},
        {"an empty answer", [](UpgradeRun& t) { t.Publish("", kManifest); }, 1,
         State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton, true,
               {versionFailed})},
        {"an answer of 100 bytes",
         [](UpgradeRun& t) { t.Publish(std::string(100, '9'), kManifest); }, 1,
         State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton, true,
               {versionFailed})},
        {"an answer of 9 bytes", [](UpgradeRun& t) { t.Publish("123456789", kManifest); }, 1,
         State("welcome", WizardStep::List, Texts::NextButton, true, Texts::CancelButton, true)},
        {"manifest failed",
         [](UpgradeRun& t) {
             t.server_.Serve("/Update/Version.ini",
                             ScriptedResponse::Ok(kManifest).DropAfterBody(20));
         },
         1,
         State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton, true,
               {Texts::ManifestUnavailableMessage})},
        {"Update cannot be made", [](UpgradeRun& t) { t.folder_.Write("Update", "a file"); }, 1,
         State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton, true,
               {Texts::CannotCreateFolder + "*Update"})},
        {"size query failed",
         [](UpgradeRun& t) { t.server_.Serve("/Update/b.dll", ScriptedResponse::Silent()); }, 2,
         State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton, true,
               {versionFailed})},
        {"listed",
         {},
         2,
         State("index", WizardStep::Download, Texts::NextButton, true, Texts::CancelButton, true)},
        {"download failed",
         [](UpgradeRun& t) {
             t.server_.Serve("/Update/b.dll", ScriptedResponse::Ok("new b").DropAfterBody(2));
         },
         3,
         State("New", WizardStep::VersionCheck, Texts::StoppedButton, false, Texts::CloseButton,
               true, {Texts::DownloadFailedMessage})},
        {"a file of 0 bytes fails", [](UpgradeRun& t) { t.PublishFile("b.dll", ""); }, 3,
         State("New", WizardStep::VersionCheck, Texts::StoppedButton, false, Texts::CloseButton,
               true, {Texts::DownloadFailedMessage})},
        {"downloaded",
         {},
         3,
         State("download", WizardStep::Install, Texts::NextButton, true, Texts::CancelButton,
               true)},
        {"install failed: no target folder",
         [](UpgradeRun& t) { QDir(t.folder_.NativeFolder()).rmdir("Sub"); }, 4,
         State("New", WizardStep::Install, Texts::RetryButton, true, Texts::CloseButton, true,
               {Texts::UpdateFile + "b.dll" + Texts::InstallFailedTail})},
        {"finished",
         {},
         4,
         State("finish", WizardStep::Close, Texts::FinishButton, true, Texts::CancelButton, false)},
        {"an entry without \";\" names no file and fails to download",
         [](UpgradeRun& t) { t.Publish("2.0", "[1.0]\r\n1=a.dll\r\n"); }, 3,
         State("New", WizardStep::VersionCheck, Texts::StoppedButton, false, Texts::CloseButton,
               true, {Texts::DownloadFailedMessage})},
        {"10 MB of garbage as the manifest finishes with 0 updates",
         [](UpgradeRun& t) {
             std::string garbage(10 << 20, '\0');
             for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = char(i * 7919 % 251);
             t.Publish("2.0", garbage);
         },
         2,
         State("finish", WizardStep::Close, Texts::FinishButton, true, Texts::CancelButton, false)},
        {"an HTML page as the manifest finishes with 0 updates",
         [](UpgradeRun& t) { t.Publish("2.0", "<html><body>Not here</body></html>"); }, 2,
         State("finish", WizardStep::Close, Texts::FinishButton, true, Texts::CancelButton, false)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        if (c.arrange) c.arrange(t);
        t.OpenWizard();
        SizeQuery(*t.form_).TimeOut = 300;  // a silent server fails the query sooner than 60 s
        for (int i = 0; i < c.clicks; ++i) t.ClickMain();
        std::string expected = c.expected;
        const std::string folderMark = "*Update";
        if (size_t at = expected.find(folderMark); at != std::string::npos)
            expected.replace(at, folderMark.size(),
                             platform::ToUnicode(t.folder_.Folder() + "Update").toStdString());
        EXPECT_EQ(t.StateNow(), expected);
    }
}

TEST_F(Upgrade, AWholeUpgradeJournalsEachStepAndRecordsTheNewVersion) {
    folder_.Write("setup.ini", "[QUENTAROVER]\r\nSYSTEM=1\r\n");
    TMainform& form = OpenWizard();

    ClickMain();  // step 0
    EXPECT_EQ(Text(&Part<QLabel>(form, "welcome.hint")), Texts::LatestVersionIs + "2.0");
    EXPECT_EQ(Text(&Part<QLabel>(form, "welcome.status")), Texts::UpdateFoundHint);
    EXPECT_EQ(folder_.Read("Version.ini"), kManifest);
    EXPECT_EQ(folder_.Read("CUpdate/Version.ini"), kManifest);
    EXPECT_FALSE(Exists("Version.ini.download"));

    ClickMain();  // step 1: the newer component joins as entry 4 and leaves [DLL]
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=D7\r\n"
              "[1.0]\r\n1=a.dll;0\r\n2=b.dll;0;;Sub\r\n3=c.sh;1\r\n4=Bin\\Customs.dll;0\r\n"
              "[DLL]\r\n");
    EXPECT_EQ(Rows(&Part<QTreeWidget>(form, "index.files")),
              (std::vector<AnsiString>{"a.dll|5", "b.dll|5", "c.sh|51", "Bin\\Customs.dll|11"}));
    EXPECT_EQ(
        Text(&Part<QLabel>(form, "index.count")),
        Texts::ListingProgress + "4" + Texts::ListingPlugIns + "1" + Texts::ListingFilesOf + "72");
    EXPECT_EQ(Text(&Part<QLabel>(form, "index.hint")), Texts::ListedHint);

    ClickMain();  // step 2: every entry moves to [RUN], the section goes
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=D7\r\n[DLL]\r\n"
              "[RUN]\r\n1=a.dll;0\r\n2=b.dll;0;;Sub\r\n3=c.sh;1\r\n4=Bin\\Customs.dll;0\r\n");
    EXPECT_EQ(folder_.Read("Update/Bin/Customs.dll"), "new customs");
    EXPECT_EQ(Rows(&Part<QTreeWidget>(form, "download.files"))[3],
              "Bin\\Customs.dll|" + Texts::FileDone);
    EXPECT_EQ(Text(&Part<QLabel>(form, "download.totalLabel")),
              Texts::TotalProgress + "72" + Texts::OfTotal + "72" + Texts::CloseParen);

    ClickMain();  // step 3 and the finish
    EXPECT_EQ(folder_.Read("a.dll"), "new a");
    EXPECT_EQ(folder_.Read("Sub/b.dll"), "new b");
    EXPECT_FALSE(Exists("b.dll"));
    EXPECT_EQ(folder_.Read("ran.log"), "ran\n");
    EXPECT_EQ(folder_.Read("Bin/Customs.dll"), "new customs");
    EXPECT_EQ(folder_.Read("CUpdate/c.sh"), kRunScript);
    EXPECT_EQ(folder_.Read("CUpdate/Bin/Customs.dll"), "new customs");
    EXPECT_FALSE(Exists("Version.ini"));
    EXPECT_EQ(QDir(folder_.NativeFolder() + "/Update").entryList(QDir::Files), QStringList());
    EXPECT_EQ(folder_.Read("setup.ini"),
              "[QUENTAROVER]\r\nSYSTEM=1\r\n[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=D7\r\n");
    EXPECT_EQ(MemoLines(Part<TFlatMemo>(form, "finish.summary")),
              (std::vector<AnsiString>{Texts::InstalledUpdates + "4" + Texts::InstalledUpdatesTail,
                                       Texts::UpgradeSucceeded}));
    EXPECT_EQ(
        Text(&Part<QLabel>(form, "install.count")),
        Texts::InstallCountOf + "4" + Texts::InstallCountDone + "4" + Texts::InstallCountUnit);
    EXPECT_EQ(Rows(&Part<QTreeWidget>(form, "finish.files"))[0], "a.dll|" + Texts::InstalledState);

    EXPECT_EQ(RequestLines(),
              (std::vector<std::string>{
                  "GET /Update/Version.txt HTTP/1.0", "GET /Update/Version.ini HTTP/1.0",
                  "HEAD /Update/a.dll HTTP/1.0", "HEAD /Update/b.dll HTTP/1.0",
                  "HEAD /Update/c.sh HTTP/1.0", "HEAD /Update/Bin/Customs.dll HTTP/1.0",
                  "GET /Update/a.dll HTTP/1.0", "GET /Update/b.dll HTTP/1.0",
                  "GET /Update/c.sh HTTP/1.0", "GET /Update/Bin/Customs.dll HTTP/1.0"}));
    ClickMain();  // step 4
    EXPECT_TRUE(form.ProgramEnded());
}

TEST_F(Upgrade, AFailedFileStopsTheDownloadAndKeepsWhatIsLeftInTheManifest) {
    server_.Serve("/Update/b.dll", ScriptedResponse::Raw("HTTP/1.0 404 Not Found\r\n\r\n"));
    folder_.Write("Default.ini", "");
    OpenWizard();
    for (int i = 0; i < 3; ++i) ClickMain();
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=D7\r\n"
              "[1.0]\r\n2=b.dll;0;;Sub\r\n3=c.sh;1\r\n[DLL]\r\nBin\\Customs.dll=2030-01-01\r\n"
              "[RUN]\r\n1=a.dll;0\r\n");
    EXPECT_EQ(Rows(&Part<QTreeWidget>(*form_, "download.files"))[0], "a.dll|" + Texts::FileDone);
    EXPECT_EQ(RequestLines().back(), "GET /Update/b.dll HTTP/1.0") << "c.sh is not fetched";

    // The next start offers to go on; continuing lists and fetches only what is left.
    server_.Serve("/Update/b.dll", ScriptedResponse::Ok("new b"));
    OpenWizard();
    ASSERT_TRUE(ContinueButton(*form_).isVisible());
    ASSERT_TRUE(testsupport::ClickAsAPerson(&ContinueButton(*form_)));
    EXPECT_EQ(Rows(&Part<QTreeWidget>(*form_, "index.files")),
              (std::vector<AnsiString>{"b.dll|5", "c.sh|51"}));
    ClickMain();
    ClickMain();
    EXPECT_EQ(folder_.Read("a.dll"), "new a");
    EXPECT_EQ(folder_.Read("Sub/b.dll"), "new b");
    EXPECT_EQ(folder_.Read("setup.ini"), "[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=D7\r\n");
}

// The first entry is a program; a close confirmed while it runs is noticed once it has ended.
TEST_F(Upgrade, ACancelConfirmedDuringTheInstallStopsAfterTheRunningEntry) {
    Publish("2.0", "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=c.sh;1\r\n2=a.dll;0\r\n3=b.dll;0\r\n");
    PublishFile("c.sh", "#!/bin/sh\nsleep 0.3\n" + kRunScript.substr(10));
    answer_ = true;
    TMainform& form = OpenWizard();
    for (int i = 0; i < 3; ++i) ClickMain();
    bool clickTaken = true;
    QTimer::singleShot(100, &form, [&] {
        QTest::mouseClick(&CloseButton(form), Qt::LeftButton);
        clickTaken = !questions_.empty();
        form.close();
    });
    ClickMain();
    EXPECT_FALSE(clickTaken) << "the window takes no clicks while a program runs";
    EXPECT_EQ(questions_, (std::vector<AnsiString>{Texts::CancelInstallQuestion}));
    EXPECT_TRUE(form.ProgramEnded());
    EXPECT_EQ(folder_.Read("ran.log"), "ran\n");
    EXPECT_FALSE(Exists("a.dll"));
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[VERSION]\r\nVERSION=2.0\r\n[RUN]\r\n2=a.dll;0\r\n3=b.dll;0\r\n");
    EXPECT_EQ(folder_.Read("Update/a.dll"), "new a");
    EXPECT_FALSE(Exists("setup.ini"));
}

TEST_F(Upgrade, AResumedRunRefreshesNewerComponentsThenInstallsOnce) {
    const QDateTime now = QDateTime::currentDateTime();
    auto writeDated = [&](const char* name, const std::string& bytes, QDateTime when) {
        folder_.Write(name, bytes);
        QFile file(platform::ToUnicode(folder_.Path(name)).replace('\\', '/'));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime));
    };
    folder_.Write("Default.ini",
                  "[Main]\r\nNewer=new.dll\r\nSameDay=same.dll\r\nOlder=old.dll\r\n"
                  "OnlyWaiting=waiting.dll\r\n");
    QDir(folder_.NativeFolder()).mkpath("Update");
    writeDated("new.dll", "installed", now.addDays(-2));
    writeDated("Update/new.dll", "waiting", now.addDays(-1));
    writeDated("same.dll", "installed", QDateTime(now.date(), QTime(0, 0, 1)));
    writeDated("Update/same.dll", "waiting", QDateTime(now.date(), QTime(0, 0, 2)));
    writeDated("old.dll", "installed", now);
    writeDated("Update/old.dll", "waiting", now.addDays(-3));
    folder_.Write("Update/waiting.dll", "waiting");
    folder_.Write("Update/c.sh", kRunScript);
    folder_.Write("Version.ini", "[RUN]\r\n3=c.sh;1\r\n");

    TMainform& form = OpenWizard("on");
    ASSERT_NE(Pages(form).ActivePage(), "New") << "a resumed run never prompts";
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Pages(form).ActivePage() == "finish"; }));
    EXPECT_EQ(folder_.Read("new.dll"), "waiting");
    EXPECT_EQ(folder_.Read("same.dll"), "installed");
    EXPECT_EQ(folder_.Read("old.dll"), "installed");
    EXPECT_FALSE(Exists("waiting.dll"));
    // Message boxes and the program's end come and go; the steps ran once.
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(folder_.Read("ran.log"), "ran\n");
    EXPECT_TRUE(server_.Requests().empty());
}

// A date that cannot be read ends the resumed run's refresh with one error box; the install
// does not run in that run.
TEST_F(Upgrade, AComponentDateThatCannotBeReadShowsOneErrorBox) {
    folder_.Write("Default.ini", "[Main]\r\nAncient=ancient.dll\r\n");
    QDir(folder_.NativeFolder()).mkpath("Update");
    folder_.Write("Update/ancient.dll", "y");
    folder_.Write("ancient.dll", "x");
    QFile ancient(folder_.NativeFolder() + "/ancient.dll");
    ASSERT_TRUE(ancient.open(QIODevice::ReadWrite));
    ASSERT_TRUE(ancient.setFileTime(QDateTime(QDate(1975, 1, 1), QTime()),
                                    QFileDevice::FileModificationTime));
    folder_.Write("Version.ini", "[RUN]\r\n1=a.dll;0\r\n");
    OpenWizard("on");
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(errors_, (std::vector<AnsiString>{Texts::InvalidDateArgument}));
    EXPECT_EQ(folder_.Read("Version.ini"), "[RUN]\r\n1=a.dll;0\r\n");
}

TEST_F(Upgrade, AppendedComponentsTakeNumbersTheSectionDoesNotUse) {
    folder_.Write("Default.ini", "[Main]\r\nX=x.dll\r\nY=y.dll\r\n");
    folder_.Write("x.dll", "old");
    folder_.Write("y.dll", "old");
    PublishFile("x.dll", "new x");
    PublishFile("y.dll", "new y");
    const std::string newer = "[DLL]\r\nx.dll=2030-01-01\r\ny.dll=2030-01-01\r\n";
    const struct {
        std::string keys, appended;
        std::vector<AnsiString> list;
    } cases[] = {
        // a.dll and b.dll are listed twice: each is fetched once, as its last entry says.
        {"1=a.dll;0\r\n2=b.dll;0\r\n3=c.sh;1\r\n4=a.dll;0\r\n5=b.dll;0\r\n",
         "6=x.dll;0\r\n7=y.dll;0\r\n",
         {"3", "4", "5", "6", "7"}},
        // Keys that are not numbered 1 to N: 3 is taken, so the first new entry is 4.
        {"1=a.dll;0\r\n3=b.dll;0\r\n", "4=x.dll;0\r\n5=y.dll;0\r\n", {"1", "3", "4", "5"}},
    };
    for (const auto& c : cases) {
        Publish("2.0", "[1.0]\r\n" + c.keys + newer);
        OpenWizard();
        ClickMain();
        ClickMain();
        EXPECT_EQ(folder_.Read("Version.ini"), "[1.0]\r\n" + c.keys + c.appended + "[DLL]\r\n");
        EXPECT_EQ(ListedKeys(), c.list);
    }
}

TEST_F(Upgrade, ANewerDllDateThatIsNoDateShowsTheErrorBoxAndKeepsTheButtonDisabled) {
    Publish("2.0", "[1.0]\r\n[DLL]\r\nBin\\Customs.dll=01/02/2030\r\n");
    TMainform& form = OpenWizard();
    ClickMain();
    ClickMain();
    EXPECT_EQ(errors_, (std::vector<AnsiString>{"'01/02/2030' is not a valid date"}));
    EXPECT_FALSE(MainButton(form).isEnabled());
    EXPECT_EQ(form.NextStep(), WizardStep::List);
}

// Names with folders, blanks and double-byte characters are fetched by their encoded path
// into their folder.
TEST_F(Upgrade, ManifestNamesAreFetchedByTheirEncodedPath) {
    const AnsiString gbk = platform::FromUtf8("报表 1.dll");
    Publish("2.0", "[1.0]\r\n1=Lib\\" + gbk + ";0;;Sub\r\n");
    PublishFile("Lib/%B1%A8%B1%ED%201.dll", "report");
    folder_.Write("Default.ini", "");
    OpenWizard();
    for (int i = 0; i < 3; ++i) ClickMain();
    EXPECT_EQ(folder_.Read(("Update/Lib/" + platform::ToUnicode(gbk).toStdString()).c_str()),
              "report");
    EXPECT_EQ(RequestLines().back(), "GET /Update/Lib/%B1%A8%B1%ED%201.dll HTTP/1.0");
}

// A name that would leave the application folder, or that no file has, makes the manifest
// unusable: it is refused before anything is asked for it, and only a new start helps.
TEST_F(Upgrade, ManifestNamesThatLeaveTheFolderAreRefusedBeforeAnyRequest) {
    folder_.Write("Default.ini", "");
    for (const AnsiString& name : {AnsiString("..\\evil.sh"), AnsiString("t.dll;0;;.."),
                                   AnsiString("n\0x.txt", 7), AnsiString("/tmp/evil.sh")}) {
        SCOPED_TRACE(name);
        const AnsiString entry = name.find(';') == AnsiString::npos ? name + ";1" : name;
        Publish("2.0", "[1.0]\r\n1=a.dll;0\r\n2=" + entry + "\r\n");
        OpenWizard();
        const size_t before = server_.Requests().size();
        ClickMain();
        ClickMain();
        EXPECT_EQ(
            StateNow(),
            State("New", WizardStep::VersionCheck, Texts::RestartButton, true, Texts::CloseButton,
                  true, {Texts::RefusedName + EntryFileName(entry) + Texts::RefusedNameTail}));
        const std::vector<std::string> requests = RequestLines();
        ASSERT_EQ(requests.size(), before + 3) << "the version, the manifest, one size";
        EXPECT_EQ(requests.back(), "HEAD /Update/a.dll HTTP/1.0");
    }

    // A journal that names a place outside is refused by the install as well, before it
    // installs anything.
    folder_.Write("Update/a.dll", "new a");
    folder_.Write("Version.ini", "[RUN]\r\n1=a.dll;0\r\n2=/tmp/evil.dll;0\r\n");
    OpenWizard("on");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Message(*form_).Lines.Count() > 0; }));
    EXPECT_EQ(
        MemoLines(Message(*form_)),
        (std::vector<AnsiString>{Texts::RefusedName + "/tmp/evil.dll" + Texts::RefusedNameTail}));
    EXPECT_FALSE(Exists("a.dll"));
}

// Ending the program while the manifest arrives: no manifest is written afterwards.
TEST_F(Upgrade, EndingTheProgramDuringTheManifestFetchWritesNothing) {
    server_.Serve("/Update/Version.ini",
                  ScriptedResponse::Ok(kManifest).PauseInBody(10, std::chrono::seconds(30)));
    TMainform& form = OpenWizard();
    QElapsedTimer clock;
    QTimer closeOnceFetching;
    QObject::connect(&closeOnceFetching, &QTimer::timeout, [&] {
        if (server_.Requests().size() < 2 || clock.isValid()) return;
        clock.start();
        form.close();
    });
    closeOnceFetching.start(10);
    MainButton(form).Click();
    Settle();
    ASSERT_TRUE(clock.isValid()) << "the manifest was requested";
    EXPECT_LT(clock.elapsed(), 5000) << "the fetch is aborted, not waited for";
    EXPECT_TRUE(form.ProgramEnded());
    EXPECT_TRUE(questions_.empty());
    EXPECT_FALSE(Exists("Version.ini"));
    EXPECT_FALSE(Exists("Version.ini.download"));
}

}  // namespace
