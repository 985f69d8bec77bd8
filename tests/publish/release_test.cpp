// sendrift-publish release and verify, run as programs on real folders and against a real
// HTTP server on 127.0.0.1.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <map>

#include "publish/publishsupport.h"
#include "publish/publishtool.h"

namespace {

// Version 2.0 of a product and two older versions laid out as installed, each with the
// updater's own state, which no release lists.
class ReleaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const Folder* version : {&v10_, &v15_, &v20_}) {
            version->Write("setup.ini", "[VERSION]\r\nVERSION=x\r\n");
            version->Write("Update/Pending.dll", "state");
            version->Write("CUpdate/Kept.dll", "state");
            version->Write("sendrift.log", "state");
            version->Write("sendrift.state", "state");
            version->Write("Default.ini",
                           "[Main]\r\nCustoms=Bin\\Customs.dll\r\n"
                           "Documents=Bin\\Documents.dll\r\n");
            version->Write("Bin/Documents.dll", "documents");
        }
        v10_.Write("Readme.txt", "readme 1.0");
        v10_.Write("Bin/Customs.dll", "customs 1.0");
        v10_.Write("Plugins/Report.dll", "report 1.0");
        v10_.Write("Old.txt", "only in 1.0");
        v15_.Write("Readme.txt", "readme 2.0");
        v15_.Write("Bin/Customs.dll", "customs 1.5");
        v15_.Write("Plugins/Report.dll", "report 2.0");
        v15_.Write("New.txt", "new in 1.5");
        v20_.Write("Readme.txt", "readme 2.0");
        v20_.Write("Bin/Customs.dll", "customs 2.0");
        v20_.Write("Plugins/Report.dll", "report 2.0");
        v20_.Write("New.txt", "new in 1.5");
        v20_.Write("Migrate.sh", "#!/bin/sh\n");
        v20_.Date("Bin/Documents.dll", "2019-11-30");
    }

    QStringList Release(const QStringList& more = {}) const {
        return QStringList{
                   "release",        v20_.Path(),          "--version", "2.0",
                   "--data-version", "20240601",           "--from",    "1.0=" + v10_.Path(),
                   "--from",         "1.5=" + v15_.Path(), "--run",     "Migrate.sh",
                   "--out",          out_.Path()} +
               more;
    }
    // A secret key that its owner alone may read, and the public key that goes with it.
    std::pair<QString, std::string> Keys() const {
        const QString secret = work_.path() + "/secret.key";
        const Outcome keygen = Publish({"keygen", secret});
        EXPECT_EQ(keygen.exitCode, 0) << keygen.err;
        return {secret, keygen.out.substr(0, keygen.out.find('\n'))};
    }

    QTemporaryDir work_;
    Folder v10_{work_.path() + "/1.0"}, v15_{work_.path() + "/1.5"}, v20_{work_.path() + "/2.0"};
    Folder out_{work_.path() + "/out"};
};

TEST_F(ReleaseTest, ListsWhatDiffersPerVersionAndPublishesEachNamedFileOnce) {
    const auto [secret, publicKey] = Keys();
    const Outcome release = Publish(Release({"--key", secret}));
    ASSERT_EQ(release.exitCode, 0) << release.err;

    // Path order, the run entry after the copies; Documents is the same everywhere, so only
    // its date can bring it, and Customs, which the sections list, gets no date: the wizard
    // would fetch it twice.
    const std::string expected =
        "[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=20240601\r\n"
        "[1.0]\r\n1=Bin\\Customs.dll;0\r\n2=New.txt;0\r\n3=Plugins\\Report.dll;0\r\n"
        "4=Readme.txt;0\r\n5=Migrate.sh;1\r\n"
        "[1.5]\r\n1=Bin\\Customs.dll;0\r\n2=Migrate.sh;1\r\n"
        "[DLL]\r\nBin\\Documents.dll=2019-11-30\r\n"
        "[SIZE]\r\nBin\\Customs.dll=11\r\nNew.txt=10\r\nPlugins\\Report.dll=10\r\n"
        "Readme.txt=10\r\nMigrate.sh=10\r\nBin\\Documents.dll=9\r\n"
        "[SHA256]\r\nBin\\Customs.dll=" +
        Sha256("customs 2.0") + "\r\nNew.txt=" + Sha256("new in 1.5") +
        "\r\nPlugins\\Report.dll=" + Sha256("report 2.0") +
        "\r\nReadme.txt=" + Sha256("readme 2.0") + "\r\nMigrate.sh=" + Sha256("#!/bin/sh\n") +
        "\r\nBin\\Documents.dll=" + Sha256("documents") + "\r\n";
    EXPECT_EQ(out_.Read("Version.ini"), expected);
    EXPECT_EQ(out_.Read("Version.txt"), "2.0");

    std::map<QString, std::string> published = out_.Snapshot();
    for (const char* own : {"Version.ini", "Version.txt", "Version.ini.sig", "Version.txt.fresh"})
        EXPECT_EQ(published.erase(own), 1u) << own;
    const std::map<QString, std::string> files = {
        {"Bin", "<folder>"},
        {"Plugins", "<folder>"},
        {"Bin/Customs.dll", "customs 2.0"},
        {"Bin/Documents.dll", "documents"},
        {"New.txt", "new in 1.5"},
        {"Plugins/Report.dll", "report 2.0"},
        {"Readme.txt", "readme 2.0"},
        {"Migrate.sh", "#!/bin/sh\n"},
    };
    EXPECT_EQ(published, files);
    EXPECT_NE(release.out.find("From 1.0: 5 files, 51 bytes\n"), std::string::npos) << release.out;
    EXPECT_NE(release.out.find("From 1.5: 2 files, 21 bytes\n"), std::string::npos);
    EXPECT_NE(release.out.find("only in 1.0, left in place: Old.txt\n"), std::string::npos);
    EXPECT_EQ(release.out.find("setup.ini"), std::string::npos) << "the updater's own file";

    const Outcome verify =
        Publish({"verify", out_.Path(), "--key", QString::fromStdString(publicKey)});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.out.rfind("Version.txt.fresh: serial ", 0), 0u) << verify.out;
    EXPECT_TRUE(verify.out.ends_with(", signed by " + publicKey + "\nok: 6 files\n"));
}

TEST_F(ReleaseTest, DryRunPrintsTheSectionsAndWritesNothing) {
    const std::map<QString, std::string> before = Folder(work_.path()).Snapshot();
    const Outcome dry = Publish(Release({"--dry-run"}));
    ASSERT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_EQ(Folder(work_.path()).Snapshot(), before);
    for (const char* line :
         {"[1.0]\r\n1=Bin\\Customs.dll;0\r\n",
          "[1.5]\r\n1=Bin\\Customs.dll;0\r\n2=Migrate.sh;1\r\n", "From 1.0: 5 files, 51 bytes\n",
          "  Migrate.sh  10  (run)\n", "From 1.5: 2 files, 21 bytes\n"})
        EXPECT_NE(dry.out.find(line), std::string::npos) << line << " in:\n" << dry.out;

    // What it prints is what the real run writes.
    ASSERT_EQ(Publish(Release()).exitCode, 0);
    EXPECT_NE(dry.out.find(out_.Read("Version.ini")), std::string::npos);
}

// The updater's own files differ from one installation to the next (its log above all, which
// every run appends to); listed, they would overwrite each installation's own with the
// publisher's.
TEST_F(ReleaseTest, TheUpdatersOwnFilesAreNeverListedWhenTheyDiffer) {
    const Outcome same = Publish(Release());
    ASSERT_EQ(same.exitCode, 0) << same.err;
    const std::map<QString, std::string> published = out_.Snapshot();

    int run = 0;
    for (const Folder* version : {&v10_, &v15_, &v20_}) {
        const std::string differs = "state of run " + std::to_string(++run);
        for (const char* own :
             {"setup.ini", "sendrift.log", "Version.ini", "Version.ini.sig", "Version.ini.download",
              "Version.ini.sig.download", "Update/Pending.dll", "CUpdate/Kept.dll"})
            version->Write(own, differs);
    }
    // Only in 2.0 under its own spelling, and only in 1.5 under another.
    ASSERT_TRUE(QFile::remove(v10_.At("sendrift.log")));
    ASSERT_TRUE(QFile::rename(v15_.At("sendrift.log"), v15_.At("SENDRIFT.LOG")));
    const Outcome differing = Publish(Release({"--force"}));
    ASSERT_EQ(differing.exitCode, 0) << differing.err;
    EXPECT_EQ(differing.out, same.out);
    EXPECT_EQ(out_.Snapshot(), published);
}

// Each refusal says why and leaves every folder as it was.
TEST_F(ReleaseTest, RefusesWithAReasonAndWritesNothing) {
    const auto [secret, publicKey] = Keys();
    const QString secretNative = secret;
    const QString openKey = work_.path() + "/open.key";
    ASSERT_TRUE(QFile::copy(secret, openKey));
    ASSERT_EQ(::chmod(QFile::encodeName(openKey).constData(), 0644), 0);
    const QString notAKey = work_.path() + "/not.key";
    Folder(work_.path()).Write("not.key", "no key");
    ASSERT_EQ(::chmod(QFile::encodeName(notAKey).constData(), 0600), 0);
    Folder semicolon(work_.path() + "/semicolon");
    semicolon.Write("a;0;;..\\up.dll", "x");
    Folder equals(work_.path() + "/equals");
    equals.Write("a=b.dll", "x");
    Folder control(work_.path() + "/control");
    control.Write("tab\t.dll", "x");
    Folder cases(work_.path() + "/cases");
    cases.Write("a.dll", "x");
    cases.Write("A.DLL", "y");
    Folder unsafeComponent(work_.path() + "/component");
    unsafeComponent.Write("Default.ini", "[Main]\r\nEvil=..\\outside.dll\r\n");
    Folder linked(work_.path() + "/linked");
    ASSERT_EQ(::symlink("/etc/hostname", QFile::encodeName(linked.At("a.dll")).constData()), 0);
    Folder full(work_.path() + "/full");
    full.Write("earlier.txt", "kept");

    const QString v10 = "1.0=" + v10_.Path();
    const QString v20 = v20_.Path();
    auto release = [&](const QString& from, const QStringList& more) {
        return QStringList{"release", from, "--version", "2.0",
                           "--from",  v10,  "--out",     out_.Path()} +
               more;
    };
    const struct {
        const char* name;
        QStringList arguments;
        std::string says;
    } cases_[] = {
        {"the new version is an older one",
         {"release", v20, "--version", "1.0", "--from", v10, "--out", out_.Path()},
         "the older version 1.0 is the new version"},
        {"a version the wizard takes for an error page",
         {"release", v20, "--version", "2024.06.01", "--from", v10, "--out", out_.Path()},
         "the version \"2024.06.01\" is no version the wizard takes"},
        {"an older version twice", release(v20, {"--from", v10}),
         "the older version 1.0 is given twice"},
        {"an older version that names a section of the manifest",
         release(v20, {"--from", "DLL=" + v15_.Path()}),
         "the older version DLL would name a section"},
        {"an older version that is no section name",
         release(v20, {"--from", "1.5]=" + v15_.Path()}),
         "a version does not read back from the manifest"},
        {"a name the entry cannot carry", release(semicolon.Path(), {}),
         "the file a;0;;..\\up.dll is a name the wizard refuses"},
        {"a name with a control character", release(control.Path(), {}),
         "the file tab\t.dll is a name the wizard refuses"},
        {"a name the INI store cannot carry", release(equals.Path(), {}),
         "\"a=b.dll=1\" of [SIZE] does not read back"},
        {"names that differ in letter case", release(cases.Path(), {}),
         "a.dll and A.DLL differ in letter case only"},
        {"a component outside the folder", release(unsafeComponent.Path(), {}),
         "the component ..\\outside.dll is a name the wizard refuses"},
        {"a link in the release", release(linked.Path(), {}), "a.dll in "},
        {"a run entry that is no file of the release", release(v20, {"--run", "Missing.sh"}),
         "--run Missing.sh is no file of "},
        {"a missing release folder", release(work_.path() + "/none", {}), "the folder "},
        {"a missing older folder",
         {"release", v20, "--version", "2.0", "--from", "1.0=" + work_.path() + "/none", "--out",
          out_.Path()},
         "the folder "},
        {"an output folder that is not empty",
         {"release", v20, "--version", "2.0", "--from", v10, "--out", full.Path()},
         "is not empty; --force replaces"},
        {"the output inside the release",
         {"release", v20, "--version", "2.0", "--from", v10, "--out", v20 + "/out", "--force"},
         "overlaps the release folder"},
        {"the release inside the output",
         {"release", v20, "--version", "2.0", "--from", v10, "--out", work_.path(), "--force"},
         "overlaps the release folder"},
        {"a secret key that others may read", release(v20, {"--key", openKey}),
         "is open to others than its owner"},
        {"a file that holds no secret key", release(v20, {"--key", notAKey}),
         "holds no secret key"},
    };
    QDir(out_.Path()).removeRecursively();
    const std::map<QString, std::string> before = Folder(work_.path()).Snapshot();
    for (const auto& c : cases_) {
        for (const bool dryRun : {false, true}) {
            const Outcome outcome =
                Publish(c.arguments + (dryRun ? QStringList{"--dry-run"} : QStringList{}));
            EXPECT_EQ(outcome.exitCode, 1) << c.name << ": " << outcome.err;
            EXPECT_NE(outcome.err.find("sendrift-publish: "), std::string::npos) << c.name;
            EXPECT_NE(outcome.err.find(c.says), std::string::npos) << c.name << ": " << outcome.err;
            EXPECT_EQ(Folder(work_.path()).Snapshot(), before) << c.name;
        }
    }
    EXPECT_FALSE(QFileInfo::exists(out_.Path()));

    for (const QStringList& incomplete :
         {QStringList{"release", v20, "--version", "2.0", "--out", out_.Path()},
          QStringList{"release", v20, "--from", v10, "--out", out_.Path()},
          QStringList{"release", v20, "--version", "2.0", "--from", v10},
          QStringList{"release", v20, "--version", "2.0", "--from", "1.0", "--out", out_.Path()}}) {
        const Outcome usage = Publish(incomplete);
        EXPECT_EQ(usage.exitCode, 2) << incomplete.join(' ').toStdString();
        EXPECT_EQ(usage.err.rfind("usage: ", 0), 0u);
    }
    EXPECT_EQ(Folder(work_.path()).Snapshot(), before);
}

TEST_F(ReleaseTest, ForceReplacesWhatTheOutputFolderHeld) {
    out_.Write("Stale/old.dll", "from an earlier release");
    const Outcome release = Publish(Release({"--force"}));
    ASSERT_EQ(release.exitCode, 0) << release.err;
    EXPECT_FALSE(QFileInfo::exists(out_.At("Stale")));
    EXPECT_EQ(out_.Read("Version.txt"), "2.0");
}

// A made update folder spoiled in one way at a time: each problem has its own line, and the
// exit code says that something is wrong.
TEST_F(ReleaseTest, VerifyFindsEachProblemOnALineOfItsOwn) {
    const auto [secret, publicKey] = Keys();
    ASSERT_EQ(Publish(Release({"--key", secret})).exitCode, 0);
    const std::map<QString, std::string> made = out_.Snapshot();
    Folder otherKeys(work_.path() + "/other");
    const Outcome other = Publish({"keygen", otherKeys.At("secret.key")});
    ASSERT_EQ(other.exitCode, 0);
    const std::string manifest = out_.Read("Version.ini");
    const std::string kNotSigned =
        "Version.ini.sig: no valid signature of Version.ini by the given keys or a key they "
        "rotated to\n";

    const struct {
        const char* name;
        std::function<void()> spoil;
        std::string lines;
    } cases[] = {
        {"a tampered file", [&] { out_.Write("Readme.txt", "readme 2.X"); },
         "Readme.txt: differs from its [SHA256] digest\n"},
        {"a file grown", [&] { out_.Write("New.txt", "new in 1.5!"); },
         "New.txt: [SIZE] says 10 bytes, the file has 11\n"
         "New.txt: differs from its [SHA256] digest\n"},
        {"a missing file", [&] { QFile::remove(out_.At("Plugins/Report.dll")); },
         "Plugins\\Report.dll: missing\n"},
        {"a wrong Version.txt", [&] { out_.Write("Version.txt", "2.0\r\n"); },
         "Version.txt: says \"2.0\r\n\", [VERSION] VERSION \"2.0\"\n"
         "Version.txt.fresh: it names the Version.txt with SHA-256 " +
             Sha256("2.0") + ", the server sent one with SHA-256 " + Sha256("2.0\r\n") + "\n"},
        {"a signature by another key",
         [&] {
             ASSERT_EQ(Publish({"sign", out_.Path(), otherKeys.At("secret.key")}).exitCode, 0);
         },
         kNotSigned},
        {"no signature", [&] { QFile::remove(out_.At("Version.ini.sig")); },
         "Version.ini.sig: missing\n"},
        {"a manifest edited after signing",
         [&] { out_.Write("Version.ini", manifest + "[0.9]\r\n1=Readme.txt;0\r\n"); },
         "Version.ini: its SHA-256 is " + Sha256(manifest + "[0.9]\r\n1=Readme.txt;0\r\n") +
             ", Version.txt.fresh names the manifest with SHA-256 " + Sha256(manifest) +
             ": a manifest of another release\n" + kNotSigned},
        {"a name the wizard refuses and a size that is none",
         [&] {
             std::string edited = manifest;
             edited.replace(edited.find("2=Migrate.sh;1"), 14, "2=..\\Migrate.sh;1");
             edited.replace(edited.find("Readme.txt=10"), 13, "Readme.txt=1O");
             out_.Write("Version.ini", edited);
             ASSERT_EQ(Publish({"sign", out_.Path(), secret}).exitCode, 0);
             ASSERT_EQ(Publish({"refresh", out_.Path(), "--key", secret}).exitCode, 0);
         },
         "[1.5] 2=..\\Migrate.sh;1: a name the wizard refuses\n"
         "Readme.txt: [SIZE] \"1O\" is no size\n"},
    };
    for (const auto& c : cases) {
        QDir(out_.Path()).removeRecursively();
        ASSERT_EQ(Publish(Release({"--key", secret})).exitCode, 0);
        c.spoil();
        const Outcome verify =
            Publish({"verify", out_.Path(), "--key", QString::fromStdString(publicKey)});
        EXPECT_EQ(verify.exitCode, 1) << c.name;
        EXPECT_EQ(verify.out, c.lines) << c.name;
    }

    // The public key may also come from a file.
    QDir(out_.Path()).removeRecursively();
    ASSERT_EQ(Publish(Release({"--key", secret})).exitCode, 0);
    Folder(work_.path()).Write("public.key", publicKey + "\n");
    EXPECT_EQ(Publish({"verify", out_.Path(), "--key", work_.path() + "/public.key"}).exitCode, 0);
}

TEST_F(ReleaseTest, VerifyAsksALiveServerTheWayTheWizardDoes) {
    ASSERT_EQ(Publish(Release()).exitCode, 0);
    Folder site(work_.path() + "/site");
    ASSERT_EQ(QProcess::execute("cp", {"-r", out_.Path(), site.At("Update")}), 0);
    PythonServer server(site.Path());
    ASSERT_FALSE(server.Url().isEmpty()) << "python3 -m http.server did not start";

    const Outcome agrees = Publish({"verify", out_.Path(), "--url", server.Url() + "/"});
    EXPECT_EQ(agrees.exitCode, 0) << agrees.out << agrees.err;
    EXPECT_EQ(agrees.out, "ok: 6 files, and the server agrees\n");

    site.Write("Update/Version.txt", "1.9");
    site.Write("Update/Readme.txt", "readme 2.0, longer");
    QFile::remove(site.At("Update/Bin/Documents.dll"));
    const std::string url = server.Url().toStdString() + "/Update/";
    const Outcome differs = Publish({"verify", out_.Path(), "--url", server.Url()});
    EXPECT_EQ(differs.exitCode, 1);
    EXPECT_EQ(differs.out, "GET " + url + "Version.txt: differs from " +
                               out_.At("Version.txt").toStdString() + "\n" + "HEAD " + url +
                               "Readme.txt: announces 18 bytes, the file has 10\n" + "HEAD " + url +
                               "Bin/Documents.dll: status 404\n");
}

}  // namespace
