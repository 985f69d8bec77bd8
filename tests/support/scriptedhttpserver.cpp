#include "support/scriptedhttpserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr char kNotFound[] =
    "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\nNot Found";
// A request head larger than this is cut off; it only guards the test process's memory.
constexpr size_t kMaxRequestHead = 16 * 1024 * 1024;
// How long a finished connection waits for the client to close before closing itself.
constexpr int kLingerMs = 2000;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error("ScriptedHttpServer: " + what + ": " + std::strerror(errno));
}

}  // namespace

// ---- ScriptedResponse ----

ScriptedResponse::ScriptedResponse(const std::string& statusLine,
                                   const std::vector<std::string>& headerLines, std::string body)
    : body(std::move(body)) {
    head = statusLine + "\r\n";
    for (const std::string& line : headerLines) head += line + "\r\n";
    head += "\r\n";
}

ScriptedResponse ScriptedResponse::Ok(std::string body) {
    std::string length = "Content-Length: " + std::to_string(body.size());
    return ScriptedResponse("HTTP/1.0 200 OK", {length}, std::move(body));
}

ScriptedResponse ScriptedResponse::Raw(std::string bytes) {
    ScriptedResponse response("", {}, "");
    response.head = std::move(bytes);
    return response;
}

ScriptedResponse ScriptedResponse::Silent() {
    return Raw("").HoldOpen();
}

ScriptedResponse& ScriptedResponse::PauseAt(size_t offset, Duration pause) {
    pauses[offset] += pause;
    return *this;
}

ScriptedResponse& ScriptedResponse::PauseInBody(size_t bodyBytes, Duration pause) {
    return PauseAt(head.size() + bodyBytes, pause);
}

ScriptedResponse& ScriptedResponse::DropAfterBody(size_t bodyBytes) {
    closeAfter = head.size() + bodyBytes;
    return *this;
}

ScriptedResponse& ScriptedResponse::HoldOpen() {
    holdOpen = true;
    return *this;
}

ScriptedResponse& ScriptedResponse::KeepAlive() {
    keepAlive = true;
    static const std::string kLine = "Connection: keep-alive\r\n";
    // Before the blank line that ends the head; what was scripted behind it moves along.
    const size_t at = head.size() >= 2 ? head.size() - 2 : head.size();
    head.insert(at, kLine);
    std::map<size_t, Duration> moved;
    for (const auto& [offset, pause] : pauses)
        moved[offset < at ? offset : offset + kLine.size()] += pause;
    pauses = std::move(moved);
    if (closeAfter && *closeAfter >= at) *closeAfter += kLine.size();
    return *this;
}

// ---- RecordedRequest ----

std::string RecordedRequest::Method() const {
    return requestLine.substr(0, requestLine.find(' '));
}

std::string RecordedRequest::Target() const {
    size_t start = requestLine.find(' ');
    if (start == std::string::npos) return "";
    size_t end = requestLine.find(' ', start + 1);
    return requestLine.substr(start + 1, end == std::string::npos ? end : end - start - 1);
}

std::optional<std::string> RecordedRequest::Header(const std::string& name) const {
    std::string wanted = Lower(name);
    for (const std::string& line : headerLines) {
        size_t colon = line.find(':');
        if (colon == std::string::npos || Lower(line.substr(0, colon)) != wanted) continue;
        size_t value = line.find_first_not_of(" \t", colon + 1);
        return value == std::string::npos ? "" : line.substr(value);
    }
    return std::nullopt;
}

// ---- TLS ----

class ScriptedHttpServer::TlsContext {
public:
    explicit TlsContext(const TlsIdentity& identity) : context_(SSL_CTX_new(TLS_server_method())) {
        if (!context_ ||
            SSL_CTX_use_certificate_chain_file(context_, identity.certificateFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context_, identity.privateKeyFile.c_str(),
                                        SSL_FILETYPE_PEM) != 1) {
            char reason[256];
            ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
            SSL_CTX_free(context_);
            throw std::runtime_error("ScriptedHttpServer: cannot load " + identity.certificateFile +
                                     ": " + reason);
        }
        // A TLS write to a client that has gone away must fail, not kill the test process.
        signal(SIGPIPE, SIG_IGN);
    }
    ~TlsContext() { SSL_CTX_free(context_); }
    SSL* NewSession() const { return SSL_new(context_); }

private:
    SSL_CTX* context_;
};

// One accepted socket, plain or TLS. Every wait also watches the stop pipe, so a stopping
// server never waits for a client.
struct ScriptedHttpServer::Connection {
    int socket;
    int stopFd;
    SSL* ssl = nullptr;

    ~Connection() {
        if (ssl) SSL_free(ssl);
        close(socket);
    }

    // False when the server stops or the time runs out first.
    bool WaitFor(short events, int timeoutMs = -1) const {
        pollfd fds[2] = {{socket, events, 0}, {stopFd, POLLIN, 0}};
        int ready;
        do ready = poll(fds, 2, timeoutMs);
        while (ready < 0 && errno == EINTR);
        return ready > 0 && fds[1].revents == 0;
    }

    // False when the server stops or the client closes the connection first.
    bool Sleep(std::chrono::milliseconds pause) const {
        auto end = std::chrono::steady_clock::now() + pause;
        for (;;) {
            // Rounded up: a pause must never end before its time.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return true;
            if (!WaitFor(POLLIN, static_cast<int>(left.count()))) {
                if (Stopping()) return false;
                continue;
            }
            // Nothing more is expected from the client; what it sends now is dropped, and its
            // end of the stream ends the pause.
            char scratch[4096];
            ssize_t got = recv(socket, scratch, sizeof scratch, 0);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return false;
        }
    }

    bool Stopping() const {
        pollfd stop = {stopFd, POLLIN, 0};
        return poll(&stop, 1, 0) > 0;
    }

    // Waits for what a TLS call asked for; false when the call failed for good.
    bool RetryTls(int result) const {
        switch (SSL_get_error(ssl, result)) {
            case SSL_ERROR_WANT_READ:
                return WaitFor(POLLIN);
            case SSL_ERROR_WANT_WRITE:
                return WaitFor(POLLOUT);
            default:
                return false;
        }
    }

    bool Handshake() {
        if (!ssl) return true;
        SSL_set_fd(ssl, socket);
        for (;;) {
            int result = SSL_accept(ssl);
            if (result == 1) return true;
            if (!RetryTls(result)) return false;
        }
    }

    // Some bytes; 0 at the end of the stream, on an error, or when the server stops.
    size_t Read(char* buffer, size_t size, int timeoutMs = -1) {
        for (;;) {
            if (ssl) {
                int result = SSL_read(ssl, buffer, static_cast<int>(size));
                if (result > 0) return result;
                if (!RetryTls(result)) return 0;
                continue;
            }
            ssize_t result = recv(socket, buffer, size, 0);
            if (result >= 0) return result;
            if (errno == EINTR) continue;
            if (errno != EAGAIN || !WaitFor(POLLIN, timeoutMs)) return 0;
        }
    }

    bool WriteAll(const char* data, size_t size) {
        while (size > 0) {
            ssize_t sent;
            if (ssl) {
                int result = SSL_write(ssl, data, static_cast<int>(size));
                if (result <= 0) {
                    if (!RetryTls(result)) return false;
                    continue;
                }
                sent = result;
            } else {
                sent = send(socket, data, size, MSG_NOSIGNAL);
                if (sent < 0) {
                    if (errno == EINTR) continue;
                    if (errno != EAGAIN || !WaitFor(POLLOUT)) return false;
                    continue;
                }
            }
            data += sent;
            size -= sent;
        }
        return true;
    }

    // Ends the sending side and gives the client time to read everything and close first:
    // closing with unread request bytes pending would reset the connection and could destroy
    // response bytes the client has not read yet.
    void Finish() {
        if (ssl) SSL_shutdown(ssl);
        shutdown(socket, SHUT_WR);
        char scratch[4096];
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLingerMs);
        while (std::chrono::steady_clock::now() < end) {
            if (!WaitFor(POLLIN, kLingerMs)) return;
            ssize_t got = recv(socket, scratch, sizeof scratch, 0);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return;
        }
    }

    // Waits until the client closes (or the server stops), discarding what it sends.
    void AwaitClientClose() {
        char scratch[4096];
        while (Read(scratch, sizeof scratch) > 0) {
        }
    }
};

// ---- ScriptedHttpServer ----

ScriptedHttpServer::ScriptedHttpServer() : ScriptedHttpServer(nullptr) {}

ScriptedHttpServer::ScriptedHttpServer(const TlsIdentity& identity)
    : ScriptedHttpServer(std::make_unique<TlsContext>(identity)) {}

ScriptedHttpServer::ScriptedHttpServer(std::unique_ptr<TlsContext> tls) : tls_(std::move(tls)) {
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) Fail("pipe");
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0) Fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Fail("bind");
    if (listen(listener_, SOMAXCONN) != 0) Fail("listen");
    socklen_t length = sizeof address;
    if (getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("getsockname");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread(&ScriptedHttpServer::AcceptLoop, this);
}

ScriptedHttpServer::~ScriptedHttpServer() {
    char stop = 1;
    while (write(stopPipe_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    acceptor_.join();
    // The acceptor has ended, so no handler is added any more.
    for (std::thread& handler : handlers_) handler.join();
    close(listener_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

void ScriptedHttpServer::Serve(const std::string& target, ScriptedResponse response) {
    std::lock_guard lock(mutex_);
    scripts_.insert_or_assign(target, std::move(response));
}

std::string ScriptedHttpServer::Url(const std::string& target) const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + target;
}

std::vector<RecordedRequest> ScriptedHttpServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t ScriptedHttpServer::OpenConnections() const {
    std::lock_guard lock(mutex_);
    return openConnections_;
}

size_t ScriptedHttpServer::ConnectionsAccepted() const {
    std::lock_guard lock(mutex_);
    return connectionsAccepted_;
}

ScriptedResponse ScriptedHttpServer::ResponseFor(const std::string& target) const {
    std::lock_guard lock(mutex_);
    auto script = scripts_.find(target);
    return script != scripts_.end() ? script->second : ScriptedResponse::Raw(kNotFound);
}

void ScriptedHttpServer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard lock(mutex_);
        ++openConnections_;
        ++connectionsAccepted_;
        handlers_.emplace_back(&ScriptedHttpServer::Handle, this, client);
    }
}

void ScriptedHttpServer::Handle(int socket) {
    {
        Connection connection{socket, stopPipe_[0], tls_ ? tls_->NewSession() : nullptr};
        Converse(connection);
    }
    std::lock_guard lock(mutex_);
    --openConnections_;
}

void ScriptedHttpServer::Converse(Connection& connection) {
    if (!connection.Handshake()) return;
    std::string received;
    while (Exchange(connection, received)) {
    }
}

bool ScriptedHttpServer::Exchange(Connection& connection, std::string& received) {
    // The head ends at the first empty line; both CRLF and bare LF lines are accepted.
    size_t headEnd = std::string::npos;
    size_t separator = 0;
    char buffer[16384];
    for (;;) {
        size_t crlf = received.find("\r\n\r\n");
        size_t lf = received.find("\n\n");
        if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
            headEnd = crlf;
            separator = 4;
        } else if (lf != std::string::npos) {
            headEnd = lf;
            separator = 2;
        }
        if (headEnd != std::string::npos || received.size() >= kMaxRequestHead) break;
        size_t got = connection.Read(buffer, sizeof buffer);
        if (got == 0) return false;
        received.append(buffer, got);
    }
    if (headEnd == std::string::npos) return false;

    RecordedRequest request;
    std::vector<std::string> lines = SplitLines(received.substr(0, headEnd));
    if (!lines.empty()) {
        request.requestLine = lines.front();
        request.headerLines.assign(lines.begin() + 1, lines.end());
    }
    request.body = received.substr(headEnd + separator);
    size_t announced =
        std::strtoul(request.Header("Content-Length").value_or("0").c_str(), nullptr, 10);
    while (request.body.size() < announced) {
        size_t got = connection.Read(buffer, sizeof buffer);
        if (got == 0) break;
        request.body.append(buffer, got);
    }
    // What follows the body belongs to the next request on the connection.
    received = request.body.size() > announced ? request.body.substr(announced) : "";
    if (request.body.size() > announced) request.body.resize(announced);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }

    ScriptedResponse response = ResponseFor(request.Target());
    std::string bytes = response.head;
    if (request.Method() != "HEAD") bytes += response.body;
    size_t end = std::min(bytes.size(), response.closeAfter.value_or(bytes.size()));
    size_t sent = 0;
    for (const auto& [offset, pause] : response.pauses) {
        if (offset > end) break;
        if (!connection.WriteAll(bytes.data() + sent, offset - sent)) return false;
        sent = offset;
        if (!connection.Sleep(pause)) return false;
    }
    if (!connection.WriteAll(bytes.data() + sent, end - sent)) return false;
    if (response.keepAlive && !response.closeAfter) return true;
    if (response.holdOpen && !response.closeAfter) connection.AwaitClientClose();
    connection.Finish();
    return false;
}

}  // namespace testsupport
