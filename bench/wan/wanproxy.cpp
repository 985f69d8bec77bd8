// wanproxy: a TCP proxy that makes loopback behave like a wide-area link, for benchmarks.
//
//   wanproxy --listen PORT --upstream PORT [--rtt-ms 50] [--rate-mbit 100] [--count-file PATH]
//   wanproxy --selftest
//
// It accepts on 127.0.0.1:<listen> and forwards every connection to 127.0.0.1:<upstream>.
//
// The model of the link:
// - A new connection costs one round trip before anything moves, as the TCP handshake does on
//   a real link: the proxy reads nothing from the client until one RTT after accepting it.
// - Every byte takes half a round trip to reach the other side, in each direction.
// - Each direction of the link carries <rate> bits per second, shared by all connections: a
//   chunk leaves once the link has sent what was queued before it (from any connection), and
//   arrives half a round trip after its last bit has left. No loss, no reordering.
// - The proxy reads a direction only while the link has less than half a round trip of data
//   queued in it (and a connection holds at most a few megabytes waiting for a slow reader),
//   so a fast server is held back the way a real bottleneck holds it back, instead of being
//   buffered here without end.
// - The end of a stream travels like data: the other side sees it half a round trip later.
//
// One thread waits in ppoll for sockets and for the next chunk's time; nothing spins. On
// SIGTERM or SIGINT it prints the connections it accepted and the bytes it carried each way
// (and writes them to --count-file when given, as the lines "connections N",
// "bytes_to_client N" and "bytes_to_server N") and exits. --selftest runs it against a small
// in-process server and checks that a request on a new connection takes two round trips, one on a
// kept connection one round trip, and that a megabyte and a quarter takes its time at the rate
// (exit status 0 when all hold).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Nanoseconds = std::chrono::nanoseconds;

constexpr size_t kReadPiece = 64 * 1024;
// The most a connection keeps waiting for a reader that does not take it.
constexpr size_t kMaxWaiting = 4 * 1024 * 1024;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

int Listen(uint16_t port, uint16_t* bound) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("socket");
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) Fail("bind");
    if (listen(fd, SOMAXCONN) != 0) Fail("listen");
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) Fail("getsockname");
    *bound = ntohs(address.sin_port);
    return fd;
}

int ConnectTo(uint16_t port, bool blocking) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) Fail("socket");
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

class Proxy {
public:
    struct Settings {
        uint16_t listenPort = 0;
        uint16_t upstreamPort = 0;
        Nanoseconds rtt = std::chrono::milliseconds(50);
        double bitsPerSecond = 100e6;  // 0: no limit
    };

    explicit Proxy(const Settings& settings) : settings_(settings) {
        listener_ = Listen(settings.listenPort, &port_);
        if (pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) Fail("pipe");
    }
    ~Proxy() {
        for (Connection& connection : connections_) Close(connection);
        close(listener_);
        close(stopPipe_[0]);
        close(stopPipe_[1]);
    }

    uint16_t Port() const { return port_; }
    size_t Accepted() const { return accepted_.load(); }
    // What the link has carried toward the clients and toward the server. Only once Run has
    // returned.
    uint64_t CarriedToClients() const { return carried_[kClient]; }
    uint64_t CarriedToServer() const { return carried_[kUpstream]; }
    // Any thread, also a signal handler: Run returns soon after.
    void Stop() {
        char stop = 1;
        [[maybe_unused]] ssize_t ignored = write(stopPipe_[1], &stop, 1);
    }

    void Run() {
        for (;;) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            std::vector<std::pair<Connection*, int>> owners;  // which side each later fd is
            const Clock::time_point now = Clock::now();
            Clock::time_point wake = Clock::time_point::max();
            for (Connection& connection : connections_) {
                for (int side = 0; side < 2; ++side) {
                    short events = 0;
                    if (WantsToRead(connection, side, now, &wake)) events |= POLLIN;
                    if (WantsToWrite(connection, side, now, &wake)) events |= POLLOUT;
                    if (!connection.connected && side == kUpstream) events |= POLLOUT;
                    // A socket with nothing to wait for stays out: a closed one would
                    // report its hang-up again and again.
                    fds.push_back({events != 0 ? connection.fd[side] : -1, events, 0});
                    owners.emplace_back(&connection, side);
                }
            }
            timespec timeout{};
            timespec* until = nullptr;
            if (wake != Clock::time_point::max()) {
                const auto left = std::max(Nanoseconds(0), wake - now);
                timeout.tv_sec = left.count() / 1000000000;
                timeout.tv_nsec = left.count() % 1000000000;
                until = &timeout;
            }
            if (ppoll(fds.data(), fds.size(), until, nullptr) < 0 && errno != EINTR) Fail("ppoll");
            if (fds[1].revents != 0) {
                // Both ends see the connection go, as when a real link goes down.
                for (Connection& connection : connections_) Close(connection);
                connections_.clear();
                return;
            }
            if (fds[0].revents & POLLIN) Accept();
            for (size_t i = 0; i < owners.size(); ++i) {
                auto [connection, side] = owners[i];
                const short ready = fds[i + 2].revents;
                if (!connection->connected && side == kUpstream && ready != 0) {
                    int error = 0;
                    socklen_t length = sizeof error;
                    getsockopt(connection->fd[side], SOL_SOCKET, SO_ERROR, &error, &length);
                    if (error != 0) {
                        connection->broken = true;
                        continue;
                    }
                    connection->connected = true;
                }
                if (ready & POLLERR) connection->broken = true;
                if (ready & (POLLIN | POLLHUP)) Read(*connection, side);
            }
            const Clock::time_point later = Clock::now();
            for (Connection& connection : connections_) {
                for (int side = 0; side < 2; ++side) Deliver(connection, side, later);
            }
            connections_.remove_if([this](Connection& connection) {
                const bool over = connection.broken || (connection.ended[0] && connection.ended[1]);
                if (over) Close(connection);
                return over;
            });
        }
    }

private:
    static constexpr int kClient = 0;
    static constexpr int kUpstream = 1;

    // Bytes on their way to one side, with the time they arrive there; an empty chunk stands
    // for the end of the stream.
    struct Chunk {
        std::string bytes;
        Clock::time_point due;
        size_t sent = 0;
    };

    struct Connection {
        int fd[2] = {-1, -1};
        Clock::time_point opens;         // when the handshake's round trip is over
        bool connected = false;          // the upstream connection is made
        bool eof[2] = {false, false};    // the side has closed its sending end
        bool ended[2] = {false, false};  // the end has been passed on to that side
        std::deque<Chunk> toward[2];     // on the way to that side
        size_t waiting[2] = {0, 0};      // bytes in toward[side]
        bool broken = false;
    };

    void Accept() {
        for (;;) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (client < 0) return;
            ++accepted_;
            const int upstream = ConnectTo(settings_.upstreamPort, false);
            if (upstream < 0) {
                close(client);
                continue;
            }
            int on = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            Connection& connection = connections_.emplace_back();
            connection.fd[kClient] = client;
            connection.fd[kUpstream] = upstream;
            connection.opens = Clock::now() + settings_.rtt;
        }
    }

    bool WantsToRead(const Connection& connection, int side, Clock::time_point now,
                     Clock::time_point* wake) const {
        if (connection.eof[side] || !connection.connected) return false;
        if (now < connection.opens) {
            *wake = std::min(*wake, connection.opens);
            return false;
        }
        if (connection.waiting[1 - side] >= kMaxWaiting) return false;
        // A full link: read again when it has drained to half a round trip.
        const Clock::time_point free = linkFree_[1 - side] - settings_.rtt / 2;
        if (free > now) {
            *wake = std::min(*wake, free);
            return false;
        }
        return true;
    }

    bool WantsToWrite(const Connection& connection, int side, Clock::time_point now,
                      Clock::time_point* wake) const {
        if (connection.toward[side].empty()) return false;
        const Clock::time_point due = connection.toward[side].front().due;
        if (due > now) {
            *wake = std::min(*wake, due);
            return false;
        }
        return true;  // due, but the last attempt found the socket full
    }

    void Read(Connection& connection, int side) {
        if (connection.eof[side] || !connection.connected) return;
        char buffer[kReadPiece];
        const ssize_t got = recv(connection.fd[side], buffer, sizeof buffer, 0);
        if (got < 0) {
            if (errno != EAGAIN && errno != EINTR) connection.broken = true;
            return;
        }
        const int to = 1 - side;
        // The chunk leaves when the link has sent what was queued before it.
        const Clock::time_point now = Clock::now();
        Clock::time_point leaves = std::max(now, linkFree_[to]);
        if (settings_.bitsPerSecond > 0) {
            leaves += Nanoseconds(static_cast<int64_t>(got * 8 * 1e9 / settings_.bitsPerSecond));
        }
        linkFree_[to] = leaves;
        carried_[to] += uint64_t(got);
        if (got == 0) connection.eof[side] = true;
        connection.toward[to].push_back({std::string(buffer, got), leaves + settings_.rtt / 2});
        connection.waiting[to] += got;
    }

    void Deliver(Connection& connection, int side, Clock::time_point now) {
        auto& queue = connection.toward[side];
        while (!queue.empty() && queue.front().due <= now && !connection.broken) {
            Chunk& chunk = queue.front();
            if (chunk.bytes.empty()) {
                shutdown(connection.fd[side], SHUT_WR);
                connection.ended[side] = true;
                queue.pop_front();
                continue;
            }
            const ssize_t put = send(connection.fd[side], chunk.bytes.data() + chunk.sent,
                                     chunk.bytes.size() - chunk.sent, MSG_NOSIGNAL);
            if (put < 0) {
                if (errno != EAGAIN && errno != EINTR) connection.broken = true;
                return;
            }
            chunk.sent += put;
            connection.waiting[side] -= put;
            if (chunk.sent < chunk.bytes.size()) return;
            queue.pop_front();
        }
    }

    void Close(Connection& connection) {
        for (int fd : connection.fd) {
            if (fd >= 0) close(fd);
        }
    }

    const Settings settings_;
    int listener_ = -1;
    uint16_t port_ = 0;
    int stopPipe_[2] = {-1, -1};
    std::atomic<size_t> accepted_{0};
    std::list<Connection> connections_;
    // When each direction's link has sent everything queued on it (toward client, upstream).
    Clock::time_point linkFree_[2] = {};
    uint64_t carried_[2] = {0, 0};
};

Proxy* running = nullptr;

void OnSignal(int) {
    if (running) running->Stop();
}

// ---- self-test ----

// Answers each line "<n>\n" with n bytes, on as many connections as come.
void ServeLines(int listener, const std::atomic<bool>& stop) {
    std::vector<std::thread> handlers;
    while (!stop) {
        pollfd ready{listener, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0) continue;
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        handlers.emplace_back([client] {
            std::string line;
            char c;
            while (recv(client, &c, 1, 0) == 1) {
                if (c != '\n') {
                    line += c;
                    continue;
                }
                const std::string answer(std::stoul(line), 'x');
                line.clear();
                if (send(client, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) break;
            }
            close(client);
        });
    }
    for (std::thread& handler : handlers) handler.join();
}

double Ask(int fd, size_t bytes) {
    const auto start = Clock::now();
    const std::string line = std::to_string(bytes) + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) Fail("send");
    std::vector<char> buffer(kReadPiece);
    for (size_t got = 0; got < bytes;) {
        const ssize_t piece = recv(fd, buffer.data(), buffer.size(), 0);
        if (piece <= 0) Fail("recv");
        got += piece;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int SelfTest() {
    uint16_t upstreamPort = 0;
    const int upstream = Listen(0, &upstreamPort);
    std::atomic<bool> stop{false};
    std::thread server(ServeLines, upstream, std::cref(stop));
    Proxy::Settings settings;
    settings.upstreamPort = upstreamPort;
    Proxy proxy(settings);
    std::thread loop([&] { proxy.Run(); });

    const double rtt = 50, transmit = 1250000 * 8 / 100e6 * 1000;  // milliseconds
    // Timed from the connect: on loopback it returns at once, the handshake is the proxy's.
    const auto connectStart = Clock::now();
    const int fd = ConnectTo(proxy.Port(), true);
    if (fd < 0) Fail("connect");
    Ask(fd, 1);
    const double first =
        std::chrono::duration<double, std::milli>(Clock::now() - connectStart).count();
    const double kept = Ask(fd, 1);
    const double bulk = Ask(fd, 1250000);
    close(fd);
    proxy.Stop();
    loop.join();
    stop = true;
    server.join();
    close(upstream);

    struct Check {
        const char* what;
        double took, low, high;
    };
    // The upper bounds leave room for a busy machine; the lower bounds are the model itself.
    const Check checks[] = {
        {"request on a new connection", first, 2 * rtt, 2 * rtt + 40},
        {"request on a kept connection", kept, rtt, rtt + 40},
        {"1.25 MB at 100 Mbit/s", bulk, rtt + transmit, rtt + transmit + 80},
    };
    // The answers' bytes and the three request lines ("1\n" twice and "1250000\n").
    const uint64_t toClient = 1 + 1 + 1250000, toServer = 2 + 2 + 8;
    bool ok = proxy.Accepted() == 1 && proxy.CarriedToClients() == toClient &&
              proxy.CarriedToServer() == toServer;
    std::printf("connections accepted: %zu (expected 1)\n", proxy.Accepted());
    std::printf(
        "bytes carried: %llu toward the client, %llu toward the server (expected %llu, %llu)\n",
        static_cast<unsigned long long>(proxy.CarriedToClients()),
        static_cast<unsigned long long>(proxy.CarriedToServer()),
        static_cast<unsigned long long>(toClient), static_cast<unsigned long long>(toServer));
    for (const Check& check : checks) {
        const bool fits = check.took >= check.low - 1 && check.took <= check.high;
        ok = ok && fits;
        std::printf("%-30s %7.1f ms (expected %.0f to %.0f) %s\n", check.what, check.took,
                    check.low, check.high, fits ? "ok" : "WRONG");
    }
    return ok ? 0 : 1;
}

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: wanproxy --listen PORT --upstream PORT [--rtt-ms 50] [--rate-mbit 100]"
                 " [--count-file PATH]\n       wanproxy --selftest\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Proxy::Settings settings;
        std::string countFile;
        bool haveListen = false, haveUpstream = false;
        for (int i = 1; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "--selftest") return SelfTest();
            if (i + 1 >= argc) Usage();
            const char* value = argv[++i];
            if (option == "--listen") {
                settings.listenPort = static_cast<uint16_t>(std::stoul(value));
                haveListen = true;
            } else if (option == "--upstream") {
                settings.upstreamPort = static_cast<uint16_t>(std::stoul(value));
                haveUpstream = true;
            } else if (option == "--rtt-ms") {
                settings.rtt = Nanoseconds(static_cast<int64_t>(std::stod(value) * 1e6));
            } else if (option == "--rate-mbit") {
                settings.bitsPerSecond = std::stod(value) * 1e6;
            } else if (option == "--count-file") {
                countFile = value;
            } else {
                Usage();
            }
        }
        if (!haveListen || !haveUpstream) Usage();
        Proxy proxy(settings);
        running = &proxy;
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        std::printf("listening on 127.0.0.1:%u\n", proxy.Port());
        std::fflush(stdout);
        proxy.Run();
        running = nullptr;
        std::printf(
            "connections accepted: %zu, bytes toward the clients: %llu, toward the server: %llu\n",
            proxy.Accepted(), static_cast<unsigned long long>(proxy.CarriedToClients()),
            static_cast<unsigned long long>(proxy.CarriedToServer()));
        if (!countFile.empty())
            std::ofstream(countFile) << "connections " << proxy.Accepted() << "\nbytes_to_client "
                                     << proxy.CarriedToClients() << "\nbytes_to_server "
                                     << proxy.CarriedToServer() << "\n";
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "wanproxy: %s\n", error.what());
        return 1;
    }
}
