// TLS over one non-blocking socket of the socket transport, client side only.
//
// The channel never waits: every call returns at once and says what it needs (readable,
// writable) to make progress; the transport does the waiting in its own dispatching waits.
// The socket is read and written through the platform layer, so a peer that went away gives
// an error instead of a signal, and its socket-library error number is kept for the message.
//
// Every channel is verified: the chain against the trusted authorities (net/trust.h), the
// name against the certificate (DNS name, or IP address for an address). There is no way to
// turn that off. Sessions are kept in the process per "host:port" and offered again on the
// next connection there, so that later connections resume instead of doing a full handshake;
// they are dropped when the trusted authorities change, because a resumed session is never
// verified again. GUI thread only (the context and the session cache are not locked).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct ssl_st;

class TlsChannel {
public:
    enum class Io {
        Done,       // the handshake finished, or bytes moved
        WantRead,   // try again once the socket is readable
        WantWrite,  // try again once the socket is writable
        Closed,     // the peer ended the stream
        Failed,     // see FailureText
    };

    // Prepares a client channel on the connected `socket` for `serverName` (the name or IPv4
    // address that the certificate must carry), offering the session kept for `sessionKey`.
    // Fails (Failed from Handshake) when the trusted authorities cannot be loaded.
    TlsChannel(int socket, const std::string& serverName, const std::string& sessionKey);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    Io Handshake();
    // `*moved` holds the byte count when the result is Done.
    Io Read(char* into, size_t capacity, bool peek, size_t* moved);
    Io Write(const char* data, size_t length, size_t* moved);
    // Sends the closing alert if the socket takes it at once; never waits.
    void Close();

    // Whether the finished handshake resumed a kept session.
    bool Resumed() const;
    // Why the last call failed: the verification result or OpenSSL's reason, and a socket
    // error's text when the socket failed underneath.
    const std::string& FailureText() const { return failure_; }
    // The socket-library error number under the last failure, 0 when there was none.
    int SocketError() const { return socketError_; }

private:
    Io Result(int returned);
    // Sends the records written so far; false when some are left (or the socket failed).
    bool Flush();
    size_t PendingBytes() const;
    // Done once nothing waits; else WantWrite, or Failed when the socket failed.
    Io FlushFirst();

    std::string sessionKey_;  // first: the connection refers to it while it lives
    ssl_st* ssl_ = nullptr;
    void* target_ = nullptr;  // the BIO's state, owned by the BIO
    int socketError_ = 0;     // set by the platform-backed BIO
    std::string failure_;
};
