// Socket transport: one TCP client socket with blocking-style operations for the GUI thread.
//
// Everything here runs on the GUI thread. The socket itself is non-blocking; an operation that
// has to wait runs a nested event loop (processEvents with WaitForMoreEvents) until socket
// readiness, the time-out timer, a lookup completion or a cancel ends the wait. Waits sleep in
// the event dispatcher: they never spin and never poll on a clock, so a silent peer costs no
// CPU, and windows, timers and other components' events keep running meanwhile. Re-entering
// the same component from an event that runs inside one of its waits is not supported.
//
// Failures raise ESockError; a cancel or a time-out during a transfer raises EAbortError.
// Platform errors are reported by their socket-library number and text ("10061:Connection
// refused"), whatever the operating system's own numbering is.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>
#include <QTimer>

#include "platform/component.h"
#include "platform/socket.h"
#include "platform/text.h"

class QSocketNotifier;
class TlsChannel;

class ESockError : public Exception {
public:
    using Exception::Exception;
};

// A transfer ended because of a cancel request or a time-out (which cancels).
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

using THandlerEvent = std::function<void(bool& Handled)>;
using TOnHostResolved = TNotifyEvent;
using TOnStatus = std::function<void(QObject* Sender, const AnsiString& Status)>;
using TOnSocketError =
    std::function<void(QObject* Sender, uint16_t ErrorCode, const AnsiString& ErrorText)>;

// "12345:Message" for a code of the socket-library error table, "Unknown Error No. 12345" for
// any other code, and "" for 0.
AnsiString SocketErrorText(int code);

// A timer that runs `OnTimer` every `Interval` ms on the GUI thread while `Enabled`. It is
// armed only when the interval is not 0, it is enabled and a handler is assigned; each setter
// re-arms it, so setting a value restarts the period. Defaults: Interval 1000, Enabled true.
class TThreadTimer : public QObject {
public:
    explicit TThreadTimer(QObject* Owner = nullptr);

    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t milliseconds);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TNotifyEvent handler);

private:
    void Rearm();

    QTimer timer_;
    uint32_t interval_ = 1000;
    bool enabled_ = true;
    TNotifyEvent onTimer_;
};

// How Connect uses `Proxy`.
enum class TProxyType {
    Http,            // connects to the proxy itself; the protocol above speaks to it
    Socks5,          // a SOCKS5 tunnel to Host:Port, Host looked up here
    Socks5Hostname,  // a SOCKS5 tunnel to Host:Port, Host looked up by the proxy
};

// The IPv4 target of `connect`, as the socket library keeps it: port and address in network
// byte order.
struct TSockAddrIn {
    uint16_t sin_family = 0;
    uint16_t sin_port = 0;
    uint32_t sin_addr = 0;
};

// One TCP client socket. After construction it always holds a socket: unconnected at first
// and after every close (a fresh one is made at once), connected after `Connect`. The peer's
// close closes the local socket too once no unread data remains, which is why the read loops
// treat "not connected" (10057) as the end of data.
//
// Events are called only when assigned, with this component as sender, on the GUI thread.
// Defaults: TimeOut 0 (no limit), ReportLevel 0 (no statuses), Port 0, no Proxy (ProxyType
// Http, no proxy credentials).
class TPowersock : public QObject {
public:
    explicit TPowersock(QObject* Owner = nullptr);
    ~TPowersock() override;
    TPowersock(const TPowersock&) = delete;
    TPowersock& operator=(const TPowersock&) = delete;

    // Waits for a pending connection; only a listening socket has one, and this component
    // never makes its socket listen, so in practice it ends by `Cancel` ("Accepting Canceled").
    // The returned handle belongs to the caller.
    virtual int Accept();
    // Resolves `Proxy` (when set) or `Host`, then connects to it on `ProxyPort` or `Port`.
    //
    // With a SOCKS5 ProxyType, Connect returns once the proxy has opened a tunnel to Host:Port
    // (RFC 1928), so that everything sent from then on reaches Host. A Host that is a dotted
    // address goes to the proxy as one; a name is looked up here first for Socks5, and handed
    // to the proxy for Socks5Hostname. With ProxyUserId or ProxyPassword set, the user name and
    // password method (RFC 1929, at most 255 bytes each) is offered beside "no authentication".
    // Every wait of the exchange is bounded like the others (TimeOut, the request's deadline,
    // Cancel: EAbortError "SOCKS5 handshake with <proxy>:<port> timed out" or "... aborted").
    // Any other failure raises ESockError "SOCKS5 proxy <proxy>:<port>: <reason>", the reason
    // naming the proxy's reply ("could not connect to <Host>:<Port>: connection refused (reply
    // 5)"), and leaves the component unconnected.
    virtual void Connect();
    virtual void Disconnect();
    // Writeln(command), then ReadLn into `LastReply`; its leading digits give `ReplyNumber`.
    virtual AnsiString Transaction(const AnsiString& command);
    // Cancels the running operation (a time-out calls this too).
    virtual void Abort();
    // A one-shot request: the next operation that notices it clears it and raises.
    void Cancel();

    // Sends `length` bytes (0: up to the first NUL byte, at most 65,535).
    void SendBuffer(const char* buffer, uint16_t length);
    // Sends `text` up to its first NUL byte; more than 65,535 bytes raise before sending.
    void Write(const AnsiString& text);
    void Writeln(const AnsiString& text);
    // One line with its line end as received. A line with no line end in 65,536 bytes comes
    // back as those bytes (the next call goes on with the rest); when the peer closes, the
    // bytes taken so far come back (empty when there were none).
    AnsiString ReadLn();
    // Receives into `text` until the peer closes or `text` holds `max` bytes (-1: no limit);
    // the last chunk is appended whole, so `text` may end up longer than `max`.
    void CaptureString(AnsiString& text, int max);
    // Receives into a new file (replacing one) until the peer closes.
    void CaptureFile(const AnsiString& fileName);
    // Waits without a time limit of its own; only a running request's deadline bounds it.
    void SendFile(const AnsiString& fileName);
    bool DataAvailable();

    // Runs the TLS handshake on the connected socket; from then on every send and receive
    // goes through TLS until the connection closes. `serverName` is the host name (sent as
    // SNI) or IPv4 address that the certificate must carry; the chain is verified against the
    // trusted authorities (net/trust.h) and nothing turns that off. A session kept for
    // `sessionKey` ("host:port") is offered for resumption. Waits like Connect (TimeOut, the
    // request's deadline, Cancel). A refused certificate or any other TLS failure raises
    // ESockError "TLS handshake with <serverName> failed: <OpenSSL's reason>"; a time-out or
    // cancel raises EAbortError.
    void StartTls(const AnsiString& serverName, const AnsiString& sessionKey);
    bool TlsActive() const { return tls_ != nullptr; }

    bool Connected() const { return connected_; }
    int Socket() const { return socket_; }
    // Live instances in the process; the first one fills its `WSAInfo`.
    static int InstanceCount();

    TNotifyEvent OnDataArrival;  // exceptions from the handler are swallowed
    TNotifyEvent OnAccept;       // for a listening socket; this build's socket never listens
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    TOnSocketError OnSocketError;  // just before an ESockError for a platform error
    THandlerEvent OnInvalidHost;   // may fix Host and set Handled to retry once
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;  // exceptions from the handler are swallowed
    TNotifyEvent OnConnectionFailed;
    TNotifyEvent OnPacketRecvd;  // after each received chunk of a capture
    TNotifyEvent OnPacketSent;   // after each sent piece of SendFile

    std::vector<AnsiString> WSAInfo;  // socket library description; only the first instance's
    int32_t BytesSent = 0;            // by SendFile; never reset here
    bool Canceled = false;
    int32_t LastError = 0;
    int32_t TimeOut = 0;      // ms for each timed wait; 0 = no limit
    int32_t ReportLevel = 0;  // statuses of this level or lower are reported
    AnsiString Status;        // the last reported status
    AnsiString Proxy;
    int32_t ProxyPort = 0;
    TProxyType ProxyType = TProxyType::Http;
    AnsiString ProxyUserId;  // the proxy's credentials, when it asks for them
    AnsiString ProxyPassword;
    bool TimedOut = false;
    int32_t Port = 0;
    int32_t BytesTotal = 0;  // length announced by the peer
    int32_t BytesRecvd = 0;  // by the captures; reset by each
    TSockAddrIn RemoteAddress;
    AnsiString Host;
    AnsiString LastReply;
    int16_t ReplyNumber = 0;
    int32_t TlsFullHandshakes = 0;     // by StartTls; never reset here
    int32_t TlsResumedHandshakes = 0;  // handshakes that resumed a kept session

protected:
    // Stores and reports `text` when `level` is at most ReportLevel.
    void ReportStatus(const AnsiString& text, int level);
    // Records `code` in LastError; unless it is `tolerated` or not a socket-library error
    // (10000 and below), tells OnSocketError and raises ESockError with its text.
    void CheckError(int code, int tolerated = 10035);

    bool waitFlag_ = false;  // set by a lookup completion, the timer and TNMHTTP::Abort
    // While set, every wait ends by this point as well: its limit is the shorter of TimeOut and
    // the time left, and a wait that starts after it times out at once. A subclass sets it for
    // the span of one request; the component's own operations never do.
    std::optional<std::chrono::steady_clock::time_point> requestDeadline_;

private:
    enum class Dispatch { Pending, UntilEvent };

    void StartSocket();
    // Makes `socket` the component's socket, watched by the (still disabled) notifiers.
    void OpenSocket(int socket);
    void CloseSocket();
    void ResolveHost();
    // Looks `name` up, waiting like every other wait; nullopt when the lookup failed (its error
    // in LastError). A time-out or cancel raises "Host Lookup Timed Out" or "... Canceled".
    std::optional<uint32_t> LookUp(const AnsiString& name);
    // The TCP connection to RemoteAddress's host on `port`, with the connect's waits and errors.
    void ConnectSocket(uint16_t port);
    // The SOCKS5 exchange on the connection to the proxy (socks5.cpp). `destination` is Host's
    // address when it is to be sent as one; otherwise Host goes to the proxy as a name.
    void OpenSocks5Tunnel(std::optional<uint32_t> destination);
    // The exchange itself; raises ESockError with a reason that OpenSocks5Tunnel puts in context.
    void Socks5Handshake(std::optional<uint32_t> destination);
    // Receives exactly `length` bytes and no more, waiting like ReadLn (EAbortError "Socket
    // read aborted" on a time-out or cancel); fewer come back only when the peer closed first.
    size_t ReceiveExactly(char* into, size_t length);
    // Arms the time-out for one wait: `waitLimit` ms (0: none), cut to the request's deadline.
    void ArmTimer(int32_t waitLimit);
    void TimerOn();
    void TimerOff();
    void TimerFired();
    void ReadReady();
    void WriteReady();
    // Processes the pending events, or sleeps until at least one arrives.
    void DispatchEvents(Dispatch how);
    int ReceiveChunk(char* into, size_t capacity, bool peek, long* received);
    void WaitUntilWritable();
    // The capture loop shared by CaptureString and CaptureFile; `sink` takes each chunk.
    void CaptureInto(const std::function<void(const char*, size_t)>& sink,
                     const std::function<bool()>& wantMore);
    void SendAll(const char* data, size_t length, bool dispatchBetween);
    // One send through TLS or straight to the socket; a blocked one tells which readiness
    // it waits for in `wantsRead`.
    platform::SocketResult SendSome(const char* data, size_t length, bool* wantsRead);

    TThreadTimer* timer_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    int socket_ = -1;
    bool connecting_ = false;
    bool eventOK_ = true;
    bool destroying_ = false;
    bool connected_ = false;
    bool handshaking_ = false;  // the handshake itself consumes read readiness
    std::unique_ptr<TlsChannel> tls_;
    char buffer_[65536];
};
