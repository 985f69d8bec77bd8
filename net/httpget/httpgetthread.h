// THTTPGetThread: one transfer of THTTPGet, run over libcurl on a worker thread of its own.
//
// Shared between the component (GUI thread) and the worker thread. The worker reads only the
// settings copied at creation and writes the result fields; the GUI thread reads the results
// only in the completion, which the worker posts as its last act. Between the two, only the
// stop request, the abort mark and the progress slot are touched by both sides.
#pragma once

#include <QObject>
#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "net/httpget/httpget.h"
#include "net/httpget/progressslot.h"
#include "net/httpget/spliturl.h"
#include "platform/socket.h"

// Runs an event handler of the component. Exceptions must not cross Qt's event loop, so one
// that escapes the handler is reported as a warning and the transfer goes on.
template <typename Handler>
void RunEventHandler(const char* event, const Handler& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        qWarning("THTTPGet %s handler failed: %s", event, error.what());
    }
}

class THTTPGetThread : public std::enable_shared_from_this<THTTPGetThread> {
public:
    // The component's settings as they were when the transfer started.
    struct Settings {
        AnsiString AcceptTypes, Agent, URL, FileName, UserName, Password, PostQuery, Referer;
        AnsiString CertificateAuthorityFile;
        bool BinaryData = false;
        bool UseCache = false;
        bool ToFile = false;
        int StallTimeout = 0;
        int ConnectTimeout = 0;
        int SlowLimitBytes = 0;
        int SlowLimitSeconds = 0;
        int64_t MaxSize = 0;  // the most body bytes, at least 1
        int64_t ExpectedSize = -1;
        bool Resume = false;  // set only for GetFile
        bool ContinueOnWeakValidator = false;
        bool FlushWhenComplete = true;
        TOnProgressEvent OnProgress;
    };

    // `owner` receives the progress calls and the completion; see Detach.
    THTTPGetThread(Settings settings, THTTPGet* owner);
    THTTPGetThread(const THTTPGetThread&) = delete;
    THTTPGetThread& operator=(const THTTPGetThread&) = delete;

    // GUI thread. Starts the worker thread. `complete` is posted to the owner when the run has
    // ended; the thread itself is joined by Join, or adopted by a reaper on Detach.
    void Start(std::function<void()> complete);
    void Join();

    // GUI thread. The stop request: the worker ends at its next check point and the transfer
    // is reported as failed.
    void Terminate();

    // GUI thread. The owner is going away: stops the worker, posts nothing more to the owner,
    // and hands the still running thread to a reaper that joins it before the program ends.
    void Detach();

    // GUI thread. Runs the progress calls that are waiting or arrive while this call lasts;
    // see ProgressSlot::Drain. Arranges another drain itself when a call is left waiting.
    void DrainProgress();

    // Any thread. True once the worker's run is over (the thread may still be finishing).
    bool Ended() const { return ended_.load(); }

    // GUI thread, in the completion.
    bool Succeeded() const { return succeeded_ && !failed_ && !aborted_.load(); }
    bool ToFile() const { return settings_.ToFile; }
    const AnsiString& FileName() const { return settings_.FileName; }
    int64_t TotalSize() const { return totalSize_; }
    const AnsiString& Result() const { return result_; }
    // Why the transfer failed; empty when it succeeded. Also set when an unreachable server
    // still ends in success with size 0.
    AnsiString ErrorText() const;
    THTTPGet::Outcome Outcome() const;
    // The status of the last reply received; 0 when none was.
    int Status() const { return responseSeen_ ? static_cast<int>(status_) : 0; }

    // Any thread. Connections opened by all transfers of the process.
    static int64_t ConnectionsOpened();

    // GUI thread. True once the completion handler has returned; the owner is idle again.
    bool Delivered() const { return delivered_; }
    void MarkDelivered() { delivered_ = true; }

private:
    struct Easy;       // the libcurl handle and its request headers
    struct Callbacks;  // libcurl's entry points into the transfer
    friend struct Callbacks;

    // Worker thread.
    void Execute();
    void Run();
    // Makes one request and takes its reply.
    void Request(const Location& location);
    bool StartBody();
    // Opens the partial copy to continue it; sets resumeFrom_ when there is something to ask
    // the rest of.
    void PrepareResume();
    // What the information file beside the partial copy holds; records whether anything is
    // there.
    std::optional<std::string> ReadInfoFile();
    // Whether a partial copy made under `validator` may be continued.
    bool MayContinueWith(const AnsiString& validator) const;
    // A 206 reply to the asked rest: takes its Content-Range as the counts to go on from.
    bool TakeUpRange(const std::optional<int64_t>& length);
    // Empties the partial copy for the whole body and records the reply's validator.
    bool StartPartialCopy();
    // The partial copy is useless: the next attempt starts over.
    void DiscardPartialCopy();
    // The partial copy is useless and this transfer asks again for the whole file.
    void StartOver();
    // Moves the complete partial copy to FileName; false (with the reason) when it cannot.
    bool PublishPartialCopy();
    // The reason given when the body goes past MaxSize or ExpectedSize.
    AnsiString TooLong() const;
    AnsiString TooSlowReason() const;
    // Why the redirect from the last reply to `target` was not followed.
    AnsiString RefusedRedirect(const AnsiString& target) const;
    // The information file beside the partial copy.
    AnsiString InfoName() const;
    // Where the body is being written: the partial copy or FileName.
    AnsiString WrittenName() const;
    void GiveBuffer(std::FILE* file);
    // Worker thread, from libcurl's ticks: true when the slow-link limit has been reached.
    bool TooSlow(int64_t received);
    bool Store(const char* data, size_t size);
    // Hands the progress calls gathered so far to the GUI thread, once it has run the ones
    // handed off before. False when the transfer was aborted meanwhile.
    bool HandOffProgress();
    // Waits until the GUI thread has run the calls handed off; false when aborted.
    bool AwaitDelivery();
    // True when more of the body can be read before the gathered calls' time is up.
    bool MoreDataComing() const;
    // Records why the run failed and how; the first reason is kept, since later ones follow
    // from it.
    void Fail(const AnsiString& reason, THTTPGet::Outcome outcome = THTTPGet::Outcome::Other) {
        Note(reason, outcome);
        failed_ = true;
    }
    // Records a reason without failing the run.
    void Note(const AnsiString& reason, THTTPGet::Outcome outcome) {
        if (!error_.empty()) return;
        error_ = reason;
        outcome_ = outcome;
    }
    // A reason that concerns the request, named with its URL.
    AnsiString AboutRequest(const AnsiString& reason) const {
        return settings_.URL + ": " + reason;
    }
    void FailRequest(const AnsiString& reason,
                     THTTPGet::Outcome outcome = THTTPGet::Outcome::Other) {
        Fail(AboutRequest(reason), outcome);
    }
    // The link failed: how that is classed depends on how far the reply had come.
    THTTPGet::Outcome LinkFailure() const {
        return bodyArrived_ ? THTTPGet::Outcome::Other : THTTPGet::Outcome::NoBody;
    }
    // A failure of a file, named with the file and the system's error text.
    void FailFile(const AnsiString& action, const AnsiString& path);
    bool StopRequested() const { return stopRequested_.load(std::memory_order_relaxed); }
    void PostToOwner(std::function<void()> call);

    void OnHeaderLine(const AnsiString& line);
    bool OnBodyData(const char* data, size_t size);

    const Settings settings_;

    // Guards owner_ against Detach while the worker posts to it; the GUI thread may read it
    // without the lock because only the GUI thread writes it.
    std::mutex ownerMutex_;
    THTTPGet* owner_;
    std::thread thread_;
    std::function<void()> complete_;

    std::atomic<bool> ended_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> aborted_{false};
    ProgressSlot progress_;

    // Written by the worker, read by the GUI thread in the completion.
    bool failed_ = false;                                   // an error ended the run
    AnsiString error_;                                      // why it failed
    THTTPGet::Outcome outcome_ = THTTPGet::Outcome::Other;  // how, with error_
    bool succeeded_ = false;  // the outcome rule held at the end of the run
    int64_t totalSize_ = 0;
    int64_t readed_ = 0;
    AnsiString result_;

    // The worker's view of the response.
    Easy* easy_ = nullptr;                   // the handle while the request runs
    int socket_ = platform::kInvalidSocket;  // the connection the response comes on
    int64_t bodyLimit_ = 0;                  // the most body bytes: MaxSize or ExpectedSize
    bool responseSeen_ = false;              // a status line arrived
    long status_ = 0;
    std::optional<AnsiString> contentLength_;
    std::optional<AnsiString> contentRange_;
    AnsiString etag_, lastModified_;
    AnsiString replyUrl_;  // the URL that the last reply came from
    bool bodyStarted_ = false;
    bool bodyArrived_ = false;  // a byte of the reply's body came
    // Resuming: the partial copy's name, the copy opened before the request and its size then
    // (-1: unknown), whether an information file may be beside it, where the asked rest starts
    // (0: nothing asked) and the validator it was asked with.
    AnsiString partName_;
    std::FILE* kept_ = nullptr;
    int64_t keptSize_ = -1;
    bool infoExists_ = false;
    int64_t resumeFrom_ = 0;
    AnsiString resumeValidator_;
    bool startOver_ = false;  // the request ended to be made again without a range
    // The slow-link limit: bytes received when the current span began, and when it began.
    int64_t slowMark_ = 0;
    std::chrono::steady_clock::time_point slowSince_;
    bool tooSlow_ = false;
    // The body ran past its limit: what it left is not part of the file, so no later transfer
    // may continue it.
    bool ranPastLimit_ = false;
    std::FILE* file_ = nullptr;
    std::unique_ptr<char[]> fileBuffer_;  // file_'s buffer, given to it until it is closed
    int64_t lastProgress_ = 0;            // Readed of the last chunk given a progress call
    // Readed of each chunk whose call the GUI thread may still be running (owned by progress_
    // until AwaitDelivery), and of each completed since.
    std::vector<int64_t> handedCalls_, waitingCalls_;
    // Until then the calls in waitingCalls_ wait for more data to join their hand-off.
    std::chrono::steady_clock::time_point gatherUntil_;

    bool delivered_ = false;  // GUI thread only
};
