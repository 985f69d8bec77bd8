#include "net/httpget/httpgetthread.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#include "net/httpget/spliturl.h"
#include "net/trust.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/socket.h"

namespace {

// Bytes per chunk, and so per progress call: the read size the component has always used.
constexpr int64_t kChunkSize = 1025;
// How long one drain may keep the GUI thread before it returns to its other events: about one
// frame, so the window stays responsive however fast the data comes.
constexpr std::chrono::microseconds kDrainBudget(16000);
// Bytes libcurl receives per read; large reads keep system calls rare at full speed.
constexpr long kReceiveBuffer = 256 * 1024;
constexpr size_t kFileBuffer = 1024 * 1024;
constexpr long kMaxRedirects = 10;
// At most this many progress calls (about 1 MB of the body) go to the GUI thread in one
// hand-off.
constexpr size_t kMaxCallsPerHandOff = 1024;
// How long progress calls may wait for more data to join their hand-off. Data comes in bursts
// a few microseconds apart; waiting for the next burst makes one hand-off serve many, where
// every hand-off costs both threads a wake-up. Far below a frame, so no one sees the delay.
constexpr std::chrono::microseconds kGatherTime(1000);

constexpr char kAborted[] = "the transfer was aborted";

constexpr THTTPGet::Outcome Unreachable = THTTPGet::Outcome::Unreachable;
constexpr THTTPGet::Outcome NoBody = THTTPGet::Outcome::NoBody;
constexpr THTTPGet::Outcome Other = THTTPGet::Outcome::Other;

// How a failure that libcurl reports is classed: no connection at all, or a link that gave
// out (NoBody, which the caller narrows to Other once the body had begun), or anything else.
THTTPGet::Outcome OutcomeOfCurlFailure(CURLcode code, bool tooSlow, bool connected) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return Unreachable;
        case CURLE_ABORTED_BY_CALLBACK:
            if (!tooSlow) return Other;
            [[fallthrough]];
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return connected ? NoBody : Unreachable;
        default:
            return Other;
    }
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           SameTextIgnoringCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

Location SplitUrl(AnsiString rest) {
    Location location;
    if (StartsWithNoCase(rest, "http://")) {
        rest.erase(0, 7);
    } else if (StartsWithNoCase(rest, "https://")) {
        rest.erase(0, 8);
        location.secure = true;
    }
    size_t slash = rest.find('/');
    if (slash == AnsiString::npos) {
        location.path = rest;
    } else {
        location.host = rest.substr(0, slash);
        location.path = rest.substr(slash);
    }
    return location;
}

namespace {

// A byte count of a header as the transfer counts bytes: decimal digits only, within the
// range of a signed 64-bit count.
std::optional<int64_t> ParseByteCount(std::string_view text) {
    const std::optional<uint64_t> count = DecimalCount(text, INT64_MAX);
    return count ? std::optional<int64_t>(int64_t(*count)) : std::nullopt;
}

std::optional<int64_t> ParseContentLength(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    return ParseByteCount(text);
}

// The URL that the transfer is at: during a redirect chain, the one whose reply is coming;
// after a redirect was refused, where it would have led.
AnsiString EffectiveUrl(CURL* curl) {
    char* url = nullptr;
    curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url);
    return url ? url : "";
}

// A header's value: what follows the name and colon, without the blanks around it.
AnsiString HeaderValue(const AnsiString& line, size_t nameLength) {
    const size_t first = line.find_first_not_of(" \t", nameLength);
    if (first == AnsiString::npos) return "";
    return line.substr(first, line.find_last_not_of(" \t\r\n") + 1 - first);
}

// A Content-Range of a 206 reply: "bytes first-last/total"; a total of "*" is not taken.
struct ByteRange {
    int64_t first, last, total;
};

std::optional<ByteRange> ParseContentRange(std::string_view text) {
    if (!StartsWithNoCase(text, "bytes ")) return std::nullopt;
    text.remove_prefix(6);
    const size_t dash = text.find('-');
    const size_t slash = text.find('/', dash);
    if (slash == std::string_view::npos) return std::nullopt;
    const std::optional<int64_t> first = ParseByteCount(text.substr(0, dash));
    const std::optional<int64_t> last = ParseByteCount(text.substr(dash + 1, slash - dash - 1));
    const std::optional<int64_t> total = ParseByteCount(text.substr(slash + 1));
    if (!first || !last || !total || *first > *last || *last >= *total) return std::nullopt;
    return ByteRange{*first, *last, *total};
}

// A strong entity tag: quoted, without the "W/" of a weak one.
bool IsStrongEntityTag(std::string_view validator) {
    return validator.size() >= 2 && validator.front() == '"' && validator.back() == '"';
}

// What the information file beside a partial copy says: the URL that the copy came from and
// the validator of the reply it came in.
struct PartialInfo {
    AnsiString url, validator;
};

constexpr char kUrlLine[] = "URL ";
constexpr char kValidatorLine[] = "Validator ";

AnsiString FormatPartialInfo(const AnsiString& url, const AnsiString& validator) {
    return kUrlLine + url + "\n" + kValidatorLine + validator + "\n";
}

// Nothing for a file that is missing, torn or from elsewhere: the copy then starts over.
std::optional<PartialInfo> ParsePartialInfo(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    const size_t urlEnd = text->find('\n');
    if (urlEnd == std::string::npos || text->compare(0, 4, kUrlLine) != 0) return std::nullopt;
    const size_t validator = urlEnd + 1;
    if (text->compare(validator, 10, kValidatorLine) != 0 || text->back() != '\n' ||
        text->find('\n', validator) != text->size() - 1) {
        return std::nullopt;
    }
    return PartialInfo{text->substr(4, urlEnd - 4),
                       text->substr(validator + 10, text->size() - 1 - validator - 10)};
}

// Does `write` to one of the component's own files (the partial copy and its information
// file). A symbolic link planted at the name is removed, never followed, so that it cannot
// block the name for good, and `write` is tried once more.
template <typename Write>
auto AtOwnName(const AnsiString& path, Write write) {
    auto done = write();
    if (!done && errno == ELOOP && platform::DeleteFile(path)) done = write();
    return done;
}

std::atomic<int64_t> connectionsOpened{0};

// Easy handles kept idle between transfers; each holds the connection of its last transfer.
// As many as the upgrade runs at once (its small files), so that none of them connects anew.
constexpr size_t kMaxIdleHandles = 16;

// libcurl's process-wide state: the easy handles that keep connections from one transfer to
// the next, the caches all transfers share, and the threads of transfers whose component was
// destroyed while they ran.
//
// Connections are kept by keeping easy handles, not by sharing one connection cache: libcurl
// does not support a connection cache shared by transfers that run on several threads at once.
// A handle serves one transfer at a time, so its connection is only ever touched by the thread
// that holds it. TLS sessions and host lookups, which libcurl does share safely under the
// share's locks, are shared by every transfer.
//
// Orphaned threads are told to stop and usually end within a second; the reaper joins the
// ones that have ended whenever it adopts another, and all of them when the program ends. The
// runtime is created after curl_global_init has registered the TLS library's exit cleanup, so
// it is destroyed first and no worker is still inside libcurl when that cleanup runs.
class Runtime {
public:
    static Runtime& Instance() {
        static Runtime runtime;
        return runtime;
    }

    struct Handle {
        CURL* curl = nullptr;
        // The socket of the connection kept for the same server, if any.
        curl_socket_t socket = CURL_SOCKET_BAD;
    };

    // An idle handle, preferably the last one used with `origin` (scheme, host and port), so
    // that its connection serves again; a new one when none is idle.
    Handle Take(const AnsiString& origin) {
        std::lock_guard lock(mutex_);
        for (auto idle = idle_.rbegin(); idle != idle_.rend(); ++idle) {
            if (idle->origin != origin) continue;
            Handle taken{idle->curl, idle->socket};
            idle_.erase(std::next(idle).base());
            return taken;
        }
        if (idle_.empty()) return Handle{curl_easy_init()};
        // The oldest: its connection is the least likely to be wanted again.
        Handle taken{idle_.front().curl};
        idle_.erase(idle_.begin());
        return taken;
    }

    // Takes back a handle whose transfer has ended.
    void Give(CURL* curl, const AnsiString& origin) {
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK) {
            socket = CURL_SOCKET_BAD;
        }
        // Drops the options that point into the ended transfer; the connection stays.
        curl_easy_reset(curl);
        CURL* surplus = nullptr;
        {
            std::lock_guard lock(mutex_);
            idle_.push_back({curl, origin, socket});
            if (idle_.size() > kMaxIdleHandles) {
                surplus = idle_.front().curl;
                idle_.erase(idle_.begin());
            }
        }
        // Closing may talk to the server (TLS); no other thread waits for that.
        if (surplus) curl_easy_cleanup(surplus);
    }

    CURLSH* Share() const { return share_; }

    void Adopt(std::shared_ptr<THTTPGetThread> orphan) {
        std::lock_guard lock(mutex_);
        std::erase_if(orphans_, [](const auto& transfer) {
            if (!transfer->Ended()) return false;
            transfer->Join();
            return true;
        });
        orphans_.push_back(std::move(orphan));
    }

    ~Runtime() {
        // The orphans give their handles back as they end.
        for (auto& orphan : orphans_) orphan->Join();
        for (const Idle& idle : idle_) curl_easy_cleanup(idle.curl);
        curl_share_cleanup(share_);
    }

private:
    Runtime() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        share_ = curl_share_init();
        curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Runtime::Lock);
        curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Runtime::Unlock);
        curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }

    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Runtime*>(self)->shareLocks_[data].lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Runtime*>(self)->shareLocks_[data].unlock();
    }

    struct Idle {
        CURL* curl;
        AnsiString origin;
        curl_socket_t socket;
    };

    CURLSH* share_ = nullptr;
    std::mutex shareLocks_[CURL_LOCK_DATA_LAST];
    std::mutex mutex_;  // guards idle_ and orphans_
    std::vector<Idle> idle_;
    std::vector<std::shared_ptr<THTTPGetThread>> orphans_;
};

}  // namespace

// An easy handle of the runtime's with everything the transfer makes it point to; the handle
// goes back to the runtime, with its connection, before what it pointed to is released.
struct THTTPGetThread::Easy {
    explicit Easy(AnsiString origin) : origin(std::move(origin)) {
        const Runtime::Handle taken = Runtime::Instance().Take(this->origin);
        handle = taken.curl;
        keptSocket = taken.socket;
    }
    ~Easy() {
        if (handle) Runtime::Instance().Give(handle, origin);
        curl_url_cleanup(url);
        curl_slist_free_all(headers);
    }
    Easy(const Easy&) = delete;
    Easy& operator=(const Easy&) = delete;

    const AnsiString origin;
    CURL* handle = nullptr;
    curl_socket_t keptSocket = CURL_SOCKET_BAD;
    CURLU* url = curl_url();
    curl_slist* headers = nullptr;
    char error[CURL_ERROR_SIZE] = {};  // libcurl's message for its last failure

    void AddHeader(const AnsiString& line) { headers = curl_slist_append(headers, line.c_str()); }
};

struct THTTPGetThread::Callbacks {
    static size_t Header(char* line, size_t size, size_t count, void* self) {
        static_cast<THTTPGetThread*>(self)->OnHeaderLine(AnsiString(line, size * count));
        return size * count;
    }
    static size_t Data(char* data, size_t size, size_t count, void* self) {
        bool ok = static_cast<THTTPGetThread*>(self)->OnBodyData(data, size * count);
        return ok ? size * count : CURL_WRITEFUNC_ERROR;
    }
    // Called for each connection libcurl opens, redirects included: the body comes on the last.
    // libcurl tells its socket only once the transfer is over.
    static int Socket(void* self, curl_socket_t socket, curlsocktype purpose) {
        if (purpose == CURLSOCKTYPE_IPCXN) {
            static_cast<THTTPGetThread*>(self)->socket_ = socket;
            ++connectionsOpened;
        }
        return CURL_SOCKOPT_OK;
    }
    // Called about once a second even while nothing arrives: the check point of the stop
    // request and of the slow-link limit during connecting and stalls.
    static int Tick(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
        auto* transfer = static_cast<THTTPGetThread*>(self);
        if (transfer->StopRequested()) return 1;
        if (!transfer->TooSlow(received)) return 0;
        transfer->tooSlow_ = true;
        return 1;
    }
};

THTTPGetThread::THTTPGetThread(Settings settings, THTTPGet* owner)
    : settings_(std::move(settings)), owner_(owner) {}

void THTTPGetThread::Start(std::function<void()> complete) {
    Runtime::Instance();
    complete_ = std::move(complete);
    // `this` outlives the thread: whoever joins it (the owner's completion or the reaper)
    // holds a reference until then.
    thread_ = std::thread([this] {
        Execute();
        progress_.Close();
        ended_.store(true);
        PostToOwner(complete_);
    });
}

void THTTPGetThread::Join() {
    if (thread_.joinable()) thread_.join();
}

void THTTPGetThread::Terminate() {
    stopRequested_.store(true);
    aborted_.store(true);
    progress_.DropWaitingCalls();
}

void THTTPGetThread::Detach() {
    {
        std::lock_guard lock(ownerMutex_);
        owner_ = nullptr;
    }
    stopRequested_.store(true);
    aborted_.store(true);
    progress_.Close();
    if (thread_.joinable()) Runtime::Instance().Adopt(shared_from_this());
}

void THTTPGetThread::PostToOwner(std::function<void()> call) {
    std::lock_guard lock(ownerMutex_);
    // Events posted to a QObject are discarded when it is destroyed, so a call that is still
    // queued when the owner goes away never runs.
    if (owner_) QMetaObject::invokeMethod(owner_, std::move(call), Qt::QueuedConnection);
}

void THTTPGetThread::DrainProgress() {
    auto deliver = [this](int64_t totalSize, int64_t readed) {
        // After Abort the transfer is over for the caller, so a call still waiting is dropped.
        if (StopRequested() || !owner_) return;
        RunEventHandler("OnProgress", [&] { settings_.OnProgress(owner_, totalSize, readed); });
    };
    if (progress_.Drain(deliver, kDrainBudget) == ProgressSlot::DrainEnd::CallWaiting) {
        PostToOwner([self = shared_from_this()] { self->DrainProgress(); });
    }
}

AnsiString THTTPGetThread::ErrorText() const {
    // Abort comes from the GUI thread and may overtake whatever the worker ran into.
    if (aborted_.load()) return AboutRequest(kAborted);
    return error_;
}

THTTPGet::Outcome THTTPGetThread::Outcome() const {
    if (aborted_.load()) return THTTPGet::Outcome::Aborted;
    if (error_.empty()) return Succeeded() ? THTTPGet::Outcome::Delivered : Other;
    return outcome_;
}

int64_t THTTPGetThread::ConnectionsOpened() {
    return connectionsOpened.load();
}

void THTTPGetThread::FailFile(const AnsiString& action, const AnsiString& path) {
    Fail("cannot " + action + " " + path + ": " + std::generic_category().message(errno));
}

void THTTPGetThread::Execute() {
    // Nothing may escape the worker: any error ends the transfer as failed.
    try {
        Run();
    } catch (const std::exception& error) {
        FailRequest(error.what());
    } catch (...) {
        FailRequest("unexpected error");
    }
    if (file_ && std::fclose(file_) != 0) FailFile("write", WrittenName());
    file_ = nullptr;
    // Useless to the next attempt: a copy that is not the file, or one made for this
    // transfer that got nothing.
    if (settings_.Resume && !succeeded_ && (ranPastLimit_ || (keptSize_ == 0 && readed_ == 0))) {
        DiscardPartialCopy();
    }
    if (kept_) std::fclose(std::exchange(kept_, nullptr));
}

void THTTPGetThread::Run() {
    const Location location = SplitUrl(settings_.URL);
    if (StopRequested()) return FailRequest(kAborted);
    if (settings_.ExpectedSize > settings_.MaxSize) {
        return FailRequest("the expected size of " + std::to_string(settings_.ExpectedSize) +
                           " bytes is above the limit of " + std::to_string(settings_.MaxSize));
    }
    bodyLimit_ = settings_.ExpectedSize >= 0 ? settings_.ExpectedSize : settings_.MaxSize;
    if (settings_.Resume) {
        PrepareResume();
        if (failed_) return;
    }
    Request(location);
    // A reply that shows the partial copy is not the file's start (asked for a rest that the
    // file does not have, or answered with a rest of another version) costs one more
    // request, for the whole file, within the same transfer: no refusal to continue a copy
    // ends a download.
    if (startOver_) {
        startOver_ = false;
        Request(location);
    }
}

void THTTPGetThread::Request(const Location& location) {
    const AnsiString scheme = location.secure ? "https://" : "http://";
    Easy easy(scheme + location.host);
    if (!easy.handle || !easy.url) return FailRequest("libcurl could not be set up");
    socket_ = easy.keptSocket;
    const AnsiString url = scheme + location.host + location.path;
    std::optional<CURLcode> result;  // none when the request could not be sent
    if (location.host.empty()) {
        Note(AboutRequest("no host name before the first \"/\""), Unreachable);
    } else if (curl_url_set(easy.url, CURLUPART_URL, url.c_str(), CURLU_ALLOW_SPACE) != CURLUE_OK) {
        Note(AboutRequest("not a usable URL"), Other);
    } else {
        CURL* curl = easy.handle;
        curl_easy_setopt(curl, CURLOPT_SHARE, Runtime::Instance().Share());
        // The handle keeps the connection of its last transfer only: the one the next
        // transfer for the same server can use, and the one whose socket it remembers.
        curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
        curl_easy_setopt(curl, CURLOPT_CURLU, easy.url);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        // A redirect may keep or raise the scheme, never lower it: what was asked over TLS
        // must not come back over a plain link.
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR,
                         location.secure ? "https" : "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBuffer);
        curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, easy.error);
        // Refuses an announced length above the limit before any of the body arrives; bodies
        // of unknown length are counted in OnBodyData.
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(settings_.MaxSize));
        if (settings_.StallTimeout > 0) {
            curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                             static_cast<long>(settings_.StallTimeout));
        }
        int connectTimeout = settings_.ConnectTimeout > 0 ? settings_.ConnectTimeout : 0;
        if (settings_.StallTimeout > 0 &&
            (connectTimeout == 0 || settings_.StallTimeout < connectTimeout)) {
            connectTimeout = settings_.StallTimeout;
        }
        if (connectTimeout > 0) {
            curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeout));
        }
        const TrustedAuthorities trust =
            TrustedAuthoritiesFor(settings_.CertificateAuthorityFile.empty()
                                      ? ""
                                      : platform::NativePath(settings_.CertificateAuthorityFile));
        if (!trust.file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, trust.file.c_str());
        if (!trust.folder.empty()) curl_easy_setopt(curl, CURLOPT_CAPATH, trust.folder.c_str());
        if (!settings_.Agent.empty()) {
            curl_easy_setopt(curl, CURLOPT_USERAGENT, settings_.Agent.c_str());
        }
        if (!settings_.Referer.empty()) {
            curl_easy_setopt(curl, CURLOPT_REFERER, settings_.Referer.c_str());
        }
        if (!settings_.UserName.empty() || !settings_.Password.empty()) {
            curl_easy_setopt(curl, CURLOPT_USERNAME, settings_.UserName.c_str());
            curl_easy_setopt(curl, CURLOPT_PASSWORD, settings_.Password.c_str());
        }
        // An empty value makes libcurl leave the header out.
        easy.AddHeader("Accept:" +
                       (settings_.AcceptTypes.empty() ? "" : " " + settings_.AcceptTypes));
        if (!settings_.UseCache) {
            // Both forms, so that HTTP/1.0 and HTTP/1.1 caches and proxies all pass the
            // request on to the server.
            easy.AddHeader("Cache-Control: no-cache");
            easy.AddHeader("Pragma: no-cache");
        }
        // HTTP/1.0 closes after each reply unless both sides agree to keep the connection.
        easy.AddHeader("Connection: keep-alive");
        if (resumeFrom_ > 0) {
            easy.AddHeader("Range: bytes=" + std::to_string(resumeFrom_) + "-");
            easy.AddHeader("If-Range: " + resumeValidator_);
        }
        if (!settings_.PostQuery.empty()) {
            easy.AddHeader("Content-Type: application/x-www-form-urlencoded");
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE,
                             static_cast<long>(settings_.PostQuery.size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, settings_.PostQuery.data());
        }
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, easy.headers);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Callbacks::Header);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Callbacks::Data);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, &Callbacks::Socket);
        curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, this);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Callbacks::Tick);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        slowSince_ = std::chrono::steady_clock::now();
        easy_ = &easy;
        result = curl_easy_perform(curl);
        easy_ = nullptr;
    }
    if (StopRequested()) return FailRequest(kAborted);
    if (failed_ || startOver_) return;
    // The last chunk may be short: the transfer ended before it filled up. It is reported
    // also when the transfer then fails, as every chunk that arrived is.
    if (settings_.OnProgress && readed_ > lastProgress_) waitingCalls_.push_back(readed_);
    if (!HandOffProgress() || !AwaitDelivery()) return;
    // An Abort in that last call still keeps the copy from becoming the file.
    if (StopRequested()) return FailRequest(kAborted);
    if (result && *result != CURLE_OK) {
        const AnsiString reason = *result == CURLE_FILESIZE_EXCEEDED ? TooLong()
                                  : tooSlow_                         ? TooSlowReason()
                                  : *result == CURLE_UNSUPPORTED_PROTOCOL && status_ / 100 == 3
                                      ? RefusedRedirect(EffectiveUrl(easy.handle))
                                  : easy.error[0] != '\0' ? AnsiString(easy.error)
                                                          : curl_easy_strerror(*result);
        // Whatever went wrong once a server had the request (a time-out, a reply cut off or
        // reset) leaves nothing worth delivering.
        long requestBytes = 0;
        curl_easy_getinfo(easy.handle, CURLINFO_REQUEST_SIZE, &requestBytes);
        const bool asked = responseSeen_ || requestBytes > 0;
        curl_off_t connectMicroseconds = 0;
        curl_easy_getinfo(easy.handle, CURLINFO_CONNECT_TIME_T, &connectMicroseconds);
        const THTTPGet::Outcome outcome =
            OutcomeOfCurlFailure(*result, tooSlow_, asked || connectMicroseconds > 0);
        if (asked) return FailRequest(reason, outcome == NoBody ? LinkFailure() : outcome);
        Note(AboutRequest(reason), outcome);
    }
    // No server reached at all is, by the component's oldest rule, a reply of unknown length
    // without a body.
    if (!bodyStarted_ && !StartBody()) return;
    if (settings_.ExpectedSize >= 0 && readed_ != settings_.ExpectedSize) {
        return FailRequest("the reply ended after " + std::to_string(readed_) +
                               " of the expected " + std::to_string(settings_.ExpectedSize) +
                               " bytes",
                           LinkFailure());
    }
    if (settings_.ToFile && totalSize_ != readed_) {
        if (!contentLength_ && !contentRange_) {
            return FailRequest("the reply does not announce its length");
        }
        return FailRequest("the reply fell short of its announced length", LinkFailure());
    }
    if (!settings_.ToFile && readed_ == 0) return FailRequest("the reply is empty");
    if (settings_.Resume && !PublishPartialCopy()) return;
    succeeded_ = true;
}

AnsiString THTTPGetThread::TooLong() const {
    if (settings_.ExpectedSize >= 0) {
        return "the reply is longer than the expected " + std::to_string(bodyLimit_) + " bytes";
    }
    return "the reply is longer than " + std::to_string(settings_.MaxSize) + " bytes";
}

bool THTTPGetThread::TooSlow(int64_t received) {
    if (settings_.SlowLimitBytes <= 0 || settings_.SlowLimitSeconds <= 0) return false;
    const auto now = std::chrono::steady_clock::now();
    if (received - slowMark_ >= settings_.SlowLimitBytes) {
        slowMark_ = received;
        slowSince_ = now;
        return false;
    }
    return now - slowSince_ >= std::chrono::seconds(settings_.SlowLimitSeconds);
}

AnsiString THTTPGetThread::RefusedRedirect(const AnsiString& target) const {
    const AnsiString why =
        StartsWithNoCase(replyUrl_, "https://") && StartsWithNoCase(target, "http://")
            ? "it would lower the scheme"
            : "only HTTP and HTTPS are followed";
    return "redirect from " + replyUrl_ + " to " + target + " refused: " + why;
}

AnsiString THTTPGetThread::TooSlowReason() const {
    return "the link is too slow: fewer than " + std::to_string(settings_.SlowLimitBytes) +
           " bytes arrived in " + std::to_string(settings_.SlowLimitSeconds) + " seconds";
}

AnsiString THTTPGetThread::InfoName() const {
    return partName_ + ".info";
}

AnsiString THTTPGetThread::WrittenName() const {
    return settings_.Resume ? partName_ : settings_.FileName;
}

void THTTPGetThread::PrepareResume() {
    partName_ = settings_.FileName + ".part";
    // A link at the final name would be replaced by the rename, where a plain GetFile refuses
    // it.
    if (platform::IsSymbolicLink(settings_.FileName)) {
        errno = ELOOP;
        return FailFile("write", settings_.FileName);
    }
    // Opened, or made, before the request: the one open serves whether the copy is continued
    // or started.
    kept_ = AtOwnName(partName_, [&] { return platform::OpenForContinuing(partName_); });
    if (!kept_) return FailFile("open", partName_);
    GiveBuffer(kept_);
    keptSize_ = platform::OpenFileSize(kept_).value_or(-1);
    // Nothing to continue, and so no information file to read.
    if (keptSize_ == 0 || !settings_.PostQuery.empty()) return;
    const std::optional<PartialInfo> info = ParsePartialInfo(ReadInfoFile());
    if (!info || info->url != settings_.URL || !MayContinueWith(info->validator)) return;
    // A copy that reaches the bound leaves no rest to ask for that could fit, and one beyond
    // it is not the file at all: neither is continued.
    if (keptSize_ >= bodyLimit_) return DiscardPartialCopy();
    if (keptSize_ < 0 || std::fseek(kept_, 0, SEEK_END) != 0) return;
    resumeFrom_ = keptSize_;
    resumeValidator_ = info->validator;
}

std::optional<std::string> THTTPGetThread::ReadInfoFile() {
    std::string text;
    // Never through a link: one to a pipe would hold the transfer up for good.
    const bool read = platform::ReadFileInPieces(
        InfoName(), [&](const char* data, size_t size) { text.append(data, size); });
    infoExists_ = read || errno != ENOENT;
    return read ? std::optional<std::string>(std::move(text)) : std::nullopt;
}

bool THTTPGetThread::MayContinueWith(const AnsiString& validator) const {
    // A weak validator (a Last-Modified date of one-second resolution) may stay the same
    // across two versions; only a check of the whole file afterwards makes up for that.
    return IsStrongEntityTag(validator) ||
           (!validator.empty() && settings_.ContinueOnWeakValidator);
}

bool THTTPGetThread::TakeUpRange(const std::optional<int64_t>& length) {
    // A server that goes by Range but not by If-Range sends the rest of the version it has
    // now; its validator tells, when it sends one.
    const AnsiString& now = IsStrongEntityTag(resumeValidator_) ? etag_ : lastModified_;
    if (!now.empty() && now != resumeValidator_) {
        StartOver();
        return false;
    }
    const std::optional<ByteRange> range = ParseContentRange(contentRange_.value_or(""));
    // Only the whole rest, from the first byte missing, continues the copy.
    if (!range || range->first != resumeFrom_ || range->last != range->total - 1 ||
        (length && *length != range->last - range->first + 1)) {
        DiscardPartialCopy();
        FailRequest("the server's range \"" + contentRange_.value_or("") +
                    "\" does not continue the partial copy from byte " +
                    std::to_string(resumeFrom_));
        return false;
    }
    totalSize_ = range->total;
    readed_ = lastProgress_ = resumeFrom_;
    return true;
}

void THTTPGetThread::StartOver() {
    DiscardPartialCopy();
    resumeFrom_ = 0;
    resumeValidator_.clear();
    responseSeen_ = bodyStarted_ = bodyArrived_ = false;
    status_ = 0;
    totalSize_ = 0;
    startOver_ = true;
}

bool THTTPGetThread::StartPartialCopy() {
    // The copy opened before the request serves as it is when empty; anything in it is not
    // this reply's.
    if (kept_ && keptSize_ == 0) {
        file_ = std::exchange(kept_, nullptr);
    } else {
        if (kept_) std::fclose(std::exchange(kept_, nullptr));
        file_ = AtOwnName(partName_, [&] { return platform::OpenForWriting(partName_); });
        if (!file_) {
            FailFile("create", partName_);
            return false;
        }
        GiveBuffer(file_);
    }
    // Written after the copy was emptied, and so never vouching for older bytes. A weak
    // entity tag is never sent in If-Range, where servers compare strongly; a date is the
    // better weak validator.
    const AnsiString validator = IsStrongEntityTag(etag_) ? etag_ : lastModified_;
    if (!validator.empty()) {
        const AnsiString info = FormatPartialInfo(settings_.URL, validator);
        infoExists_ =
            AtOwnName(InfoName(), [&] { return platform::OverwriteFile(InfoName(), info); });
        if (!infoExists_) FailFile("write", InfoName());
        return infoExists_;
    }
    // Without a validator of its own the copy cannot be continued, whatever an older
    // information file (which a crash may have left beside an empty copy) says.
    if (!platform::DeleteFile(InfoName()) && errno != ENOENT) {
        FailFile("remove", InfoName());
        return false;
    }
    infoExists_ = false;
    return true;
}

void THTTPGetThread::DiscardPartialCopy() {
    if (kept_) std::fclose(std::exchange(kept_, nullptr));
    platform::DeleteFile(InfoName());
    platform::DeleteFile(partName_);
    infoExists_ = false;
}

bool THTTPGetThread::PublishPartialCopy() {
    if (settings_.FlushWhenComplete && !platform::FlushOpenFile(file_)) {
        FailFile("flush", partName_);
        return false;
    }
    if (std::fclose(std::exchange(file_, nullptr)) != 0) {
        FailFile("write", partName_);
        return false;
    }
    if (!platform::RenameFile(partName_, settings_.FileName)) {
        FailFile("rename " + partName_ + " to", settings_.FileName);
        return false;
    }
    // A leftover only costs the next download of this name a fresh start.
    if (infoExists_) platform::DeleteFile(InfoName());
    return true;
}

bool THTTPGetThread::StartBody() {
    bodyStarted_ = true;
    // An error page is never content: it must not be installed over a program file or taken
    // as a version text.
    if (responseSeen_ && status_ >= 400) {
        // The copy does not fit the file: as long as the file, or longer, or another file.
        if (status_ == 416 && resumeFrom_ > 0) {
            StartOver();
            return false;
        }
        FailRequest("the server answered with HTTP status " + std::to_string(status_),
                    THTTPGet::Outcome::HttpStatus);
        return false;
    }
    // The empty target stands for an unreachable server only where callers know that rule.
    if (!responseSeen_ && (settings_.Resume || settings_.ExpectedSize >= 0)) {
        FailRequest("no server could be reached", Unreachable);
        return false;
    }
    std::optional<int64_t> length;
    if (responseSeen_ && contentLength_) {
        length = ParseContentLength(*contentLength_);
        if (!length) {
            FailRequest("the reply's Content-Length is not a byte count");
            return false;
        }
        totalSize_ = *length;
    } else if (settings_.BinaryData) {
        FailRequest("the reply does not announce its length");
        return false;
    }
    readed_ = 0;
    const bool resumed = resumeFrom_ > 0 && status_ == 206;
    if (status_ == 206 && !resumed) {
        FailRequest("the server sent part of the file where the whole was asked for");
        return false;
    }
    if (resumed && !TakeUpRange(length)) return false;
    if (settings_.ExpectedSize >= 0 && (length || resumed) &&
        totalSize_ != settings_.ExpectedSize) {
        FailRequest("the reply announces " + std::to_string(totalSize_) +
                    " bytes, not the expected " + std::to_string(settings_.ExpectedSize));
        return false;
    }
    if (!settings_.ToFile) {
        result_.clear();
        return true;
    }
    if (resumed) {
        file_ = kept_;
        kept_ = nullptr;
        return true;
    }
    if (settings_.Resume) return StartPartialCopy();
    file_ = platform::OpenForWriting(settings_.FileName);
    if (!file_) {
        FailFile("create", settings_.FileName);
        return false;
    }
    GiveBuffer(file_);
    return true;
}

void THTTPGetThread::GiveBuffer(std::FILE* file) {
    // Chunks are small; a large buffer turns them into few system calls. The C library
    // takes the size only with a buffer of the caller's, given before any other use.
    fileBuffer_ = std::make_unique<char[]>(kFileBuffer);
    std::setvbuf(file, fileBuffer_.get(), _IOFBF, kFileBuffer);
}

bool THTTPGetThread::Store(const char* data, size_t size) {
    if (!settings_.ToFile) {
        result_.append(data, size);
        return true;
    }
    if (std::fwrite(data, 1, size, file_) == size) return true;
    FailFile("write", WrittenName());
    return false;
}

bool THTTPGetThread::MoreDataComing() const {
    // A body whose announced length is in has nothing more to come.
    if ((contentLength_ || contentRange_) && readed_ == totalSize_) return false;
    if (socket_ == platform::kInvalidSocket) return false;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        gatherUntil_ - std::chrono::steady_clock::now());
    return platform::WaitReadable(socket_, std::max(left, std::chrono::microseconds(0)));
}

bool THTTPGetThread::HandOffProgress() {
    // The calls handed off before may still be running: the new ones go in behind them. Only
    // now does the worker wait for the GUI thread, having received and stored the bytes of
    // these calls while it ran the earlier ones.
    if (!AwaitDelivery()) return false;
    handedCalls_.swap(waitingCalls_);
    waitingCalls_.clear();
    auto wakeGui = [this] { PostToOwner([self = shared_from_this()] { self->DrainProgress(); }); };
    if (handedCalls_.empty() || progress_.Put(totalSize_, handedCalls_, wakeGui)) return true;
    FailRequest(kAborted);
    return false;
}

bool THTTPGetThread::AwaitDelivery() {
    if (handedCalls_.empty()) return true;
    // The time the GUI thread takes is not the link's: the slow-link span waits meanwhile.
    const auto start = std::chrono::steady_clock::now();
    const bool open = progress_.AwaitDelivery();
    slowSince_ += std::chrono::steady_clock::now() - start;
    handedCalls_.clear();
    if (!open) FailRequest(kAborted);
    return open;
}

void THTTPGetThread::OnHeaderLine(const AnsiString& line) {
    // Every response of a redirect chain starts afresh; the last one is the reply.
    if (line.rfind("HTTP/", 0) == 0) {
        responseSeen_ = true;
        replyUrl_ = EffectiveUrl(easy_->handle);
        size_t code = line.find(' ');
        status_ = code == AnsiString::npos ? 0 : std::strtol(line.c_str() + code, nullptr, 10);
        contentLength_.reset();
        contentRange_.reset();
        etag_.clear();
        lastModified_.clear();
    } else if (StartsWithNoCase(line, "content-length:") && !contentLength_) {
        contentLength_ = line.substr(15);
    } else if (StartsWithNoCase(line, "content-range:") && !contentRange_) {
        contentRange_ = HeaderValue(line, 14);
    } else if (StartsWithNoCase(line, "etag:") && etag_.empty()) {
        etag_ = HeaderValue(line, 5);
    } else if (StartsWithNoCase(line, "last-modified:") && lastModified_.empty()) {
        lastModified_ = HeaderValue(line, 14);
    }
}

bool THTTPGetThread::OnBodyData(const char* data, size_t size) {
    if (StopRequested()) return false;
    bodyArrived_ = true;
    if (!bodyStarted_ && !StartBody()) return false;
    // What goes past the limit is not kept: the reply is cut off here.
    if (size > static_cast<uint64_t>(bodyLimit_ - readed_)) {
        ranPastLimit_ = true;
        FailRequest(TooLong());
        return false;
    }
    readed_ += static_cast<int64_t>(size);
    if (!Store(data, size)) return false;
    const bool gathering = !waitingCalls_.empty();
    // One progress call for every whole chunk completed by these bytes.
    for (int64_t next = lastProgress_ + kChunkSize; next <= readed_; next += kChunkSize) {
        lastProgress_ = next;
        if (settings_.OnProgress) waitingCalls_.push_back(lastProgress_);
    }
    if (!gathering && !waitingCalls_.empty()) {
        gatherUntil_ = std::chrono::steady_clock::now() + kGatherTime;
    }
    if (waitingCalls_.empty() || (waitingCalls_.size() < kMaxCallsPerHandOff && MoreDataComing())) {
        return true;
    }
    return HandOffProgress();
}
