// The download on a link with round trips: files fetched ahead on kept connections when the
// manifest lists every size, journaled in list order whatever order they arrive in, and a file
// cut off continued where it stopped.
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTimer>
#include <map>

#include "app/stoppedstates.h"
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
