// The wizard in an application folder where someone has planted symbolic links: as Update\ or
// CUpdate\, among the waiting copies, below Update\, or as a copy's target folder. Whatever the
// link leads to outside is never written, changed, run, deleted or brought into place, and the
// step stops in its failure state. A link the product made, which stays inside, still works.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <map>

#include "app/stoppedstates.h"
#include "core/manifest.h"

namespace {

// Runs from wherever it is linked: it marks the outside folder whenever it runs.
std::string MarkingScript(const QString& outside) {
    return "#!/bin/sh\necho ran >> '" + outside.toStdString() + "/ran.log'\n";
}

void MakeLink(const QString& target, const QString& link) {
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()),
              0)
        << link.toStdString();
}

// An application folder of UpgradeRun beside a folder outside it that holds what a planted
// link may lead to.
class PlantedRun : public UpgradeRun {
public:
    PlantedRun() {
        QDir(outside_.path()).mkpath("Deep");
        WriteOutside("a.dll", "outside a", 0644);
        WriteOutside("x.dll", "outside x", 0644);
        WriteOutside("Customs.dll", "outside customs", 0644);
        WriteOutside("script.sh", MarkingScript(outside_.path()), 0644);
        WriteOutside("program.sh", MarkingScript(outside_.path()), 0755);
    }

    // Every entry below the outside folder with its type, mode, last write to the nanosecond
    // and contents, links not followed: any write, change of mode, run (ran.log) or deletion
    // shows as a difference.
    std::map<std::string, std::string> Outside() const {
        std::map<std::string, std::string> entries;
        QDirIterator it(outside_.path(),
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            struct stat info;
            if (::lstat(QFile::encodeName(path).constData(), &info) != 0) continue;
            std::string& entry =
                entries[QDir(outside_.path()).relativeFilePath(path).toStdString()];
            entry = std::to_string(info.st_mode) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                    std::to_string(info.st_mtim.tv_nsec);
            if (S_ISREG(info.st_mode)) {
                QFile file(path);
                if (file.open(QIODevice::ReadOnly)) entry += " " + file.readAll().toStdString();
            }
        }
        return entries;
    }

    QString App(const QString& name) const { return folder_.NativeFolder() + "/" + name; }
    QString OutsidePath(const QString& name = {}) const {
        return name.isEmpty() ? outside_.path() : outside_.path() + "/" + name;
    }

private:
    void WriteOutside(const char* name, const std::string& bytes, mode_t mode) {
        const QString path = outside_.path() + "/" + name;
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::fromStdString(bytes));
        file.close();
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
    }

    QTemporaryDir outside_;
};

class PlantedLinks : public ::testing::Test, public PlantedRun {};

// Step 0 makes Update\ and CUpdate\ for the updater's own files; a link in their place would
// have the manifest's copy and every download written wherever it leads.
TEST_F(PlantedLinks, TheVersionCheckMakesNoFolderOfALink) {
    const std::string earlier = "[VERSION]\r\nVERSION=1.5\r\n[RUN]\r\n1=old.dll;0\r\n";
    for (const char* name : {"Update", "CUpdate"}) {
        SCOPED_TRACE(name);
        PlantedRun t;
        t.folder_.Write("setup.ini", "[QUENTAROVER]\r\nSYSTEM=1\r\n");
        t.folder_.Write("Version.ini", earlier);
        MakeLink(t.OutsidePath(), t.App(name));
        const auto before = t.Outside();
        t.OpenWizard();
        t.ClickMain();
        EXPECT_EQ(t.StateNow(), State("New", WizardStep::VersionCheck, Texts::RetryButton, true,
                                      Texts::CloseButton, true,
                                      {Texts::CannotCreateFolder + t.folder_.Path(name)}));
        EXPECT_EQ(t.Outside(), before);
        EXPECT_EQ(t.folder_.Read("Version.ini"), earlier);
        EXPECT_FALSE(t.Exists("Version.ini.download"));
    }
}

// Links planted after the list step, where the download writes: as Update\ itself, as the
// file a.dll, and as the folder Bin below Update\.
TEST_F(PlantedLinks, TheDownloadWritesThroughNoLink) {
    const std::string manifest =
        "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=a.dll;0\r\n2=Bin\\x.dll;0\r\n";
    const struct {
        const char* name;
        const char* link;
        const char* leadsTo;
        std::string journal;
    } cases[] = {
        {"Update is a link to a folder outside", "Update", "", manifest},
        {"Update\\a.dll is a link to a file outside", "Update/a.dll", "a.dll", manifest},
        {"Update\\Bin is a link to a folder outside", "Update/Bin", "",
         "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n2=Bin\\x.dll;0\r\n[RUN]\r\n1=a.dll;0\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlantedRun t;
        t.Publish("2.0", manifest);
        t.PublishFile("Bin/x.dll", "new x");
        t.folder_.Write("Default.ini", "");
        t.OpenWizard();
        t.ClickMain();
        t.ClickMain();
        ASSERT_TRUE(QDir(t.App("Update")).isEmpty()) << "nothing is downloaded yet";
        if (c.link == std::string("Update")) QDir(t.App({})).rmdir("Update");
        MakeLink(t.OutsidePath(c.leadsTo), t.App(c.link));
        const auto before = t.Outside();
        t.ClickMain();
        EXPECT_EQ(t.StateNow(), DownloadFailed());
        EXPECT_EQ(t.Outside(), before);
        EXPECT_EQ(t.folder_.Read("Version.ini"), c.journal);
    }
}

// A resumed run goes straight to the install. Its first entry, b.dll, is an ordinary waiting
// copy: it must not be installed either, since every entry is checked before any is.
TEST_F(PlantedLinks, TheInstallTakesNothingThroughALink) {
    const struct {
        const char* name;
        const char* entry;
        const char* link;
        const char* leadsTo;
        std::string expected;
    } cases[] = {
        // The first entry's copy is missing already.
        {"Update is a link to a folder outside", "a.dll;0", "Update", "", FileMissing("b.dll")},
        {"a waiting copy is a link to a file outside", "a.dll;0", "Update/a.dll", "a.dll",
         FileMissing("a.dll")},
        {"a waiting program is a link to a script outside", "c.sh;1", "Update/c.sh", "script.sh",
         FileMissing("c.sh")},
        {"a waiting program is a link to a program outside", "c.sh;1", "Update/c.sh", "program.sh",
         FileMissing("c.sh")},
        {"Update\\Bin is a link to a folder outside", "Bin\\x.dll;0", "Update/Bin", "",
         FileMissing("Bin\\x.dll")},
        {"the target folder is a link to a folder outside", "a.dll;0;;Plugins", "Plugins", "",
         NameRefused("a.dll")},
        {"a folder on the way to the target leads outside", "a.dll;0;;Sub\\Deep", "Sub", "",
         NameRefused("a.dll")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlantedRun t;
        const std::string journal = "[RUN]\r\n1=b.dll;0\r\n2=" + std::string(c.entry) + "\r\n";
        t.folder_.Write("Version.ini", journal);
        // Sub is UpgradeRun's own folder; one case puts a link in its place.
        QDir(t.App({})).rmdir("Sub");
        if (c.link != std::string("Update")) {
            QDir(t.App({})).mkpath("Update");
            t.folder_.Write("Update/b.dll", "new b");
            if (c.link != std::string("Update/a.dll")) t.folder_.Write("Update/a.dll", "new a");
        }
        MakeLink(t.OutsidePath(c.leadsTo), t.App(c.link));
        const auto before = t.Outside();
        t.OpenWizard("on");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return ResumedRunEnded(t); }));
        EXPECT_EQ(t.StateNow(), c.expected);
        EXPECT_EQ(t.Outside(), before);
        EXPECT_EQ(t.folder_.Read("Version.ini"), journal);
        EXPECT_FALSE(t.Exists("b.dll"));
        EXPECT_FALSE(t.Exists("a.dll"));
        EXPECT_FALSE(t.Exists("Bin/x.dll"));
    }
}

// The component refresh of a resumed run replaces an installed component by its waiting copy
// when that is of a later day. Through a link as Update\ or as its folder Bin, the "waiting
// copy" is a file outside that this program never downloaded.
TEST_F(PlantedLinks, TheComponentRefreshBringsInNothingThroughALink) {
    const struct {
        const char* name;
        const char* link;
        const char* leadsTo;
    } cases[] = {
        {"Update is a link to a folder outside", "Update", "Deep"},
        {"Update\\Bin is a link to a folder outside", "Update/Bin", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlantedRun t;
        // Deep\Bin\Customs.dll and Customs.dll: the component's place below either link.
        QDir(t.OutsidePath()).mkpath("Deep/Bin");
        ASSERT_TRUE(
            QFile::copy(t.OutsidePath("Customs.dll"), t.OutsidePath("Deep/Bin/Customs.dll")));
        QFile installed(t.App("Bin/Customs.dll"));
        ASSERT_TRUE(installed.open(QIODevice::ReadWrite));
        ASSERT_TRUE(installed.setFileTime(QDateTime::currentDateTime().addDays(-3),
                                          QFileDevice::FileModificationTime));
        installed.close();
        const std::string journal = "[RUN]\r\n1=a.dll;0\r\n";
        t.folder_.Write("Version.ini", journal);
        if (c.link != std::string("Update")) QDir(t.App({})).mkpath("Update");
        MakeLink(t.OutsidePath(c.leadsTo), t.App(c.link));
        const auto before = t.Outside();
        t.OpenWizard("on");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return ResumedRunEnded(t); }));
        EXPECT_EQ(t.folder_.Read("Bin/Customs.dll"), "old customs");
        EXPECT_EQ(t.StateNow(), FileMissing("a.dll"));
        EXPECT_EQ(t.Outside(), before);
    }
}

// A waiting copy that is a link to another waiting copy leads nowhere outside, but it is no
// download of this program: it is deleted, not what it leads to, and its entry goes back to be
// fetched again.
TEST_F(PlantedLinks, AWaitingCopyThatLinksInsideUpdateIsFetchedAgain) {
    QDir(App({})).mkpath("Update");
    folder_.Write("Update/b.dll", "new b");
    MakeLink("b.dll", App("Update/a.dll"));
    folder_.Write("Version.ini", "[VERSION]\r\nVERSION=2.0\r\n[RUN]\r\n1=a.dll;0\r\n2=b.dll;0\r\n");
    OpenWizard("on");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return ResumedRunEnded(*this); }));
    EXPECT_EQ(StateNow(),
              State("New", WizardStep::List, Texts::RetryButton, true, Texts::CloseButton, true,
                    {Texts::UpdateFile + "a.dll" + Texts::DamagedCopyTail}));
    EXPECT_FALSE(Exists("Update/a.dll"));
    EXPECT_EQ(folder_.Read("Update/b.dll"), "new b");
    EXPECT_FALSE(Exists("a.dll"));
    EXPECT_FALSE(Exists("b.dll"));
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[VERSION]\r\nVERSION=2.0\r\n[RUN]\r\n[1.0]\r\n1=a.dll;0\r\n2=b.dll;0\r\n");
}

// Products link a folder to another of their own (lib -> lib64); a copy into it stays inside
// the application folder and is installed as ever.
TEST_F(PlantedLinks, AFolderLinkThatStaysInsideStillInstalls) {
    Publish("2.0", "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=x.so;0;;lib\r\n");
    PublishFile("x.so", "new x");
    folder_.Write("Default.ini", "");
    QDir(App({})).mkpath("lib64");
    MakeLink("lib64", App("lib"));
    const auto before = Outside();
    OpenWizard();
    for (int i = 0; i < 4; ++i) ClickMain();
    EXPECT_EQ(StateNow(), State("finish", WizardStep::Close, Texts::FinishButton, true,
                                Texts::CancelButton, false));
    EXPECT_EQ(folder_.Read("lib64/x.so"), "new x");
    EXPECT_TRUE(QFileInfo(App("lib")).isSymLink());
    EXPECT_EQ(Outside(), before);
}

// A release may bring folders that the installation lacks: the install makes them, inside the
// application folder only. A ";;" target folder is never made, and a link on the way out is
// refused before anything is written.
TEST_F(PlantedLinks, TheInstallMakesTheFoldersOfANameOnlyInsideTheApplicationFolder) {
    const struct {
        const char* name;
        const char* entry;
        bool installed;
    } cases[] = {
        {"new folders", "New\\Deep\\extra.dat;0", true},
        {"new folders below a target folder", "Deep\\extra.dat;0;;Sub", true},
        {"a target folder that is missing", "extra.dat;0;;Missing", false},
        {"a folder that links outside", "Out\\Deep\\extra.dat;0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlantedRun t;
        t.Publish("2.0", std::string("[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=") + c.entry + "\r\n");
        const std::string name = EntryFileName(c.entry);
        std::string urlPath = name;
        std::replace(urlPath.begin(), urlPath.end(), '\\', '/');
        t.PublishFile(urlPath, "extra");
        t.folder_.Write("Default.ini", "");
        QDir(t.App({})).mkpath("Sub");
        MakeLink(t.OutsidePath(), t.App("Out"));
        const auto before = t.Outside();
        t.OpenWizard();
        for (int i = 0; i < 4; ++i) t.ClickMain();
        EXPECT_EQ(t.StateNow() == State("finish", WizardStep::Close, Texts::FinishButton, true,
                                        Texts::CancelButton, false),
                  c.installed)
            << t.StateNow();
        if (c.installed) {
            const std::string target = std::string(c.entry).find(";;Sub") != std::string::npos
                                           ? "Sub/Deep/extra.dat"
                                           : "New/Deep/extra.dat";
            EXPECT_EQ(t.folder_.Read(target.c_str()), "extra");
        }
        EXPECT_FALSE(QDir(t.App("Missing")).exists());
        EXPECT_EQ(t.Outside(), before);
    }
}

}  // namespace
