#include "net/sock/nmhttp.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <optional>
#include <sstream>

#include "net/sock/nmurl.h"
#include "net/sock/nmuue.h"
#include "platform/codepage.h"

namespace {

constexpr const char* kMethods[] = {"GET ",    "OPTIONS ", "HEAD ", "POST ",   "PUT ",
                                    "PATCH ",  "COPY ",    "MOVE ", "DELETE ", "LINK ",
                                    "UNLINK ", "TRACE ",   ""};

// A redirect loop (or a 3xx that names no new place) must end; ten is more than any sane chain
// of moves needs.
constexpr int kMaxRedirects = 10;

// The header of a sane response is a few kilobytes; a server that never ends its header must
// not make us hold an unbounded amount of it.
constexpr size_t kMaxHeaderBytes = 1 << 20;

bool SendsBody(CmdType kind) {
    return kind == CmdPOST || kind == CmdPUT || kind == CmdPATCH || kind == CmdTRACE ||
           kind == CmdBareRequest;
}

bool AnnouncesLength(CmdType kind) {
    return SendsBody(kind) || kind == CmdLINK || kind == CmdUNLINK;
}

// A value with one of these would end its header line early or add lines of its own.
bool BreaksHeaderLine(const AnsiString& value) {
    return value.find_first_of(AnsiString("\r\n\0", 3)) != AnsiString::npos;
}

AnsiString WithoutLineEnd(AnsiString line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// The position of the n-th "/" (1-based n), or npos.
size_t NthSlash(const AnsiString& text, int n) {
    size_t at = AnsiString::npos;
    for (int i = 0; i < n; ++i) {
        at = text.find('/', at == AnsiString::npos ? 0 : at + 1);
        if (at == AnsiString::npos) break;
    }
    return at;
}

// A run of at most nine decimal digits as a number; anything else is no number.
std::optional<int> DecimalNumber(const AnsiString& text) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stoi(text);
}

// The status code, the second blank-separated field of the status line; 0 when it is none.
int16_t StatusCode(const AnsiString& statusLine) {
    const size_t firstBlank = statusLine.find(' ');
    if (firstBlank == AnsiString::npos) return 0;
    const size_t end = statusLine.find(' ', firstBlank + 1);
    const auto code = DecimalNumber(statusLine.substr(
        firstBlank + 1, end == AnsiString::npos ? AnsiString::npos : end - firstBlank - 1));
    return code && *code <= INT16_MAX ? static_cast<int16_t>(*code) : 0;
}

// The first run of digits after the header name; 0 when there is none or it does not fit.
int32_t ContentLength(const AnsiString& line) {
    const size_t blank = line.find(' ');
    const size_t first = line.find_first_of("0123456789", blank);
    if (first == AnsiString::npos) return 0;
    long long value = 0;
    for (size_t i = first; i < line.size() && isdigit(static_cast<unsigned char>(line[i])); ++i) {
        value = value * 10 + (line[i] - '0');
        if (value > INT32_MAX) return 0;
    }
    return static_cast<int32_t>(value);
}

// The scheme of a URL: the text before its first ":" when that text is a scheme name (a letter,
// then letters, digits, "+", "-" or "."); "" for a reference without one, such as a path.
AnsiString SchemeOf(const AnsiString& url) {
    const size_t colon = url.find(':');
    if (colon == AnsiString::npos || colon == 0 || !isalpha(static_cast<unsigned char>(url[0])))
        return "";
    const bool named = std::all_of(url.begin(), url.begin() + static_cast<long>(colon), [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
    return named ? FoldedName(url.substr(0, colon)) : "";
}

// The proxies this client speaks to, by the scheme of their URL.
std::optional<TProxyType> ProxyTypeOf(const std::string& scheme) {
    if (scheme == "http") return TProxyType::Http;
    if (scheme == "socks5") return TProxyType::Socks5;
    if (scheme == "socks5h") return TProxyType::Socks5Hostname;
    return std::nullopt;
}

long long FileSize(const AnsiString& fileName) {
    std::ifstream file(platform::NativePath(fileName), std::ios::binary | std::ios::ate);
    if (!file) throw Exception("Cannot open file \"" + fileName + "\"");
    return static_cast<long long>(file.tellg());
}

}  // namespace

TNMHTTP::TNMHTTP(QObject* Owner) : TPowersock(Owner) {}

void TNMHTTP::Abort() {
    waitFlag_ = true;
    Cancel();
}

void TNMHTTP::Request(CmdType kind, const AnsiString& url) {
    URL = url;
    kind_ = kind;
    DoRequest();
}

void TNMHTTP::Options(const AnsiString& url) {
    Request(CmdOPTIONS, url);
}
void TNMHTTP::Get(const AnsiString& url) {
    Request(CmdGET, url);
}
void TNMHTTP::Head(const AnsiString& url) {
    Request(CmdHEAD, url);
}
void TNMHTTP::Delete(const AnsiString& url) {
    Request(CmdDELETE, url);
}

void TNMHTTP::Post(const AnsiString& url, const AnsiString& data) {
    if (EncodePostData && !OutputFileMode) {
        TNMURL encoder(this);
        encoder.InputString = data;
        PostData = encoder.Encode();
    } else {
        PostData = data;
    }
    Request(CmdPOST, url);
}

void TNMHTTP::Put(const AnsiString& url, const AnsiString& data) {
    PostData = data;
    Request(CmdPUT, url);
}

void TNMHTTP::Patch(const AnsiString& url, const AnsiString& data) {
    PostData = data;
    Request(CmdPATCH, url);
}

void TNMHTTP::Trace(const AnsiString& url, const AnsiString& data) {
    PostData = data;
    Request(CmdTRACE, url);
}

void TNMHTTP::BareRequest(const AnsiString& url, const AnsiString& data) {
    PostData = data;
    Request(CmdBareRequest, url);
}

void TNMHTTP::Copy(const AnsiString& url, const AnsiString& destination) {
    URL2 = destination;
    Request(CmdCOPY, url);
}

void TNMHTTP::Move(const AnsiString& url, const AnsiString& destination) {
    URL2 = destination;
    Request(CmdMOVE, url);
}

void TNMHTTP::Link(const AnsiString& url, const AnsiString& link) {
    URL2 = link;
    PostData = "Send.dat";
    Request(CmdLINK, url);
}

void TNMHTTP::Unlink(const AnsiString& url, const AnsiString& link) {
    URL2 = link;
    PostData = "Send.dat";
    Request(CmdUNLINK, url);
}

void TNMHTTP::RejectControlCharacters() const {
    // A file name from a downloaded manifest ends up in the URL: it must not be able to add
    // header lines or whole requests of its own.
    const AnsiString* values[] = {&URL,
                                  &URL2,
                                  &Host,
                                  &Proxy,
                                  &HeaderInfo.LocalMailAddress,
                                  &HeaderInfo.LocalProgram,
                                  &HeaderInfo.Cookie,
                                  &HeaderInfo.Referer,
                                  &HeaderInfo.UserId,
                                  &HeaderInfo.Password};
    for (const AnsiString* value : values) {
        if (BreaksHeaderLine(*value)) throw ESockError("Invalid character in request");
    }
    // A SOCKS proxy takes its credentials as counted bytes; only an HTTP proxy's go into a line.
    if (SpeaksToHttpProxy() && (BreaksHeaderLine(ProxyUserId) || BreaksHeaderLine(ProxyPassword))) {
        throw ESockError("Invalid character in request");
    }
}

bool TNMHTTP::SpeaksToHttpProxy() const {
    return !Proxy.empty() && ProxyType == TProxyType::Http;
}

void TNMHTTP::DoRequest() {
    // One deadline for every wait of this call, redirects included; the transport's own
    // operations outside a request keep only their per-wait TimeOut.
    struct DeadlineScope {
        std::optional<std::chrono::steady_clock::time_point>& deadline;
        ~DeadlineScope() { deadline.reset(); }
    } deadline{requestDeadline_};
    if (RequestTimeOut > 0) {
        requestDeadline_ =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(RequestTimeOut);
    }

    for (int redirects = 0;; ++redirects) {
        ParseURL();
        struct ProxyScope {
            TNMHTTP& http;
            ~ProxyScope() { http.ClearEnvironmentProxy(); }
        } proxyScope{*this};
        ApplyEnvironmentProxy();
        RejectControlCharacters();
        BuildHeader();
        if (OnAboutToSend) OnAboutToSend(this);
        Exchange();
        // The proxy's own refusal is no answer of the server: the request did not get there.
        if (SpeaksToHttpProxy() && ReplyNumber == 407) {
            throw ESockError("Proxy authentication failed: " + statusLine_);
        }
        const bool redirected = ReplyNumber >= 300 && ReplyNumber <= 399;
        if (redirected) {
            // A cookie that cannot be sent back is dropped: kept, it would fail every later
            // request of this component.
            if (!CookieIn.empty() && !BreaksHeaderLine(CookieIn)) {
                HeaderInfo.Cookie = CookieIn;
                receivedCookie_ = ReceivedCookie{CookieIn, Host, Port};
            }
            bool handled = false;
            if (OnRedirect) OnRedirect(handled);
            if (handled) return;
            if (ReplyNumber <= 302) CheckRedirectTarget();
            if (URL.find('/') == AnsiString::npos) {
                // A bare name is relative to the server that sent it, scheme and port included.
                const AnsiString port =
                    Port == (secure_ ? 443 : 80) ? "" : ":" + std::to_string(Port);
                URL = (secure_ ? "https://" : "http://") + Host + port + "/" + URL;
            }
        }
        if (ReplyNumber == 401 && OnAuthenticationNeeded) OnAuthenticationNeeded(this);
        if (!redirected) return;
        if (redirects == kMaxRedirects) throw ESockError("Too many redirects");
    }
}

void TNMHTTP::Exchange() {
    try {
        Connect();
        if (secure_) {
            if (SpeaksToHttpProxy()) OpenTunnel();
            StartTls(Host, FoldedName(Host) + ":" + std::to_string(Port));
        }
        SendRequest();
        ReplyNumber = 0;
        ReadHeader();
        ReceiveBody();
        if (ReplyNumber < 300) {
            if (OnSuccess) OnSuccess(kind_);
            ReportStatus("Transaction Completed", 2);
        } else if (ReplyNumber >= 400) {
            if (OnFailure) OnFailure(kind_);
        } else if (ReplyNumber <= 302) {
            URL = Location;
        }
    } catch (...) {
        try {
            Disconnect();
        } catch (const ESockError&) {
            // The first failure is the one worth telling.
        }
        throw;
    }
    Disconnect();
}

void TNMHTTP::ReceiveBody() {
    if (kind_ == CmdHEAD) {
        // Whatever a server sends after the header of a HEAD reply is no body: reading it
        // would let the server fill memory (or the body file) for as long as it likes. The
        // caller closes the connection with the rest unread.
        BytesRecvd = 0;
        if (!InputFileMode) {
            Body.clear();
        } else if (!std::ofstream(platform::NativePath(Body), std::ios::binary | std::ios::trunc)) {
            throw Exception("Cannot create file \"" + Body + "\"");
        }
        return;
    }
    if (InputFileMode) {
        CaptureFile(Body);
        return;
    }
    // One byte more than the cap tells a body of exactly the cap from a longer one.
    CaptureString(Body, static_cast<int>(kMaxBodyInMemory + 1));
    if (Body.size() > kMaxBodyInMemory) {
        AnsiString().swap(Body);  // a cut-off body is no result; its memory goes back at once
        throw ESockError("Response body larger than " + std::to_string(kMaxBodyInMemory) +
                         " bytes");
    }
}

void TNMHTTP::CheckRedirectTarget() const {
    // Anything but HTTP would be spoken to as HTTP (an ftp:// location would get a HEAD on the
    // FTP port), so a server could aim this client's requests at any service.
    const AnsiString scheme = SchemeOf(URL);
    if (scheme.empty() || scheme == "https") return;
    if (scheme != "http") throw ESockError("Redirect to an unsupported scheme: " + scheme);
    // secure_ still describes the request that was redirected. Whoever can answer in its place
    // on the plain link could then say anything, so what began over TLS stays on it.
    if (secure_) throw ESockError("Redirect from https to http refused: " + URL);
}

bool TNMHTTP::MaySendCookie() const {
    // A cookie the caller set (or replaced the received one with) is the caller's to place.
    if (!receivedCookie_ || receivedCookie_->value != HeaderInfo.Cookie) return true;
    return SameTextIgnoringCase(receivedCookie_->host, Host) && receivedCookie_->port == Port;
}

void TNMHTTP::ParseURL() {
    if (URL.empty()) throw Exception("Empty URL");
    if (Port == 0) Port = 80;

    const bool hasAuthority = URL.find("//") != AnsiString::npos;
    const size_t firstSlash = URL.find('/');
    const size_t pathStart = hasAuthority ? NthSlash(URL, 3) : firstSlash;
    RequestPath = pathStart == AnsiString::npos ? "" : URL.substr(pathStart, 256);

    // Only a scheme name counts: a colon in a path ("/a:b") must not send the request to port
    // 80 in the clear, away from the server and the scheme it came from.
    const AnsiString scheme = SchemeOf(URL);
    if (!scheme.empty()) {
        secure_ = scheme == "https";
        Port = secure_ ? 443 : scheme == "gopher" ? 70 : scheme == "ftp" ? 21 : 80;
    }

    AnsiString hostPart;
    if (hasAuthority) {
        const size_t second = NthSlash(URL, 2);
        const size_t third = NthSlash(URL, 3);
        hostPart = URL.substr(second + 1,
                              third == AnsiString::npos ? AnsiString::npos : third - second - 1);
    } else if (URL[0] != '/') {
        hostPart = URL.substr(0, firstSlash);
    }
    const size_t portColon = hostPart.find(':');
    if (portColon != AnsiString::npos) {
        const AnsiString portText = hostPart.substr(portColon + 1);
        const auto port = DecimalNumber(portText);
        if (!port || *port > 65535)
            throw Exception("'" + portText + "' is not a valid port number");
        Port = *port;
        hostPart.resize(portColon);
    }
    if (!hostPart.empty()) Host = hostPart;

    if (RequestPath.empty()) {
        RequestPath = "/";
        URL += "/";
    }
}

void TNMHTTP::BuildHeader() {
    RequestHeader.Clear();
    // Through a tunnel (CONNECT or SOCKS) the request goes to the origin itself.
    const bool viaProxy = SpeaksToHttpProxy() && !secure_;
    if (kind_ != CmdBareRequest) {
        RequestHeader.Add(kMethods[kind_] + (viaProxy ? URL : RequestPath) + " HTTP/1.0");
    }
    if (viaProxy) {
        RequestHeader.Add("Proxy-Connection: Keep-Alive");
        RequestHeader.Add("Host: " + Host);
    }
    RequestHeader.SetField("Host", Host);
    RequestHeader.Add("Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff");
    RequestHeader.Add("Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript");
    RequestHeader.SetField("User-Agent", HeaderInfo.LocalProgram);
    RequestHeader.SetField("From", HeaderInfo.LocalMailAddress);
    RequestHeader.SetField("Cookie", MaySendCookie() ? HeaderInfo.Cookie : "");
    RequestHeader.SetField("Referer", HeaderInfo.Referer);
    if (!HeaderInfo.UserId.empty() && !HeaderInfo.Password.empty()) {
        RequestHeader.SetField(
            "Authorization",
            "Basic " + MimeEncodeUnbroken(HeaderInfo.UserId + ":" + HeaderInfo.Password));
    }
    if (viaProxy) RequestHeader.SetField("Proxy-Authorization", ProxyCredentialLine());
    RequestHeader.Add("Content-type: application/x-www-form-urlencoded");
    if (kind_ == CmdCOPY || kind_ == CmdMOVE) RequestHeader.Add("URI-header: " + URL2);
    if (kind_ == CmdLINK || kind_ == CmdUNLINK) RequestHeader.Add("Link: " + URL2);
    if (AnnouncesLength(kind_)) {
        const long long length =
            OutputFileMode ? FileSize(PostData) : static_cast<long long>(PostData.size());
        RequestHeader.Add("Content-Length: " + std::to_string(length));
    }
}

void TNMHTTP::SendRequest() {
    AnsiString header;
    for (int i = 0; i < RequestHeader.Count(); ++i) header += RequestHeader[i] + "\r\n";
    // One send with the blank line: a second small one would wait for the peer's delayed
    // acknowledgement of the first (some 40 ms) once a TLS or SOCKS handshake has used up the
    // quick ones.
    Writeln(header);
    if (!SendsBody(kind_)) return;
    if (OutputFileMode) {
        SendFile(PostData);
    } else {
        Write(PostData);
    }
}

void TNMHTTP::AppendHeaderLine(const AnsiString& line, std::ostream* file) {
    if (file) {
        file->write(line.data(), static_cast<std::streamsize>(line.size()));
    } else {
        Header += line;
    }
}

void TNMHTTP::ReadHeader() {
    BytesTotal = 0;
    CookieIn.clear();
    std::ofstream file;
    if (OutputFileMode) {
        file.open(platform::NativePath(Header), std::ios::binary | std::ios::trunc);
        if (!file) throw Exception("Cannot create file \"" + Header + "\"");
    } else {
        Header.clear();
    }
    std::ostream* sink = OutputFileMode ? &file : nullptr;

    AnsiString line = ReadLn();
    if (!line.empty()) ReplyNumber = StatusCode(line);
    statusLine_ = WithoutLineEnd(line);
    AppendHeaderLine(line, sink);
    size_t headerBytes = line.size();
    do {
        line = ReadLn();
        headerBytes += line.size();
        if (headerBytes > kMaxHeaderBytes) throw ESockError("Response header too long");
        const AnsiString name = FoldedName(line.substr(0, line.find(' ')));
        if (name == "set-cookie:") {
            CookieIn = WithoutLineEnd(line.substr(std::min<size_t>(12, line.size()), 256));
        } else if (name == "location:") {
            Location = WithoutLineEnd(line.substr(std::min<size_t>(10, line.size()), 256));
        } else if (name == "content-length:") {
            BytesTotal = ContentLength(line);
        }
        AppendHeaderLine(line, sink);
    } while (!line.empty() && line != "\n" && line != "\r\n");
}

AnsiString TNMHTTP::ProxyCredentialLine() const {
    if (ProxyUserId.empty() && ProxyPassword.empty()) return "";
    return "Basic " + MimeEncodeUnbroken(ProxyUserId + ":" + ProxyPassword);
}

void TNMHTTP::ApplyEnvironmentProxy() {
    if (!ProxyFromEnvironment || !Proxy.empty()) return;
    const auto choice = ProxyForUrl((secure_ ? "https://" : "http://") + Host + "/");
    if (!choice) return;
    // Going around a proxy that was asked for, or to something else than it, is no option.
    if (choice->host.empty()) throw ESockError("The proxy named in the environment is not usable");
    const auto type = ProxyTypeOf(choice->scheme);
    if (!type) {
        throw ESockError("Proxy scheme not supported: " + choice->scheme + " (" + choice->host +
                         ":" + std::to_string(choice->port) + ")");
    }
    Proxy = choice->host;
    ProxyPort = choice->port;
    ProxyType = *type;
    ProxyUserId = choice->user;
    ProxyPassword = choice->password;
    environmentProxy_ = true;
}

void TNMHTTP::ClearEnvironmentProxy() {
    if (!environmentProxy_) return;
    environmentProxy_ = false;
    Proxy.clear();
    ProxyPort = 0;
    ProxyType = TProxyType::Http;
    ProxyUserId.clear();
    ProxyPassword.clear();
}

void TNMHTTP::OpenTunnel() {
    const AnsiString target = Host + ":" + std::to_string(Port);
    AnsiString request = "CONNECT " + target + " HTTP/1.0\r\nHost: " + target + "\r\n";
    const AnsiString credentials = ProxyCredentialLine();
    if (!credentials.empty()) request += "Proxy-Authorization: " + credentials + "\r\n";
    Write(request + "\r\n");
    const AnsiString status = WithoutLineEnd(ReadLn());
    // The proxy's header says nothing the tunnel needs; it is read only to get past it.
    size_t headerBytes = status.size();
    for (AnsiString line = status; !line.empty();) {
        line = WithoutLineEnd(ReadLn());
        headerBytes += line.size();
        if (headerBytes > kMaxHeaderBytes) throw ESockError("Response header too long");
    }
    if (StatusCode(status) != 200) {
        throw ESockError("Proxy refused the tunnel to " + target + ": " +
                         (status.empty() ? AnsiString("no answer") : status));
    }
}
