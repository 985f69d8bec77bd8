// sendrift-publish run as a program on real folders, and a wizard that takes what it made.
#include <sys/stat.h>

#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>

#include "app/texts.h"
#include "app/upgraderun.h"

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

Outcome Publish(const QStringList& arguments) {
    QProcess tool;
    tool.start(SENDRIFT_PUBLISH_PROGRAM, arguments);
    Outcome outcome;
    if (!tool.waitForFinished(30000)) return outcome;
    outcome.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    outcome.out = tool.readAllStandardOutput().toStdString();
    outcome.err = tool.readAllStandardError().toStdString();
    return outcome;
}

std::string Sha256(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// A publisher's update folder, as it goes onto the server under /Update.
class PublisherFolder {
public:
    QString Native(const char* name = "") const { return root_.NativeFolder() + "/" + name; }
    void Write(const char* name, const std::string& bytes) const {
        QDir(root_.NativeFolder()).mkpath(QFileInfo(Native(name)).path());
        root_.Write(name, bytes);
    }
    std::string Read(const char* name) const { return root_.Read(name); }

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

    UpgradeRun run;
    run.manifestKey_ = publicKey;
    update.ServeFrom(run.server_);
    run.OpenWizard();
    for (int i = 0; i < 4; ++i) run.ClickMain();
    EXPECT_EQ(run.form_->Notebook1->ActivePage(), "finish");
    EXPECT_EQ(run.folder_.Read("a.dll"), "new a");
    EXPECT_EQ(run.folder_.Read("Sub/b.dll"), "new b");
    EXPECT_EQ(run.folder_.Read("ran.log"), "ran\n");
    EXPECT_EQ(run.folder_.Read("Bin/Customs.dll"), "new customs");
    EXPECT_EQ(run.RequestLines()[2], "GET /Update/Version.ini.sig HTTP/1.0");

    // A manifest whose digests were refreshed after signing is refused.
    update.Write("a.dll", "newer a");
    ASSERT_EQ(Publish({"hash", update.Native()}).exitCode, 0);
    UpgradeRun staleSignature;
    staleSignature.manifestKey_ = publicKey;
    update.ServeFrom(staleSignature.server_);
    staleSignature.OpenWizard();
    staleSignature.ClickMain();
    EXPECT_EQ(staleSignature.MemoLines(*staleSignature.form_->MEMO2),
              std::vector<AnsiString>{Texts::ManifestUnavailableMessage});
}

// The section lists each file the wizard may fetch once, under the first spelling, and keeps
// nothing of an earlier run: a digest left for a file no longer there, or in a second [SHA256]
// that a write would fall into, would refuse or wave through the wrong file.
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
                 "[sha256]\r\nc.sh=22\r\n");
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
                  "\r\nBin\\Customs.dll=" + Sha256("customs") + "\r\n");
    EXPECT_EQ(hash.err,
              "skipped missing.dll: not in the folder\nskipped ..\\outside.dll: outside the "
              "folder\n");

    // Where the two spellings are two different files, one of them would be refused.
    update.Write("A.DLL", "A");
    const Outcome clash = Publish({"hash", update.Native()});
    EXPECT_EQ(clash.exitCode, 1);
    EXPECT_NE(clash.err.find("A.DLL differs"), std::string::npos) << clash.err;
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
    const struct {
        const char* name;
        QStringList arguments;
        int exitCode;
    } cases[] = {
        {"no command", {}, 2},
        {"unknown command", {"verify", update.Native()}, 2},
        {"keygen without a file", {"keygen"}, 2},
        {"sign without a key", {"sign", update.Native()}, 2},
        {"keygen over an existing file", {"keygen", secretKey}, 1},
        {"keygen into a missing folder", {"keygen", keys.NativeFolder() + "/none/secret.key"}, 1},
        {"hash without Version.ini", {"hash", empty}, 1},
        {"sign without Version.ini", {"sign", empty, secretKey}, 1},
        {"sign with a file that is no secret key",
         {"sign", update.Native(), keys.NativeFolder() + "/public.txt"},
         1},
        {"sign with a missing key file", {"sign", update.Native(), secretKey + ".none"}, 1},
    };
    for (const auto& c : cases) {
        const Outcome outcome = Publish(c.arguments);
        EXPECT_EQ(outcome.exitCode, c.exitCode) << c.name;
        EXPECT_FALSE(outcome.err.empty()) << c.name << ": says why";
        EXPECT_TRUE(outcome.out.empty()) << c.name;
    }
    EXPECT_EQ(keys.Read("secret.key"), secret);
    EXPECT_EQ(update.Read("Version.ini"), "[1.0]\r\n1=a.dll;0\r\n");
    EXPECT_FALSE(QFile::exists(update.Native("Version.ini.sig")));
    EXPECT_FALSE(QFile::exists(empty + "/Version.ini.sig"));
}

}  // namespace
