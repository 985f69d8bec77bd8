// HTTP/1.0 client over the socket transport.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>

#include "net/proxyrule.h"
#include "net/sock/nmextstr.h"
#include "net/sock/psock.h"

// The most bytes of a response body that a request keeps in `Body` (16 MB). The body of a
// size query or a version text is tiny; a server that sends more than this into memory is
// broken or hostile, and the request fails with ESockError "Response body larger than 16777216
// bytes" instead of growing the process without end. Bodies received into a file
// (InputFileMode) have no such cap.
inline constexpr size_t kMaxBodyInMemory = 16 * 1024 * 1024;

// The request kinds, in the order of their operations' numbering.
enum CmdType {
    CmdGET,
    CmdOPTIONS,
    CmdHEAD,
    CmdPOST,
    CmdPUT,
    CmdPATCH,
    CmdCOPY,
    CmdMOVE,
    CmdDELETE,
    CmdLINK,
    CmdUNLINK,
    CmdTRACE,
    CmdBareRequest
};

using TResultEvent = std::function<void(CmdType Cmd)>;

// Optional request header values; an empty one is left out of the request.
struct THeaderInfo {
    AnsiString LocalMailAddress;  // "From"
    AnsiString LocalProgram;      // "User-Agent"
    AnsiString Cookie;
    AnsiString Referer;
    AnsiString UserId;  // with Password: Basic credentials
    AnsiString Password;
};

// One HTTP/1.0 exchange per call: each request operation parses the URL, builds and sends the
// request, reads the status line and header into `Header`, captures the body into `Body`
// until the server closes, raises the result events, disconnects and follows redirects (at
// most 10 in one call; one more raises ESockError "Too many redirects"). It returns when all
// of that is over. An HTTP error status is no exception: it raises OnFailure and the call
// returns with `Header` and `Body` filled. Transport failures raise the transport's errors
// after the connection is closed. A URL, URL2, Host, Proxy or HeaderInfo value holding CR, LF
// or NUL raises ESockError "Invalid character in request" before anything is sent.
//
// A HEAD reply has no body: `Head` stops reading at the end of the header and closes the
// connection, whatever the server sends after it (`Body` is left empty). Other bodies received
// into memory are capped at kMaxBodyInMemory.
//
// "https" URLs (default port 443) run over TLS on the same socket and with the same waits and
// limits (see TPowersock::StartTls): the certificate is verified against the trusted
// authorities and must name the URL's host; a refused certificate fails the request with
// OpenSSL's reason. Sessions are resumed per host and port.
//
// Redirects are followed only to "http" and "https" locations and to locations without a
// scheme (a path, or a bare name on the same server and scheme); any other scheme raises
// ESockError "Redirect to an unsupported scheme: <scheme>" before a connection is made. A
// redirect may keep or raise the scheme, never lower it: from an https request, an "http"
// location raises ESockError "Redirect from https to http refused: <location>". A location
// without a scheme (a colon in its path included) stays on the scheme it came from. A cookie
// received in a reply (see HeaderInfo.Cookie) is sent only to the host and port that set it.
//
// Proxies: with `Proxy` set and ProxyType Http, "http" requests carry the whole URL in the
// request line and a "Proxy-Connection: Keep-Alive" line, and "https" requests go through a
// "CONNECT host:port" tunnel to the origin, then TLS; ProxyUserId and ProxyPassword go to the
// proxy alone, as Basic "Proxy-Authorization". A proxy that answers 407, or refuses a tunnel,
// fails the request with ESockError and the proxy's status line. With a SOCKS5 ProxyType the
// transport opens a tunnel to the origin (see TPowersock::Connect), and the request, plain or
// over TLS, is the same byte for byte as without a proxy.
//
// With ProxyFromEnvironment set and `Proxy` empty, each request takes the proxy that
// ProxyForUrl (net/proxyrule.h) names for its URL, for that request only: "http", "socks5"
// and "socks5h" proxies, with the credentials of the proxy's URL. Any other scheme (socks4,
// socks4a, https) fails the request with ESockError "Proxy scheme not supported: <scheme>
// (<host>:<port>)" before anything is sent, rather than going around the proxy.
//
// GUI thread only; one exchange at a time. Defaults: Body "Default.htm", Header "Head.txt"
// (used as file names only in the file modes), both file modes off, EncodePostData on.
class TNMHTTP : public TPowersock {
public:
    explicit TNMHTTP(QObject* Owner = nullptr);

    void Abort() override;  // wakes the running wait and cancels; reports no status

    virtual void DoRequest();
    virtual void ParseURL();
    virtual void BuildHeader();
    virtual void ReadHeader();
    virtual void SendRequest();

    virtual void Options(const AnsiString& url);
    virtual void Get(const AnsiString& url);
    // Sends `data`, form-encoded first while EncodePostData is set and OutputFileMode is off.
    virtual void Post(const AnsiString& url, const AnsiString& data);
    virtual void Put(const AnsiString& url, const AnsiString& data);
    virtual void Head(const AnsiString& url);
    virtual void Patch(const AnsiString& url, const AnsiString& data);
    virtual void Delete(const AnsiString& url);
    virtual void Trace(const AnsiString& url, const AnsiString& data);
    virtual void Copy(const AnsiString& url, const AnsiString& destination);
    virtual void Move(const AnsiString& url, const AnsiString& destination);
    // Announce the length of "Send.dat" (or of that file) but send no body.
    virtual void Link(const AnsiString& url, const AnsiString& link);
    virtual void Unlink(const AnsiString& url, const AnsiString& link);
    // Sends `data` with the built header lines but no request line.
    virtual void BareRequest(const AnsiString& url, const AnsiString& data);

    // With InputFileMode, the name of the file that receives the body.
    AnsiString Body = "Default.htm";
    // The status line, every header line and the empty line, each with its line end as
    // received. With OutputFileMode, the name of the file that receives them.
    AnsiString Header = "Head.txt";
    AnsiString RequestPath;
    TExStringList RequestHeader;
    AnsiString Location;
    // A 3xx reply's cookie replaces HeaderInfo.Cookie and stays for later requests, but only
    // requests to the host and port that set it carry it; a cookie the caller sets goes to
    // every host.
    THeaderInfo HeaderInfo;
    AnsiString CookieIn;
    bool InputFileMode = false;
    // Header goes to a file, and PostData names the file whose contents are sent.
    bool OutputFileMode = false;
    bool EncodePostData = true;
    AnsiString PostData;
    AnsiString URL2;
    AnsiString URL;
    // ms for one whole request call: lookup, connect, send, header, body and every redirect
    // together. Each wait of the request ends at the earlier of its TimeOut and this limit, and
    // the request then fails with that wait's time-out error and TimedOut set. TimeOut keeps
    // bounding each single wait (a silence); this bounds a server that trickles. 0 = no limit.
    int32_t RequestTimeOut = 0;
    // Take the proxy from the environment, as libcurl would for the same URL, whenever Proxy is
    // empty. Off by default: the component's own Proxy and ProxyPort are all it uses then.
    bool ProxyFromEnvironment = false;

    TResultEvent OnSuccess;  // status below 300 (0 too: no status line arrived)
    TResultEvent OnFailure;  // status 400 or above
    TNotifyEvent OnAboutToSend;
    THandlerEvent OnRedirect;             // 3xx; Handled = true stops following
    TNotifyEvent OnAuthenticationNeeded;  // 401, after OnFailure

protected:
    CmdType kind_ = CmdGET;

private:
    // Where a cookie received in a reply came from, and the cookie itself.
    struct ReceivedCookie {
        AnsiString value;
        AnsiString host;
        int32_t port = 0;
    };

    void Request(CmdType kind, const AnsiString& url);
    void RejectControlCharacters() const;
    // One exchange on one connection; the connection is closed however it ends.
    void Exchange();
    void ReceiveBody();
    // Raises unless the redirect target in URL is one this client may follow.
    void CheckRedirectTarget() const;
    // Whether HeaderInfo.Cookie may go to the current Host and Port.
    bool MaySendCookie() const;
    void AppendHeaderLine(const AnsiString& line, std::ostream* file);
    // Sets Proxy, ProxyPort and the proxy's credentials from the environment for this request,
    // when asked to; ClearEnvironmentProxy undoes it.
    void ApplyEnvironmentProxy();
    void ClearEnvironmentProxy();
    // Asks the proxy for a tunnel to Host:Port; raises unless it grants it.
    void OpenTunnel();
    AnsiString ProxyCredentialLine() const;
    // Whether Proxy is an HTTP proxy, spoken to in this client's requests (a SOCKS5 proxy is
    // the transport's).
    bool SpeaksToHttpProxy() const;

    std::optional<ReceivedCookie> receivedCookie_;
    bool secure_ = false;            // the current URL's scheme is https
    bool environmentProxy_ = false;  // the proxy's fields were set for this request from the
                                     // environment
    AnsiString statusLine_;          // of the last response, without its line end
};
