#include "net/sock/tlschannel.h"

#include <map>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "net/trust.h"
#include "platform/socket.h"

namespace {

// Written records held back at most, about two full records.
constexpr size_t kMaxPending = 32768;

// What the platform-backed BIO reads and writes, and where it leaves a socket error. Written
// records wait in `pending` until the channel flushes them, so that the handshake's last
// flight and the first request leave in one segment: sent apart, the second would wait for
// the server's delayed acknowledgement of the first (Nagle), some 40 ms per connection.
struct BioTarget {
    int socket;
    int* error;
    std::string pending;
};

int BioWrite(BIO* bio, const char* data, int length) {
    auto* target = static_cast<BioTarget*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    target->pending.append(data, static_cast<size_t>(length));
    return length;
}

int BioRead(BIO* bio, char* into, int capacity) {
    auto* target = static_cast<BioTarget*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const platform::SocketResult received =
        platform::Receive(target->socket, into, static_cast<size_t>(capacity), false);
    if (received.ok()) return static_cast<int>(received.value);
    if (received.error == platform::kErrorWouldBlock) {
        BIO_set_retry_read(bio);
        return -1;
    }
    // The transport's socket reports a peer's close as "not connected" once it is drained.
    if (received.error == platform::kErrorNotConnected) return 0;
    *target->error = received.error;
    return -1;
}

long BioControl(BIO*, int command, long, void*) {
    // OpenSSL flushes after each flight; the channel decides when the records leave.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioDestroy(BIO* bio) {
    delete static_cast<BioTarget*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

BIO_METHOD* PlatformBioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "sendrift");
        BIO_meth_set_write(made, BioWrite);
        BIO_meth_set_read(made, BioRead);
        BIO_meth_set_ctrl(made, BioControl);
        BIO_meth_set_destroy(made, BioDestroy);
        return made;
    }();
    return method;
}

// The one client context of the process and the sessions kept for resumption. Never freed:
// OpenSSL's own clean-up at exit may already have run when static objects are destroyed.
struct ClientContext {
    TrustedAuthorities trust;
    SSL_CTX* context = nullptr;
    std::string loadFailure;  // why the trusted authorities could not be loaded
    std::map<std::string, SSL_SESSION*> sessions;
};

ClientContext& Shared() {
    static auto* shared = new ClientContext;
    return *shared;
}

int SessionKeyIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

std::string OpenSslReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) return "";
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(code);
}

int KeepSession(SSL* ssl, SSL_SESSION* session) {
    ClientContext& shared = Shared();
    const auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, SessionKeyIndex()));
    // A connection made under authorities trusted before a change must not seed the cache.
    if (!key || SSL_get_SSL_CTX(ssl) != shared.context) return 0;
    SSL_SESSION*& kept = shared.sessions[*key];
    if (kept) SSL_SESSION_free(kept);
    kept = session;
    return 1;  // the cache keeps the reference it was handed
}

void Rebuild(ClientContext& shared, const TrustedAuthorities& trust) {
    for (auto& entry : shared.sessions) SSL_SESSION_free(entry.second);
    shared.sessions.clear();
    if (shared.context) SSL_CTX_free(shared.context);
    shared.trust = trust;
    shared.loadFailure.clear();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    shared.context = context;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // A certificate named in the trusted file is trusted itself, even when it is not an
    // authority's own, as libcurl does for the downloads.
    X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(context), X509_V_FLAG_PARTIAL_CHAIN);
    // HTTP/1.0 ends a body by closing the connection, and many servers close without the
    // closing alert; the header's length, not the alert, tells a cut-off reply.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, KeepSession);
    const bool loaded = trust.SystemStore()
                            ? SSL_CTX_set_default_verify_paths(context) == 1
                            : SSL_CTX_load_verify_locations(
                                  context, trust.file.empty() ? nullptr : trust.file.c_str(),
                                  trust.folder.empty() ? nullptr : trust.folder.c_str()) == 1;
    if (!loaded) {
        shared.loadFailure = "cannot load the trusted authorities (" +
                             (trust.file.empty() ? trust.folder : trust.file) +
                             "): " + OpenSslReason();
    }
}

}  // namespace

TlsChannel::TlsChannel(int socket, const std::string& serverName, const std::string& sessionKey)
    : sessionKey_(sessionKey) {
    ClientContext& shared = Shared();
    const TrustedAuthorities trust = TrustedAuthoritiesFor();
    if (!shared.context || !(trust == shared.trust)) Rebuild(shared, trust);
    if (!shared.loadFailure.empty()) {
        failure_ = shared.loadFailure;
        return;
    }
    ssl_ = SSL_new(shared.context);
    BIO* bio = BIO_new(PlatformBioMethod());
    BIO_set_data(bio, new BioTarget{socket, &socketError_, {}});
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_ex_data(ssl_, SessionKeyIndex(), &sessionKey_);
    X509_VERIFY_PARAM* verify = SSL_get0_param(ssl_);
    if (X509_VERIFY_PARAM_set1_ip_asc(verify, serverName.c_str()) != 1) {
        // Not an address: a name, checked against the certificate and sent for the server
        // to pick its certificate by (addresses are never sent that way).
        ERR_clear_error();
        X509_VERIFY_PARAM_set_hostflags(verify, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl_, serverName.c_str());
        SSL_set_tlsext_host_name(ssl_, serverName.c_str());
    }
    target_ = static_cast<BioTarget*>(BIO_get_data(bio));
    const auto kept = shared.sessions.find(sessionKey);
    if (kept != shared.sessions.end()) SSL_set_session(ssl_, kept->second);
}

TlsChannel::~TlsChannel() {
    if (ssl_) SSL_free(ssl_);
}

TlsChannel::Io TlsChannel::Result(int returned) {
    if (returned == 1) return Io::Done;
    switch (SSL_get_error(ssl_, returned)) {
        case SSL_ERROR_WANT_READ:
            return Io::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return Io::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return Io::Closed;
        default:
            break;
    }
    const long verified = SSL_get_verify_result(ssl_);
    std::string reason = OpenSslReason();
    if (verified != X509_V_OK) {
        reason =
            "certificate verify failed: " + std::string(X509_verify_cert_error_string(verified));
    } else if (reason.empty()) {
        reason = socketError_ != 0 ? "the socket failed" : "the connection was closed";
    }
    failure_ = reason;
    return Io::Failed;
}

size_t TlsChannel::PendingBytes() const {
    return static_cast<const BioTarget*>(target_)->pending.size();
}

bool TlsChannel::Flush() {
    std::string& pending = static_cast<BioTarget*>(target_)->pending;
    while (!pending.empty()) {
        const platform::SocketResult sent = platform::Send(static_cast<BioTarget*>(target_)->socket,
                                                           pending.data(), pending.size());
        if (!sent.ok()) {
            if (sent.error != platform::kErrorWouldBlock) {
                socketError_ = sent.error;
                failure_ = "the socket failed";
            }
            return false;
        }
        pending.erase(0, static_cast<size_t>(sent.value));
    }
    return true;
}

TlsChannel::Io TlsChannel::FlushFirst() {
    if (Flush()) return Io::Done;
    return socketError_ != 0 ? Io::Failed : Io::WantWrite;
}

TlsChannel::Io TlsChannel::Handshake() {
    if (!ssl_) return Io::Failed;
    if (const Io flushed = FlushFirst(); flushed != Io::Done) return flushed;
    ERR_clear_error();
    const Io io = Result(SSL_connect(ssl_));
    // The last flight stays for the first request to take along; any other must go now.
    if (io == Io::Done || io == Io::Failed) return io;
    const Io flushed = FlushFirst();
    return flushed == Io::Done ? io : flushed;
}

TlsChannel::Io TlsChannel::Read(char* into, size_t capacity, bool peek, size_t* moved) {
    *moved = 0;
    if (const Io flushed = FlushFirst(); flushed != Io::Done) return flushed;
    ERR_clear_error();
    const int returned =
        peek ? SSL_peek_ex(ssl_, into, capacity, moved) : SSL_read_ex(ssl_, into, capacity, moved);
    return Result(returned);
}

TlsChannel::Io TlsChannel::Write(const char* data, size_t length, size_t* moved) {
    *moved = 0;
    // Small records join what waits (the handshake's last flight most of all); beyond that,
    // a large send moves on only as the socket takes it.
    if (PendingBytes() >= kMaxPending) {
        if (const Io flushed = FlushFirst(); flushed != Io::Done) return flushed;
    }
    ERR_clear_error();
    const Io io = Result(SSL_write_ex(ssl_, data, length, moved));
    if (io != Io::Done) return io;
    // The bytes are taken; what the socket cannot take yet goes with the next call.
    return Flush() || socketError_ == 0 ? Io::Done : Io::Failed;
}

void TlsChannel::Close() {
    if (!ssl_ || !SSL_is_init_finished(ssl_)) return;
    ERR_clear_error();
    // The alert marks the session as cleanly ended, so that it stays resumable.
    SSL_shutdown(ssl_);
    Flush();
    ERR_clear_error();
}

bool TlsChannel::Resumed() const {
    return ssl_ && SSL_session_reused(ssl_) == 1;
}
