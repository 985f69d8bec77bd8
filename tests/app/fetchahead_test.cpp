// The download on a link with round trips: files fetched ahead on kept connections when the
// manifest lists every size, journaled in list order whatever order they arrive in, and a file
// cut off continued where it stopped.
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <fstream>
#include <map>
#include <set>

#include "app/stoppedstates.h"
#include "bench/support/nginxserver.h"
#include "core/displaytext.h"
#include "support/scriptedhttpserver.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ScriptedResponse;

const std::string kSizes =
    "[SIZE]\r\na.dll=5\r\nb.dll=5\r\nc.sh=" + std::to_string(kRunScript.size()) +
    "\r\nBin\\Customs.dll=11\r\n";

class FetchAhead : public ::testing::Test, public UpgradeRun {
protected:
    FetchAhead() { Publish("2.0", kManifest + kSizes); }

    std::vector<AnsiString> WaitingKeys() const {
        std::vector<AnsiString> keys;
        if (Exists("Version.ini")) TIniFile(folder_.Path("Version.ini")).KeyNames("RUN", keys);
        return keys;
    }
    void ToTheDownload() {
        OpenWizard();
        ClickMain();
        ClickMain();
        ASSERT_EQ(StateNow(), State("index", WizardStep::Download, Texts::NextButton, true,
                                    Texts::CancelButton, true));
    }
};

// The first file is held back, so the others arrive before it: none may join [RUN] before it.
TEST_F(FetchAhead, FilesJoinTheJournalInListOrderWhateverOrderTheyArriveIn) {
    server_.Serve("/Update/a.dll", ScriptedResponse::Ok("new a").PauseInBody(2, 600ms));
    ToTheDownload();
    std::vector<std::vector<AnsiString>> seen;
    bool laterFileBeforeFirst = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (seen.empty() || seen.back() != WaitingKeys()) seen.push_back(WaitingKeys());
        if (!Exists("Update/a.dll") && (Exists("Update/b.dll") || Exists("Update/c.sh")))
            laterFileBeforeFirst = true;
    });
    watch.start(1);
    ClickMain();
    watch.stop();
    EXPECT_EQ(StateNow(), State("download", WizardStep::Install, Texts::NextButton, true,
                                Texts::CancelButton, true));
    EXPECT_TRUE(laterFileBeforeFirst) << "the later files were fetched ahead of a.dll";
    const std::vector<AnsiString> order = {"1", "2", "3", "4"};
    for (const std::vector<AnsiString>& keys : seen)
        EXPECT_TRUE(
            std::equal(keys.begin(), keys.end(), order.begin(), order.begin() + keys.size()))
            << keys.size() << " keys, not a prefix of the list";
    EXPECT_EQ(WaitingKeys(), order);
    ClickMain();
    EXPECT_EQ(folder_.Read("a.dll"), "new a");
    EXPECT_EQ(folder_.Read("Bin/Customs.dll"), "new customs");
}

// The first file is held back while the later ones arrive, then refused: none of them may be
// journalled at any moment, since a journal that names them before the first file would have
// the next run install them without it.
TEST_F(FetchAhead, AFirstFileHeldBackThenRefusedLeavesTheJournalEmptyAtEveryMoment) {
    server_.Serve("/Update/a.dll",
                  ScriptedResponse::Raw("HTTP/1.0 404 Not Found\r\n\r\n").PauseAt(0, 800ms));
    ToTheDownload();
    std::vector<AnsiString> firstJournalled;
    bool laterFilesArrived = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (firstJournalled.empty()) firstJournalled = WaitingKeys();
        laterFilesArrived = laterFilesArrived || (Exists("Update/b.dll") && Exists("Update/c.sh"));
    });
    watch.start(1);
    ClickMain();
    watch.stop();
    EXPECT_EQ(StateNow(), DownloadFailed());
    EXPECT_TRUE(laterFilesArrived) << "the later files were fetched while a.dll was held";
    EXPECT_EQ(firstJournalled, std::vector<AnsiString>{}) << "journalled before a.dll arrived";
    EXPECT_TRUE(WaitingKeys().empty());
}

// While the first file waits for its first byte, the page shows a file that moves, not the
// stalled one's zero counts, and a file that arrived says so in its row.
TEST_F(FetchAhead, ThePageFollowsAMovingFileWhileTheFirstStalls) {
    const std::string b(200000, 'b');
    Publish("2.0", kManifest + "[SIZE]\r\na.dll=5\r\nb.dll=200000\r\nc.sh=" +
                       std::to_string(kRunScript.size()) + "\r\nBin\\Customs.dll=11\r\n");
    server_.Serve("/Update/a.dll", ScriptedResponse::Ok("new a").PauseInBody(0, 1500ms));
    server_.Serve("/Update/b.dll", ScriptedResponse::Ok(b).PauseInBody(100000, 300ms));
    ToTheDownload();
    const auto& fileLabel = Part<QLabel>(*form_, "download.fileLabel");
    const auto& rows = Part<QTreeWidget>(*form_, "download.files");
    const AnsiString nothingReceived = Texts::DownloadingFile + SizeText(0) + Texts::OfTotal;
    const AnsiString ofB = Texts::OfTotal + SizeText(int64_t(b.size())) + Texts::CloseParen;
    std::set<AnsiString> labelsWhileStalled;
    bool arrivedRowDone = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (Exists("Update/a.dll")) return;
        labelsWhileStalled.insert(Text(&fileLabel));
        if (Exists("Update/b.dll") && rows.topLevelItemCount() > 1)
            arrivedRowDone =
                platform::FromUnicode(rows.topLevelItem(1)->text(1)) == Texts::FileDone;
    });
    watch.start(1);
    ClickMain();
    watch.stop();
    ASSERT_EQ(StateNow(), State("download", WizardStep::Install, Texts::NextButton, true,
                                Texts::CancelButton, true));
    for (const AnsiString& label : labelsWhileStalled)
        EXPECT_NE(label.rfind(nothingReceived, 0), 0u) << platform::ToUnicode(label).toStdString();
    EXPECT_TRUE(std::any_of(labelsWhileStalled.begin(), labelsWhileStalled.end(),
                            [&](const AnsiString& label) {
                                return label.find(ofB) != AnsiString::npos &&
                                       label.rfind(nothingReceived, 0) != 0;
                            }))
        << "b.dll's counts were shown while it moved";
    EXPECT_TRUE(arrivedRowDone) << "b.dll's row said it had arrived while a.dll stalled";
}

// An error that no step handles (here: the journal cannot be written when the first file
// arrives) once left the fetched-ahead transfers running with no one to take their files, the
// close button disabled and a close that asked and ended nothing.
TEST_F(FetchAhead, AnErrorOutOfTheDownloadStopsItsTransfersAndLeavesTheWindowClosable) {
    server_.Serve("/Update/b.dll", ScriptedResponse::Ok("new b").PauseInBody(1, 20s));
    ToTheDownload();
    // Where the journal writes its next version beside itself: every journal write fails.
    QDir(folder_.NativeFolder()).mkpath("Version.ini.sendrift-new");
    ClickMain();
    const AnsiString cannotWrite = platform::FromUtf8("无法写入 ");
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0].substr(0, cannotWrite.size()), cannotWrite)
        << platform::ToUnicode(errors_[0]).toStdString();
    EXPECT_FALSE(AnyDownloadBusy(*form_));
    EXPECT_TRUE(testsupport::ClickAsAPerson(&CloseButton(*form_))) << "the close button is usable";
    EXPECT_TRUE(questions_.empty());
    EXPECT_TRUE(form_->ProgramEnded());
}

// nginx serving one connection per client answers 503 to every transfer but the one that
// reached it first, which may be a fetched-ahead one rather than the first file's; the download
// goes on one file at a time instead of failing.
TEST_F(FetchAhead, AServerOfOneConnectionAtATimeIsServedOneFileAtATime) {
    QTemporaryDir root;
    // nginx sends a second's worth at once, then keeps to the rate: a file of 48 KiB takes half
    // a second, in which the requests for the others are refused.
    NginxServer nginx(root.path(),
                      {.httpDirectives = "limit_conn_zone $binary_remote_addr zone=perclient:1m;\n"
                                         "limit_conn perclient 1;\nlimit_rate 32k;"});
    const std::vector<std::string> names = {"a.dll", "b.dll", "c.dll", "d.dll"};
    std::string manifest = "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n", sizes = "[SIZE]\r\n";
    std::map<std::string, std::string> published;
    QDir(nginx.WwwFolder()).mkpath("Update");
    auto serve = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(nginx.WwwFolder().toStdString() + "/Update/" + name, std::ios::binary)
            << bytes;
    };
    for (size_t i = 0; i < names.size(); ++i) {
        published[names[i]] = std::string(48 * 1024, char('a' + i));
        manifest += std::to_string(i + 1) + "=" + names[i] + ";0\r\n";
        sizes += names[i] + "=" + std::to_string(published[names[i]].size()) + "\r\n";
        serve(names[i], published[names[i]]);
    }
    serve("Version.txt", "2.0");
    serve("Version.ini", manifest + sizes);
    folder_.Write("Default.ini", "");
    Open({}, nginx.Url("").toStdString());
    for (int i = 0; i < 4; ++i) ClickMain();
    EXPECT_EQ(StateNow(), State("finish", WizardStep::Close, Texts::FinishButton, true,
                                Texts::CancelButton, false));
    for (const auto& [name, bytes] : published) EXPECT_EQ(folder_.Read(name.c_str()), bytes);
    EXPECT_NE(folder_.Read("sendrift.log").find("fetching one file at a time from here on"),
              std::string::npos)
        << folder_.Read("sendrift.log");
}

// A file that fails while others are on their way stops them all; what arrived after it stays
// out of the journal.
TEST_F(FetchAhead, AFailedFileStopsEveryTransferAndJournalsNothingAfterIt) {
    server_.Serve("/Update/a.dll", ScriptedResponse::Ok("new a").PauseInBody(2, 800ms));
    server_.Serve("/Update/b.dll", ScriptedResponse::Raw("HTTP/1.0 404 Not Found\r\n\r\n"));
    ToTheDownload();
    QElapsedTimer clock;
    clock.start();
    ClickMain();
    EXPECT_EQ(StateNow(), DownloadFailed());
    EXPECT_LT(clock.elapsed(), 700) << "a.dll was stopped, not waited for";
    EXPECT_TRUE(WaitingKeys().empty());
    EXPECT_FALSE(Exists("Update/a.dll"));
    EXPECT_NE(folder_.Read("sendrift.log").find("b.dll: the server answered with HTTP status 404"),
              std::string::npos);
}

TEST_F(FetchAhead, ACancelStopsEveryTransfer) {
    for (const auto& [path, body] :
         std::map<std::string, std::string>{{"a.dll", "new a"},
                                            {"b.dll", "new b"},
                                            {"c.sh", kRunScript},
                                            {"Bin/Customs.dll", "new customs"}})
        server_.Serve("/Update/" + path, ScriptedResponse::Ok(body).PauseInBody(1, 20s));
    ToTheDownload();
    answer_ = true;
    QTimer::singleShot(300, [&] { form_->close(); });
    QElapsedTimer clock;
    clock.start();
    ClickMain();
    EXPECT_TRUE(form_->ProgramEnded());
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(WaitingKeys().empty());
    EXPECT_EQ(questions_, (std::vector<AnsiString>{Texts::CancelDownloadQuestion}));
}

// A server that keeps its connections serves the whole upgrade on one.
TEST_F(FetchAhead, AKeptConnectionServesTheWholeUpgrade) {
    const std::string manifest =
        "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=a.dll;0\r\n[SIZE]\r\na.dll=5\r\n";
    server_.Serve("/Update/Version.txt", ScriptedResponse::Ok("2.0").KeepAlive());
    server_.Serve("/Update/Version.ini", ScriptedResponse::Ok(manifest).KeepAlive());
    server_.Serve("/Update/a.dll", ScriptedResponse::Ok("new a").KeepAlive());
    folder_.Write("Default.ini", "");
    OpenWizard();
    for (int i = 0; i < 4; ++i) ClickMain();
    EXPECT_EQ(folder_.Read("a.dll"), "new a");
    EXPECT_EQ(RequestLines().size(), 3u);
    EXPECT_EQ(server_.ConnectionsAccepted(), 1u);
}

// Small files are fetched many at once, a request each on a connection each, so that a round
// trip per request does not hold back a list of them; large ones keep to four at once.
TEST_F(FetchAhead, SmallFilesAreFetchedManyAtOnceAndLargeOnesFourAtATime) {
    constexpr int kFiles = 24;
    const struct {
        const char* name;
        size_t bytes;
        size_t atOnce;
    } cases[] = {
        {"small files", 5, 16},
        {"files of 600 KiB", 600 * 1024, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string manifest = "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n", sizes = "[SIZE]\r\n";
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "f" + std::to_string(i) + ".dat";
            manifest += std::to_string(i + 1) + "=" + name + ";0\r\n";
            sizes += name + "=" + std::to_string(c.bytes) + "\r\n";
            // Every answer waits, so the requests that the server holds at a moment are the
            // transfers that run at once.
            server_.Serve(
                "/Update/" + name,
                ScriptedResponse::Ok(std::string(c.bytes, char('a' + i))).PauseInBody(0, 600ms));
        }
        Publish("2.0", manifest + sizes);
        folder_.Write("Default.ini", "");
        ToTheDownload();
        const size_t earlierRequests = RequestLines().size();
        size_t atOnce = 0;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            size_t asked = 0, arrived = 0;
            const std::vector<std::string> lines = RequestLines();
            for (size_t i = earlierRequests; i < lines.size(); ++i)
                asked += lines[i].rfind("GET /Update/f", 0) == 0;
            for (int i = 0; i < kFiles; ++i)
                arrived += Exists(("Update/f" + std::to_string(i) + ".dat").c_str());
            atOnce = std::max(atOnce, asked - std::min(asked, arrived));
        });
        watch.start(1);
        ClickMain();
        watch.stop();
        EXPECT_EQ(atOnce, c.atOnce);
        EXPECT_EQ(WaitingKeys().size(), size_t(kFiles));
        form_.reset();
        QDir(folder_.NativeFolder() + "/Update").removeRecursively();
        QFile::remove(folder_.NativeFolder() + "/Version.ini");
    }
}

std::string Sha256(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// A file cut off at half is continued from where it stopped on the next run, and the whole is
// verified before it is journaled.
TEST_F(FetchAhead, AFileCutOffContinuesWhereItStopped) {
    std::string body(4000, 'x');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char('a' + i % 26);
    const std::string manifest =
        "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=a.dll;0\r\n[SIZE]\r\na.dll=4000\r\n"
        "[SHA256]\r\na.dll=" +
        Sha256(body) + "\r\n";
    Publish("2.0", manifest);
    server_.Serve("/Update/a.dll", ScriptedResponse("HTTP/1.0 200 OK",
                                                    {"ETag: \"v1\"", "Content-Length: 4000"}, body)
                                       .DropAfterBody(2000));
    folder_.Write("Default.ini", "");
    OpenWizard();
    for (int i = 0; i < 3; ++i) ClickMain();
    ASSERT_EQ(StateNow(), DownloadFailed());

    server_.Serve("/Update/a.dll",
                  ScriptedResponse("HTTP/1.0 206 Partial Content",
                                   {"Content-Range: bytes 2000-3999/4000", "Content-Length: 2000"},
                                   body.substr(2000)));
    TMainform& form = OpenWizard();
    ContinueButton(form).Click();
    Settle();
    ClickMain();
    const testsupport::RecordedRequest resumed = server_.Requests().back();
    EXPECT_EQ(resumed.Header("Range"), "bytes=2000-");
    EXPECT_EQ(resumed.Header("If-Range"), "\"v1\"");
    EXPECT_EQ(WaitingKeys(), (std::vector<AnsiString>{"1"}));
    ClickMain();
    EXPECT_EQ(folder_.Read("a.dll"), body);
}

}  // namespace
