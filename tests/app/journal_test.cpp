// The journal's promises in the sequences that reach its edges: a manifest that cannot become
// the journal, a resumed run whose waiting keys meet new ones, the order of its writes, and a
// journal far longer than a page.
#include <sys/inotify.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>

#include "app/texts.h"
#include "app/upgraderun.h"
#include "core/displaytext.h"

namespace {

using testsupport::ScriptedResponse;

class Journal : public ::testing::Test, public UpgradeRun {};

// The earlier journal survives a manifest whose folders cannot be made: the next start must
// resume the upgrade it belongs to, not a new manifest that never got its folders.
TEST_F(Journal, ANewManifestReplacesTheJournalOnlyWhenItsFoldersAreMade) {
    const std::string earlier = "[VERSION]\r\nVERSION=1.5\r\n[RUN]\r\n1=old.dll;0\r\n";
    for (const char* blocked : {"Update", "CUpdate"}) {
        SCOPED_TRACE(blocked);
        TempAppFolder& folder = folder_;
        for (const QString made : {"Update", "CUpdate"}) {
            QDir(folder.NativeFolder()).rmdir(made);
            QFile::remove(folder.NativeFolder() + "/" + made);
        }
        folder.Write("setup.ini", "[QUENTAROVER]\r\nSYSTEM=1\r\n");
        folder.Write(blocked, "a file where the folder belongs");
        folder.Write("Version.ini", earlier);
        OpenWizard();
        ClickMain();
        EXPECT_EQ(StateNow(), State("New", WizardStep::VersionCheck, Texts::RetryButton, true,
                                    Texts::CloseButton, true,
                                    {Texts::CannotCreateFolder + folder.Path(blocked)}));
        EXPECT_EQ(folder.Read("Version.ini"), earlier);
        EXPECT_FALSE(Exists("Version.ini.download"));
    }
}

// [RUN] is the journal's own: a server's manifest that brings one would have the install run
// a file waiting in Update\ that this run never downloaded.
TEST_F(Journal, AManifestFromTheServerBringsNoJournal) {
    Publish("2.0",
            "[VERSION]\r\nVERSION=2.0\r\n[RUN]\r\n1=planted.sh;1\r\n[1.0]\r\n1=a.dll;0\r\n"
            "[run]\r\n2=planted.sh;1\r\n");
    folder_.Write("Default.ini", "");
    QDir(folder_.NativeFolder()).mkpath("Update");
    folder_.Write("Update/planted.sh",
                  "#!/bin/sh\necho planted >> \"$(dirname \"$0\")/../ran.log\"\n");
    OpenWizard();
    for (int i = 0; i < 4; ++i) ClickMain();
    EXPECT_EQ(Pages(*form_).ActivePage(), "finish");
    EXPECT_EQ(folder_.Read("a.dll"), "new a");
    EXPECT_EQ(folder_.Read("ran.log"), "<missing>") << "nothing the server listed in [RUN] ran";
}

// A resumed run lists what is left of the section while earlier downloads wait in [RUN]; a
// component that the date rule adds must not take the key of one of them, whose file would
// then never be installed.
TEST_F(Journal, AnAppendedComponentNeverTakesTheKeyOfAWaitingEntry) {
    folder_.Write("Version.ini",
                  "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=a.dll;0\r\n2=b.dll;0;;Sub\r\n3=c.sh;1\r\n"
                  "[DLL]\r\nBin\\Customs.dll=2030-01-01\r\n[RUN]\r\n4=d.dll;0\r\n");
    QDir(folder_.NativeFolder()).mkpath("Update");
    folder_.Write("Update/d.dll", "waiting d");
    OpenWizard();
    ASSERT_TRUE(testsupport::ClickAsAPerson(&ContinueButton(*form_)))
        << "continue the unfinished run";
    Settle();
    EXPECT_EQ(ListedKeys(), (std::vector<AnsiString>{"1", "2", "3", "5"}));
    ClickMain();
    ClickMain();
    EXPECT_EQ(Pages(*form_).ActivePage(), "finish");
    EXPECT_EQ(folder_.Read("d.dll"), "waiting d");
    EXPECT_EQ(folder_.Read("Bin/Customs.dll"), "new customs");
    EXPECT_EQ(folder_.Read("Sub/b.dll"), "new b");
}

// A [DLL] date equal to the installed file's is no newer build: nothing is added and the key
// stays for the next run to compare again.
TEST_F(Journal, AComponentOfTheSameDayIsNotAdded) {
    const AnsiString installed = FileDateText(folder_.Path("Bin/Customs.dll"));
    Publish("2.0", "[1.0]\r\n1=a.dll;0\r\n[DLL]\r\nBin\\Customs.dll=" + installed + "\r\n");
    OpenWizard();
    ClickMain();
    ClickMain();
    EXPECT_EQ(ListedKeys(), (std::vector<AnsiString>{"1"}));
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[1.0]\r\n1=a.dll;0\r\n[DLL]\r\nBin\\Customs.dll=" + installed + "\r\n");
    for (const std::string& line : RequestLines())
        EXPECT_EQ(line.find("Customs"), std::string::npos) << line;
}

// A resumed run installs what waits in [RUN]; while files are still to be downloaded the
// upgrade is not over, and no new version may be recorded (a refused manifest once left
// nothing installed and "2.0" recorded).
TEST_F(Journal, AResumedRunWithFilesStillToDownloadRecordsNoVersion) {
    QDir(folder_.NativeFolder()).mkpath("Update");
    folder_.Write("Update/a.dll", "new a");
    const std::string rest = "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n2=b.dll;0\r\n";
    folder_.Write("Version.ini", rest + "[RUN]\r\n1=a.dll;0\r\n");
    OpenWizard("on");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Message(*form_).Lines.Count() > 0; }));
    EXPECT_EQ(folder_.Read("a.dll"), "new a");
    EXPECT_EQ(folder_.Read("setup.ini"), "<missing>");
    EXPECT_EQ(folder_.Read("Version.ini"), rest + "[RUN]\r\n");
    EXPECT_EQ(StateNow(), State("New", WizardStep::VersionCheck, Texts::RestartButton, true,
                                Texts::CancelButton, true,
                                {Texts::ResumeUnfinished, Texts::ResumeContinueHint,
                                 Texts::ResumeRestartHint}));
    EXPECT_TRUE(ContinueButton(*form_).isVisible());
}

// A ";;" target folder of ".." in a waiting entry stops the install before anything is
// written outside the application folder.
TEST_F(Journal, ATargetFolderOutsideStopsTheInstallWithNothingWritten) {
    QDir(folder_.NativeFolder()).mkpath("Update");
    folder_.Write("Update/a.dll", "new a");
    folder_.Write("Update/x.dll", "escaping x");
    folder_.Write("Version.ini", "[RUN]\r\n1=a.dll;0\r\n2=x.dll;0;;..\r\n");
    OpenWizard("on");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Message(*form_).Lines.Count() > 0; }));
    EXPECT_EQ(StateNow(),
              State("New", WizardStep::VersionCheck, Texts::RestartButton, true, Texts::CloseButton,
                    true, {Texts::RefusedName + "x.dll" + Texts::RefusedNameTail}));
    QDir outside(folder_.NativeFolder());
    outside.cdUp();
    EXPECT_FALSE(outside.exists("x.dll"));
    EXPECT_FALSE(Exists("a.dll")) << "nothing is installed before every entry was checked";
}

// Each installed entry leaves the journal before its downloaded copy is deleted: a crash
// between the two then repeats a copy, where the other order would leave an entry whose copy
// is gone and stop the resumed run at a missing file. The folder's own events tell the order.
TEST_F(Journal, AnEntryLeavesTheJournalBeforeItsCopyIsDeleted) {
    Publish("2.0", "[1.0]\r\n1=a.dll;0\r\n2=b.dll;0;;Sub\r\n3=c.sh;1\r\n");
    folder_.Write("Default.ini", "");
    OpenWizard();
    ClickMain();
    ClickMain();
    ClickMain();

    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    const QByteArray app = QFile::encodeName(folder_.NativeFolder());
    ASSERT_GE(inotify_add_watch(watch, app.constData(), IN_MOVED_TO), 0);
    ASSERT_GE(inotify_add_watch(watch, (app + "/Update").constData(), IN_DELETE), 0);
    ClickMain();
    ASSERT_EQ(Pages(*form_).ActivePage(), "finish");

    std::vector<std::string> events;
    alignas(inotify_event) char buffer[65536];
    for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;) {
        for (char* at = buffer; at < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            const std::string name = event->len ? event->name : "";
            if (name == "Version.ini") events.push_back("journal");
            if (event->mask & IN_DELETE) events.push_back("delete " + name);
            at += sizeof(inotify_event) + event->len;
        }
    }
    close(watch);
    // The two copy entries leave in one write, the run entry in one of its own.
    EXPECT_EQ(events, (std::vector<std::string>{"journal", "delete a.dll", "delete b.dll",
                                                "journal", "delete c.sh"}));
}

// Every entry of a long manifest is listed, downloaded and installed; a list cut short once
// reported success with most files never installed.
TEST_F(Journal, EveryEntryOfALongManifestIsInstalled) {
    constexpr int kEntries = 5000;
    std::string manifest = "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n";
    for (int i = 1; i <= kEntries; ++i) {
        const std::string name = "f" + std::to_string(i) + ".dat";
        manifest += std::to_string(i) + "=" + name + ";0\r\n";
        PublishFile(name, std::to_string(i));
    }
    Publish("2.0", manifest);
    folder_.Write("Default.ini", "");
    OpenWizard();
    QElapsedTimer clock;
    clock.start();
    ClickMain();
    ClickMain();
    ASSERT_EQ(form_->ListedEntries().size(), size_t(kEntries));
    ClickMain();
    ClickMain();
    ASSERT_EQ(Pages(*form_).ActivePage(), "finish");
    for (int i = 1; i <= kEntries; ++i) {
        const std::string name = "f" + std::to_string(i) + ".dat";
        ASSERT_EQ(folder_.Read(name.c_str()), std::to_string(i)) << name;
    }
    EXPECT_FALSE(Exists("Version.ini"));
    EXPECT_EQ(server_.Requests().size(), size_t(2 + 2 * kEntries));
    std::cout << "[ measured ] " << kEntries << " entries listed, downloaded and installed in "
              << clock.elapsed() << " ms\n";
}

}  // namespace
