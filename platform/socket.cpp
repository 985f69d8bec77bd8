#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include <QCoreApplication>
#include <QObject>

#include "platform/eintr.h"
#include "platform/text.h"

namespace platform {
namespace {

// The one mapping from errno onto the socket-library numbers of the error table. Numbers the
// table lacks become 12000 + errno, which the table reports as an unknown error with a number
// that still tells which errno it was.
int MapErrno(int error) {
    switch (error) {
        case 0:
            return 0;
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
        case EPERM:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
        case ENFILE:
            return 10024;
        // A non-blocking connect in progress is "would block" too, as callers expect from
        // the socket library.
        case EWOULDBLOCK:
        case EINPROGRESS:
            return kErrorWouldBlock;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return 10045;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return 10054;
        case ENOBUFS:
        case ENOMEM:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return kErrorNotConnected;
        case ESHUTDOWN:
        case EPIPE:
            return 10058;
        case ETOOMANYREFS:
            return 10059;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        case ENOTEMPTY:
            return 10066;
        case EUSERS:
            return 10068;
        case EDQUOT:
            return 10069;
        case ESTALE:
            return 10070;
        case EREMOTE:
            return 10071;
        default:
            return 12000 + error;
    }
}

int MapLookupError(int error) {
    switch (error) {
        case EAI_AGAIN:
            return 11002;
        case EAI_FAIL:
            return 11003;
        case EAI_NODATA:
            return 11004;
        case EAI_SYSTEM:
            return MapErrno(errno);
        case EAI_MEMORY:
            return 10055;
        default:
            return 11001;  // EAI_NONAME and whatever else means "no such host"
    }
}

SocketResult FromCall(long rc) {
    if (rc >= 0) return {rc, 0};
    return {0, MapErrno(errno)};
}

sockaddr_in ToSockaddr(const Ipv4Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    address.sin_addr.s_addr = htonl(endpoint.address);
    return address;
}

// RFC 6761: resolvers should answer names under ".invalid" negatively without asking anyone,
// so such a name fails at once even on a machine without a working name server.
bool IsReservedInvalidName(std::string name) {
    if (!name.empty() && name.back() == '.') name.pop_back();
    name = FoldedName(name);
    const std::string suffix = ".invalid";
    return name == "invalid" ||
           (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
}

LookupResult ResolveNow(const std::string& name) {
    if (IsReservedInvalidName(name)) return {0, 11001};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0) return {0, MapLookupError(rc)};
    LookupResult result{0, 11004};
    if (found && found->ai_addr) {
        result = {ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr), 0};
    }
    freeaddrinfo(found);
    return result;
}

// Receives the queued completions of every lookup. It lives in the GUI thread and is never
// destroyed, so a helper thread that finishes late always posts to a live object.
QObject* CompletionSink() {
    static QObject* sink = new QObject;
    return sink;
}

}  // namespace

struct HostLookup::Shared {
    std::function<void(const LookupResult&)> done;  // touched on the GUI thread only
};

SocketResult OpenTcpSocket(bool resetOnClose) {
    SocketResult opened =
        FromCall(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!opened.ok() || !resetOnClose) return opened;
    linger reset{1, 0};
    if (::setsockopt(static_cast<int>(opened.value), SOL_SOCKET, SO_LINGER, &reset, sizeof reset) !=
        0) {
        const int error = MapErrno(errno);
        ::close(static_cast<int>(opened.value));
        return {0, error};
    }
    return opened;
}

int StartConnect(int socket, const Ipv4Endpoint& target) {
    sockaddr_in address = ToSockaddr(target);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 0;
    // An interrupted non-blocking connect goes on in the background like one in progress.
    return errno == EINTR ? kErrorWouldBlock : MapErrno(errno);
}

int PendingError(int socket) {
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return MapErrno(errno);
    return MapErrno(error);
}

SocketResult Send(int socket, const char* data, size_t length) {
    // MSG_NOSIGNAL: a peer that went away must give an error, not end the process.
    return FromCall(RetryOnEintr([&] { return ::send(socket, data, length, MSG_NOSIGNAL); }));
}

SocketResult Receive(int socket, char* buffer, size_t capacity, bool peek) {
    return FromCall(
        RetryOnEintr([&] { return ::recv(socket, buffer, capacity, peek ? MSG_PEEK : 0); }));
}

bool WaitReadable(int socket, std::chrono::microseconds limit) {
    pollfd watched{socket, POLLIN, 0};
    const timespec timeout{static_cast<time_t>(limit.count() / 1000000),
                           static_cast<long>(limit.count() % 1000000 * 1000)};
    // An interrupted wait ends early; the caller only loses the rest of a short wait.
    return ::ppoll(&watched, 1, &timeout, nullptr) > 0;
}

SocketResult AcceptConnection(int socket, Ipv4Endpoint* peer) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    SocketResult accepted = FromCall(RetryOnEintr([&] {
        return ::accept4(socket, reinterpret_cast<sockaddr*>(&address), &size,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
    }));
    if (accepted.ok() && peer) *peer = {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
    return accepted;
}

int CloseSocket(int socket) {
    // Not retried on EINTR: Linux releases the descriptor even then.
    return ::close(socket) == 0 || errno == EINTR ? 0 : MapErrno(errno);
}

std::optional<uint32_t> ParseIpv4(const std::string& text) {
    in_addr address{};
    if (text.empty() || ::inet_aton(text.c_str(), &address) == 0) return std::nullopt;
    return ntohl(address.s_addr);
}

HostLookup::HostLookup(const std::string& name, std::function<void(const LookupResult&)> done)
    : shared_(std::make_shared<Shared>()) {
    shared_->done = std::move(done);
    QObject* sink = CompletionSink();
    std::thread([shared = shared_, name, sink] {
        const LookupResult result = ResolveNow(name);
        QMetaObject::invokeMethod(
            sink,
            [shared, result] {
                if (shared->done) shared->done(result);
            },
            Qt::QueuedConnection);
    }).detach();
}

HostLookup::~HostLookup() {
    shared_->done = nullptr;
}

SocketLibraryInfo DescribeSocketLibrary() {
    SocketLibraryInfo info{1, 1, 1, 1, "POSIX sockets", "Running", 0, 65507};
    utsname system{};
    if (::uname(&system) == 0)
        info.description += std::string(" on ") + system.sysname + " " + system.release;
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        info.maxSockets = files.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(files.rlim_cur);
    }
    return info;
}

}  // namespace platform
