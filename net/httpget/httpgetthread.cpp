#include "net/httpget/httpgetthread.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <system_error>
#include <vector>

#include "net/httpget/spliturl.h"
#include "net/trust.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/socket.h"

namespace {

// Bytes per chunk, and so per progress call: the read size the component has always used.
constexpr size_t kChunkSize = 1025;
// How long one drain may keep the GUI thread before it returns to its other events: about one
// frame, so the window stays responsive however fast the data comes.
constexpr std::chrono::microseconds kDrainBudget(16000);
// Bytes libcurl receives per read; large reads keep system calls rare at full speed.
constexpr long kReceiveBuffer = 256 * 1024;
constexpr size_t kFileBuffer = 1024 * 1024;
constexpr long kMaxRedirects = 10;
// At most this many progress calls wait for one hand-off to the GUI thread (about 1 MB).
constexpr size_t kMaxCallsPerHandOff = 1024;
// How long progress calls may wait for more data to join their hand-off. Data comes in bursts
// a few microseconds apart; waiting for the next burst makes one hand-off serve many, where
// every hand-off costs both threads a wake-up. Far below a frame, so no one sees the delay.
constexpr std::chrono::microseconds kGatherTime(1000);

constexpr char kAborted[] = "the transfer was aborted";

bool StartsWithNoCase(const AnsiString& text, const char* prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
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

// A Content-Length value as the transfer counts bytes: decimal digits only, within the range
// of a signed 32-bit count.
std::optional<int> ParseContentLength(const AnsiString& text) {
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t\r\n");
    if (first == AnsiString::npos) return std::nullopt;
    long long value = 0;
    for (size_t i = first; i <= last; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) return std::nullopt;
    }
    return static_cast<int>(value);
}

// libcurl's process-wide state, and the threads of transfers whose component was destroyed
// while they ran. Those threads are told to stop and usually end within a second; the reaper
// joins the ones that have ended whenever it adopts another, and all of them when the program
// ends. It is created after curl_global_init has registered the TLS library's exit cleanup,
// so it is destroyed first and no worker is still inside libcurl when that cleanup runs.
class Runtime {
public:
    static Runtime& Instance() {
        static Runtime runtime;
        return runtime;
    }

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
        for (auto& orphan : orphans_) orphan->Join();
    }

private:
    Runtime() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    std::mutex mutex_;
    std::vector<std::shared_ptr<THTTPGetThread>> orphans_;
};

}  // namespace

// The easy handle with everything it points to, released together.
struct THTTPGetThread::Easy {
    CURL* handle = curl_easy_init();
    CURLU* url = curl_url();
    curl_slist* headers = nullptr;
    char error[CURL_ERROR_SIZE] = {};  // libcurl's message for its last failure

    ~Easy() {
        curl_easy_cleanup(handle);
        curl_url_cleanup(url);
        curl_slist_free_all(headers);
    }
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
        if (purpose == CURLSOCKTYPE_IPCXN) static_cast<THTTPGetThread*>(self)->socket_ = socket;
        return CURL_SOCKOPT_OK;
    }
    // Called about once a second even while nothing arrives: the stop request's check point
    // during connecting and stalls.
    static int Tick(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<THTTPGetThread*>(self)->StopRequested() ? 1 : 0;
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
    auto deliver = [this](int totalSize, int readed) {
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

void THTTPGetThread::FailFile(const char* action) {
    Fail("cannot " + AnsiString(action) + " " + settings_.FileName + ": " +
         std::generic_category().message(errno));
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
    if (file_ && std::fclose(file_) != 0) FailFile("write");
    file_ = nullptr;
}

void THTTPGetThread::Run() {
    const Location location = SplitUrl(settings_.URL);
    if (StopRequested()) return FailRequest(kAborted);

    Easy easy;
    if (!easy.handle || !easy.url) return FailRequest("libcurl could not be set up");
    const AnsiString url =
        (location.secure ? "https://" : "http://") + location.host + location.path;
    std::optional<CURLcode> result;  // none when the request could not be sent
    if (location.host.empty()) {
        Note(AboutRequest("no host name before the first \"/\""));
    } else if (curl_url_set(easy.url, CURLUPART_URL, url.c_str(), CURLU_ALLOW_SPACE) != CURLUE_OK) {
        Note(AboutRequest("not a usable URL"));
    } else {
        CURL* curl = easy.handle;
        curl_easy_setopt(curl, CURLOPT_CURLU, easy.url);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
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
            curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT,
                             static_cast<long>(settings_.StallTimeout));
            curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                             static_cast<long>(settings_.StallTimeout));
        }
        const TrustedAuthorities trust = TrustedAuthoritiesFor(
            settings_.CertificateAuthorityFile.empty()
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
        result = curl_easy_perform(curl);
    }
    if (StopRequested()) return FailRequest(kAborted);
    if (failed_) return;
    // The last chunk may be short: the transfer ended before it filled up. It is reported
    // also when the transfer then fails, as every chunk that arrived is.
    if (settings_.OnProgress && readed_ > lastProgress_) progressCalls_.push_back(readed_);
    if (!DeliverProgress([] { return true; })) return;
    if (result && *result != CURLE_OK) {
        const AnsiString reason = *result == CURLE_FILESIZE_EXCEEDED ? TooLong()
                                  : easy.error[0] != '\0'            ? AnsiString(easy.error)
                                                                     : curl_easy_strerror(*result);
        // Whatever went wrong once a server had the request (a time-out, a reply cut off or
        // reset) leaves nothing worth delivering.
        long requestBytes = 0;
        curl_easy_getinfo(easy.handle, CURLINFO_REQUEST_SIZE, &requestBytes);
        if (responseSeen_ || requestBytes > 0) return FailRequest(reason);
        Note(AboutRequest(reason));
    }
    // No server reached at all is, by the component's oldest rule, a reply of unknown length
    // without a body.
    if (!bodyStarted_ && !StartBody()) return;
    if (settings_.ToFile && totalSize_ != readed_) {
        return FailRequest(contentLength_ ? "the reply fell short of its announced length"
                                          : "the reply does not announce its length");
    }
    if (!settings_.ToFile && readed_ == 0) return FailRequest("the reply is empty");
    succeeded_ = true;
}

AnsiString THTTPGetThread::TooLong() const {
    return "the reply is longer than " + std::to_string(settings_.MaxSize) + " bytes";
}

bool THTTPGetThread::StartBody() {
    bodyStarted_ = true;
    // An error page is never content: it must not be installed over a program file or taken
    // as a version text.
    if (responseSeen_ && status_ >= 400) {
        FailRequest("the server answered with HTTP status " + std::to_string(status_));
        return false;
    }
    if (responseSeen_ && contentLength_) {
        std::optional<int> length = ParseContentLength(*contentLength_);
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
    if (settings_.ToFile) {
        file_ = platform::OpenForWriting(settings_.FileName);
        if (!file_) {
            FailFile("create");
            return false;
        }
        // Chunks are small; a large buffer turns them into few system calls. The C library
        // takes the size only with a buffer of the caller's.
        fileBuffer_ = std::make_unique<char[]>(kFileBuffer);
        std::setvbuf(file_, fileBuffer_.get(), _IOFBF, kFileBuffer);
    } else {
        result_.clear();
    }
    return true;
}

bool THTTPGetThread::Store(const char* data, size_t size) {
    if (!settings_.ToFile) {
        result_.append(data, size);
        return true;
    }
    if (std::fwrite(data, 1, size, file_) == size) return true;
    FailFile("write");
    return false;
}

bool THTTPGetThread::MoreDataComing() const {
    // A body whose announced length is in has nothing more to come.
    if (contentLength_ && readed_ == totalSize_) return false;
    if (socket_ == platform::kInvalidSocket) return false;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        gatherUntil_ - std::chrono::steady_clock::now());
    return platform::WaitReadable(socket_, std::max(left, std::chrono::microseconds(0)));
}

bool THTTPGetThread::DeliverProgress(const std::function<bool()>& meanwhile) {
    if (progressCalls_.empty()) return meanwhile();
    auto wakeGui = [this] { PostToOwner([self = shared_from_this()] { self->DrainProgress(); }); };
    bool open = progress_.Put(totalSize_, progressCalls_, wakeGui);
    // The GUI thread runs the calls while this thread does its own part; the transfer goes on
    // only after both are done.
    bool done = meanwhile();
    open = open && progress_.AwaitDelivery();
    progressCalls_.clear();
    if (!open) FailRequest(kAborted);
    return open && done;
}

void THTTPGetThread::OnHeaderLine(const AnsiString& line) {
    // Every response of a redirect chain starts afresh; the last one is the reply.
    if (line.rfind("HTTP/", 0) == 0) {
        responseSeen_ = true;
        size_t code = line.find(' ');
        status_ = code == AnsiString::npos ? 0 : std::strtol(line.c_str() + code, nullptr, 10);
        contentLength_.reset();
    } else if (StartsWithNoCase(line, "content-length:") && !contentLength_) {
        contentLength_ = line.substr(15);
    }
}

bool THTTPGetThread::OnBodyData(const char* data, size_t size) {
    if (StopRequested()) return false;
    if (!bodyStarted_ && !StartBody()) return false;
    // What goes past the limit is not kept: the reply is cut off here.
    if (size > static_cast<size_t>(settings_.MaxSize - readed_)) {
        FailRequest(TooLong());
        return false;
    }
    readed_ += static_cast<int>(size);
    const bool gathering = !progressCalls_.empty();
    // One progress call for every whole chunk completed by these bytes.
    for (long long next = lastProgress_ + kChunkSize; next <= readed_; next += kChunkSize) {
        lastProgress_ = static_cast<int>(next);
        if (settings_.OnProgress) progressCalls_.push_back(lastProgress_);
    }
    if (!gathering && !progressCalls_.empty()) {
        gatherUntil_ = std::chrono::steady_clock::now() + kGatherTime;
    }
    auto store = [&] { return Store(data, size); };
    if (progressCalls_.empty() ||
        (progressCalls_.size() < kMaxCallsPerHandOff && MoreDataComing())) {
        return store();
    }
    return DeliverProgress(store);
}
