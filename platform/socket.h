// IPv4 TCP sockets and host lookup, the thin layer under the socket transport.
//
// Every call but WaitReadable is non-blocking and returns at once. Failures come back as the socket-library
// error numbers of the transport's error table (10035 "would block", 10061 "connection
// refused", 11001 "host not found", ...): the POSIX errno and getaddrinfo codes are mapped in
// this one file, so the texts above it hold unchanged. EINTR is retried here and never seen
// above. Handles are plain descriptors owned by the caller, who must CloseSocket them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QObject;

namespace platform {

constexpr int kInvalidSocket = -1;

// Error numbers used by the callers' own logic; the rest only feed the error table.
constexpr int kErrorWouldBlock = 10035;
constexpr int kErrorNotConnected = 10057;

// The result of a call: a count or handle when `error` is 0, else the mapped error number.
struct SocketResult {
    long value = 0;
    int error = 0;
    bool ok() const { return error == 0; }
};

// An IPv4 endpoint; both fields in host byte order.
struct Ipv4Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};

// A new non-blocking TCP socket (close-on-exec). With `resetOnClose`, closing it resets the
// connection instead of lingering.
SocketResult OpenTcpSocket(bool resetOnClose);

// Starts connecting; success is usually reported later as writability plus PendingError 0,
// and the immediate result is then 10035.
int StartConnect(int socket, const Ipv4Endpoint& target);

// The error that ended a background connect (0 when it succeeded).
int PendingError(int socket);

SocketResult Send(int socket, const char* data, size_t length);
SocketResult Receive(int socket, char* buffer, size_t capacity, bool peek);
// The one call here that waits, for a worker thread that may: true once `socket` has data or
// its end to read, false when `limit` passed first (or the wait failed).
bool WaitReadable(int socket, std::chrono::microseconds limit);
SocketResult AcceptConnection(int socket, Ipv4Endpoint* peer);
int CloseSocket(int socket);

// A dotted IPv4 address ("127.0.0.1", also the short forms such as "127.1") in host order.
std::optional<uint32_t> ParseIpv4(const std::string& text);

// The answer of a host lookup: the first IPv4 address, or the error number when there is none.
struct LookupResult {
    uint32_t address = 0;
    int error = 0;
};

// One asynchronous host lookup. The resolver runs on a helper thread; `done` is queued to the
// GUI thread and runs there from its event loop, never inside the constructor. Destroying the
// object guarantees that `done` is not called afterwards (the helper thread may still finish
// its lookup in the background; its answer is dropped). Names under the reserved ".invalid"
// domain fail with 11001 without asking a resolver.
class HostLookup {
public:
    HostLookup(const std::string& name, std::function<void(const LookupResult&)> done);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

// Lines that describe this platform's socket library, in the order the transport lists them.
struct SocketLibraryInfo {
    int versionMajor, versionMinor;          // the interface level the transport offers
    int highVersionMajor, highVersionMinor;  // the highest level available
    std::string description;                 // kernel and socket interface
    std::string systemStatus;
    long maxSockets;          // descriptors this process may open
    long maxDatagramPayload;  // largest UDP payload over IPv4
};
SocketLibraryInfo DescribeSocketLibrary();

}  // namespace platform
