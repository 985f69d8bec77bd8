// Names written on the product's home system, where "BIN\customs.DLL" and "Bin\Customs.dll" are
// one file: manifests, component lists and journals spell a file as their authors typed it, the
// installation as it was installed, and the update server (case-sensitive here) as the
// publisher wrote it.
#include <QDir>
#include <map>

#include "app/stoppedstates.h"
#include "support/scriptedhttpserver.h"

namespace {

using testsupport::ScriptedResponse;

constexpr const char* kVersion = "[VERSION]\r\nVERSION=2.0\r\n";

// Every folder ("name/") and file (with its bytes) below `root`, by relative path; the
// folder of downloads is listed but not entered (what stays in it is the updater's own), and
// the product's settings, the journal and the log are left out.
std::map<std::string, std::string> Tree(const QString& root, const QString& below = {}) {
    std::map<std::string, std::string> tree;
    const QDir folder(root + "/" + below);
    for (const QFileInfo& entry :
         folder.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QString name = below.isEmpty() ? entry.fileName() : below + "/" + entry.fileName();
        if (entry.isDir()) {
            tree[name.toStdString() + "/"];
            if (name.compare("Update", Qt::CaseInsensitive) != 0) tree.merge(Tree(root, name));
        } else if (!QStringList{"setup.ini", "Default.ini", "Custom.ini", "Version.ini",
                                "sendrift.log"}
                        .contains(name)) {
            tree[name.toStdString()] =
                platform::ReadWholeFile(platform::FromUnicode(entry.filePath())).value_or("");
        }
    }
    return tree;
}

// The requests for the update's files, as "METHOD target".
std::vector<std::string> FileRequests(const UpgradeRun& run) {
    std::vector<std::string> requests;
    for (const std::string& line : run.RequestLines()) {
        const std::string request = line.substr(0, line.rfind(' '));
        if (request.find("/Update/Version.") == std::string::npos) requests.push_back(request);
    }
    return requests;
}

std::string Finished() {
    return State("finish", WizardStep::Close, Texts::FinishButton, true, Texts::CancelButton,
                 false);
}
std::string InstallStopped(const AnsiString& message) {
    return State("New", WizardStep::Install, Texts::RetryButton, true, Texts::CloseButton, true,
                 {message});
}

// Each case lays out an installation beside UpgradeRun's (Bin/Customs.dll, Sub/), publishes a
// manifest, runs the upgrade to its end and compares the requests, the state and the folder.
TEST(WindowsNames, ANameIsTheInstalledFileWhateverItsLetterCase) {
    const std::map<std::string, std::string> untouched = {
        {"Bin/", ""}, {"Bin/Customs.dll", "old customs"}, {"Sub/", ""}};
    const struct {
        const char* name;
        std::string setup;                             // setup.ini
        std::string components;                        // Default.ini
        std::map<std::string, std::string> installed;  // "name/" for a folder
        std::string manifest;                          // after [VERSION]
        std::map<std::string, std::string> published;  // below /Update/
        std::vector<std::string> requests;
        std::string state;
        std::map<std::string, std::string> tree;  // beside `untouched`, which it may replace
    } cases[] = {
        {"a copy entry spelled otherwise replaces the installed file",
         "",
         "",
         {},
         "[1.0]\r\n1=BIN\\customs.DLL;0\r\n",
         {{"BIN/customs.DLL", "new customs"}},
         {"HEAD /Update/BIN/customs.DLL", "GET /Update/BIN/customs.DLL"},
         Finished(),
         {{"Bin/Customs.dll", "new customs"}, {"Update/", ""}}},
        {"a component spelled a third way is asked for as the publisher spells it",
         "",
         "[Main]\r\nSettlement=bin\\settlement.DLL\r\n",
         {{"Bin/Settlement.dll", "old settlement"}},
         "[1.0]\r\n[DLL]\r\nBIN\\SETTLEMENT.DLL=2030-01-01\r\n",
         {{"BIN/SETTLEMENT.DLL", "new settlement"}},
         {"HEAD /Update/BIN/SETTLEMENT.DLL", "GET /Update/BIN/SETTLEMENT.DLL"},
         Finished(),
         {{"Bin/Settlement.dll", "new settlement"}, {"Update/", ""}}},
        {"two folders that differ in case only refuse the batch",
         "",
         "",
         {{"Bin/a.dll", "one"}, {"bin/a.dll", "two"}},
         "[1.0]\r\n1=x.dll;0\r\n2=BIN\\A.dll;0\r\n",
         {{"x.dll", "new x"}, {"BIN/A.dll", "new a"}},
         {"HEAD /Update/x.dll", "HEAD /Update/BIN/A.dll", "GET /Update/x.dll",
          "GET /Update/BIN/A.dll"},
         InstallStopped(Texts::UpdateFile + "BIN\\A.dll" + Texts::AmbiguousNameTail),
         {{"Bin/a.dll", "one"}, {"bin/", ""}, {"bin/a.dll", "two"}, {"Update/", ""}}},
        {"two files that differ in case only refuse the batch",
         "",
         "",
         {{"Bin/a.dll", "one"}, {"Bin/A.DLL", "two"}},
         "[1.0]\r\n1=x.dll;0\r\n2=bin\\a.dll;0\r\n",
         {{"x.dll", "new x"}, {"bin/a.dll", "new a"}},
         {"HEAD /Update/x.dll", "HEAD /Update/bin/a.dll", "GET /Update/x.dll",
          "GET /Update/bin/a.dll"},
         InstallStopped(Texts::UpdateFile + "bin\\a.dll" + Texts::AmbiguousNameTail),
         {{"Bin/a.dll", "one"}, {"Bin/A.DLL", "two"}, {"Update/", ""}}},
        {"lower-case update and cupdate folders are the updater's own",
         "[QUENTAROVER]\r\nSYSTEM=1\r\n",
         "",
         {{"update/", ""}, {"cupdate/", ""}},
         "[1.0]\r\n1=a.dll;0\r\n",
         {{"a.dll", "new a"}},
         {"HEAD /Update/a.dll", "GET /Update/a.dll"},
         Finished(),
         {{"a.dll", "new a"},
          {"update/", ""},
          {"cupdate/", ""},
          {"cupdate/a.dll", "new a"},
          {"cupdate/Version.ini", kVersion + std::string("[1.0]\r\n1=a.dll;0\r\n")}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        t.Publish("2.0", kVersion + c.manifest);
        for (const auto& [path, body] : c.published) t.PublishFile(path, body);
        t.folder_.Write("setup.ini", c.setup);
        t.folder_.Write("Default.ini", c.components);
        for (const auto& [name, bytes] : c.installed) {
            QDir(t.folder_.NativeFolder()).mkpath(QFileInfo(QString::fromStdString(name)).path());
            if (name.back() != '/') t.folder_.Write(name.c_str(), bytes);
        }
        t.OpenWizard();
        for (int i = 0; i < 4; ++i) t.ClickMain();
        EXPECT_EQ(t.StateNow(), c.state);
        EXPECT_EQ(FileRequests(t), c.requests);
        std::map<std::string, std::string> expected = c.tree;
        expected.insert(untouched.begin(), untouched.end());
        EXPECT_EQ(Tree(t.folder_.NativeFolder()), expected);
    }
}

// A name listed twice once made two transfers into one partial copy ("cannot flush"), or two
// copies of one target in an install batch, the second deleting the first (ENOENT on every
// retry); a component that Default.ini and Custom.ini both list became two entries.
TEST(NamesListedTwice, AreFetchedOnceAndInstalledOnceWhereTheLastEntryPutsThem) {
    UpgradeRun t;
    t.Publish("2.0", kVersion + std::string("[1.0]\r\n1=a.dll;0;;Sub\r\n2=A.DLL;0\r\n"
                                            "[DLL]\r\nBin\\Customs.dll=2030-01-01\r\n"
                                            "[SIZE]\r\na.dll=5\r\nBin\\Customs.dll=11\r\n"));
    t.PublishFile("a.dll", "new a");
    t.PublishFile("A.DLL", "new a");
    t.folder_.Write("Custom.ini", "[More]\r\nCustoms=Bin\\Customs.dll\r\n");
    t.folder_.Write("a.dll", "old a");
    t.folder_.Write("Sub/a.dll", "old sub a");
    TMainform& form = t.OpenWizard();
    t.ClickMain();
    t.ClickMain();
    std::vector<AnsiString> listed;
    for (const TJournal::Entry& entry : form.ListedEntries()) listed.push_back(entry.fileName);
    EXPECT_EQ(listed, (std::vector<AnsiString>{"A.DLL", "Bin\\Customs.dll"}));
    t.ClickMain();
    t.ClickMain();
    EXPECT_EQ(t.StateNow(), Finished());
    // Fetched ahead of each other, so in either order.
    std::vector<std::string> requests = FileRequests(t);
    std::sort(requests.begin(), requests.end());
    EXPECT_EQ(requests,
              (std::vector<std::string>{"GET /Update/A.DLL", "GET /Update/Bin/Customs.dll"}));
    EXPECT_EQ(t.folder_.Read("a.dll"), "new a");
    EXPECT_EQ(t.folder_.Read("Sub/a.dll"), "old sub a");
    EXPECT_EQ(t.folder_.Read("Bin/Customs.dll"), "new customs");
}

}  // namespace
