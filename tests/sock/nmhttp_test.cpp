#include "net/sock/nmhttp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>

#include <QDir>
#include <QTemporaryDir>

#include "rawpeer.h"
#include "support/processstats.h"
#include "support/scriptedhttpserver.h"
#include "support/waituntil.h"

namespace {

using testsupport::RecordedRequest;
using testsupport::ScriptedHttpServer;
using testsupport::ScriptedResponse;
using namespace std::chrono_literals;

const char kAccept1[] = "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff";
const char kAccept2[] = "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript";
const char kContentType[] = "Content-type: application/x-www-form-urlencoded";

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

class HttpClient : public ::testing::Test {
protected:
    HttpClient() {
        // A generous limit: no test may hang, whatever the client does wrong.
        http.TimeOut = 10000;
    }

    RecordedRequest OnlyRequest() const {
        const auto requests = server.Requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? RecordedRequest{} : requests.front();
    }

    ScriptedHttpServer server;
    TNMHTTP http;
};

// Counted once the in-process server has closed its side of every connection.
TEST_F(HttpClient, AThousandSizeQueriesLeaveNoDescriptorOpen) {
    server.Serve("/a.dll", ScriptedResponse::Ok("12345"));
    auto settled = [&] {
        EXPECT_TRUE(testsupport::WaitUntil([&] { return server.OpenConnections() == 0; }));
        return testsupport::OpenDescriptors();
    };
    http.Head(server.Url("/a.dll"));
    const int before = settled();
    for (int i = 0; i < 1000; ++i) http.Head(server.Url("/a.dll"));
    EXPECT_EQ(settled(), before);
    EXPECT_NE(http.Header.find("Content-Length: 5"), AnsiString::npos);
}

TEST_F(HttpClient, HeadOfAnAbsoluteUrlSendsThePathAndKeepsTheRawHeader) {
    const std::string head =
        "HTTP/1.0 200 OK\r\nServer: test\r\nContent-Length: 1234\r\nConnection: close\r\n\r\n";
    RawPeer peer(head);
    std::vector<CmdType> succeeded;
    http.OnSuccess = [&](CmdType kind) { succeeded.push_back(kind); };
    http.Head(peer.Url("/dir/file.bin"));

    ASSERT_EQ(peer.Received().size(), 1u);
    EXPECT_EQ(peer.Received()[0], std::string("HEAD /dir/file.bin HTTP/1.0\r\n") +
                                      "Host: 127.0.0.1\r\n" + kAccept1 + "\r\n" + kAccept2 +
                                      "\r\n" + kContentType + "\r\n\r\n");
    EXPECT_EQ(http.Host, "127.0.0.1");
    EXPECT_EQ(http.Port, peer.Port());
    EXPECT_EQ(http.RequestPath, "/dir/file.bin");
    EXPECT_EQ(http.Header, head);  // ends in the last line's and the empty line's CR LF
    EXPECT_EQ(http.ReplyNumber, 200);
    EXPECT_EQ(http.BytesTotal, 1234);
    EXPECT_EQ(http.Body, "");
    EXPECT_EQ(succeeded, std::vector<CmdType>{CmdHEAD});
    EXPECT_FALSE(http.Connected());
}

TEST_F(HttpClient, UrlWithoutPathAsksForTheRoot) {
    server.Serve("/", ScriptedResponse::Ok("root"));
    const std::string url = server.Url();
    http.Get(url);
    EXPECT_EQ(OnlyRequest().requestLine, "GET / HTTP/1.0");
    EXPECT_EQ(http.URL, url + "/");
    EXPECT_EQ(http.Body, "root");
    EXPECT_EQ(http.Port, server.Port());
}

TEST_F(HttpClient, PathOnlyUrlGoesToTheCurrentHost) {
    server.Serve("/a/b.txt", ScriptedResponse::Ok("b"));
    http.Host = "127.0.0.1";
    http.Port = server.Port();
    http.Get("/a/b.txt");
    EXPECT_EQ(OnlyRequest().requestLine, "GET /a/b.txt HTTP/1.0");
    EXPECT_EQ(OnlyRequest().Header("Host"), "127.0.0.1");
    EXPECT_EQ(http.Body, "b");
}

TEST_F(HttpClient, PostSendsFormEncodedData) {
    server.Serve("/form", ScriptedResponse::Ok("thanks"));
    http.Post(server.Url("/form"), "a b");
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.requestLine, "POST /form HTTP/1.0");
    EXPECT_EQ(request.Header("Content-Length"), "3");
    EXPECT_EQ(request.body, "a+b");

    http.EncodePostData = false;
    http.Put(server.Url("/form"), "a b");
    EXPECT_EQ(server.Requests().back().body, "a b");
}

TEST_F(HttpClient, ProxyGetsTheWholeUrlAndOneHostLine) {
    server.Serve("http://origin.invalid/x", ScriptedResponse::Ok("via proxy"));
    http.Proxy = "127.0.0.1";
    http.ProxyPort = server.Port();
    http.Get("http://origin.invalid/x");
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.requestLine, "GET http://origin.invalid/x HTTP/1.0");
    EXPECT_EQ(request.headerLines,
              (std::vector<std::string>{"Proxy-Connection: Keep-Alive", "Host: origin.invalid",
                                        kAccept1, kAccept2, kContentType}));
    EXPECT_EQ(http.Body, "via proxy");
}

TEST_F(HttpClient, FollowsARedirectToAnAbsoluteLocation) {
    server.Serve("/old",
                 ScriptedResponse("HTTP/1.0 302 Found",
                                  {"Location: " + server.Url("/new"), "Set-Cookie: id=7"}, ""));
    server.Serve("/new", ScriptedResponse::Ok("moved here"));
    int redirects = 0;
    http.OnRedirect = [&](bool&) { ++redirects; };
    http.Get(server.Url("/old"));

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].requestLine, "GET /new HTTP/1.0");
    EXPECT_EQ(requests[1].Header("Cookie"), "id=7");  // the cookie travels with the redirect
    EXPECT_EQ(redirects, 1);
    EXPECT_EQ(http.ReplyNumber, 200);
    EXPECT_EQ(http.Body, "moved here");
    EXPECT_EQ(http.URL, server.Url("/new"));
}

// A carriage return inside a cookie could never be sent back; the redirect goes on without it,
// and so do later requests.
TEST_F(HttpClient, ACookieThatCannotBeSentBackIsDropped) {
    server.Serve("/old",
                 ScriptedResponse("HTTP/1.0 302 Found",
                                  {"Location: " + server.Url("/new"), "Set-Cookie: a\rb"}, ""));
    server.Serve("/new", ScriptedResponse::Ok("moved here"));
    server.Serve("/later", ScriptedResponse::Ok("later"));
    http.Get(server.Url("/old"));
    http.Get(server.Url("/later"));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[1].Header("Cookie"));
    EXPECT_FALSE(requests[2].Header("Cookie"));
    EXPECT_EQ(http.Body, "later");
}

TEST_F(HttpClient, BareNameLocationStaysOnTheSameServer) {
    server.Serve("/dir/old", ScriptedResponse("HTTP/1.0 301 Moved", {"Location: next.txt"}, ""));
    server.Serve("/next.txt", ScriptedResponse::Ok("next"));
    http.Get(server.Url("/dir/old"));
    EXPECT_EQ(http.URL, server.Url("/next.txt"));
    EXPECT_EQ(http.Body, "next");
}

TEST_F(HttpClient, RedirectHandlerCanStopFollowing) {
    server.Serve("/old",
                 ScriptedResponse("HTTP/1.0 302 Found", {"Location: " + server.Url("/new")}, ""));
    http.OnRedirect = [](bool& handled) { handled = true; };
    http.Get(server.Url("/old"));
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(http.ReplyNumber, 302);
    EXPECT_EQ(http.Location, server.Url("/new"));
}

// A location that leads back to itself must not repeat the request without end.
TEST_F(HttpClient, EndlessRedirectsStopAfterTen) {
    server.Serve("/loop",
                 ScriptedResponse("HTTP/1.0 302 Found", {"Location: " + server.Url("/loop")}, ""));
    try {
        http.Get(server.Url("/loop"));
        FAIL() << "no error";
    } catch (const ESockError& error) {
        EXPECT_EQ(error.Message(), "Too many redirects");
    }
    EXPECT_EQ(server.Requests().size(), 11u);
}

TEST_F(HttpClient, ErrorStatusRaisesOnFailureAndReturns) {
    std::vector<std::string> events;
    http.OnFailure = [&](CmdType kind) { events.push_back("failure " + std::to_string(kind)); };
    http.OnSuccess = [&](CmdType) { events.push_back("success"); };
    http.OnAuthenticationNeeded = [&](QObject*) { events.push_back("authenticate"); };
    http.Get(server.Url("/missing"));  // the server answers 404 for unscripted targets
    EXPECT_EQ(http.ReplyNumber, 404);
    EXPECT_EQ(http.Body, "Not Found");
    EXPECT_EQ(events, std::vector<std::string>{"failure 0"});

    events.clear();
    server.Serve("/private", ScriptedResponse("HTTP/1.0 401 Unauthorized", {}, ""));
    http.Get(server.Url("/private"));
    EXPECT_EQ(events, (std::vector<std::string>{"failure 0", "authenticate"}));
    EXPECT_EQ(server.Requests().size(), 2u);  // not repeated
}

TEST_F(HttpClient, HeaderInfoBecomesRequestHeaders) {
    server.Serve("/h", ScriptedResponse::Ok(""));
    http.HeaderInfo.LocalProgram = "Sendrift";
    http.HeaderInfo.LocalMailAddress = "ops@example.invalid";
    http.HeaderInfo.Referer = "http://example.invalid/";
    http.HeaderInfo.UserId = "user";
    http.HeaderInfo.Password = "pass";
    http.Get(server.Url("/h"));
    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.Header("User-Agent"), "Sendrift");
    EXPECT_EQ(request.Header("From"), "ops@example.invalid");
    EXPECT_EQ(request.Header("Referer"), "http://example.invalid/");
    EXPECT_EQ(request.Header("Authorization"), "Basic dXNlcjpwYXNz");
    EXPECT_FALSE(request.Header("Cookie"));
}

TEST_F(HttpClient, LongCredentialsAreOneUnbrokenText) {
    http.HeaderInfo.UserId = std::string(40, 'u');
    http.HeaderInfo.Password = std::string(40, 'p');
    http.URL = "http://127.0.0.1/";
    http.ParseURL();
    http.BuildHeader();
    const AnsiString line = http.RequestHeader[http.RequestHeader.FindField("Authorization")];
    EXPECT_EQ(line.find_first_of("\r\n"), AnsiString::npos);
    EXPECT_EQ(line.size(), std::string("Authorization: Basic ").size() + 4 * 27);
}

// A file name from a downloaded manifest must not be able to add header lines.
TEST_F(HttpClient, ControlCharactersInRequestValuesAreRefusedBeforeSending) {
    auto refused = [&](auto request) {
        try {
            request();
        } catch (const ESockError& error) {
            return error.Message() == "Invalid character in request";
        }
        return false;
    };
    EXPECT_TRUE(refused([&] { http.Get(server.Url("/a\r\nX-Injected: 1")); }));
    EXPECT_TRUE(refused([&] { http.Head(server.Url("/a\nb")); }));
    EXPECT_TRUE(refused([&] { http.Get(server.Url(std::string("/a\0b", 4))); }));
    EXPECT_TRUE(refused([&] { http.Copy(server.Url("/a"), "/b\r\n"); }));
    http.HeaderInfo.Referer = "x\r\nEvil: 1";
    EXPECT_TRUE(refused([&] { http.Get(server.Url("/a")); }));
    EXPECT_TRUE(server.Requests().empty());
}

// A server's Location is followed into the next request, so it is held to the same rule.
TEST_F(HttpClient, RedirectCannotSmuggleHeaderLines) {
    server.Serve("/r",
                 ScriptedResponse::Raw("HTTP/1.0 302 Found\r\nLocation: /b\rX-Evil: 1\r\n\r\n"));
    EXPECT_THROW(http.Get(server.Url("/r")), ESockError);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(HttpClient, UnusableUrlsFailBeforeConnecting) {
    EXPECT_THROW(http.Get(""), Exception);
    try {
        http.Get("http://127.0.0.1:65536/x");
        FAIL() << "no error";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "'65536' is not a valid port number");
    }
    EXPECT_THROW(http.Get("http://127.0.0.1:8o/x"), Exception);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(HttpClient, ParseUrlRules) {
    http.URL = "ftp://files.invalid";
    http.ParseURL();
    EXPECT_EQ(http.Port, 21);
    EXPECT_EQ(http.Host, "files.invalid");
    EXPECT_EQ(http.URL, "ftp://files.invalid/");
    EXPECT_EQ(http.RequestPath, "/");

    http.URL = "update.invalid:8080/dir/v.ini";
    http.ParseURL();
    EXPECT_EQ(http.Host, "update.invalid");
    EXPECT_EQ(http.Port, 8080);
    EXPECT_EQ(http.RequestPath, "/dir/v.ini");

    http.URL = "http://h.invalid/" + std::string(300, 'p');
    http.ParseURL();
    EXPECT_EQ(http.RequestPath.size(), 256u);
}

TEST_F(HttpClient, TransportFailuresArriveAsExceptionsWithoutResultEvents) {
    int results = 0;
    http.OnSuccess = [&](CmdType) { ++results; };
    http.OnFailure = [&](CmdType) { ++results; };
    EXPECT_THROW(http.Get("http://nowhere.invalid/x"), ESockError);

    server.Serve("/silent", ScriptedResponse::Silent());
    http.TimeOut = 300;
    EXPECT_THROW(http.Get(server.Url("/silent")), EAbortError);
    EXPECT_TRUE(http.TimedOut);
    EXPECT_FALSE(http.Connected());
    EXPECT_EQ(results, 0);
}

TEST_F(HttpClient, FileModesUseTheNamedFiles) {
    QTemporaryDir folder;
    const std::string body = QDir(folder.path()).filePath("body.bin").toStdString();
    const std::string header = QDir(folder.path()).filePath("head.txt").toStdString();
    const std::string upload = QDir(folder.path()).filePath("up.txt").toStdString();
    std::ofstream(upload, std::ios::binary) << "file contents";
    server.Serve("/f", ScriptedResponse::Ok("downloaded"));
    http.InputFileMode = true;
    http.OutputFileMode = true;
    http.Body = body;
    http.Header = header;
    http.Put(server.Url("/f"), upload);

    EXPECT_EQ(ReadFile(body), "downloaded");
    EXPECT_EQ(ReadFile(header), "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n");
    EXPECT_EQ(OnlyRequest().body, "file contents");
    EXPECT_EQ(OnlyRequest().Header("Content-Length"), "13");
}

TEST_F(HttpClient, LinkAnnouncesALengthButSendsNoBody) {
    RawPeer peer("HTTP/1.0 204 No Content\r\n\r\n");
    http.Link(peer.Url("/doc"), "<http://other.invalid/>");
    ASSERT_EQ(peer.Received().size(), 1u);
    const std::string sent = peer.Received()[0];
    EXPECT_EQ(sent.rfind("LINK /doc HTTP/1.0\r\n", 0), 0u);
    EXPECT_NE(sent.find("\r\nLink: <http://other.invalid/>\r\nContent-Length: 8\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - 4), "\r\n\r\n");
    EXPECT_EQ(http.ReplyNumber, 204);
}

TEST_F(HttpClient, BareRequestSendsNoRequestLine) {
    RawPeer peer("HTTP/1.0 200 OK\r\n\r\n");
    http.BareRequest(peer.Url("/"), "");
    ASSERT_EQ(peer.Received().size(), 1u);
    EXPECT_EQ(peer.Received()[0].rfind("Host: 127.0.0.1\r\n", 0), 0u);
}

// Hostile or broken servers: every case ends in a normal return or a socket error, quickly
// and with bounded memory.
TEST_F(HttpClient, SurvivesMalformedResponses) {
    const std::vector<std::pair<std::string, ScriptedResponse>> cases = {
        {"/huge-status",
         ScriptedResponse::Raw("HTTP/1.0 200 " + std::string(100 * 1024, 'S') + "\r\n\r\n")},
        {"/no-line-ends", ScriptedResponse::Raw("HTTP/1.0 200 OK\r\nX-A: 1\rX-B: 2")},
        {"/garbage", ScriptedResponse::Raw(std::string("\x00\xff\x1b[2J\n\n\r\x80 \x01", 12) +
                                           std::string(5000, '\0'))},
        {"/letters", ScriptedResponse::Raw("HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\nbody")},
        {"/long-location", ScriptedResponse::Raw("HTTP/1.0 302 Found\r\nLocation: /" +
                                                 std::string(10 * 1024, 'L') + "\r\n\r\n")},
        {"/mid-header", ScriptedResponse::Raw("HTTP/1.0 200 OK\r\nContent-Le")},
        {"/endless-header",
         ScriptedResponse::Raw("HTTP/1.0 200 OK\r\n" + std::string(2 * 1024 * 1024, 'h'))},
    };
    for (const auto& [target, response] : cases) server.Serve(target, response);
    for (const auto& [target, response] : cases) {
        SCOPED_TRACE(target);
        try {
            http.Get(server.Url(target));
        } catch (const ESockError&) {
            // A socket error is an acceptable end.
        }
        EXPECT_FALSE(http.Connected());
        EXPECT_LE(http.Header.size(), 2u * 1024 * 1024);
    }
}

TEST_F(HttpClient, MalformedValuesGiveNeutralResults) {
    server.Serve("/letters",
                 ScriptedResponse::Raw("HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\n"));
    http.Get(server.Url("/letters"));
    EXPECT_EQ(http.BytesTotal, 0);

    server.Serve("/tight", ScriptedResponse::Raw("HTTP/1.0 200 OK\r\nContent-Length:77\r\n\r\n"));
    http.Get(server.Url("/tight"));
    EXPECT_EQ(http.BytesTotal, 0);  // a name must be followed by a blank

    server.Serve("/mixed",
                 ScriptedResponse::Raw("HTTP/1.0 200 OK\r\ncontent-length: x12y\r\n\r\n"));
    http.Get(server.Url("/mixed"));
    EXPECT_EQ(http.BytesTotal, 12);

    server.Serve("/weird", ScriptedResponse::Raw("HTTP/1.0 2x0 Odd\r\n\r\n"));
    http.Get(server.Url("/weird"));
    EXPECT_EQ(http.ReplyNumber, 0);

    server.Serve("/long-location", ScriptedResponse::Raw("HTTP/1.0 302 Found\r\nLocation: /" +
                                                         std::string(10 * 1024, 'L') + "\r\n\r\n"));
    http.OnRedirect = [](bool& handled) { handled = true; };
    http.Get(server.Url("/long-location"));
    EXPECT_EQ(http.Location.size(), 256u);
}

// A result handler that raises must not leave the connection open.
TEST_F(HttpClient, RaisingResultHandlerStillDisconnects) {
    server.Serve("/ok", ScriptedResponse::Ok("fine"));
    http.OnSuccess = [](CmdType) { throw Exception("handler failed"); };
    EXPECT_THROW(http.Get(server.Url("/ok")), Exception);
    EXPECT_FALSE(http.Connected());
}

TEST_F(HttpClient, ServerClosingWithoutReplyCountsAsSuccess) {
    server.Serve("/nothing", ScriptedResponse::Raw(""));
    int succeeded = 0;
    http.OnSuccess = [&](CmdType) { ++succeeded; };
    http.Get(server.Url("/nothing"));
    EXPECT_EQ(http.ReplyNumber, 0);
    EXPECT_EQ(http.Header, "");
    EXPECT_EQ(succeeded, 1);
}

// Peak resident memory of this process in kilobytes, from /proc.
long PeakResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string field; status >> field;) {
        if (field == "VmHWM:") {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
    }
    return -1;
}

// A size query is answered by the header alone; bytes after it, announced or not, are never
// read, into memory or into the body file. Reading them once let a server fill memory for as
// long as it kept sending.
TEST_F(HttpClient, HeadReadsNothingAfterTheHeader) {
    constexpr size_t kOffered = size_t{1} << 30;
    const std::vector<std::string> heads = {
        "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n",
        "HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n",
        "HTTP/1.0 200 OK\r\nServer: endless\r\n\r\n",
    };
    QTemporaryDir folder;
    const std::string bodyFile = QDir(folder.path()).filePath("body.bin").toStdString();
    for (const std::string& head : heads) {
        for (const bool toFile : {false, true}) {
            SCOPED_TRACE(head + (toFile ? "into a file" : "into memory"));
            http.InputFileMode = toFile;
            http.Body = toFile ? bodyFile : "left over";
            std::ofstream(bodyFile) << "left over";
            RawPeer peer(head, kOffered);
            const long peakBefore = PeakResidentKilobytes();
            http.Head(peer.Url("/big.bin"));
            EXPECT_EQ(http.Header, head);
            EXPECT_EQ(toFile ? ReadFile(bodyFile) : http.Body, "");
            EXPECT_EQ(http.ReplyNumber, 200);
            EXPECT_FALSE(http.Connected());
            EXPECT_LT(PeakResidentKilobytes() - peakBefore, 100 * 1024);
            // What the peer got out is what the socket buffers took before the close.
            EXPECT_LT(peer.TrailingSent(), size_t{64} << 20);
        }
    }
}

// A body into memory ends at its cap with an error, and its cut-off bytes are not kept.
TEST_F(HttpClient, BodyInMemoryIsCapped) {
    const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
    const std::string tooLarge = "Response body larger than 16777216 bytes";
    struct Case {
        const char* name;
        size_t bodyBytes;  // sent, then the peer closes
        size_t trailing;   // offered after that while the client reads
        const char* error;
    };
    const Case cases[] = {
        {"exactly the cap", kMaxBodyInMemory, 0, ""},
        {"one byte over", kMaxBodyInMemory + 1, 0, tooLarge.c_str()},
        {"endless", 0, size_t{1} << 30, tooLarge.c_str()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer(head + std::string(c.bodyBytes, 'b'), c.trailing);
        AnsiString error;
        try {
            http.Get(peer.Url("/big"));
        } catch (const ESockError& failure) {
            error = failure.Message();
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(http.Body.size(), error.empty() ? c.bodyBytes : 0u);
        EXPECT_EQ(http.Header, head);
        EXPECT_FALSE(http.Connected());
        EXPECT_LT(peer.TrailingSent(), size_t{64} << 20);
    }
}

// A server that sends a little now and then must not hold a request past its limit, which
// counts from the start of the call and spans redirects.
TEST_F(HttpClient, RequestTimeOutBoundsTheWholeExchange) {
    using Clock = std::chrono::steady_clock;
    const auto step = 600ms;
    std::string head = "HTTP/1.0 200 OK\r\n";
    std::vector<size_t> lineStarts;
    for (char name = 'A'; name <= 'G'; ++name) {
        lineStarts.push_back(head.size());
        head += std::string(1, name) + ": 1\r\n";
    }
    ScriptedResponse trickledHeader = ScriptedResponse::Raw(head + "\r\n");
    for (size_t start : lineStarts) trickledHeader.PauseAt(start, step);
    ScriptedResponse trickledBody = ScriptedResponse::Ok("12345678");
    for (size_t byte = 0; byte < 8; ++byte) trickledBody.PauseInBody(byte, step);
    server.Serve("/header", trickledHeader);
    server.Serve("/body", trickledBody);
    server.Serve("/hop",
                 ScriptedResponse("HTTP/1.0 302 Found", {"Location: /hop"}, "").PauseAt(0, step));
    server.Serve("/silent", ScriptedResponse::Silent());

    struct Case {
        const char* target;
        CmdType kind;
        int32_t timeOut;         // per wait
        int32_t requestTimeOut;  // whole call
        const char* error;
        std::chrono::milliseconds expected;
    };
    const Case cases[] = {
        {"/header", CmdHEAD, 10000, 1500, "Socket readln aborted", 1500ms},
        {"/body", CmdGET, 10000, 1500, "Socket capture aborted", 1500ms},
        {"/hop", CmdGET, 10000, 1500, "Socket readln aborted", 1500ms},
        // The shorter of the two limits ends a wait.
        {"/silent", CmdGET, 300, 5000, "Socket readln aborted", 300ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        http.TimeOut = c.timeOut;
        http.RequestTimeOut = c.requestTimeOut;
        const auto start = Clock::now();
        AnsiString error;
        try {
            if (c.kind == CmdHEAD) {
                http.Head(server.Url(c.target));
            } else {
                http.Get(server.Url(c.target));
            }
        } catch (const EAbortError& failure) {
            error = failure.Message();
        }
        const auto took = Clock::now() - start;
        EXPECT_EQ(error, c.error);
        EXPECT_TRUE(http.TimedOut);
        EXPECT_FALSE(http.Connected());
        // A timer may be a hair early by the clock read here; never by more.
        EXPECT_GT(took, c.expected - 20ms);
        EXPECT_LT(took, c.expected + 800ms);
    }
}

// The limit belongs to one call: the next call starts with all of it again, and the
// transport's own operations outside a request know only their per-wait TimeOut.
TEST_F(HttpClient, EachRequestGetsTheWholeRequestTimeOut) {
    server.Serve("/slow", ScriptedResponse::Ok("slow").PauseAt(0, 700ms));
    server.Serve("/slower", ScriptedResponse::Ok("slower").PauseAt(0, 1300ms));
    http.RequestTimeOut = 1000;
    for (int call = 0; call < 2; ++call) {
        http.Get(server.Url("/slow"));
        EXPECT_EQ(http.Body, "slow");
    }
    http.TimeOut = 0;
    http.Host = "127.0.0.1";
    http.Port = server.Port();
    http.Connect();
    http.Write("GET /slower HTTP/1.0\r\n\r\n");
    EXPECT_EQ(http.ReadLn(), "HTTP/1.0 200 OK\r\n");
    http.Disconnect();
}

// Anything but HTTP would be spoken to as HTTP: an ftp:// location got a HEAD on that port.
TEST_F(HttpClient, RedirectsLeadOnlyToHttp) {
    RawPeer other("220 ready\r\n");
    const std::string port = std::to_string(other.Port());
    server.Serve("/new", ScriptedResponse::Ok("moved here"));
    struct Case {
        std::string location;
        std::string error;  // "" when followed
    };
    const std::vector<Case> cases = {
        {"ftp://127.0.0.1:" + port + "/", "Redirect to an unsupported scheme: ftp"},
        {"FTP://127.0.0.1:" + port + "/", "Redirect to an unsupported scheme: ftp"},
        {"gopher://127.0.0.1:" + port + "/", "Redirect to an unsupported scheme: gopher"},
        {"file:///etc/passwd", "Redirect to an unsupported scheme: file"},
        {"localhost:" + port + "/x", "Redirect to an unsupported scheme: localhost"},
        {"HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/new", ""},
        {"/new", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.location);
        server.Serve("/old",
                     ScriptedResponse("HTTP/1.0 302 Found", {"Location: " + c.location}, ""));
        const size_t before = server.Requests().size();
        AnsiString error;
        try {
            http.Head(server.Url("/old"));
        } catch (const ESockError& failure) {
            error = failure.Message();
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(server.Requests().size(), before + (c.error.empty() ? 2 : 1));
        EXPECT_FALSE(http.Connected());
    }
    EXPECT_TRUE(other.Received().empty());
}

// A cookie goes back only where it came from: host and port.
TEST_F(HttpClient, ReceivedCookieGoesOnlyToTheHostThatSetIt) {
    ScriptedHttpServer otherPort;
    struct Other {
        const char* name;
        ScriptedHttpServer* server;
        std::string base;
    };
    const Other others[] = {
        {"another port", &otherPort, otherPort.Url()},
        {"another host name", &server, "http://localhost:" + std::to_string(server.Port())},
    };
    using Cookies = std::vector<std::optional<std::string>>;
    // The cookies sent with the requests for `target`, in order.
    auto cookiesTo = [](const ScriptedHttpServer& where, const std::string& target) {
        Cookies cookies;
        for (const RecordedRequest& request : where.Requests()) {
            if (request.Target() == target) cookies.push_back(request.Header("Cookie"));
        }
        return cookies;
    };
    int round = 0;
    for (const Other& other : others) {
        SCOPED_TRACE(other.name);
        http.HeaderInfo = {};
        // Targets of their own per round, so that each round counts only its requests.
        const std::string at = "/" + std::to_string(++round);
        const std::string a = server.Url(at);
        const std::string b = other.base + at;
        server.Serve(at + "/start",
                     ScriptedResponse("HTTP/1.0 302 Found",
                                      {"Location: " + b + "/next", "Set-Cookie: id=7"}, ""));
        other.server->Serve(
            at + "/next", ScriptedResponse("HTTP/1.0 302 Found", {"Location: " + a + "/back"}, ""));
        server.Serve(at + "/back", ScriptedResponse::Ok("back"));
        other.server->Serve(at + "/later", ScriptedResponse::Ok("later"));

        http.Get(a + "/start");
        EXPECT_EQ(http.Body, "back");
        http.Get(b + "/later");
        http.Get(a + "/back");
        EXPECT_EQ(cookiesTo(*other.server, at + "/next"), Cookies{std::nullopt});
        EXPECT_EQ(cookiesTo(*other.server, at + "/later"), Cookies{std::nullopt});
        EXPECT_EQ(cookiesTo(server, at + "/back"), (Cookies{"id=7", "id=7"}));
        EXPECT_EQ(http.HeaderInfo.Cookie, "id=7");

        // A cookie of the caller's own goes wherever the caller sends it.
        http.HeaderInfo.Cookie = "mine";
        http.Get(b + "/later");
        EXPECT_EQ(cookiesTo(*other.server, at + "/later"), (Cookies{std::nullopt, "mine"}));
    }
}

}  // namespace
