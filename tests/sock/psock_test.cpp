#include "net/sock/psock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include "rawpeer.h"
#include "sockerrorof.h"
#include "support/scriptedhttpserver.h"
#include "support/waituntil.h"

namespace {

using testsupport::ScriptedHttpServer;
using testsupport::ScriptedResponse;
using testsupport::WaitUntil;
using namespace std::chrono_literals;

double ProcessCpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// A port on which nothing listens: the server's port, after it has stopped.
int ClosedPort() {
    ScriptedHttpServer server;
    return server.Port();
}

class Transport : public ::testing::Test {
protected:
    // Connects `sock` to the scripted server and sends a request for `target`.
    void Request(TPowersock& sock, const std::string& target) {
        sock.Host = "127.0.0.1";
        sock.Port = server.Port();
        sock.Connect();
        sock.Write("GET " + target + " HTTP/1.0\r\n\r\n");
    }

    ScriptedHttpServer server;
};

TEST(SocketErrorText, JoinsCodeAndMessageOrNamesUnknownCodes) {
    EXPECT_EQ(SocketErrorText(10061), "10061:Connection refused");
    EXPECT_EQ(SocketErrorText(10035), "10035:Operation would block");
    EXPECT_EQ(SocketErrorText(11004), "11004:Valid name, no data record of requested type");
    EXPECT_EQ(SocketErrorText(12345), "Unknown Error No. 12345");
    EXPECT_EQ(SocketErrorText(0), "");
}

TEST(TPowersockLife, FirstInstanceDescribesTheSocketLibraryAndCountsInstances) {
    ASSERT_EQ(TPowersock::InstanceCount(), 0);
    {
        TPowersock first;
        EXPECT_EQ(TPowersock::InstanceCount(), 1);
        ASSERT_EQ(first.WSAInfo.size(), 6u);
        EXPECT_EQ(first.WSAInfo[0], "Version= 1.1");
        EXPECT_EQ(first.WSAInfo[2].rfind("Description= POSIX sockets", 0), 0u);
        EXPECT_EQ(first.WSAInfo[5], "Max Udp pack size= 65507");
        EXPECT_NE(first.Socket(), -1);
        EXPECT_FALSE(first.Connected());
        TPowersock second;
        EXPECT_EQ(TPowersock::InstanceCount(), 2);
        EXPECT_TRUE(second.WSAInfo.empty());
    }
    EXPECT_EQ(TPowersock::InstanceCount(), 0);
}

TEST_F(Transport, DottedAddressConnectsWithoutLookup) {
    TPowersock sock;
    int resolved = 0, connected = 0;
    sock.OnHostResolved = [&](QObject*) { ++resolved; };
    sock.OnConnect = [&](QObject* sender) {
        EXPECT_EQ(sender, &sock);
        ++connected;
    };
    sock.Host = "127.0.0.1";
    sock.Port = server.Port();
    sock.Connect();
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(resolved, 0);
    EXPECT_EQ(sock.RemoteAddress.sin_family, 2);
    EXPECT_EQ(qFromBigEndian(sock.RemoteAddress.sin_addr), 0x7F000001u);
    EXPECT_EQ(qFromBigEndian(sock.RemoteAddress.sin_port), server.Port());
    EXPECT_EQ(SockErrorOf([&] { sock.Connect(); }), "Already connected");
}

TEST_F(Transport, NameIsResolvedBeforeConnecting) {
    TPowersock sock;
    int resolved = 0;
    sock.OnHostResolved = [&](QObject*) { ++resolved; };
    sock.Host = "localhost";
    sock.Port = server.Port();
    sock.Connect();
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(resolved, 1);
}

TEST(TPowersockConnect, UnresolvableNameWithoutHandlerRaisesNullRemoteAddress) {
    TPowersock sock;
    int failed = 0;
    sock.OnConnectionFailed = [&](QObject*) { ++failed; };
    sock.Host = "nowhere.invalid";
    sock.Port = 80;
    EXPECT_EQ(SockErrorOf([&] { sock.Connect(); }), "Null Remote Address");
    EXPECT_EQ(sock.LastError, 11001);
    EXPECT_EQ(failed, 0);  // no connect was attempted
}

TEST_F(Transport, InvalidHostHandlerMayFixTheHostOnce) {
    TPowersock sock;
    int asked = 0;
    sock.OnInvalidHost = [&](bool& handled) {
        ++asked;
        sock.Host = "127.0.0.1";
        handled = true;
    };
    sock.Host = "nowhere.invalid";
    sock.Port = server.Port();
    sock.Connect();
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(asked, 1);
}

TEST(TPowersockConnect, InvalidHostHandlerIsNotAskedTwice) {
    TPowersock sock;
    int asked = 0;
    sock.OnInvalidHost = [&](bool& handled) {
        ++asked;
        handled = true;  // claims a fix but leaves the name unresolvable
    };
    sock.Host = "still.invalid";
    EXPECT_EQ(SockErrorOf([&] { sock.Connect(); }), "Null Remote Address");
    EXPECT_EQ(asked, 1);

    TPowersock declining;
    declining.OnInvalidHost = [](bool&) {};
    declining.Host = "nowhere.invalid";
    EXPECT_EQ(SockErrorOf([&] { declining.Connect(); }), "Null Remote Address");
}

TEST_F(Transport, ProxyIsConnectedInsteadOfTheHost) {
    TPowersock sock;
    int resolved = 0;
    sock.OnHostResolved = [&](QObject*) { ++resolved; };
    sock.Host = "origin.invalid";  // would fail if it were looked up
    sock.Port = 1;
    sock.Proxy = "127.0.0.1";
    sock.ProxyPort = server.Port();
    sock.Connect();
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(resolved, 0);
    EXPECT_EQ(qFromBigEndian(sock.RemoteAddress.sin_port), server.Port());
}

TEST(TPowersockConnect, RefusedConnectionReportsTheTableText) {
    TPowersock sock;
    std::vector<AnsiString> events;
    sock.OnConnectionFailed = [&](QObject*) { events.push_back("failed"); };
    sock.OnSocketError = [&](QObject*, uint16_t code, const AnsiString& text) {
        events.push_back(std::to_string(code) + " " + text);
    };
    sock.Host = "127.0.0.1";
    sock.Port = ClosedPort();
    EXPECT_EQ(SockErrorOf([&] { sock.Connect(); }), "Connection Failed");
    EXPECT_EQ(events, (std::vector<AnsiString>{"failed", "10061 10061:Connection refused"}));
    EXPECT_EQ(sock.LastError, 10061);
    EXPECT_FALSE(sock.Connected());
}

TEST_F(Transport, DisconnectLeavesAFreshSocketForTheNextConnect) {
    TPowersock sock;
    int disconnected = 0;
    sock.OnDisconnect = [&](QObject*) { ++disconnected; };
    Request(sock, "/a");
    sock.Disconnect();
    EXPECT_FALSE(sock.Connected());
    EXPECT_EQ(disconnected, 1);
    EXPECT_NE(sock.Socket(), -1);
    sock.Connect();
    EXPECT_TRUE(sock.Connected());
}

// A silent peer with TimeOut 1000: the read ends after about a second, and the wait keeps the
// thread's other timers running without burning CPU.
TEST_F(Transport, TimeOutEndsReadLnOnASilentPeer) {
    server.Serve("/silent", ScriptedResponse::Silent());
    TPowersock sock;
    sock.TimeOut = 1000;
    Request(sock, "/silent");

    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(50);
    const auto start = std::chrono::steady_clock::now();
    const double cpuBefore = ProcessCpuSeconds();
    EXPECT_EQ(SockErrorOf<EAbortError>([&] { sock.ReadLn(); }), "Socket readln aborted");
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = ProcessCpuSeconds() - cpuBefore;

    EXPECT_TRUE(sock.TimedOut);
    EXPECT_FALSE(sock.Canceled);  // reported once, then cleared
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LT(elapsed, 3.0);
    EXPECT_GE(ticks, 10);
    EXPECT_LT(cpu, 0.25) << "the wait must sleep, not spin";
}

TEST_F(Transport, CancelFromAnEventEndsAnUntimedRead) {
    server.Serve("/silent", ScriptedResponse::Silent());
    TPowersock sock;
    Request(sock, "/silent");
    QTimer::singleShot(100, [&] { sock.Cancel(); });
    EXPECT_EQ(SockErrorOf<EAbortError>([&] { sock.ReadLn(); }), "Socket readln aborted");
    EXPECT_FALSE(sock.TimedOut);
}

TEST_F(Transport, LineSplitAcrossArrivalsComesBackWhole) {
    server.Serve("/split", ScriptedResponse::Raw("HTTP/1.0 200 OK\r\nX-Two: parts\r\n")
                               .PauseAt(4, 60ms)
                               .PauseAt(16, 60ms)
                               .PauseAt(20, 60ms));
    TPowersock sock;
    int arrivals = 0;
    sock.OnDataArrival = [&](QObject*) { ++arrivals; };
    Request(sock, "/split");
    EXPECT_EQ(sock.ReadLn(), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(sock.ReadLn(), "X-Two: parts\r\n");
    EXPECT_EQ(sock.ReadLn(), "");  // the peer closed
    EXPECT_GE(arrivals, 3);
}

TEST_F(Transport, ReadLnReturnsWhatArrivedBeforeTheClose) {
    server.Serve("/partial", ScriptedResponse::Raw("no line end"));
    TPowersock sock;
    Request(sock, "/partial");
    EXPECT_EQ(sock.ReadLn(), "no line end");
    EXPECT_EQ(sock.ReadLn(), "");
}

TEST_F(Transport, ReadLnHandsOutOverlongLinesInBufferSizedPieces) {
    server.Serve("/long", ScriptedResponse::Raw(std::string(100000, 'a') + "\n"));
    TPowersock sock;
    Request(sock, "/long");
    EXPECT_EQ(sock.ReadLn().size(), 65536u);
    EXPECT_EQ(sock.ReadLn(), std::string(100000 - 65536, 'a') + "\n");
    EXPECT_EQ(sock.ReadLn(), "");
}

TEST_F(Transport, CaptureStringTakesEveryChunkUntilTheClose) {
    server.Serve("/bytes", ScriptedResponse::Raw("abc").PauseAt(1, 50ms).PauseAt(2, 50ms));
    TPowersock sock;
    int packets = 0;
    sock.OnPacketRecvd = [&](QObject*) { ++packets; };
    Request(sock, "/bytes");
    AnsiString text = "old";
    sock.CaptureString(text, -1);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(sock.BytesRecvd, 3);
    EXPECT_EQ(packets, 3);  // one-byte chunks are appended like any other
}

// The time limit of a capture counts from the last arrival, not from its start.
TEST_F(Transport, SlowButSteadyCaptureOutlastsTheTimeLimit) {
    ScriptedResponse trickle = ScriptedResponse::Raw("abcdef");
    for (size_t offset = 1; offset < 6; ++offset) trickle.PauseAt(offset, 150ms);
    server.Serve("/trickle", trickle);
    TPowersock sock;
    Request(sock, "/trickle");
    sock.TimeOut = 500;
    AnsiString text;
    sock.CaptureString(text, -1);
    EXPECT_EQ(text, "abcdef");
    EXPECT_FALSE(sock.TimedOut);
}

TEST_F(Transport, CaptureStringStopsAtTheLimitButKeepsTheWholeChunk) {
    server.Serve("/six", ScriptedResponse::Raw("abcdef").PauseAt(6, 500ms).HoldOpen());
    TPowersock sock;
    Request(sock, "/six");
    AnsiString text;
    sock.CaptureString(text, 2);
    EXPECT_EQ(text, "abcdef");
}

TEST_F(Transport, TransactionReadsTheReplyCode) {
    server.Serve("/t", ScriptedResponse::Raw("250 Ready\r\n"));
    TPowersock sock;
    sock.Host = "127.0.0.1";
    sock.Port = server.Port();
    sock.Connect();
    EXPECT_EQ(sock.Transaction("GET /t HTTP/1.0\r\n"), "250 Ready\r\n");
    EXPECT_EQ(sock.ReplyNumber, 250);
    EXPECT_EQ(sock.LastReply, "250 Ready\r\n");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].requestLine, "GET /t HTTP/1.0");
}

TEST_F(Transport, SendFileAndCaptureFileMoveWholeFiles) {
    QTemporaryDir folder;
    const std::string upload = QDir(folder.path()).filePath("up.bin").toStdString();
    const std::string download = QDir(folder.path()).filePath("down.bin").toStdString();
    std::string payload;
    for (int i = 0; i < 200000; ++i) payload += static_cast<char>(i * 7);
    std::ofstream(upload, std::ios::binary) << payload;
    server.Serve("/up", ScriptedResponse::Raw(payload));

    TPowersock sock;
    int pieces = 0;
    sock.OnPacketSent = [&](QObject*) { ++pieces; };
    sock.Host = "127.0.0.1";
    sock.Port = server.Port();
    sock.Connect();
    sock.Write("POST /up HTTP/1.0\r\nContent-Length: " + std::to_string(payload.size()) +
               "\r\n\r\n");
    sock.SendFile(upload);
    EXPECT_EQ(sock.BytesSent, static_cast<int32_t>(payload.size()));
    EXPECT_GE(pieces, 4);  // 64 KB at most per piece
    sock.CaptureFile(download);

    std::ifstream received(download, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(received), {}), payload);
    EXPECT_EQ(sock.BytesRecvd, static_cast<int32_t>(payload.size()));
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].body, payload);
}

// A peer that never reads fills the send buffer: the blocked send must wait without spinning
// and give up at the time limit.
TEST(TPowersockSend, BlockedSendSleepsAndEndsAtTheTimeLimit) {
    DeafListener peer;
    TPowersock sock;
    sock.Host = "127.0.0.1";
    sock.Port = peer.Port();
    sock.Connect();
    sock.TimeOut = 500;
    const AnsiString chunk(65535, 'x');
    const double cpuBefore = ProcessCpuSeconds();
    const AnsiString message = SockErrorOf<EAbortError>([&] {
        for (int i = 0; i < 2000; ++i) sock.Write(chunk);
    });
    EXPECT_EQ(message, "Socket send aborted");
    EXPECT_TRUE(sock.TimedOut);
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.5);
}

// The request deadline as the HTTP client sets it, for the transport's own tests.
class DeadlineSock : public TPowersock {
public:
    void SetDeadlineIn(std::chrono::milliseconds left) {
        requestDeadline_ = std::chrono::steady_clock::now() + left;
    }
};

// A deadline ends every kind of wait, also one that starts after it has passed, and one whose
// own TimeOut is longer or absent. A wait that missed it would sleep until the safety cancel.
TEST_F(Transport, RequestDeadlineEndsEveryWait) {
    server.Serve("/silent", ScriptedResponse::Silent());
    DeafListener deaf;
    QTemporaryDir folder;
    const std::string upload = QDir(folder.path()).filePath("up.bin").toStdString();
    // More than the socket buffers of both ends take from a peer that never reads.
    std::ofstream(upload, std::ios::binary) << std::string(64 << 20, 'u');

    struct Case {
        const char* name;
        int32_t timeOut;
        std::chrono::milliseconds left;  // deadline, from the start of the operation
        bool connectFirst;
        std::function<void(DeadlineSock&)> operation;
        const char* error;
    };
    const Case cases[] = {
        {"read after the deadline", 0, 0ms, true, [](DeadlineSock& s) { s.ReadLn(); },
         "Socket readln aborted"},
        {"capture after the deadline", 0, 0ms, true,
         [](DeadlineSock& s) {
             AnsiString text;
             s.CaptureString(text, -1);
         },
         "Socket capture aborted"},
        {"connect after the deadline", 0, 0ms, false, [](DeadlineSock& s) { s.Connect(); },
         "Connection Timed out"},
        {"deadline before TimeOut", 5000, 300ms, true, [](DeadlineSock& s) { s.ReadLn(); },
         "Socket readln aborted"},
        {"blocked file send", 0, 300ms, false,
         [&](DeadlineSock& s) {
             s.Port = deaf.Port();
             s.Connect();
             s.SendFile(upload);
         },
         "Socket send aborted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeadlineSock sock;
        sock.Host = "127.0.0.1";
        sock.Port = server.Port();
        if (c.connectFirst) Request(sock, "/silent");
        sock.TimeOut = c.timeOut;
        QTimer safety;
        safety.setSingleShot(true);
        QObject::connect(&safety, &QTimer::timeout, [&] { sock.Cancel(); });
        safety.start(3000);
        const auto start = std::chrono::steady_clock::now();
        sock.SetDeadlineIn(c.left);
        EXPECT_EQ(SockErrorOf([&] { c.operation(sock); }), c.error);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(sock.TimedOut);
        EXPECT_GT(took, c.left - 20ms);
        EXPECT_LT(took, c.left + 800ms);
    }
}

TEST_F(Transport, WriteSendsUpToTheFirstNulAndRefusesOversizedTexts) {
    server.Serve("/n", ScriptedResponse::Ok("x"));
    TPowersock sock;
    sock.Host = "127.0.0.1";
    sock.Port = server.Port();
    sock.Connect();
    EXPECT_THROW(sock.Write(AnsiString(65536, 'a')), Exception);
    sock.Write(AnsiString("GET /n HTTP/1.0\r\n\r\n\0GET /ignored", 32));
    EXPECT_EQ(sock.ReadLn(), "HTTP/1.0 200 OK\r\n");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].requestLine, "GET /n HTTP/1.0");
}

TEST_F(Transport, DataAvailableSeesUnreadBytes) {
    server.Serve("/d", ScriptedResponse::Raw("x\n").HoldOpen());
    TPowersock sock;
    Request(sock, "/d");
    AnsiString seen;
    sock.OnDataArrival = [&](QObject*) { seen = sock.DataAvailable() ? "yes" : "no"; };
    ASSERT_TRUE(WaitUntil([&] { return !seen.empty(); }, 5s));
    EXPECT_EQ(seen, "yes");
    EXPECT_EQ(sock.ReadLn(), "x\n");
}

TEST(TPowersockAccept, EndsWithCancel) {
    TPowersock sock;
    QTimer::singleShot(50, [&] { sock.Cancel(); });
    EXPECT_EQ(SockErrorOf([&] { sock.Accept(); }), "Accepting Canceled");
    EXPECT_FALSE(sock.Canceled);
}

TEST_F(Transport, ReportLevelFiltersStatuses) {
    server.Serve("/s", ScriptedResponse::Ok("x"));
    // Declared first: the socket reports its last statuses while it is destroyed.
    std::vector<AnsiString> statuses;
    TPowersock sock;
    sock.OnStatus = [&](QObject*, const AnsiString& status) { statuses.push_back(status); };
    Request(sock, "/s");
    sock.ReadLn();
    sock.Disconnect();
    EXPECT_TRUE(statuses.empty());

    sock.ReportLevel = 4;
    Request(sock, "/s");
    sock.Disconnect();
    EXPECT_EQ(statuses, (std::vector<AnsiString>{"Sending Buffer", "Request Close Socket"}));
    EXPECT_EQ(sock.Status, "Request Close Socket");

    statuses.clear();
    sock.ReportLevel = 8;
    sock.Host = "localhost";
    sock.Connect();
    EXPECT_EQ(sock.Transaction("GET /s HTTP/1.0\r\n"), "HTTP/1.0 200 OK\r\n");
    sock.DataAvailable();
    sock.Cancel();
    AnsiString rest;
    EXPECT_THROW(sock.CaptureString(rest, -1), EAbortError);
    sock.Disconnect();
    EXPECT_THROW(sock.Write("x"), ESockError);  // not connected: a platform error

    server.Serve("/silent", ScriptedResponse::Silent());
    sock.TimeOut = 100;
    Request(sock, "/silent");
    EXPECT_THROW(sock.ReadLn(), EAbortError);

    const std::set<AnsiString> seen(statuses.begin(), statuses.end());
    for (const char* expected :
         {"Connecting", "Resolve Host", "Timer On", "Timer Off", "Transaction", "Writeln", "Write",
          "Sending Buffer", "ReadLn", "HTTP/1.0 200 OK\r\n", "Data Available", "Canceling",
          "Capture String", "Disconnecting", "Request Close Socket", "Looking Up Error Message",
          "Timer Triggered", "Abort"}) {
        EXPECT_TRUE(seen.count(expected)) << expected;
    }
}

TEST(TThreadTimer, FiresOnlyWhileEnabledWithAHandler) {
    TThreadTimer timer;
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_TRUE(timer.Enabled());
    int fired = 0;
    timer.SetInterval(20);
    timer.SetOnTimer([&](QObject* sender) {
        EXPECT_EQ(sender, &timer);
        ++fired;
    });
    EXPECT_TRUE(WaitUntil([&] { return fired >= 3; }, 5s));

    timer.SetEnabled(false);
    fired = 0;
    EXPECT_FALSE(WaitUntil([&] { return fired > 0; }, 150ms));
}

}  // namespace
