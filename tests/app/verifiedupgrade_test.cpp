// Verified updates in-process: the manifest's per-file digests and its signature decide what
// the wizard keeps and installs, against the scripted server.
#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include "app/texts.h"
#include "app/stoppedstates.h"
#include "app/upgraderun.h"
#include "core/verification.h"

namespace {

using testsupport::ScriptedResponse;

// SHA-256 in hex by Qt's own implementation, independent of the one under test.
std::string Sha256(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

std::string Upper(std::string text) {
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// [SHA256] of the files that UpgradeRun publishes, b.dll's value given.
std::string DigestSection(const std::string& bDllLines) {
    return "[SHA256]\r\na.dll=" + Sha256("new a") + "\r\n" + bDllLines +
           "c.sh=" + Sha256(kRunScript) + "\r\nBin\\Customs.dll=" + Sha256("new customs") + "\r\n";
}

// Functions, not constants: the texts are made when the program starts, in another unit.
std::string DownloadFailed() {
    return State("New", WizardStep::VersionCheck, Texts::StoppedButton, false, Texts::CloseButton,
                 true, {Texts::DownloadFailedMessage});
}
std::string ManifestFailed() {
    return State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton,
                 true, {Texts::ManifestUnavailableMessage});
}
// A damaged waiting copy goes back to be downloaded again.
std::string CopyDamaged(const AnsiString& name) {
    return State("New", WizardStep::List, Texts::RetryButton, true, Texts::CloseButton, true,
                 {Texts::UpdateFile + name + Texts::DamagedCopyTail});
}

class VerifiedUpgrade : public ::testing::Test, public UpgradeRun {};

// b.dll is the second of three files: whatever its digest says, a.dll before it is fetched
// and journalled as usual.
TEST_F(VerifiedUpgrade, TheDownloadKeepsOnlyFilesThatMatchTheirDigests) {
    const std::string right = Sha256("new b");
    const struct {
        const char* name;
        std::string section;
        bool kept;
    } cases[] = {
        {"no [SHA256] at all", "", true},
        {"every digest matches", DigestSection("b.dll=" + right + "\r\n"), true},
        {"upper-case digits, key in other letter case",
         DigestSection("B.Dll=" + Upper(right) + "\r\n"), true},
        {"b.dll not listed", DigestSection(""), true},
        {"another file's digest", DigestSection("b.dll=" + Sha256("new a") + "\r\n"), false},
        {"63 digits", DigestSection("b.dll=" + right.substr(1) + "\r\n"), false},
        {"not hex", DigestSection("b.dll=" + right.substr(1) + "x\r\n"), false},
        {"empty", DigestSection("b.dll=\r\n"), false},
        {"listed twice, the right one first",
         DigestSection("b.dll=" + right + "\r\nB.DLL=" + Sha256("x") + "\r\n"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        const std::string manifest = kManifest + c.section;
        t.Publish("2.0", manifest);
        t.folder_.Write("Default.ini", "");
        t.OpenWizard();
        for (int i = 0; i < 3; ++i) t.ClickMain();
        EXPECT_EQ(t.folder_.Read("Update/a.dll"), "new a");
        if (c.kept) {
            EXPECT_EQ(t.StateNow(), State("download", WizardStep::Install, Texts::NextButton, true,
                                          Texts::CancelButton, true));
            t.ClickMain();
            EXPECT_EQ(Pages(*t.form_).ActivePage(), "finish");
            EXPECT_EQ(t.folder_.Read("Sub/b.dll"), "new b");
            EXPECT_EQ(t.folder_.Read("ran.log"), "ran\n");
            continue;
        }
        EXPECT_EQ(t.StateNow(), DownloadFailed());
        EXPECT_FALSE(t.Exists("Update/b.dll")) << "the refused copy is deleted";
        EXPECT_EQ(
            t.folder_.Read("Version.ini"),
            "[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=D7\r\n"
            "[1.0]\r\n2=b.dll;0;;Sub\r\n3=c.sh;1\r\n[DLL]\r\nBin\\Customs.dll=2030-01-01\r\n" +
                c.section + "[RUN]\r\n1=a.dll;0\r\n")
            << "b.dll stays to be fetched, and the digests stay with the journal";
        EXPECT_EQ(t.RequestLines().back(), "GET /Update/b.dll HTTP/1.0") << "c.sh is not fetched";
    }
}

// The install checks every entry before it installs any, so a copy changed in Update\ after
// its download stops the whole install; the copy is deleted and fetched again with every
// entry after it, and the retry installs them all in their order.
TEST_F(VerifiedUpgrade, ACopyChangedAfterItsDownloadIsFetchedAgain) {
    Publish("2.0", kManifest + DigestSection("b.dll=" + Sha256("new b") + "\r\n"));
    folder_.Write("Default.ini", "");
    OpenWizard();
    for (int i = 0; i < 3; ++i) ClickMain();
    const std::string journal = folder_.Read("Version.ini");
    folder_.Write("Update/b.dll", "changed b");

    ClickMain();
    EXPECT_EQ(StateNow(), CopyDamaged("b.dll"));
    EXPECT_FALSE(Exists("a.dll")) << "nothing is copied";
    EXPECT_FALSE(Exists("ran.log")) << "nothing is run";
    EXPECT_FALSE(Exists("Sub/b.dll"));
    EXPECT_FALSE(Exists("Update/b.dll")) << "the damaged copy is deleted";
    EXPECT_EQ(folder_.Read("Update/a.dll"), "new a");
    const size_t run = journal.find("[RUN]");
    EXPECT_EQ(
        folder_.Read("Version.ini"),
        journal.substr(0, run) + "[RUN]\r\n1=a.dll;0\r\n[1.0]\r\n2=b.dll;0;;Sub\r\n3=c.sh;1\r\n");

    for (int i = 0; i < 3; ++i) ClickMain();
    EXPECT_EQ(Pages(*form_).ActivePage(), "finish");
    EXPECT_EQ(RequestLines().back(), "GET /Update/c.sh HTTP/1.0");
    EXPECT_EQ(folder_.Read("Sub/b.dll"), "new b");
    EXPECT_EQ(folder_.Read("ran.log"), "ran\n");
}

// A resumed run installs from the journal alone; its digests are read the same way as at the
// download, the first of several differing ones deciding nothing.
TEST_F(VerifiedUpgrade, AResumedRunChecksTheJournalsDigests) {
    const struct {
        const char* name;
        std::string digests;
        bool installed;
    } cases[] = {
        {"matching", "a.dll=" + Sha256("new a"), true},
        {"another digest", "a.dll=" + Sha256("old a"), false},
        {"listed twice, the right one first",
         "a.dll=" + Sha256("new a") + "\r\nA.dll=" + Sha256("old a"), false},
        {"malformed", "a.dll=" + Sha256("new a").substr(2), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        QDir(t.folder_.NativeFolder()).mkpath("Update");
        t.folder_.Write("Update/a.dll", "new a");
        t.folder_.Write("Version.ini", "[VERSION]\r\nVERSION=2.0\r\n[SHA256]\r\n" + c.digests +
                                           "\r\n[RUN]\r\n1=a.dll;0\r\n");
        TMainform& form = t.OpenWizard("on");
        // The resumed run's steps follow the window's first events; their end sets the Tag.
        ASSERT_TRUE(
            testsupport::WaitUntil([&] { return form.NextStep() != WizardStep::VersionCheck; }));
        if (c.installed) {
            EXPECT_EQ(Pages(form).ActivePage(), "finish");
            EXPECT_EQ(t.folder_.Read("a.dll"), "new a");
        } else {
            EXPECT_EQ(t.StateNow(), CopyDamaged("a.dll"));
            EXPECT_FALSE(t.Exists("a.dll"));
            EXPECT_FALSE(t.Exists("Update/a.dll"));
            EXPECT_EQ(t.folder_.Read("setup.ini"), "<missing>");
        }
    }
}

// The component refresh of a resumed run copies into place too, before the install step.
TEST_F(VerifiedUpgrade, TheComponentRefreshTakesOnlyACopyThatMatchesItsDigest) {
    QDir(folder_.NativeFolder()).mkpath("Update/Bin");
    QFile installed(folder_.NativeFolder() + "/Bin/Customs.dll");
    ASSERT_TRUE(installed.open(QIODevice::ReadWrite));
    ASSERT_TRUE(installed.setFileTime(QDateTime::currentDateTime().addDays(-2),
                                      QFileDevice::FileModificationTime));
    installed.close();
    for (const std::string waiting : {"changed customs", "new customs"}) {
        SCOPED_TRACE(waiting);
        folder_.Write("Update/Bin/Customs.dll", waiting);
        folder_.Write("Version.ini",
                      "[SHA256]\r\nBin\\Customs.dll=" + Sha256("new customs") + "\r\n");
        TMainform& form = OpenWizard("on");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return form.NextStep() == WizardStep::Close; }));
        EXPECT_EQ(folder_.Read("Bin/Customs.dll"),
                  waiting == "new customs" ? "new customs" : "old customs");
    }
}

class SignedManifest : public ::testing::Test, public UpgradeRun {};

TEST_F(SignedManifest, OnlyTheSignedLatestManifestBecomesTheJournal) {
    const verification::KeyPair publisher = *verification::NewKeyPair();
    const verification::KeyPair stranger = *verification::NewKeyPair();
    auto signature = [](const std::string& manifest, const verification::KeyPair& key) {
        return *verification::Sign(manifest, key.secretKey);
    };
    const std::string sigPath = "/Update/Version.ini.sig";
    using Arrange = std::function<void(UpgradeRun&)>;
    const struct {
        const char* name;
        Arrange arrange;
        bool accepted;
    } cases[] = {
        {"signed",
         [&](UpgradeRun& t) {
             t.server_.Serve(sigPath, ScriptedResponse::Ok(signature(kManifest, publisher)));
         },
         true},
        {"no signature on the server", [](UpgradeRun&) {}, false},
        {"signed by another key",
         [&](UpgradeRun& t) {
             t.server_.Serve(sigPath, ScriptedResponse::Ok(signature(kManifest, stranger)));
         },
         false},
        {"one byte of the manifest changed",
         [&](UpgradeRun& t) {
             std::string changed = kManifest;
             changed[changed.find("a.dll")] = 'e';
             t.Publish("2.0", changed);
             t.server_.Serve(sigPath, ScriptedResponse::Ok(signature(kManifest, publisher)));
         },
         false},
        {"a signature of 0 bytes",
         [&](UpgradeRun& t) { t.server_.Serve(sigPath, ScriptedResponse::Ok("")); }, false},
        {"a signature of 1 MB",
         [&](UpgradeRun& t) {
             t.server_.Serve(sigPath, ScriptedResponse::Ok(std::string(1 << 20, 'A')));
         },
         false},
        {"a signature that is not Base64",
         [&](UpgradeRun& t) {
             t.server_.Serve(sigPath,
                             ScriptedResponse::Ok("!" + signature(kManifest, publisher).substr(1)));
         },
         false},
        {"a signature cut off in transfer",
         [&](UpgradeRun& t) {
             t.server_.Serve(
                 sigPath, ScriptedResponse::Ok(signature(kManifest, publisher)).DropAfterBody(40));
         },
         false},
        {"an older signed manifest replayed as the latest",
         [&](UpgradeRun& t) {
             t.Publish("3.0", kManifest);
             t.PublishStatement(publisher.secretKey, "3.0", kManifest);
             t.server_.Serve(sigPath, ScriptedResponse::Ok(signature(kManifest, publisher)));
         },
         false},
    };
    const std::string earlier = "[RUN]\r\n1=earlier.dll;0\r\n";
    for (const auto& c : cases) {
        for (bool withEarlierJournal : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (withEarlierJournal ? ", earlier journal" : ""));
            UpgradeRun t;
            t.manifestKey_ = publisher.publicKey;
            t.PublishStatement(publisher.secretKey, "2.0", kManifest);
            c.arrange(t);
            if (withEarlierJournal) t.folder_.Write("Version.ini", earlier);
            t.OpenWizard();
            t.ClickMain();  // the version check, or "重新" from the resume prompt
            // Found, the page is "welcome", and the message page keeps what it showed before.
            const std::string state = t.StateNow();
            EXPECT_EQ(c.accepted ? state.substr(0, state.find('\n')) : state,
                      c.accepted ? UpdateFound() : ManifestFailed());
            EXPECT_EQ(t.folder_.Read("Version.ini"), c.accepted           ? kManifest
                                                     : withEarlierJournal ? earlier
                                                                          : "<missing>");
            EXPECT_FALSE(t.Exists("Version.ini.download"));
            EXPECT_FALSE(t.Exists("Version.ini.sig.download"));
            EXPECT_EQ(t.RequestLines().back(), "GET /Update/Version.ini.sig HTTP/1.0");
        }
    }
}

// Ending the program while the signature arrives: nothing becomes the journal.
TEST_F(SignedManifest, EndingTheProgramDuringTheSignatureFetchWritesNothing) {
    const verification::KeyPair publisher = *verification::NewKeyPair();
    manifestKey_ = publisher.publicKey;
    PublishStatement(publisher.secretKey, "2.0", kManifest);
    server_.Serve(
        "/Update/Version.ini.sig",
        ScriptedResponse::Ok(std::string(88, 'A')).PauseInBody(10, std::chrono::seconds(30)));
    TMainform& form = OpenWizard();
    QElapsedTimer clock;
    QTimer closeOnceFetching;
    QObject::connect(&closeOnceFetching, &QTimer::timeout, [&] {
        if (server_.Requests().size() < 4 || clock.isValid()) return;
        clock.start();
        form.close();
    });
    closeOnceFetching.start(10);
    MainButton(form).Click();
    Settle();
    ASSERT_TRUE(clock.isValid()) << "the signature was requested";
    EXPECT_LT(clock.elapsed(), 5000) << "the fetch is aborted, not waited for";
    EXPECT_TRUE(form.ProgramEnded());
    EXPECT_FALSE(Exists("Version.ini"));
    EXPECT_FALSE(Exists("Version.ini.download"));
    EXPECT_FALSE(Exists("Version.ini.sig.download"));
}

}  // namespace
