// The wizard against servers that send without end, trickle, or point its requests elsewhere:
// each step ends in its failure state within its ceiling of time, memory and disk, and keeps
// nothing of what such a server sent.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>
#include <map>

#include "app/stoppedstates.h"
#include "core/manifest.h"
#include "net/sock/nmhttp.h"
#include "support/endlesshttpserver.h"
#include "support/processstats.h"

namespace {

using testsupport::EndlessHttpServer;
using testsupport::ScriptedHttpServer;
using testsupport::ScriptedResponse;

constexpr int64_t kMiB = 1024 * 1024;
// What the wizard may grow by while a server sends without end: far below what an unbounded
// read reaches within the seconds a case runs, far above a few buffers.
constexpr long kMemoryGrowthLimitKilobytes = 100 * 1024;

std::string Listed() {
    return State("index", WizardStep::Download, Texts::NextButton, true, Texts::CancelButton, true);
}

ScriptedResponse Redirect(const std::string& location) {
    return ScriptedResponse("HTTP/1.0 302 Found", {"Location: " + location, "Content-Length: 0"},
                            "");
}

// The largest size a file of the application folder reached while the watch ran, looked at
// every millisecond the wizard's event loop allows: what a transfer wrote before it was cut.
class FileSizeWatch {
public:
    FileSizeWatch(const TempAppFolder& folder, const char* name)
        : path_(folder.NativeFolder() + "/" + name) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
        timer_.start(1);
    }
    int64_t Largest() {
        Look();
        return largest_;
    }
    // Aborts `download` once the file has outgrown 64 MiB, so that a case whose cut fails
    // still ends, and fails on the size.
    void StopRunaway(THTTPGet* download) { runaway_ = download; }

private:
    void Look() {
        largest_ = std::max<int64_t>(largest_, QFileInfo(path_).size());
        if (runaway_ && largest_ > 64 * kMiB) runaway_->Abort();
    }

    QString path_;
    QTimer timer_;
    int64_t largest_ = 0;
    THTTPGet* runaway_ = nullptr;
};

// A port on 127.0.0.1 that accepts nothing but keeps every connection attempt queued, so a
// test can tell whether anything came.
class QuietPort {
public:
    QuietPort() {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(socket_, 16) != 0 ||
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "no listening socket on 127.0.0.1";
        port_ = ntohs(address.sin_port);
    }
    ~QuietPort() { ::close(socket_); }
    uint16_t Port() const { return port_; }
    bool AnyoneConnected() const {
        const int client = ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return false;
        ::close(client);
        return true;
    }

private:
    int socket_ = -1;
    uint16_t port_ = 0;
};

class HostileServer : public ::testing::Test, public UpgradeRun {};

// Without its ceiling, a version text that never ends takes memory, and a manifest that never
// ends takes disk, until the machine gives out; one that announces more than its ceiling is
// refused before it arrives. The earlier journal must survive: the next start resumes the
// upgrade it belongs to.
TEST_F(HostileServer, AnEndlessVersionOrManifestIsRefusedWithinItsCeiling) {
    const std::string earlier = "[VERSION]\r\nVERSION=1.5\r\n[RUN]\r\n1=old.dll;0\r\n";
    const std::string noLength = "HTTP/1.0 200 OK\r\n\r\n";
    const std::string tooLong = "HTTP/1.0 200 OK\r\nContent-Length: 2000000000\r\n\r\n";
    const std::string endlessHeader = "HTTP/1.0 200 OK\r\nX-Endless: ";
    const struct {
        const char* name;
        const char* file;
        std::string head;
        // Body bytes the server must have sent for the cut to be the wizard's; 0 where the
        // reply fails on its header.
        uint64_t ceiling;
    } cases[] = {
        {"a version text without a length", "Version.txt", noLength, 4 * 1024},
        {"a version text of 2,000,000,000 bytes", "Version.txt", tooLong, 0},
        {"a version text in a header line without end", "Version.txt", endlessHeader, 0},
        {"a manifest without a length", "Version.ini", noLength, 16 * kMiB},
        {"a manifest of 2,000,000,000 bytes", "Version.ini", tooLong, 0},
        {"a manifest in a header line without end", "Version.ini", endlessHeader, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        EndlessHttpServer endless(c.head);
        t.server_.Serve(std::string("/Update/") + c.file,
                        Redirect(endless.Url(std::string("/Update/") + c.file)));
        t.folder_.Write("Version.ini", earlier);
        t.OpenWizard();
        ASSERT_TRUE(testsupport::ResetPeakResident());
        const long before = testsupport::ResidentKilobytes();
        FileSizeWatch download(t.folder_, "Version.ini.download");
        download.StopRunaway(&Part<THTTPGet>(*t.form_, "manifestDownload"));
        t.ClickMain();
        EXPECT_EQ(t.StateNow(),
                  c.file == std::string("Version.txt") ? VersionFailed() : ManifestFailed());
        EXPECT_LT(testsupport::PeakResidentKilobytes() - before, kMemoryGrowthLimitKilobytes);
        EXPECT_LE(download.Largest(), 16 * kMiB);
        EXPECT_FALSE(t.Exists("Version.ini.download"));
        EXPECT_EQ(t.folder_.Read("Version.ini"), earlier);
        if (c.ceiling) {
            EXPECT_GT(endless.BodyBytesSent(), c.ceiling);
        }
    }
}

// A HEAD reply has no body, so a size query reads to the end of the header and no further; a
// header that never ends fails the query. The query's limit is cut to 5 s, so that a query
// that reads on fails the case in seconds instead of a minute.
TEST_F(HostileServer, ASizeQueryReadsNoMoreThanAHeader) {
    const struct {
        const char* name;
        std::string head;
        std::string expected;
    } cases[] = {
        {"a body without end after the header", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n",
         Listed()},
        {"a header line without end", "HTTP/1.0 200 OK\r\nX-Endless: ", VersionFailed()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        EndlessHttpServer endless(c.head);
        TMainform& form = t.OpenWithSizesFrom(endless.Url(""));
        SizeQuery(form).RequestTimeOut = 5000;
        t.ClickMain();
        ASSERT_TRUE(testsupport::ResetPeakResident());
        const long before = testsupport::ResidentKilobytes();
        t.ClickMain();
        EXPECT_EQ(t.StateNow(), c.expected);
        EXPECT_LT(testsupport::PeakResidentKilobytes() - before, kMemoryGrowthLimitKilobytes);
    }
}

// b.dll's HEAD announces 100,000 bytes; its GET announces nothing and never ends. The copy
// stops at the announced size and is deleted, so the disk keeps nothing of it.
TEST_F(HostileServer, ADownloadThatRunsPastItsAnnouncedSizeIsCutAndDeleted) {
    constexpr size_t kAnnounced = 100000;
    EndlessHttpServer endless("HTTP/1.0 200 OK\r\n\r\n");
    ScriptedHttpServer sizes;
    sizes.Serve("/Update/a.dll", ScriptedResponse::Ok("new a"));
    sizes.Serve("/Update/b.dll", ScriptedResponse::Ok(std::string(kAnnounced, 'b')));
    Publish("2.0", "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=a.dll;0\r\n2=b.dll;0\r\n");
    server_.Serve("/Update/b.dll", Redirect(endless.Url("/Update/b.dll")));
    folder_.Write("Default.ini", "");
    TMainform& form = OpenWithSizesFrom(sizes.Url());
    ClickMain();
    ClickMain();
    ASSERT_EQ(form.ListedSizes(), (std::vector<int64_t>{5, int64_t(kAnnounced)}));

    FileSizeWatch copy(folder_, "Update/b.dll");
    copy.StopRunaway(&FileDownload(form));
    ClickMain();
    EXPECT_EQ(StateNow(), DownloadFailed());
    EXPECT_LE(copy.Largest(), int64_t(kAnnounced));
    EXPECT_GT(endless.BodyBytesSent(), kAnnounced);
    EXPECT_EQ(QDir(folder_.NativeFolder() + "/Update")
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"a.dll"});
    EXPECT_EQ(folder_.Read("Version.ini"),
              "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n2=b.dll;0\r\n[RUN]\r\n1=a.dll;0\r\n");
}

// The HEAD announces no size, so the download has no learnt size to stop at, and the GET
// announces no length and never ends. The download step checked for room for the announced
// total and a margin of 16 MiB; a copy that outgrows that margin fills a disk that was
// found to have room. Such a reply cannot succeed anyway: a file needs its announced length.
TEST_F(HostileServer, AnEndlessDownloadOfUnannouncedSizeStaysWithinTheRoomChecked) {
    EndlessHttpServer endless("HTTP/1.0 200 OK\r\n\r\n");
    ScriptedHttpServer sizes;
    sizes.Serve("/Update/b.dll", ScriptedResponse("HTTP/1.0 200 OK", {}, ""));
    Publish("2.0", "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=b.dll;0\r\n");
    server_.Serve("/Update/b.dll", Redirect(endless.Url("/Update/b.dll")));
    folder_.Write("Default.ini", "");
    TMainform& form = OpenWithSizesFrom(sizes.Url());
    ClickMain();
    ClickMain();
    ASSERT_EQ(form.ListedSizes(), (std::vector<int64_t>{0}));

    FileSizeWatch copy(folder_, "Update/b.dll");
    copy.StopRunaway(&FileDownload(form));
    ClickMain();
    EXPECT_EQ(StateNow(), DownloadFailed());
    EXPECT_LE(copy.Largest(), 16 * kMiB);
    EXPECT_FALSE(Exists("Update/b.dll"));
}

// A server that sends a header line a second keeps every single wait short; only the limit on
// the whole query ends it. Cut from a minute to 2.5 s here.
TEST_F(HostileServer, ATricklingSizeQueryFailsAtItsLimit) {
    std::vector<std::string> lines = {"Content-Length: 5"};
    for (int i = 1; i <= 10; ++i) lines.push_back("X-Line-" + std::to_string(i) + ": trickle");
    ScriptedResponse trickle("HTTP/1.0 200 OK", lines, "");
    for (size_t at = trickle.head.find("X-Line-"); at != std::string::npos;
         at = trickle.head.find("X-Line-", at + 1))
        trickle.PauseAt(at, std::chrono::seconds(1));
    server_.Serve("/Update/a.dll", trickle);
    TMainform& form = OpenWizard();
    SizeQuery(form).RequestTimeOut = 2500;
    ClickMain();
    QElapsedTimer clock;
    clock.start();
    ClickMain();
    const qint64 elapsed = clock.elapsed();
    EXPECT_EQ(StateNow(), VersionFailed());
    EXPECT_GE(elapsed, 2400);
    EXPECT_LT(elapsed, 5000);
}

// A download that trickles a byte every few seconds never falls silent, yet would hold the
// wizard for ever: it fails once a minute has brought less than 1 KB, and meanwhile the window
// goes on taking events.
TEST_F(HostileServer, ATricklingDownloadFailsWithinAMinuteAndTheWindowStaysResponsive) {
    ScriptedResponse trickle = ScriptedResponse::Ok("new a, and more bytes than a minute brings");
    for (size_t at = 1; at < trickle.body.size(); ++at)
        trickle.PauseInBody(at, std::chrono::seconds(4));
    server_.Serve("/Update/a.dll", trickle);
    TMainform& form = OpenWizard();
    ClickMain();
    ClickMain();
    ASSERT_EQ(StateNow(), Listed());
    qint64 longestPause = 0;
    QElapsedTimer sincePass;
    sincePass.start();
    QTimer pass;
    QObject::connect(&pass, &QTimer::timeout,
                     [&] { longestPause = std::max(longestPause, sincePass.restart()); });
    pass.start(50);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(testsupport::ClickAsAPerson(&MainButton(form)));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return StateNow() == DownloadFailed(); },
                                       std::chrono::seconds(90)));
    EXPECT_GE(clock.elapsed(), 59000);
    EXPECT_LT(clock.elapsed(), 75000);
    EXPECT_LT(longestPause, 1000) << "the window took no events for " << longestPause << " ms";
    EXPECT_NE(folder_.Read("sendrift.log").find("a.dll: the link is too slow"), std::string::npos);
}

// A size query is HTTP; a redirect elsewhere would have it spoken as HTTP to any service of
// the server's choosing. The query fails before anything connects there.
TEST_F(HostileServer, ASizeQueryRedirectedToAnotherSchemeFailsWithoutConnecting) {
    for (const char* scheme : {"ftp", "FTP", "gopher"}) {
        SCOPED_TRACE(scheme);
        UpgradeRun t;
        QuietPort elsewhere;
        t.server_.Serve("/Update/b.dll", Redirect(std::string(scheme) + "://127.0.0.1:" +
                                                  std::to_string(elsewhere.Port()) + "/b.dll"));
        // A query that went there would wait for an answer that never comes; 2 s, not a minute.
        SizeQuery(t.OpenWizard()).RequestTimeOut = 2000;
        t.ClickMain();
        t.ClickMain();
        EXPECT_EQ(t.StateNow(), VersionFailed());
        EXPECT_FALSE(elsewhere.AnyoneConnected());
        EXPECT_EQ(t.RequestLines().back(), "HEAD /Update/b.dll HTTP/1.0");
    }
}

// A cookie goes back only to the host that set it. 127.0.0.1 and localhost are one server on
// one port here, told apart by the Host line of each request.
TEST_F(HostileServer, ACookieGoesBackOnlyToTheHostThatSetIt) {
    const struct {
        const char* name;
        const char* setter;  // host that sets the cookie
        const char* other;   // host that it must not reach
    } cases[] = {
        {"set by 127.0.0.1", "127.0.0.1", "localhost"},
        {"set by localhost", "localhost", "127.0.0.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRun t;
        const std::string port = std::to_string(t.server_.Port());
        auto at = [&](const char* host, const char* path) {
            return std::string("http://") + host + ":" + port + path;
        };
        // a.dll's query goes to 127.0.0.1, on to the setter, which sets the cookie, and then
        // to the other host.
        t.server_.Serve("/Update/a.dll", Redirect(at(c.setter, "/set/a.dll")));
        t.server_.Serve("/set/a.dll", ScriptedResponse("HTTP/1.0 302 Found",
                                                       {"Set-Cookie: session=secret",
                                                        "Location: " + at(c.other, "/other/a.dll")},
                                                       ""));
        t.server_.Serve("/other/a.dll", ScriptedResponse::Ok("new a"));
        t.OpenWizard();
        t.ClickMain();
        t.ClickMain();
        EXPECT_EQ(t.StateNow(), Listed());

        std::map<std::string, std::pair<std::string, std::string>> seen;  // target: host, cookie
        for (const auto& request : t.server_.Requests())
            seen[request.requestLine] = {request.Header("Host").value_or(""),
                                         request.Header("Cookie").value_or("")};
        EXPECT_EQ(seen["HEAD /set/a.dll HTTP/1.0"],
                  std::make_pair(std::string(c.setter), std::string()));
        EXPECT_EQ(seen["HEAD /other/a.dll HTTP/1.0"],
                  std::make_pair(std::string(c.other), std::string()));
        // The next query goes to 127.0.0.1 again, where the cookie belongs in one case only.
        const std::string back = c.setter == std::string("127.0.0.1") ? "session=secret" : "";
        EXPECT_EQ(seen["HEAD /Update/b.dll HTTP/1.0"].second, back);
    }
}

// Control characters name no file of the product and can name another on the way (a NUL ends
// a native path early, here at the planted program). A server manifest that brings them, and
// a [RUN] of its own, is refused before anything is asked for the name; the journal it leaves
// has no [RUN], and a journal with such a name is refused before anything is installed or run.
TEST_F(HostileServer, NamesWithControlCharactersAreRefusedAndNothingRuns) {
    const std::string planted = "#!/bin/sh\necho planted >> \"$(dirname \"$0\")/../ran.log\"\n";
    for (const AnsiString& entry :
         {AnsiString("planted.sh\0.txt;1", 17), AnsiString("a\x01.dll;0"), AnsiString("a\tb.dll;0"),
          AnsiString("a\x1b[2J.dll;0"), AnsiString("a\x1f.dll;0"), AnsiString("a\x7f.dll;0"),
          AnsiString("b.dll;0;;S\x01ub")}) {
        SCOPED_TRACE(::testing::PrintToString(entry));
        UpgradeRun t;
        t.folder_.Write("Default.ini", "");
        QDir(t.folder_.NativeFolder()).mkpath("Update");
        t.folder_.Write("Update/planted.sh", planted);
        QFile(t.folder_.NativeFolder() + "/Update/planted.sh")
            .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        t.Publish("2.0", "[VERSION]\r\nVERSION=2.0\r\n[RUN]\r\n1=planted.sh;1\r\n[1.0]\r\n1=" +
                             entry + "\r\n");
        t.OpenWizard();
        t.ClickMain();
        t.ClickMain();
        EXPECT_EQ(t.StateNow(), NameRefused(EntryFileName(entry)));
        EXPECT_EQ(t.RequestLines(), (std::vector<std::string>{"GET /Update/Version.txt HTTP/1.0",
                                                              "GET /Update/Version.ini HTTP/1.0"}));
        EXPECT_EQ(t.folder_.Read("Version.ini"),
                  "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=" + entry + "\r\n");

        const std::string journal = "[RUN]\r\n1=a.dll;0\r\n2=" + entry + "\r\n";
        t.folder_.Write("Update/a.dll", "new a");
        t.folder_.Write("Version.ini", journal);
        t.OpenWizard("on");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return ResumedRunEnded(t); }));
        EXPECT_EQ(t.StateNow(), NameRefused(EntryFileName(entry)));
        EXPECT_EQ(t.folder_.Read("Version.ini"), journal);
        EXPECT_FALSE(t.Exists("a.dll")) << "nothing is installed before every entry was checked";
        EXPECT_EQ(t.folder_.Read("ran.log"), "<missing>");
        // The refusals name the server's file in sendrift.log, which must not carry its bytes
        // to a terminal that shows the log.
        const std::string log = t.folder_.Read("sendrift.log");
        EXPECT_EQ(
            std::count_if(log.begin(), log.end(),
                          [](unsigned char c) { return (c < 0x20 && c != '\n') || c == 0x7f; }),
            0)
            << log;
    }
}

}  // namespace
