// sendrift-publish run as a program on real folders, and a wizard that takes what it made.
#include <sys/stat.h>
#include <unistd.h>

#include <QDirIterator>
#include <QProcess>

#include "app/texts.h"
#include "app/upgraderun.h"
#include "publish/publishsupport.h"
#include "publish/publishtool.h"

namespace {

// A publisher's update folder, as it goes onto the server under /Update.
class PublisherFolder {
public:
    QString Native(const char* name = "") const { return root_.NativeFolder() + "/" + name; }
    void Write(const char* name, const std::string& bytes) const {
        QDir(root_.NativeFolder()).mkpath(QFileInfo(Native(name)).path());
        root_.Write(name, bytes);
    }
    std::string Read(const char* name) const { return root_.Read(name); }
    // A symbolic link `name` in the folder that points at `target`, which need not exist.
    void Link(const char* name, const QString& target) const {
        QDir(root_.NativeFolder()).mkpath(QFileInfo(Native(name)).path());
        ASSERT_EQ(::symlink(target.toLocal8Bit().constData(), Native(name).toLocal8Bit()), 0)
            << name;
    }
    // Every path below the folder, links included and not followed.
    QStringList Entries() const {
        QStringList entries;
        for (QDirIterator it(root_.NativeFolder(),
                             QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                             QDirIterator::Subdirectories);
             it.hasNext();)
            entries << QDir(root_.NativeFolder()).relativeFilePath(it.next());
        entries.sort();
        return entries;
    }

    // Serves every file of the folder, by its path below it, under /Update.
    void ServeFrom(testsupport::ScriptedHttpServer& server) const {
        for (QDirIterator files(root_.NativeFolder(), QDir::Files, QDirIterator::Subdirectories);
             files.hasNext();) {
            const QString path = files.next();
            const std::string relative =
                QDir(root_.NativeFolder()).relativeFilePath(path).toStdString();
            server.Serve("/Update/" + relative,
                         testsupport::ScriptedResponse::Ok(root_.Read(relative.c_str())));
        }
    }

private:
    TempAppFolder root_;
};

TEST(Publish, KeygenHashAndSignMakeAnUpdateThatTheWizardInstalls) {
    TempAppFolder keys;
    const QString secretKey = keys.NativeFolder() + "/secret.key";
    const Outcome keygen = Publish({"keygen", secretKey});
    ASSERT_EQ(keygen.exitCode, 0) << keygen.err;
    ASSERT_EQ(keygen.out.size(), 45u) << "the public key on a line: " << keygen.out;
    const AnsiString publicKey = keygen.out.substr(0, 44);

    PublisherFolder update;
    update.Write("Version.txt", "2.0");
    update.Write("Version.ini", kManifest);
    update.Write("a.dll", "new a");
    update.Write("b.dll", "new b");
    update.Write("c.sh", kRunScript);
    update.Write("Bin/Customs.dll", "new customs");
    const Outcome hash = Publish({"hash", update.Native()});
    ASSERT_EQ(hash.exitCode, 0) << hash.err;
    EXPECT_EQ(hash.out, Sha256("new a") + "  a.dll\n" + Sha256("new b") + "  b.dll\n" +
                            Sha256(kRunScript) + "  c.sh\n" + Sha256("new customs") +
                            "  Bin\\Customs.dll\n");
    const Outcome sign = Publish({"sign", update.Native(), secretKey});
    ASSERT_EQ(sign.exitCode, 0) << sign.err;
    // A build with a key believes the folder only with a fresh statement for it.
    const Outcome refresh = Publish({"refresh", update.Native(), "--key", secretKey});
    ASSERT_EQ(refresh.exitCode, 0) << refresh.err;

    UpgradeRun run;
    run.manifestKey_ = publicKey;
    update.ServeFrom(run.server_);
    run.OpenWizard();
    for (int i = 0; i < 4; ++i) run.ClickMain();
    EXPECT_EQ(Pages(*run.form_).ActivePage(), "finish");
    EXPECT_EQ(run.folder_.Read("a.dll"), "new a");
    EXPECT_EQ(run.folder_.Read("Sub/b.dll"), "new b");
    EXPECT_EQ(run.folder_.Read("ran.log"), "ran\n");
    EXPECT_EQ(run.folder_.Read("Bin/Customs.dll"), "new customs");
    EXPECT_EQ(run.RequestLines()[3], "GET /Update/Version.ini.sig HTTP/1.0");

    // A manifest whose digests were refreshed after signing is refused.
    update.Write("a.dll", "newer a");
    ASSERT_EQ(Publish({"hash", update.Native()}).exitCode, 0);
    UpgradeRun staleSignature;
    staleSignature.manifestKey_ = publicKey;
    update.ServeFrom(staleSignature.server_);
    staleSignature.OpenWizard();
    staleSignature.ClickMain();
    EXPECT_EQ(staleSignature.MemoLines(Message(*staleSignature.form_)),
              std::vector<AnsiString>{Texts::ManifestUnavailableMessage});
}

// The sections list each file the wizard may fetch once, under the first spelling, with its
// digest and its size, and keep nothing of an earlier run: a digest left for a file no longer
// there, or in a second [SHA256] that a write would fall into, would refuse or wave through the
// wrong file.
TEST(Publish, HashRewritesTheDigestsOfEveryListedFileThatIsThere) {
    PublisherFolder update;
    update.Write("Version.ini",
                 "[VERSION]\r\nVERSION=2.0\r\n"
                 "[SHA256]\r\ngone.dll=00\r\na.dll=11\r\n"
                 "[1.0]\r\n1=a.dll;0\r\n2=Sub\\b.dll;0;;Sub\r\n3=missing.dll;0\r\n"
                 "4=..\\outside.dll;0\r\n5=no kind\r\n"
                 "[1.5]\r\n1=A.DLL;0\r\n2=c.sh;1\r\n"
                 "[DLL]\r\nBin\\Customs.dll=2030-01-01\r\n"
                 "[RUN]\r\n1=run.dll;0\r\n"
                 "[sha256]\r\nc.sh=22\r\n[Size]\r\ngone.dll=5\r\na.dll=x\r\n");
    update.Write("a.dll", "a");
    update.Write("A.DLL", "a");
    update.Write("Sub/b.dll", "b");
    update.Write("c.sh", "c");
    update.Write("Bin/Customs.dll", "customs");
    update.Write("run.dll", "journal only");
    update.Write("outside.dll", "x");

    const Outcome hash = Publish({"hash", update.Native()});
    ASSERT_EQ(hash.exitCode, 0) << hash.err;
    EXPECT_EQ(update.Read("Version.ini"),
              "[VERSION]\r\nVERSION=2.0\r\n"
              "[1.0]\r\n1=a.dll;0\r\n2=Sub\\b.dll;0;;Sub\r\n3=missing.dll;0\r\n"
              "4=..\\outside.dll;0\r\n5=no kind\r\n"
              "[1.5]\r\n1=A.DLL;0\r\n2=c.sh;1\r\n"
              "[DLL]\r\nBin\\Customs.dll=2030-01-01\r\n"
              "[RUN]\r\n1=run.dll;0\r\n"
              "[SHA256]\r\na.dll=" +
                  Sha256("a") + "\r\nSub\\b.dll=" + Sha256("b") + "\r\nc.sh=" + Sha256("c") +
                  "\r\nBin\\Customs.dll=" + Sha256("customs") +
                  "\r\n[SIZE]\r\na.dll=1\r\nSub\\b.dll=1\r\nc.sh=1\r\nBin\\Customs.dll=7\r\n");
    EXPECT_EQ(hash.err,
              "skipped missing.dll: not in the folder\nskipped ..\\outside.dll: outside the "
              "folder\n");

    // Where the two spellings are two different files, one of them would be refused.
    update.Write("A.DLL", "A");
    const Outcome clash = Publish({"hash", update.Native()});
    EXPECT_EQ(clash.exitCode, 1);
    EXPECT_NE(clash.err.find("A.DLL differs"), std::string::npos) << clash.err;
}

// A link gives the digest of whatever it points at, which need not be what is uploaded or what
// the server holds; the manifest must stay as it was, not half rewritten.
TEST(Publish, HashRefusesSymbolicLinksInTheFolderAndChangesNothing) {
    const std::string manifest =
        "[VERSION]\r\nVERSION=2.0\r\n"
        "[SHA256]\r\nfirst.dll=00\r\n"
        "[1.0]\r\n1=first.dll;0\r\n2=a.dll;0\r\n3=Sub\\b.dll;0;;Sub\r\n"
        "[DLL]\r\nBin\\Customs.dll=2030-01-01\r\n";
    TempAppFolder outside;
    outside.Write("secret", "not for the update");
    outside.Write("Version.ini", manifest);
    QDir(outside.NativeFolder()).mkpath("Sub");
    outside.Write("Sub/b.dll", "b from elsewhere");
    const QString elsewhere = outside.NativeFolder() + "/";

    const struct {
        const char* name;
        const char* link;
        QString target;  // relative targets are taken from the link's own folder
        std::string says;
    } cases[] = {
        {"a file link out of the folder", "a.dll", elsewhere + "secret",
         "a.dll is a symbolic link;"},
        {"a file link to a file of the folder", "a.dll", "first.dll", "a.dll is a symbolic link;"},
        {"a link to nothing", "a.dll", "gone.dll", "a.dll is a symbolic link;"},
        {"a link to a file in a subfolder", "Sub/b.dll", elsewhere + "Sub/b.dll",
         "Sub\\b.dll is a symbolic link;"},
        {"a folder link", "Sub", elsewhere + "Sub",
         "Sub is a symbolic link (on the way to Sub\\b.dll);"},
        {"a folder link of a component", "Bin", elsewhere + "Sub",
         "Bin is a symbolic link (on the way to Bin\\Customs.dll);"},
        {"the manifest a link", "Version.ini", elsewhere + "Version.ini",
         "Version.ini is a symbolic link;"},
    };
    for (const auto& c : cases) {
        PublisherFolder update;
        update.Write("first.dll", "first");
        const QString link = c.link;
        for (const char* file : {"Version.ini", "a.dll", "Sub/b.dll", "Bin/Customs.dll"}) {
            // Nothing regular where the link goes, nor below a folder link.
            if (link == file || QString(file).startsWith(link + "/")) continue;
            update.Write(file, file == std::string("Version.ini") ? manifest : file);
        }
        update.Link(c.link, c.target);
        const QStringList before = update.Entries();

        const Outcome hash = Publish({"hash", update.Native()});
        EXPECT_EQ(hash.exitCode, 1) << c.name;
        EXPECT_EQ(hash.err, "sendrift-publish: " + c.says +
                                " the update folder must hold the files themselves\n")
            << c.name;
        EXPECT_TRUE(hash.out.empty()) << c.name << ": " << hash.out;
        EXPECT_EQ(update.Read("Version.ini"), manifest) << c.name;
        EXPECT_EQ(update.Entries(), before) << c.name;
        EXPECT_TRUE(QFileInfo(update.Native(c.link)).isSymLink()) << c.name;
    }
    EXPECT_EQ(outside.Read("Version.ini"), manifest);
}

// Whoever can read the secret key can sign an update that every installed Sendrift accepts.
TEST(Publish, SignTakesOnlyASecretKeyThatItsOwnerAloneMayUse) {
    PublisherFolder update;
    update.Write("Version.ini", "[1.0]\r\n1=a.dll;0\r\n");
    update.Write("Version.ini.sig", "earlier signature\n");
    TempAppFolder keys;
    // A name that the shell splits and quotes, so the command shown must quote it right.
    const QString secretKey = keys.NativeFolder() + "/the publisher's key";
    ASSERT_EQ(Publish({"keygen", secretKey}).exitCode, 0);
    const QByteArray nativeKey = secretKey.toLocal8Bit();

    const struct {
        mode_t mode;
        bool taken;
    } cases[] = {
        {0600, true}, {0700, true}, {0640, false}, {0604, false}, {0620, false}, {0601, false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(::chmod(nativeKey.constData(), c.mode), 0);
        const Outcome sign = Publish({"sign", update.Native(), secretKey});
        const std::string mode = QString::number(c.mode, 8).toStdString();
        if (c.taken) {
            EXPECT_EQ(sign.exitCode, 0) << mode << ": " << sign.err;
            EXPECT_NE(update.Read("Version.ini.sig"), "earlier signature\n") << mode;
            update.Write("Version.ini.sig", "earlier signature\n");
            continue;
        }
        EXPECT_EQ(sign.exitCode, 1) << mode;
        EXPECT_EQ(sign.err, "sendrift-publish: " + nativeKey.toStdString() +
                                " is open to others than its owner (mode 0" + mode +
                                "); a secret key must be its owner's alone: chmod 600 '" +
                                keys.NativeFolder().toStdString() + "/the publisher'\\''s key'\n")
            << mode;
        EXPECT_EQ(update.Read("Version.ini.sig"), "earlier signature\n") << mode;
    }

    // The command it shows is one to run as it stands.
    ASSERT_EQ(::chmod(nativeKey.constData(), 0644), 0);
    const Outcome refused = Publish({"sign", update.Native(), secretKey});
    const size_t command = refused.err.find("chmod 600 ");
    ASSERT_NE(command, std::string::npos) << refused.err;
    QProcess shell;
    shell.start("/bin/sh", {"-c", QString::fromLocal8Bit(refused.err.substr(command).c_str())});
    ASSERT_TRUE(shell.waitForFinished(30000));
    ASSERT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
    EXPECT_EQ(Publish({"sign", update.Native(), secretKey}).exitCode, 0);
    EXPECT_NE(update.Read("Version.ini.sig"), "earlier signature\n");
}

TEST(Publish, RefusesWhatItCannotDoAndChangesNothing) {
    TempAppFolder keys;
    const QString secretKey = keys.NativeFolder() + "/secret.key";
    ASSERT_EQ(Publish({"keygen", secretKey}).exitCode, 0);
    const std::string secret = keys.Read("secret.key");
    struct stat info;
    ASSERT_EQ(::stat(secretKey.toLocal8Bit().constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "only its owner may read the secret key";
    keys.Write("public.txt", "not a key");

    PublisherFolder update;
    update.Write("Version.ini", "[1.0]\r\n1=a.dll;0\r\n");
    const QString empty = keys.NativeFolder() + "/empty";
    QDir().mkpath(empty);
    const std::string k = keys.NativeFolder().toStdString();
    const std::string usage = "usage: sendrift-publish keygen SECRETKEY\n";
    const struct {
        const char* name;
        QStringList arguments;
        int exitCode;
        std::string says;  // the start of what it writes to stderr
    } cases[] = {
        {"no command", {}, 2, usage},
        {"unknown command", {"publish", update.Native()}, 2, usage},
        {"keygen without a file", {"keygen"}, 2, usage},
        {"sign without a key", {"sign", update.Native()}, 2, usage},
        {"keygen over an existing file",
         {"keygen", secretKey},
         1,
         k + "/secret.key exists already; an existing file is never replaced\n"},
        {"keygen into a missing folder",
         {"keygen", keys.NativeFolder() + "/none/secret.key"},
         1,
         "cannot create " + k + "/none/secret.key: the folder " + k + "/none does not exist\n"},
        {"keygen below a file",
         {"keygen", keys.NativeFolder() + "/public.txt/secret.key"},
         1,
         "cannot create " + k + "/public.txt/secret.key: " + k + "/public.txt is not a folder\n"},
        {"hash without Version.ini", {"hash", empty}, 1, "cannot read " + k + "/empty/Version.ini"},
        {"sign without Version.ini",
         {"sign", empty, secretKey},
         1,
         "cannot read " + k + "/empty/Version.ini"},
        {"sign with a file that is no secret key",
         {"sign", update.Native(), keys.NativeFolder() + "/public.txt"},
         1,
         k + "/public.txt holds no secret key\n"},
        {"sign with a missing key file",
         {"sign", update.Native(), secretKey + ".none"},
         1,
         "cannot read " + k + "/secret.key.none\n"},
    };
    ASSERT_EQ(::chmod((k + "/public.txt").c_str(), 0600), 0);
    for (const auto& c : cases) {
        const Outcome outcome = Publish(c.arguments);
        EXPECT_EQ(outcome.exitCode, c.exitCode) << c.name;
        const std::string says = c.exitCode == 1 ? "sendrift-publish: " + c.says : c.says;
        EXPECT_EQ(outcome.err.substr(0, says.size()), says) << c.name;
        EXPECT_TRUE(outcome.out.empty()) << c.name;
    }
    EXPECT_FALSE(QFileInfo::exists(keys.NativeFolder() + "/none"));
    EXPECT_EQ(keys.Read("secret.key"), secret);
    EXPECT_EQ(update.Read("Version.ini"), "[1.0]\r\n1=a.dll;0\r\n");
    EXPECT_FALSE(QFile::exists(update.Native("Version.ini.sig")));
    EXPECT_FALSE(QFile::exists(empty + "/Version.ini.sig"));
}

}  // namespace
