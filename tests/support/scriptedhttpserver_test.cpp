// The scripted server talked to over a plain blocking socket, the way the socket-client tests
// and the download tests rely on it.
#include "support/scriptedhttpserver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

// Sends `request` and returns every byte until the server closes; also how long that took.
struct Exchange {
    std::string reply;
    std::chrono::steady_clock::duration elapsed;
};

Exchange Talk(const ScriptedHttpServer& server, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server.Port());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send(fd, request.data(), request.size(), 0), ssize_t(request.size()));
    Exchange exchange;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) exchange.reply.append(buffer, got);
    exchange.elapsed = std::chrono::steady_clock::now() - start;
    close(fd);
    return exchange;
}

TEST(ScriptedHttpServer, SendsScriptedBytesAndRecordsTheRequest) {
    ScriptedHttpServer server;
    server.Serve("/a?x=1", ScriptedResponse("HTTP/1.0 200 OK", {"X-B: 1", "X-A: 2"}, "body"));
    std::string reply =
        Talk(server, "POST /a?x=1 HTTP/1.0\r\nHost: h\r\ncontent-length: 3\r\n\r\nabc").reply;
    EXPECT_EQ(reply, "HTTP/1.0 200 OK\r\nX-B: 1\r\nX-A: 2\r\n\r\nbody");

    std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "POST /a?x=1 HTTP/1.0");
    EXPECT_EQ(requests[0].Method(), "POST");
    EXPECT_EQ(requests[0].Target(), "/a?x=1");
    EXPECT_EQ(requests[0].headerLines, (std::vector<std::string>{"Host: h", "content-length: 3"}));
    EXPECT_EQ(requests[0].Header("CONTENT-LENGTH"), "3");
    EXPECT_EQ(requests[0].Header("Referer"), std::nullopt);
    EXPECT_EQ(requests[0].body, "abc");
}

TEST(ScriptedHttpServer, HeadGetsOnlyTheHeadAndUnknownPathsA404) {
    ScriptedHttpServer server;
    server.Serve("/f", ScriptedResponse::Ok("12345"));
    EXPECT_EQ(Talk(server, "HEAD /f HTTP/1.0\n\n").reply,
              "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n");
    EXPECT_EQ(Talk(server, "GET /nothing HTTP/1.0\r\n\r\n").reply.substr(0, 22),
              "HTTP/1.0 404 Not Found");
}

TEST(ScriptedHttpServer, PausesAndDropsWhereScripted) {
    ScriptedHttpServer server;
    server.Serve("/slow", ScriptedResponse::Ok("0123456789").PauseAt(5, 300ms));
    server.Serve("/cut", ScriptedResponse::Ok("0123456789").DropAfterBody(4));
    Exchange slow = Talk(server, "GET /slow HTTP/1.0\r\n\r\n");
    EXPECT_EQ(slow.reply, "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123456789");
    EXPECT_GE(slow.elapsed, 300ms);
    EXPECT_EQ(Talk(server, "GET /cut HTTP/1.0\r\n\r\n").reply,
              "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123");
}

TEST(ScriptedHttpServer, StopsPromptlyWhileHoldingASilentConnection) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    std::chrono::steady_clock::time_point start;
    {
        ScriptedHttpServer server;
        server.Serve("/quiet", ScriptedResponse::Silent());
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server.Port());
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        std::string request = "GET /quiet HTTP/1.0\r\n\r\n";
        send(fd, request.data(), request.size(), 0);
        for (int i = 0; i < 1000 && server.Requests().empty(); ++i) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(server.OpenConnections(), 1u);
        start = std::chrono::steady_clock::now();
    }
    // The client still holds its end open: only the stop can have ended the handler.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    close(fd);
}

}  // namespace
}  // namespace testsupport
