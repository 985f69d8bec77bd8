#include "rawpeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace {

// A listening socket on an ephemeral port of 127.0.0.1; returns its port.
int ListenOnLoopback(int* listener) {
    *listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (*listener < 0 || ::bind(*listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(*listener, 16) != 0 ||
        ::getsockname(*listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    return ntohs(address.sin_port);
}

}  // namespace

DeafListener::DeafListener() {
    port_ = ListenOnLoopback(&listener_);
}

DeafListener::~DeafListener() {
    ::close(listener_);
}

RawPeer::RawPeer(std::string reply, size_t trailing) : RawPeer({Turn{0, std::move(reply)}}) {
    trailing_ = trailing;
}

RawPeer::RawPeer(std::vector<Turn> turns) : turns_(std::move(turns)) {
    port_ = ListenOnLoopback(&listener_);
    thread_ = std::thread([this] { Serve(); });
}

RawPeer::~RawPeer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
}

std::string RawPeer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> RawPeer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

size_t RawPeer::SendAll(int client, const char* data, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        const ssize_t wrote = ::send(client, data + sent, length - sent, MSG_NOSIGNAL);
        if (wrote <= 0) break;
        sent += static_cast<size_t>(wrote);
    }
    return sent;
}

void RawPeer::Serve() {
    while (!stopping_) {
        const int client = ::accept(listener_, nullptr, nullptr);
        if (client < 0) return;
        {
            std::lock_guard lock(mutex_);
            received_.emplace_back();
        }
        // A client that neither reads nor closes must not hold this thread (and the test's
        // end) for ever.
        const timeval stall{5, 0};
        ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
        std::string bytes;
        size_t answered = 0;  // the bytes of `bytes` that earlier turns waited for
        char buffer[4096];
        pollfd wait{client, POLLIN, 0};
        bool replied = true;
        for (const Turn& turn : turns_) {
            // Where the awaited bytes end, once they are all here.
            auto end = [&]() -> size_t {
                if (turn.awaited != 0) {
                    return bytes.size() - answered >= turn.awaited ? answered + turn.awaited
                                                                   : std::string::npos;
                }
                const size_t emptyLine = bytes.find("\r\n\r\n", answered);
                return emptyLine == std::string::npos ? emptyLine : emptyLine + 4;
            };
            while (end() == std::string::npos && ::poll(&wait, 1, 5000) == 1) {
                const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                bytes.append(buffer, static_cast<size_t>(got));
                std::lock_guard lock(mutex_);
                received_.back() = bytes;
            }
            answered = std::min(end(), bytes.size());
            replied = SendAll(client, turn.reply.data(), turn.reply.size()) == turn.reply.size();
            if (!replied) break;
        }
        if (replied) {
            const std::string filler(64 * 1024, 'x');
            for (size_t left = trailing_; left > 0;) {
                const size_t piece = std::min(left, filler.size());
                const size_t sent = SendAll(client, filler.data(), piece);
                trailingSent_ += sent;
                if (sent < piece) break;  // the client closed
                left -= piece;
            }
        }
        // Half-close and drain, so that unread request bytes do not turn the close into a
        // reset that could destroy the reply before the client has read it.
        ::shutdown(client, SHUT_WR);
        while (::poll(&wait, 1, 2000) == 1 && ::recv(client, buffer, sizeof buffer, 0) > 0) {
        }
        ::close(client);
    }
}
