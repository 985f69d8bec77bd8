#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include <QTemporaryDir>

#include "net/sock/nmhttp.h"
#include "rawpeer.h"
#include "support/scriptedhttpserver.h"
#include "support/testauthority.h"

namespace {

using testsupport::ScopedEnvironment;
using testsupport::ScriptedHttpServer;
using testsupport::ScriptedResponse;
using testsupport::TestAuthority;

std::string PortOf(const ScriptedHttpServer& server) {
    return std::to_string(server.Port());
}

// A test authority trusted through SSL_CERT_FILE, as the program's users would trust theirs.
class TlsClient : public ::testing::Test {
protected:
    TlsClient() { http.TimeOut = 10000; }

    QTemporaryDir folder;
    TestAuthority authority{folder.path().toStdString()};
    ScopedEnvironment trustFile{"SSL_CERT_FILE", authority.CertificateFile()};
    ScopedEnvironment noTrustFolder{"SSL_CERT_DIR", nullptr};
    TNMHTTP http;
};

TEST_F(TlsClient, HeadOverTlsResumesTheSessionOfTheFirstQuery) {
    ScriptedHttpServer secure(authority.Issue("server", "IP:127.0.0.1"));
    secure.Serve("/Update/a.dll", ScriptedResponse::Ok("12345"));
    for (int i = 0; i < 3; ++i) {
        http.Head(secure.Url("/Update/a.dll"));
        EXPECT_EQ(http.ReplyNumber, 200);
        EXPECT_EQ(http.BytesTotal, 5);
    }
    EXPECT_EQ(http.Port, secure.Port());
    const auto requests = secure.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].requestLine, "HEAD /Update/a.dll HTTP/1.0");
    EXPECT_EQ(http.TlsFullHandshakes, 1);
    EXPECT_EQ(http.TlsResumedHandshakes, 2);
}

TEST_F(TlsClient, BodiesAndRedirectsStayOnTls) {
    ScriptedHttpServer secure(authority.Issue("server", "IP:127.0.0.1"));
    secure.Serve("/moved", ScriptedResponse("HTTP/1.0 302 Found", {"Location: /here"}, ""));
    const std::string body(200000, 'b');  // many records, read past what TLS holds at once
    secure.Serve("/here", ScriptedResponse::Ok(body));
    http.Get(secure.Url("/moved"));
    EXPECT_EQ(http.ReplyNumber, 200);
    EXPECT_EQ(http.Body, body);
    const auto requests = secure.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].requestLine, "GET /here HTTP/1.0");
}

// A server named https:// that sends its clients to http:// would have the size queries, and
// what the program decides from them, travel in the clear, unnoticed.
TEST_F(TlsClient, RedirectsMayKeepOrRaiseTheSchemeButNeverLowerIt) {
    ScriptedHttpServer secure(authority.Issue("server", "IP:127.0.0.1"));
    ScriptedHttpServer plain;
    const std::string plainUrl = plain.Url("/plain");
    secure.Serve("/secure", ScriptedResponse::Ok("s"));
    secure.Serve("/a:b", ScriptedResponse::Ok("colon"));
    plain.Serve("/plain", ScriptedResponse::Ok("p"));
    plain.Serve("/up",
                ScriptedResponse("HTTP/1.0 302 Found", {"Location: " + secure.Url("/down")}, ""));
    struct Case {
        std::string start;
        std::string location;  // of the first server's 302
        std::string error;     // "" when followed
        std::string reached;   // the body of the end of the chain
    } cases[] = {
        {secure.Url("/r"), plainUrl, "Redirect from https to http refused: " + plainUrl, ""},
        {secure.Url("/r"), "HTTP://127.0.0.1:" + PortOf(plain) + "/plain",
         "Redirect from https to http refused: HTTP://127.0.0.1:" + PortOf(plain) + "/plain", ""},
        // A colon in a path names no scheme: the request stays on the server and its scheme.
        {secure.Url("/r"), "/a:b", "", "colon"},
        {secure.Url("/r"), secure.Url("/secure"), "", "s"},
        {plain.Url("/r"), secure.Url("/secure"), "", "s"},
        // Raised on the way, lowered later: the chain is stopped where it goes down.
        {plain.Url("/r"), plain.Url("/up"), "Redirect from https to http refused: " + plainUrl, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start + " -> " + c.location);
        secure.Serve("/r", ScriptedResponse("HTTP/1.0 302 Found", {"Location: " + c.location}, ""));
        secure.Serve("/down",
                     ScriptedResponse("HTTP/1.0 302 Found", {"Location: " + plainUrl}, ""));
        plain.Serve("/r", ScriptedResponse("HTTP/1.0 302 Found", {"Location: " + c.location}, ""));
        const size_t plainBefore = plain.Requests().size();
        http.Body.clear();
        AnsiString error;
        try {
            http.Get(c.start);
        } catch (const ESockError& failure) {
            error = failure.Message();
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(http.Body, c.reached);
        const auto plainRequests = plain.Requests();
        for (size_t i = plainBefore; i < plainRequests.size(); ++i) {
            EXPECT_NE(plainRequests[i].Target(), "/plain");
        }
        EXPECT_FALSE(http.Connected());
    }
}

TEST_F(TlsClient, NameOnTheCertificateIsCheckedForHostNamesToo) {
    ScriptedHttpServer secure(authority.Issue("server", "DNS:localhost"));
    secure.Serve("/a", ScriptedResponse::Ok("1"));
    http.Head("https://localhost:" + PortOf(secure) + "/a");
    EXPECT_EQ(http.ReplyNumber, 200);
}

TEST_F(TlsClient, UntrustedCertificatesAreRefusedWithTheReason) {
    TestAuthority stranger(folder.path().toStdString(), "stranger");
    struct Case {
        const char* what;
        testsupport::TlsIdentity identity;
        std::string host;
        std::string reason;
    } cases[] = {
        {"unknown authority", stranger.Issue("unknown", "IP:127.0.0.1"), "127.0.0.1",
         "unable to get local issuer certificate"},
        {"another address", authority.Issue("elsewhere", "IP:127.0.0.2,DNS:localhost"), "127.0.0.1",
         "IP address mismatch"},
        {"another host name", authority.Issue("other", "IP:127.0.0.1,DNS:other.invalid"),
         "localhost", "hostname mismatch"},
        {"expired", authority.Issue("expired", "IP:127.0.0.1", -1), "127.0.0.1",
         "certificate has expired"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedHttpServer secure(c.identity);
        secure.Serve("/a", ScriptedResponse::Ok("1"));
        const std::string target = c.host + ":" + PortOf(secure);
        try {
            http.Head("https://" + target + "/a");
            ADD_FAILURE() << "accepted";
        } catch (const ESockError& error) {
            EXPECT_EQ(error.Message(), "TLS handshake with " + c.host +
                                           " failed: certificate verify failed: " + c.reason);
        }
        EXPECT_TRUE(secure.Requests().empty());
        EXPECT_FALSE(http.Connected());
    }
}

// A session resumed is not verified again: one kept under authorities that are no longer
// trusted would let a server in that the new trust refuses.
TEST_F(TlsClient, ChangedTrustDropsTheKeptSessions) {
    ScriptedHttpServer secure(authority.Issue("server", "IP:127.0.0.1"));
    secure.Serve("/a", ScriptedResponse::Ok("1"));
    http.Head(secure.Url("/a"));
    http.Head(secure.Url("/a"));
    ASSERT_EQ(http.TlsResumedHandshakes, 1);

    TestAuthority other(folder.path().toStdString(), "other");
    ScopedEnvironment otherTrust("SSL_CERT_FILE", other.CertificateFile());
    EXPECT_THROW(http.Head(secure.Url("/a")), ESockError);
    EXPECT_EQ(secure.Requests().size(), 2u);
}

TEST_F(TlsClient, MissingTrustFileFailsTheRequestWithItsName) {
    ScriptedHttpServer secure(authority.Issue("server", "IP:127.0.0.1"));
    const std::string missing = folder.path().toStdString() + "/missing.pem";
    ScopedEnvironment broken("SSL_CERT_FILE", missing);
    try {
        http.Head(secure.Url("/a"));
        ADD_FAILURE() << "accepted";
    } catch (const ESockError& error) {
        EXPECT_NE(error.Message().find(missing), std::string::npos) << error.Message();
    }
    EXPECT_TRUE(secure.Requests().empty());
}

// The handshake waits in the event loop like every other wait: a server that never answers
// costs no CPU and ends at the time limit.
TEST_F(TlsClient, SilentServerEndsTheHandshakeAtTheTimeLimitWithoutSpinning) {
    RawPeer silent("");  // answers only after an empty line, which a TLS hello never has
    http.TimeOut = 500;
    const double cpuBefore = static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
    const auto started = std::chrono::steady_clock::now();
    try {
        http.Head("https://127.0.0.1:" + std::to_string(silent.Port()) + "/a");
        ADD_FAILURE() << "no error";
    } catch (const EAbortError& error) {
        EXPECT_EQ(error.Message(), "TLS handshake timed out");
    }
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, std::chrono::milliseconds(450));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_LT(static_cast<double>(std::clock()) / CLOCKS_PER_SEC - cpuBefore, 0.2);
    EXPECT_TRUE(http.TimedOut);
}

}  // namespace
