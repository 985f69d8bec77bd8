// EndlessHttpServer: an HTTP server on 127.0.0.1 whose reply never ends by itself, for tests
// of clients that must cut a reply off or survive a reset.
//
//   testsupport::EndlessHttpServer server("HTTP/1.0 200 OK\r\n\r\n");
//   ... the client fetches server.Url("/any") and must stop reading on its own ...
//   EXPECT_GT(server.BodyBytesSent(), limit);
//
//   testsupport::EndlessHttpServer reset("HTTP/1.0 200 OK\r\n\r\n", 3);  // "xxx", then RST
//
// Once a request's head has arrived, the server sends `head` exactly as given and then body
// bytes ('x') as fast as the client takes them, until the client closes the connection or the
// server stops. With `resetAfter` it sends only that many body bytes, gives the client a moment
// to read them, and resets the connection (TCP RST) instead of closing it.
//
// One connection is served at a time, on a thread of the server's own; every member may be
// called from any thread. Destruction stops the server at once and joins its thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

namespace testsupport {

class EndlessHttpServer {
public:
    explicit EndlessHttpServer(std::string head, std::optional<size_t> resetAfter = std::nullopt);
    ~EndlessHttpServer();
    EndlessHttpServer(const EndlessHttpServer&) = delete;
    EndlessHttpServer& operator=(const EndlessHttpServer&) = delete;

    // "http://127.0.0.1:<port>" followed by `target`; every target gets the same reply.
    std::string Url(const std::string& target) const;
    // Body bytes handed to the kernel so far, over all connections.
    uint64_t BodyBytesSent() const { return bodyBytesSent_.load(); }

private:
    void Serve();
    void Answer(int client);
    // Waits until `socket` is ready for `events`; false when the server stops first or
    // `timeoutMs` passes.
    bool WaitFor(int socket, short events, int timeoutMs = -1) const;

    const std::string head_;
    const std::optional<size_t> resetAfter_;
    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};  // readable once the server stops; wakes every wait
    uint16_t port_ = 0;
    std::atomic<uint64_t> bodyBytesSent_{0};
    std::thread thread_;
};

}  // namespace testsupport
