#include "net/sock/psock.h"

#include <climits>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QtEndian>

#include "net/sock/tlschannel.h"
#include "platform/codepage.h"
#include "platform/socket.h"

namespace {

struct ErrorEntry {
    int code;
    const char* message;
};

constexpr ErrorEntry kErrorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
};

constexpr int kLevelAlways = 1;
constexpr int kLevelDetail = 4;
constexpr int kLevelTrace = 8;

// Live instances; touched on the GUI thread only.
int liveInstances = 0;

// Adds without overflowing the 32-bit counters that callers read.
void AddCount(int32_t& counter, long amount) {
    const long long sum = static_cast<long long>(counter) + amount;
    counter = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

// Runs the timer-off step of a timed operation however the operation ends.
class TimerScope {
public:
    TimerScope(std::function<void()> on, std::function<void()> off) : off_(std::move(off)) { on(); }
    ~TimerScope() { off_(); }

private:
    std::function<void()> off_;
};

}  // namespace

// OpenSSL's reason, and the socket's own error beneath it when there was one.
static AnsiString TlsFailureText(const TlsChannel& channel) {
    AnsiString text = channel.FailureText();
    if (channel.SocketError() != 0) text += " (" + SocketErrorText(channel.SocketError()) + ")";
    return text;
}

AnsiString SocketErrorText(int code) {
    if (code == 0) return "";
    for (const ErrorEntry& entry : kErrorTable) {
        if (entry.code == code) return std::to_string(code) + ":" + entry.message;
    }
    return "Unknown Error No. " + std::to_string(code);
}

// ---------------------------------------------------------------------------------------------
// TThreadTimer

TThreadTimer::TThreadTimer(QObject* Owner) : QObject(Owner) {
    // A time limit must not end a wait noticeably early, as a coarse timer may.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        // Exceptions must not cross Qt's event loop; a failing timer handler is reported and
        // the timer keeps running.
        try {
            if (onTimer_) onTimer_(this);
        } catch (const std::exception& error) {
            qWarning("Timer handler failed: %s", error.what());
        }
    });
}

void TThreadTimer::SetInterval(uint32_t milliseconds) {
    interval_ = milliseconds;
    Rearm();
}

void TThreadTimer::SetEnabled(bool enabled) {
    enabled_ = enabled;
    Rearm();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
    onTimer_ = std::move(handler);
    Rearm();
}

void TThreadTimer::Rearm() {
    timer_.stop();
    if (interval_ != 0 && enabled_ && onTimer_) {
        timer_.start(static_cast<int>(std::min<uint32_t>(interval_, INT_MAX)));
    }
}

// ---------------------------------------------------------------------------------------------
// TPowersock: life cycle and notifications

TPowersock::TPowersock(QObject* Owner) : QObject(Owner) {
    ReportStatus("Create", kLevelTrace);
    timer_ = new TThreadTimer(this);
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this](QObject*) { TimerFired(); });
    readNotifier_ = std::make_unique<QSocketNotifier>(QSocketNotifier::Read);
    writeNotifier_ = std::make_unique<QSocketNotifier>(QSocketNotifier::Write);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, [this] { ReadReady(); });
    connect(writeNotifier_.get(), &QSocketNotifier::activated, this, [this] { WriteReady(); });
    StartSocket();
}

TPowersock::~TPowersock() {
    ReportStatus("Destroy", kLevelTrace);
    TPowersock::Abort();
    Cancel();
    destroying_ = true;
    try {
        CloseSocket();
    } catch (const ESockError&) {
        // Nothing is left to tell: the descriptor is released either way.
    }
    --liveInstances;
}

int TPowersock::InstanceCount() {
    return liveInstances;
}

void TPowersock::StartSocket() {
    ReportStatus("Initializing Winsock", kLevelTrace);
    if (++liveInstances == 1) {
        const platform::SocketLibraryInfo info = platform::DescribeSocketLibrary();
        WSAInfo = {
            "Version= " + std::to_string(info.versionMajor) + "." +
                std::to_string(info.versionMinor),
            "High Version= " + std::to_string(info.highVersionMajor) + "." +
                std::to_string(info.highVersionMinor),
            "Description= " + info.description.substr(0, 257),
            "System= " + info.systemStatus.substr(0, 129),
            "Max Sockets= " + std::to_string(info.maxSockets),
            "Max Udp pack size= " + std::to_string(info.maxDatagramPayload),
        };
    }
    // Closing the first socket resets the connection rather than lingering on unsent data.
    const platform::SocketResult opened = platform::OpenTcpSocket(true);
    if (!opened.ok()) {
        --liveInstances;
        throw ESockError("Initializaton of windows sockets failed");
    }
    OpenSocket(static_cast<int>(opened.value));
}

void TPowersock::OpenSocket(int socket) {
    socket_ = socket;
    // setSocket leaves the notifiers disabled: reads are watched only once connected, because
    // an unconnected socket reports itself readable (hung up) all the time.
    readNotifier_->setSocket(QSocketDescriptor(socket));
    writeNotifier_->setSocket(QSocketDescriptor(socket));
}

void TPowersock::CloseSocket() {
    ReportStatus("Request Close Socket", kLevelDetail);
    connected_ = false;
    connecting_ = false;
    if (socket_ == platform::kInvalidSocket) return;
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    if (tls_) {
        tls_->Close();
        tls_.reset();
    }
    const int error = platform::CloseSocket(socket_);
    socket_ = platform::kInvalidSocket;
    if (error != 0) {
        CheckError(error);
        return;
    }
    if (destroying_) return;
    if (OnDisconnect) OnDisconnect(this);
    // The component always keeps an unconnected socket ready for the next Connect.
    const platform::SocketResult opened = platform::OpenTcpSocket(false);
    if (!opened.ok()) CheckError(opened.error, 0);
    if (opened.ok()) OpenSocket(static_cast<int>(opened.value));
}

void TPowersock::ReadReady() {
    // Like the socket library's read notification, this one fires once and is re-armed by the
    // next receive, so unread data does not wake the event loop over and over.
    readNotifier_->setEnabled(false);
    // The handshake's wait reads the socket itself; a close seen here would pull the socket
    // from under it.
    if (handshaking_) return;
    try {
        char probe;
        const platform::SocketResult peek = platform::Receive(socket_, &probe, 1, true);
        if (!peek.ok() && peek.error == platform::kErrorWouldBlock) {
            readNotifier_->setEnabled(true);
            return;
        }
        eventOK_ = peek.ok();
        if (!peek.ok()) LastError = peek.error;
        if (peek.ok() && peek.value > 0) {
            if (OnDataArrival) {
                try {
                    OnDataArrival(this);
                } catch (...) {
                }
            }
            return;
        }
        // The peer closed (or reset) the connection.
        if (!DataAvailable()) CloseSocket();
    } catch (...) {
        // Notification handling never lets an error escape into the event loop.
    }
}

void TPowersock::WriteReady() {
    writeNotifier_->setEnabled(false);
    // Outside a connect, the wake-up itself is what a blocked send waits for.
    if (!connecting_) return;
    connecting_ = false;
    const int error = platform::PendingError(socket_);
    eventOK_ = error == 0;
    if (!eventOK_) {
        LastError = error;
        return;
    }
    connected_ = true;
    readNotifier_->setEnabled(true);
    try {
        if (OnConnect) OnConnect(this);
    } catch (...) {
    }
}

void TPowersock::DispatchEvents(Dispatch how) {
    QCoreApplication::processEvents(how == Dispatch::UntilEvent ? QEventLoop::WaitForMoreEvents
                                                                : QEventLoop::AllEvents);
}

int TPowersock::ReceiveChunk(char* into, size_t capacity, bool peek, long* received) {
    if (!tls_) {
        const platform::SocketResult result = platform::Receive(socket_, into, capacity, peek);
        if (connected_) readNotifier_->setEnabled(true);
        *received = result.value;
        return result.error;
    }
    // Decrypted bytes may wait inside TLS while the socket has nothing: only a TLS read that
    // needs the socket may end in a wait for readiness.
    size_t moved = 0;
    const TlsChannel::Io io = tls_->Read(into, capacity, peek, &moved);
    *received = static_cast<long>(moved);
    readNotifier_->setEnabled(true);
    switch (io) {
        case TlsChannel::Io::Done:
        case TlsChannel::Io::Closed:
            return 0;
        case TlsChannel::Io::WantWrite:
            writeNotifier_->setEnabled(true);
            return platform::kErrorWouldBlock;
        case TlsChannel::Io::WantRead:
            return platform::kErrorWouldBlock;
        case TlsChannel::Io::Failed:
            break;
    }
    throw ESockError("TLS receive failed: " + TlsFailureText(*tls_));
}

void TPowersock::WaitUntilWritable() {
    writeNotifier_->setEnabled(true);
    DispatchEvents(Dispatch::UntilEvent);
}

// ---------------------------------------------------------------------------------------------
// Statuses, errors and the timer

void TPowersock::ReportStatus(const AnsiString& text, int level) {
    if (level > ReportLevel) return;
    Status = text;
    if (destroying_ || !OnStatus) return;
    try {
        OnStatus(this, Status);
    } catch (...) {
        // Statuses never raise.
    }
}

void TPowersock::CheckError(int code, int tolerated) {
    LastError = code;
    if (code == tolerated || code <= 10000) return;
    ReportStatus("Looking Up Error Message", kLevelTrace);
    const AnsiString text = SocketErrorText(code);
    if (OnSocketError) OnSocketError(this, static_cast<uint16_t>(code), text);
    throw ESockError(text);
}

void TPowersock::TimerOn() {
    ArmTimer(TimeOut);
}

void TPowersock::ArmTimer(int32_t waitLimit) {
    ReportStatus("Timer On", kLevelTrace);
    TimedOut = false;
    int64_t limit = std::max(waitLimit, 0);
    if (requestDeadline_) {
        // Rounded up, so that the wait never ends before the deadline itself.
        const int64_t left = std::chrono::ceil<std::chrono::milliseconds>(
                                 *requestDeadline_ - std::chrono::steady_clock::now())
                                 .count();
        if (left <= 0) {
            // The request's time is used up: this wait ends before it starts, as if the timer
            // had fired, so that its operation raises its usual time-out error.
            TimerFired();
            return;
        }
        limit = limit == 0 ? left : std::min(limit, left);
    }
    timer_->SetInterval(static_cast<uint32_t>(std::min<int64_t>(limit, UINT32_MAX)));
    timer_->SetEnabled(true);
}

void TPowersock::TimerOff() {
    ReportStatus("Timer Off", kLevelTrace);
    timer_->SetEnabled(false);
}

void TPowersock::TimerFired() {
    ReportStatus("Timer Triggered", kLevelTrace);
    TimerOff();
    TimedOut = true;
    waitFlag_ = true;
    Abort();
}

// ---------------------------------------------------------------------------------------------
// Connecting

void TPowersock::ResolveHost() {
    ReportStatus("Resolve Host", kLevelTrace);
    const AnsiString name = Proxy.empty() ? Host : Proxy;
    if (const auto address = platform::ParseIpv4(name)) {
        RemoteAddress.sin_addr = qToBigEndian(*address);
        return;
    }
    RemoteAddress.sin_addr = 0;
    const std::optional<uint32_t> resolved = LookUp(name);
    if (!resolved) throw ESockError("Host Lookup Failed");
    RemoteAddress.sin_addr = qToBigEndian(*resolved);
    if (OnHostResolved) OnHostResolved(this);
}

std::optional<uint32_t> TPowersock::LookUp(const AnsiString& name) {
    uint32_t resolved = 0;
    {
        TimerScope timer([this] { TimerOn(); }, [this] { TimerOff(); });
        waitFlag_ = false;
        // Leaving this block drops the lookup, so a late answer can no longer reach us.
        platform::HostLookup lookup(name, [this, &resolved](const platform::LookupResult& result) {
            eventOK_ = result.error == 0;
            if (!eventOK_) LastError = result.error;
            resolved = result.address;
            waitFlag_ = true;
        });
        while (!waitFlag_ && !TimedOut && !Canceled) DispatchEvents(Dispatch::UntilEvent);
    }
    if (TimedOut) throw ESockError("Host Lookup Timed Out");
    if (Canceled) throw ESockError("Host Lookup Canceled");
    if (!eventOK_) return std::nullopt;
    return resolved;
}

void TPowersock::Connect() {
    ReportStatus("Connecting", kLevelTrace);
    Canceled = false;
    if (connected_) throw ESockError("Already connected");
    const bool viaSocks = !Proxy.empty() && ProxyType != TProxyType::Http;
    std::optional<uint32_t> destination;
    if (viaSocks) {
        destination = platform::ParseIpv4(Host);
        if (!destination && ProxyType == TProxyType::Socks5) {
            destination = LookUp(Host);
            if (!destination) {
                throw ESockError("Host Lookup Failed for " + Host + ": " +
                                 SocketErrorText(LastError));
            }
        }
    }
    bool retried = false;
    for (;;) {
        try {
            ResolveHost();
        } catch (const ESockError& error) {
            // A time-out or cancel ends the connect; a failed lookup is judged below by the
            // address it left at 0.
            const AnsiString message = error.Message();
            if (message == "Host Lookup Timed Out" || message == "Host Lookup Canceled") throw;
        }
        if (RemoteAddress.sin_addr != 0) break;
        bool handled = false;
        if (!retried && OnInvalidHost) OnInvalidHost(handled);
        if (retried || !handled) throw ESockError("Null Remote Address");
        retried = true;
    }

    ConnectSocket(static_cast<uint16_t>(Proxy.empty() ? Port : ProxyPort));
    if (!viaSocks) return;
    try {
        ReportStatus("SOCKS5 Handshake", kLevelTrace);
        OpenSocks5Tunnel(destination);
    } catch (...) {
        try {
            CloseSocket();
        } catch (const ESockError&) {
            // The tunnel's failure is the one worth telling.
        }
        if (OnConnectionFailed) OnConnectionFailed(this);
        throw;
    }
}

void TPowersock::ConnectSocket(uint16_t port) {
    RemoteAddress.sin_family = 2;
    RemoteAddress.sin_port = qToBigEndian(port);
    waitFlag_ = false;
    eventOK_ = true;
    connecting_ = true;
    const int error =
        platform::StartConnect(socket_, {qFromBigEndian(RemoteAddress.sin_addr), port});
    if (error != 0 && error != platform::kErrorWouldBlock) connecting_ = false;
    CheckError(error);
    // Completion (or failure) is reported as writability, even when connect succeeded at once.
    writeNotifier_->setEnabled(true);
    {
        TimerScope timer([this] { TimerOn(); }, [this] { TimerOff(); });
        while (!connected_ && !TimedOut && !Canceled && eventOK_) {
            DispatchEvents(Dispatch::UntilEvent);
        }
    }
    if (connected_) return;
    connecting_ = false;
    writeNotifier_->setEnabled(false);
    if (OnConnectionFailed) OnConnectionFailed(this);
    if (TimedOut) throw ESockError("Connection Timed out");
    if (Canceled) throw ESockError("Connection Canceled");
    // The notification's error (say 10061) is a platform error: tell it before raising.
    if (OnSocketError && LastError != 0) {
        OnSocketError(this, static_cast<uint16_t>(LastError), SocketErrorText(LastError));
    }
    throw ESockError("Connection Failed");
}

void TPowersock::StartTls(const AnsiString& serverName, const AnsiString& sessionKey) {
    ReportStatus("TLS Handshake", kLevelTrace);
    if (!connected_) CheckError(platform::kErrorNotConnected);
    Canceled = false;
    auto channel = std::make_unique<TlsChannel>(socket_, serverName, sessionKey);
    TlsChannel::Io io = TlsChannel::Io::Failed;
    {
        TimerScope timer([this] { TimerOn(); }, [this] { TimerOff(); });
        handshaking_ = true;
        for (;;) {
            io = channel->Handshake();
            if (io != TlsChannel::Io::WantRead && io != TlsChannel::Io::WantWrite) break;
            if (Canceled || TimedOut) break;
            (io == TlsChannel::Io::WantRead ? readNotifier_ : writeNotifier_)->setEnabled(true);
            DispatchEvents(Dispatch::UntilEvent);
        }
        handshaking_ = false;
    }
    readNotifier_->setEnabled(connected_);
    writeNotifier_->setEnabled(false);
    if (io == TlsChannel::Io::Done) {
        ++(channel->Resumed() ? TlsResumedHandshakes : TlsFullHandshakes);
        tls_ = std::move(channel);
        return;
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError(TimedOut ? "TLS handshake timed out" : "TLS handshake aborted");
    }
    const AnsiString reason = io == TlsChannel::Io::Closed
                                  ? AnsiString("the server closed the connection")
                                  : TlsFailureText(*channel);
    throw ESockError("TLS handshake with " + serverName + " failed: " + reason);
}

void TPowersock::Disconnect() {
    ReportStatus("Disconnecting", kLevelTrace);
    CloseSocket();
}

void TPowersock::Cancel() {
    ReportStatus("Canceling", kLevelTrace);
    Canceled = true;
}

void TPowersock::Abort() {
    ReportStatus("Abort", kLevelTrace);
    Cancel();
}

bool TPowersock::DataAvailable() {
    ReportStatus("Data Available", kLevelTrace);
    char probe;
    long received = 0;
    return ReceiveChunk(&probe, 1, true, &received) == 0 && received >= 1;
}

int TPowersock::Accept() {
    ReportStatus("Accepting", kLevelDetail);
    while (!waitFlag_ && !Canceled) DispatchEvents(Dispatch::UntilEvent);
    if (Canceled) {
        Canceled = false;
        throw ESockError("Accepting Canceled");
    }
    if (!eventOK_) throw ESockError("Error creating Data Connection");
    platform::Ipv4Endpoint peer;
    const platform::SocketResult accepted = platform::AcceptConnection(socket_, &peer);
    CheckError(accepted.error);
    if (!accepted.ok()) return platform::kInvalidSocket;
    RemoteAddress = {2, qToBigEndian(peer.port), qToBigEndian(peer.address)};
    if (Canceled) {
        Canceled = false;
        platform::CloseSocket(static_cast<int>(accepted.value));
        throw EAbortError("Accepting Canceled");
    }
    return static_cast<int>(accepted.value);
}

// ---------------------------------------------------------------------------------------------
// Sending

platform::SocketResult TPowersock::SendSome(const char* data, size_t length, bool* wantsRead) {
    *wantsRead = false;
    if (!tls_) return platform::Send(socket_, data, length);
    size_t moved = 0;
    switch (tls_->Write(data, length, &moved)) {
        case TlsChannel::Io::Done:
            return {static_cast<long>(moved), 0};
        case TlsChannel::Io::WantRead:
            *wantsRead = true;
            return {0, platform::kErrorWouldBlock};
        case TlsChannel::Io::WantWrite:
            return {0, platform::kErrorWouldBlock};
        case TlsChannel::Io::Closed:
            return {0, platform::kErrorNotConnected};
        case TlsChannel::Io::Failed:
            break;
    }
    throw ESockError("TLS send failed: " + TlsFailureText(*tls_));
}

void TPowersock::SendAll(const char* data, size_t length, bool perPiece) {
    size_t sent = 0;
    while (sent < length && !Canceled) {
        bool wantsRead = false;
        const platform::SocketResult result = SendSome(data + sent, length - sent, &wantsRead);
        if (!result.ok()) {
            CheckError(result.error);
            // A full send buffer: sleep until the socket takes data again (or a time-out or
            // cancel arrives) instead of retrying in a tight loop. TLS may first need to read.
            if (wantsRead) {
                readNotifier_->setEnabled(true);
                DispatchEvents(Dispatch::UntilEvent);
            } else {
                WaitUntilWritable();
            }
            continue;
        }
        if (result.value == 0) break;
        sent += static_cast<size_t>(result.value);
        if (perPiece) {
            AddCount(BytesSent, result.value);
            if (OnPacketSent) OnPacketSent(this);
            DispatchEvents(Dispatch::Pending);
        }
    }
    writeNotifier_->setEnabled(false);
}

void TPowersock::SendBuffer(const char* buffer, uint16_t length) {
    ReportStatus("Sending Buffer", kLevelDetail);
    {
        TimerScope timer([this] { TimerOn(); }, [this] { TimerOff(); });
        if (!Canceled) {
            const size_t size = length != 0 ? length : strnlen(buffer, 65535);
            SendAll(buffer, size, false);
        }
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TPowersock::Write(const AnsiString& text) {
    ReportStatus("Write", kLevelTrace);
    if (text.size() > 65535) throw Exception("Range check error");
    const size_t upToNul = strnlen(text.c_str(), text.size());
    std::memcpy(buffer_, text.data(), upToNul);
    buffer_[upToNul] = '\0';
    SendBuffer(buffer_, 0);
}

void TPowersock::Writeln(const AnsiString& text) {
    ReportStatus("Writeln", kLevelTrace);
    Write(text + "\r\n");
}

void TPowersock::SendFile(const AnsiString& fileName) {
    ReportStatus("SendFile", kLevelTrace);
    std::ifstream file(platform::NativePath(fileName), std::ios::binary);
    if (!file) throw Exception("Cannot open file \"" + fileName + "\"");
    {
        // TimeOut does not apply here; a running request's deadline does.
        std::optional<TimerScope> timer;
        if (requestDeadline_) timer.emplace([this] { ArmTimer(0); }, [this] { TimerOff(); });
        while (!Canceled) {
            file.read(buffer_, sizeof buffer_);
            const std::streamsize count = file.gcount();
            if (count <= 0) break;
            SendAll(buffer_, static_cast<size_t>(count), true);
        }
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
}

// ---------------------------------------------------------------------------------------------
// Receiving

AnsiString TPowersock::ReadLn() {
    ReportStatus("ReadLn", kLevelTrace);
    TimerScope timer([this] { TimerOn(); }, [this] { TimerOff(); });
    // buffer_ mirrors the bytes of the line taken from the socket so far.
    size_t taken = 0;
    for (;;) {
        if (taken == sizeof buffer_) return AnsiString(buffer_, taken);
        long peeked = 0;
        const int error = ReceiveChunk(buffer_ + taken, sizeof buffer_ - taken, true, &peeked);
        if (error == 0) {
            if (peeked == 0) return AnsiString(buffer_, taken);  // the peer closed
            const char* lineFeed = static_cast<const char*>(
                std::memchr(buffer_ + taken, '\n', static_cast<size_t>(peeked)));
            const size_t wanted = lineFeed ? static_cast<size_t>(lineFeed - (buffer_ + taken)) + 1
                                           : static_cast<size_t>(peeked);
            long took = 0;
            CheckError(ReceiveChunk(buffer_ + taken, wanted, false, &took));
            taken += static_cast<size_t>(std::max(took, 0L));
            if (lineFeed && static_cast<size_t>(took) == wanted) return AnsiString(buffer_, taken);
            DispatchEvents(Dispatch::Pending);
        } else {
            LastError = error;
            if (error == platform::kErrorNotConnected) return AnsiString(buffer_, taken);
            CheckError(error);
            // A cancel that came before the wait (a deadline already passed) would otherwise
            // sleep until the peer sends something, which a silent peer never does.
            if (!Canceled) DispatchEvents(Dispatch::UntilEvent);
        }
        if (Canceled) {
            Canceled = false;
            throw EAbortError("Socket readln aborted");
        }
    }
}

size_t TPowersock::ReceiveExactly(char* into, size_t length) {
    TimerScope timer([this] { TimerOn(); }, [this] { TimerOff(); });
    size_t taken = 0;
    while (taken < length) {
        long received = 0;
        const int error = ReceiveChunk(into + taken, length - taken, false, &received);
        if (error == 0) {
            if (received == 0) break;  // the peer closed
            taken += static_cast<size_t>(received);
            continue;
        }
        LastError = error;
        if (error == platform::kErrorNotConnected) break;
        CheckError(error);
        if (!Canceled) DispatchEvents(Dispatch::UntilEvent);
        if (Canceled) {
            Canceled = false;
            throw EAbortError("Socket read aborted");
        }
    }
    return taken;
}

AnsiString TPowersock::Transaction(const AnsiString& command) {
    ReportStatus("Transaction", kLevelTrace);
    ReplyNumber = 0;
    Writeln(command);
    LastReply = ReadLn();
    if (!LastReply.empty()) {
        ReportStatus(LastReply, kLevelAlways);
        long long number = 0;
        for (size_t i = 0;
             i < LastReply.size() && i < 10 && isdigit(static_cast<unsigned char>(LastReply[i]));
             ++i) {
            number = number * 10 + (LastReply[i] - '0');
        }
        // A number too large for the reply code is no usable code.
        ReplyNumber = number <= INT16_MAX ? static_cast<int16_t>(number) : 0;
    }
    return LastReply;
}

void TPowersock::CaptureInto(const std::function<void(const char*, size_t)>& sink,
                             const std::function<bool()>& wantMore) {
    {
        TimerScope timer([this] { TimerOn(); }, [this] { TimerOff(); });
        while (!Canceled && wantMore()) {
            long received = 0;
            const int error = ReceiveChunk(buffer_, sizeof buffer_, false, &received);
            if (error == 0) {
                if (received == 0) break;
                sink(buffer_, static_cast<size_t>(received));
                AddCount(BytesRecvd, received);
                if (OnPacketRecvd) OnPacketRecvd(this);
                TimerOn();  // TimeOut counts from the last arrival; a deadline stays put
                DispatchEvents(Dispatch::Pending);
            } else {
                LastError = error;
                if (error == platform::kErrorNotConnected) break;
                CheckError(error);
                DispatchEvents(Dispatch::UntilEvent);
            }
        }
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket capture aborted");
    }
}

void TPowersock::CaptureString(AnsiString& text, int max) {
    ReportStatus("Capture String", kLevelTrace);
    text.clear();
    BytesRecvd = 0;
    CaptureInto(
        [&text](const char* data, size_t size) { text.append(data, size); },
        [&text, max] { return max == -1 || text.size() < static_cast<size_t>(std::max(max, 0)); });
}

void TPowersock::CaptureFile(const AnsiString& fileName) {
    ReportStatus("CaptureFile", kLevelTrace);
    BytesRecvd = 0;
    std::ofstream file(platform::NativePath(fileName), std::ios::binary | std::ios::trunc);
    if (!file) throw Exception("Cannot create file \"" + fileName + "\"");
    CaptureInto(
        [&](const char* data, size_t size) {
            if (!file.write(data, static_cast<std::streamsize>(size))) {
                throw Exception("Cannot write file \"" + fileName + "\"");
            }
        },
        [] { return true; });
}
