#include "net/httpget/httpget.h"

#include <QCoreApplication>
#include <QPointer>

#include "net/httpget/httpgetthread.h"

THTTPGet::THTTPGet(QObject* Owner) : QObject(Owner) {}

THTTPGet::~THTTPGet() {
    if (running_) running_->Detach();
}

void THTTPGet::GetFile() {
    std::shared_ptr<THTTPGetThread> transfer = Start(true);
    if (transfer && WaitThread) WaitForCompletion(transfer);
}

void THTTPGet::GetString() {
    if (Start(false) && WaitThread) QCoreApplication::processEvents();
}

int64_t THTTPGet::ConnectionsOpened() {
    return THTTPGetThread::ConnectionsOpened();
}

void THTTPGet::Abort() {
    if (running_) running_->Terminate();
}

std::shared_ptr<THTTPGetThread> THTTPGet::Start(bool toFile) {
    if (running_) return nullptr;
    THTTPGetThread::Settings settings;
    settings.AcceptTypes = AcceptTypes;
    settings.Agent = Agent;
    settings.URL = URL;
    settings.FileName = FileName;
    settings.UserName = UserName;
    settings.Password = Password;
    settings.PostQuery = PostQuery;
    settings.Referer = Referer;
    settings.CertificateAuthorityFile = CertificateAuthorityFile;
    settings.BinaryData = BinaryData;
    settings.UseCache = UseCache;
    settings.ToFile = toFile;
    settings.StallTimeout = StallTimeout;
    settings.ConnectTimeout = ConnectTimeout;
    settings.SlowLimitBytes = SlowLimitBytes;
    settings.SlowLimitSeconds = SlowLimitSeconds;
    settings.MaxSize = MaxSize > 0 ? MaxSize : INT64_MAX;
    settings.ExpectedSize = ExpectedSize;
    settings.Resume = Resume && toFile;
    settings.ContinueOnWeakValidator = ContinueOnWeakValidator;
    settings.FlushWhenComplete = FlushWhenComplete;
    settings.OnProgress = OnProgress;
    running_ = std::make_shared<THTTPGetThread>(std::move(settings), this);
    std::weak_ptr<THTTPGetThread> transfer = running_;
    running_->Start([this, transfer] {
        if (auto ended = transfer.lock()) Complete(ended);
    });
    return running_;
}

void THTTPGet::WaitForCompletion(const std::shared_ptr<THTTPGetThread>& transfer) {
    // Progress calls are taken straight from the worker while they come quickly; in between,
    // the thread sleeps in the event loop until the worker or anything else wakes it, so a
    // stalled server costs no processor time.
    QPointer<THTTPGet> alive(this);
    while (alive && !transfer->Delivered()) {
        transfer->DrainProgress();
        if (alive && !transfer->Delivered()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
}

void THTTPGet::Complete(const std::shared_ptr<THTTPGetThread>& transfer) {
    transfer->Join();
    lastError_ = transfer->ErrorText();
    lastOutcome_ = transfer->Outcome();
    lastStatus_ = transfer->Status();
    QPointer<THTTPGet> alive(this);
    // Handlers run from copies: one may destroy the component, and with it the member it was
    // called through.
    if (!transfer->Succeeded()) {
        if (TNotifyEvent handler = OnError) RunEventHandler("OnError", [&] { handler(this); });
    } else if (transfer->ToFile()) {
        if (TOnDoneFileEvent handler = OnDoneFile) {
            RunEventHandler("OnDoneFile",
                            [&] { handler(this, transfer->FileName(), transfer->TotalSize()); });
        }
    } else if (TOnDoneStringEvent handler = OnDoneString) {
        RunEventHandler("OnDoneString", [&] { handler(this, transfer->Result()); });
    }
    transfer->MarkDelivered();
    // The handler may have destroyed the component.
    if (alive) running_.reset();
}
