// ScriptedHttpServer: an HTTP server for tests that answers with exactly the bytes a test
// scripts, and records every request it receives.
//
//   testsupport::ScriptedHttpServer server;              // 127.0.0.1, ephemeral port
//   server.Serve("/v.txt", ScriptedResponse::Ok("1.2"));  // 200 with Content-Length
//   server.Serve("/raw", ScriptedResponse("HTTP/1.0 200 OK", {"X-B: 1", "X-A: 2"}, "body"));
//   server.Serve("/slow", ScriptedResponse::Ok(std::string(3000, 'x'))
//                             .PauseInBody(1000, std::chrono::seconds(5))
//                             .DropAfterBody(2000));
//   ... the client fetches server.Url("/v.txt") ...
//   server.Requests()[0].requestLine == "GET /v.txt HTTP/1.0"
//
// A connection carries one request unless its response is scripted with KeepAlive. The server
// reads the request line, the header lines and, when a Content-Length announces one, the body;
// records them; sends the response scripted for the request target (the path as it appears in
// the request line, query included), then closes the connection, or after a kept-alive response
// reads the next request from it. A target with no script gets a 404 with a short body. A HEAD
// request gets only the head of the response (status line and header lines).
//
// The server runs on threads of its own, so the test thread may talk to it with blocking calls
// as well as through an event loop. Every member may be called from any thread. Destruction
// stops the server at once: pauses and held connections are cut short, and every thread is
// joined before the destructor returns.
//
// With a TlsIdentity the server speaks HTTPS instead (Url() then starts with "https://").
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// What is sent back for one request: exact bytes plus the timing of their delivery.
struct ScriptedResponse {
    using Duration = std::chrono::milliseconds;

    // Joins the status line and header lines with CRLF and ends the head with a blank line.
    // Nothing is added: a Content-Length is sent only when it is among `headerLines`.
    ScriptedResponse(const std::string& statusLine, const std::vector<std::string>& headerLines,
                     std::string body);

    // "HTTP/1.0 200 OK" with a Content-Length that matches the body.
    static ScriptedResponse Ok(std::string body);
    // Sends `bytes` exactly as given, also to HEAD requests (for malformed replies).
    static ScriptedResponse Raw(std::string bytes);
    // Reads the request and answers nothing, keeping the connection open until the client
    // closes it or the server stops.
    static ScriptedResponse Silent();

    // Waits `pause` before sending the byte at `offset`, counted over head and body together
    // (so a header line can arrive in two pieces). Several pauses may be scripted. A client
    // that closes the connection during a pause ends it, and the rest is not sent.
    ScriptedResponse& PauseAt(size_t offset, Duration pause);
    // Waits `pause` after the first `bodyBytes` bytes of the body.
    ScriptedResponse& PauseInBody(size_t bodyBytes, Duration pause);
    // Closes the connection after the first `bodyBytes` bytes of the body.
    ScriptedResponse& DropAfterBody(size_t bodyBytes);
    // After the last byte, keeps the connection open until the client closes it.
    ScriptedResponse& HoldOpen();
    // Adds "Connection: keep-alive" to the head and, after the last byte, waits on the same
    // connection for the client's next request. Offsets scripted before stay on the same bytes.
    ScriptedResponse& KeepAlive();

    std::string head;  // status line, header lines and the blank line, as sent
    std::string body;
    std::map<size_t, Duration> pauses;  // offset in head + body -> wait before that byte
    std::optional<size_t> closeAfter;   // bytes of head + body after which to close
    bool holdOpen = false;
    bool keepAlive = false;
};

// One request as the server received it.
struct RecordedRequest {
    std::string requestLine;               // without the line end, e.g. "GET /a HTTP/1.0"
    std::vector<std::string> headerLines;  // in arrival order, without line ends
    std::string body;                      // as many bytes as the Content-Length announced

    std::string Method() const;
    std::string Target() const;
    // The value of the first header of that name (any letter case), leading blanks removed.
    std::optional<std::string> Header(const std::string& name) const;
};

// Certificate and key files in PEM form for an HTTPS server.
struct TlsIdentity {
    std::string certificateFile;
    std::string privateKeyFile;
};

class ScriptedHttpServer {
public:
    ScriptedHttpServer();
    explicit ScriptedHttpServer(const TlsIdentity& identity);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    // Scripts (or replaces) the answer for a request target; applies to later requests.
    void Serve(const std::string& target, ScriptedResponse response);

    uint16_t Port() const { return port_; }
    // "http://127.0.0.1:<port>" (or "https://...") followed by `target`.
    std::string Url(const std::string& target = "") const;

    // Every request whose head arrived completely, in arrival order.
    std::vector<RecordedRequest> Requests() const;
    // Connections accepted and not yet closed by the server.
    size_t OpenConnections() const;
    // Connections accepted since the server started.
    size_t ConnectionsAccepted() const;

private:
    struct Connection;
    class TlsContext;

    explicit ScriptedHttpServer(std::unique_ptr<TlsContext> tls);
    void AcceptLoop();
    void Handle(int socket);
    void Converse(Connection& connection);
    // Reads, records and answers one request; `received` holds what the client sent beyond the
    // previous request. True when the connection stays open for another one.
    bool Exchange(Connection& connection, std::string& received);
    ScriptedResponse ResponseFor(const std::string& target) const;

    std::unique_ptr<TlsContext> tls_;
    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};  // readable once the server stops; wakes every wait
    uint16_t port_ = 0;

    mutable std::mutex mutex_;
    std::map<std::string, ScriptedResponse> scripts_;
    std::vector<RecordedRequest> requests_;
    size_t openConnections_ = 0;
    size_t connectionsAccepted_ = 0;
    std::vector<std::thread> handlers_;
    std::thread acceptor_;
};

}  // namespace testsupport
