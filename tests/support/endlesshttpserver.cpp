#include "support/endlesshttpserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

// Long enough for a client on the same machine to read what came before the reset.
constexpr int kReadTimeBeforeResetMs = 200;
constexpr size_t kSendPiece = 64 * 1024;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error("EndlessHttpServer: " + what + ": " + std::strerror(errno));
}

}  // namespace

EndlessHttpServer::EndlessHttpServer(std::string head, std::optional<size_t> resetAfter)
    : head_(std::move(head)), resetAfter_(resetAfter) {
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) Fail("pipe");
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) Fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0) Fail("bind");
    if (listen(listener_, SOMAXCONN) != 0) Fail("listen");
    if (getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("getsockname");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread(&EndlessHttpServer::Serve, this);
}

EndlessHttpServer::~EndlessHttpServer() {
    char stop = 1;
    while (write(stopPipe_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    close(listener_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

std::string EndlessHttpServer::Url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

bool EndlessHttpServer::WaitFor(int socket, short events, int timeoutMs) const {
    pollfd fds[2] = {{socket, events, 0}, {stopPipe_[0], POLLIN, 0}};
    int ready;
    do ready = poll(fds, 2, timeoutMs);
    while (ready < 0 && errno == EINTR);
    return ready > 0 && fds[1].revents == 0;
}

void EndlessHttpServer::Serve() {
    while (WaitFor(listener_, POLLIN)) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) continue;
        Answer(client);
        close(client);
    }
}

void EndlessHttpServer::Answer(int client) {
    std::string request;
    char scratch[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        if (!WaitFor(client, POLLIN)) return;
        const ssize_t got = recv(client, scratch, sizeof scratch, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return;
        if (got > 0) request.append(scratch, static_cast<size_t>(got));
    }
    const std::string body(kSendPiece, 'x');
    std::string pending = head_;
    bool inBody = false;
    uint64_t sent = 0;
    for (;;) {
        if (pending.empty()) {
            if (resetAfter_ && sent >= *resetAfter_) break;
            const size_t piece =
                resetAfter_ ? std::min<uint64_t>(kSendPiece, *resetAfter_ - sent) : kSendPiece;
            pending.assign(body, 0, piece);
            inBody = true;
        }
        if (!WaitFor(client, POLLOUT)) return;
        const ssize_t put = send(client, pending.data(), pending.size(), MSG_NOSIGNAL);
        if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (put <= 0) return;  // the client has gone
        pending.erase(0, static_cast<size_t>(put));
        if (inBody) {
            sent += static_cast<uint64_t>(put);
            bodyBytesSent_ += static_cast<uint64_t>(put);
        }
    }
    // Only reached with resetAfter_: a zero linger turns the close into a reset.
    pollfd stop = {stopPipe_[0], POLLIN, 0};
    poll(&stop, 1, kReadTimeBeforeResetMs);
    linger abort{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

}  // namespace testsupport
