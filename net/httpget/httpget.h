// THTTPGet: fetches one URL over HTTP or HTTPS into a file (GetFile) or a string (GetString)
// on a worker thread of its own, and reports progress, success and failure as events.
//
// Threads: create, configure, start, abort and destroy the component on the GUI thread (a
// QCoreApplication must exist). Every event runs on the GUI thread with the component as
// sender. While the GUI thread runs progress calls the worker goes on receiving, up to about two
// megabytes beyond the last call that has run, then waits: a handler slower than the link slows
// the transfer.
//
// One transfer at a time: while one runs the component is busy and GetFile/GetString do
// nothing at all, also when called from its own completion handler (the component becomes idle
// only after that handler has returned). A transfer works with copies of the settings and of
// OnProgress taken when it starts; OnDoneFile, OnDoneString and OnError are read when the
// completion is delivered.
//
// Outcome, reported by exactly one completion event:
// - A reply with status 400 or more fails, whatever its body.
// - A transfer that does not end cleanly delivers nothing and fails: a time-out, a connection
//   closed before the announced length arrived, a reset, a reply longer than MaxSize.
// - GetFile succeeds exactly when the reply announced a Content-Length and that many bytes
//   arrived; OnDoneFile then gets FileName and the length. The one exception: when no server
//   could be reached at all (no host in the URL, a name that does not resolve, a connection
//   refused or not made within StallTimeout) and BinaryData is false, the target is created
//   empty and OnDoneFile reports FileSize 0; callers treat 0 as a failed download.
// - GetString succeeds when at least one byte arrived; OnDoneString gets the bytes unchanged.
// - With BinaryData true a reply without Content-Length fails before anything is written.
// - The GetFile target is created (or truncated) once the reply's head has been accepted; a
//   failure after that leaves an empty or partial file. A symbolic link at FileName is never
//   followed: the transfer fails and what the link points to stays untouched.
// - A Content-Length that is not a decimal count of at most 2^63 - 1 fails the transfer.
// - ExpectedSize and Resume (below) narrow these rules; neither is set by the form layout.
//
// Connections: a transfer leaves its connection open for the next transfer of any THTTPGet of
// the process to the same server, as long as the server keeps it (HTTP/1.0 requests ask for it
// with "Connection: keep-alive"; a server that answers without it, or closes, gets a new
// connection next time). Each connection serves one transfer at a time, so concurrent
// transfers use one connection each; TLS sessions and host lookups are shared by all.
// Requests are the same as without kept connections: one per transfer, in order.
//
// URL: "http://" or "https://" (any letter case) or no scheme; then host, an optional ":port",
// and the path from the first "/" on. Without a "/" after the host there is no host and the
// request fails. HTTPS verifies the server's certificate. Redirects are followed (at most 10)
// to http:// and https:// URLs, but from an https:// URL only to https://: a redirect never
// lowers the scheme. Any other redirect fails the transfer, with both URLs in LastError. The
// standard proxy environment variables (http_proxy, https_proxy, no_proxy) are honoured.
//
// Destroying the component while a transfer runs stops the worker; no event is delivered
// afterwards, and the worker's thread and memory are released when it has ended.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/component.h"
#include "platform/text.h"

class THTTPGetThread;

// TotalSize: the reply's Content-Length, 0 when it announced none. Readed: the bytes received
// so far, this chunk included.
using TOnProgressEvent = std::function<void(QObject* Sender, int64_t TotalSize, int64_t Readed)>;
using TOnDoneFileEvent =
    std::function<void(QObject* Sender, const AnsiString& FileName, int64_t FileSize)>;
using TOnDoneStringEvent = std::function<void(QObject* Sender, const AnsiString& Result)>;

class THTTPGet : public QObject {
    Q_OBJECT
public:
    explicit THTTPGet(QObject* Owner = nullptr);
    // Aborts a running transfer and detaches from it.
    ~THTTPGet() override;

    AnsiString AcceptTypes = "*/*";         // the Accept header; empty sends none
    AnsiString Agent = "Corvilex HTTPGet";  // the User-Agent header; empty sends none
    // True: a reply whose length is not announced fails.
    bool BinaryData = false;
    AnsiString URL;
    // False: the request carries "Cache-Control: no-cache" and "Pragma: no-cache", so caches
    // and proxies fetch a fresh copy.
    bool UseCache = false;
    // GetFile's target, code-page text; backslashes are taken as folder separators.
    AnsiString FileName;
    AnsiString UserName;  // with Password: basic authentication, when either is set
    AnsiString Password;
    // Non-empty: the request is a POST of these bytes as an
    // "application/x-www-form-urlencoded" body.
    AnsiString PostQuery;
    AnsiString Referer;  // the Referer header; empty sends none
    // True: GetFile returns only after the transfer has ended and its completion handler has
    // returned, dispatching the GUI thread's events meanwhile (progress and any other events
    // run inside GetFile); GetString dispatches the events already pending and returns.
    bool WaitThread = false;

    // Not part of the form layout. A PEM file of the certificate authorities that HTTPS trusts
    // instead of the system's; empty (the product's setting) trusts the system's. For tests
    // against a local TLS server.
    AnsiString CertificateAuthorityFile;
    // Seconds a transfer may go without receiving anything (connecting, waiting for the reply,
    // or between bytes) before it fails; 0 waits for ever. A trickle slower than one byte a
    // second counts as nothing, so it ends about as soon as silence would.
    int StallTimeout = 60;
    // Seconds a connection may take to be made (TCP, and the TLS handshake for HTTPS); the
    // lower of this and StallTimeout applies, 0 in both leaves it to libcurl (300 s).
    int ConnectTimeout = 30;
    // A slow link ends: the transfer fails when SlowLimitSeconds pass without SlowLimitBytes
    // arriving, counted from its start and again from each time they did. Connecting and
    // waiting for the reply count; time spent in OnProgress does not. 0 in either turns it off.
    int SlowLimitBytes = 1024;
    int SlowLimitSeconds = 60;
    // The most bytes a reply's body may hold; 0 (or less) sets no limit of its own, which is
    // then 2^63 - 1, the largest count the events can report. A reply that announces a longer
    // Content-Length fails before anything is written; a body that runs past the limit is cut
    // off at once and fails, so memory and the target file never hold more than MaxSize bytes.
    int64_t MaxSize = 0;
    // The exact size of the body (of the whole file, when resumed); -1: unknown. When set, a
    // reply announcing another length fails before anything is written, a body that runs past
    // it is cut off there and fails, and one that ends short fails. A size above MaxSize fails
    // before the request is sent. An unreachable server then fails as well (no empty target).
    int64_t ExpectedSize = -1;
    // GetFile only. The body goes to "<FileName>.part", with "<FileName>.part.info" holding
    // the URL and the reply's validator (a strong ETag, else its Last-Modified); FileName
    // itself is untouched until the whole body is in, then the partial copy is flushed to disk
    // (see FlushWhenComplete) and renamed over it and the information file removed.
    // A later GetFile for the same FileName and URL continues a partial copy only when its
    // validator is a strong ETag, or any validator with ContinueOnWeakValidator: it asks for
    // the rest ("Range: bytes=N-" with "If-Range: <validator>") and appends it when the server
    // answers 206 from byte N with the same validator (or none). Otherwise the copy starts
    // over: no validator, another URL, a weak one, or a copy that already reaches ExpectedSize
    // (or MaxSize) and so leaves no rest that could fit; a copy beyond that bound is deleted.
    // A 200 (the file changed, or the server ignores ranges) starts the copy over. A 416, or a
    // 206 with another validator (a server that ignores If-Range), discards the copy and asks
    // once more, for the whole file, within the same transfer. A 206 from another byte fails
    // and discards the copy, as does a body that runs past its limit (it is not the file). Any
    // other failure, and Abort, keeps the partial copy for the next attempt.
    // A symbolic link at FileName is refused, never followed; one at either of the other two
    // names (the component's own) is removed, never followed, and the copy starts over.
    // Progress and OnDoneFile count the whole file, the part kept from before included. An
    // unreachable server fails (no empty target). A POST never resumes.
    bool Resume = false;
    // With Resume: a partial copy made under a weak validator (a Last-Modified date, which may
    // stay the same across two versions made within a second) may be continued too. Set it
    // only when the whole file is checked afterwards (against a digest): a server that ignores
    // If-Range could otherwise join two versions unnoticed.
    bool ContinueOnWeakValidator = false;
    // With Resume: true makes the complete copy durable (its data flushed to the disk) before
    // it is renamed to FileName. False renames it without flushing, for a caller that makes
    // many arrived files durable at once (one flush of the file system, then one record of
    // them): when OnDoneFile runs, the file is complete but a power cut may still take it,
    // until that caller has flushed. Either way the folder that holds the rename is not
    // flushed here.
    bool FlushWhenComplete = true;

    TNotifyEvent OnError;         // the transfer failed or was aborted
    TOnProgressEvent OnProgress;  // a chunk of at most 1,025 bytes arrived
    TOnDoneFileEvent OnDoneFile;
    TOnDoneStringEvent OnDoneString;

    void GetFile();
    void GetString();
    // Asks a running transfer to stop; its completion reports OnError and no further progress
    // call is made. Does nothing when idle.
    void Abort();

    // True from the start of a transfer until its completion handler has returned.
    bool Busy() const { return running_ != nullptr; }

    // Any thread. The connections (to servers or proxies) that all THTTPGet transfers of the
    // process have opened so far; a transfer on a kept connection adds none.
    static int64_t ConnectionsOpened();

    // Why the last completed transfer failed, readable and with its context: the URL and
    // libcurl's message (host, port, time-out), the HTTP status, the size limit, or the file
    // and the system's error text. Set before the completion event runs, so OnError can read
    // it; OnDoneFile with FileSize 0 for an unreachable server finds the reason here too.
    // Empty after a transfer that succeeded.
    const AnsiString& LastError() const { return lastError_; }

    // How a transfer ended, for a caller that decides whether to try again and whether to ask
    // the server less at once. Each failure has exactly one kind; LastError tells it in words.
    enum class Outcome {
        Delivered,  // OnDoneFile or OnDoneString got the body
        // No connection was made: no host in the URL, a name that does not resolve, a
        // connection refused or not made within the time-outs. OnDoneFile may have run with
        // FileSize 0 (see the outcome rules above), which is then no file.
        Unreachable,
        // A server (or proxy) was reached, but the link failed before the first byte of the
        // reply's body: silence past StallTimeout, the slow-link limit, a reset, a close.
        NoBody,
        HttpStatus,  // the reply's status was 400 or more; LastStatus tells which
        Aborted,     // Abort was called
        // Anything else: a body cut off after its first byte, a length or range that does
        // not fit, a refused redirect, certificate or URL, a target file that fails.
        Other,
    };
    // The outcome of the last completed transfer; like LastError, set before its completion
    // event runs. Delivered before the first transfer.
    Outcome LastOutcome() const { return lastOutcome_; }
    // The HTTP status of the last reply the last completed transfer received (after
    // redirects, the final one); 0 when no reply arrived.
    int LastStatus() const { return lastStatus_; }

private:
    std::shared_ptr<THTTPGetThread> Start(bool toFile);
    void WaitForCompletion(const std::shared_ptr<THTTPGetThread>& transfer);
    void Complete(const std::shared_ptr<THTTPGetThread>& transfer);

    std::shared_ptr<THTTPGetThread> running_;
    AnsiString lastError_;
    Outcome lastOutcome_ = Outcome::Delivered;
    int lastStatus_ = 0;
};
