#include "app/cli/consoleface.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <numeric>

#include "app/engine/failurelog.h"
#include "core/utctime.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

// About five redraws a second: enough to see it move, few enough to cost nothing.
constexpr qint64 kProgressMilliseconds = 200;

std::string Utf8(const AnsiString& text) {
    return platform::ToUnicode(text).toStdString();
}

AnsiString Count(int64_t number, const char* one, const char* many) {
    return std::to_string(number) + " " + (number == 1 ? one : many);
}

}  // namespace

int RunWithoutWindow(const TCommandLine& line, TUpgradeSettings settings) {
    const bool journalLeft = platform::FileExists(settings.ApplicationFolder + "Version.ini");
    // An interrupted upgrade is continued the way the argument "on" continues it.
    settings.ResumedRun = line.face == TCommandLine::Face::Unattended && journalLeft;
    TConsoleFace face(line, settings.ApplicationFolder);
    TUpgradeEngine engine(std::move(settings), face);
    return face.Run(engine, journalLeft);
}

int RefuseToRun(const TCommandLine& line, const std::string& reason) {
    if (line.json) {
        const QJsonObject object{{"event", "refused"}, {"reason", QString::fromStdString(reason)}};
        std::fprintf(stdout, "%s\n",
                     QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    } else {
        std::fprintf(stderr, "sendrift: %s\n", reason.c_str());
    }
    return kExitBusy;
}

TConsoleFace::TConsoleFace(const TCommandLine& line, AnsiString applicationFolder)
    : line_(line),
      applicationFolder_(std::move(applicationFolder)),
      progressOnTerminal_(!line.json && platform::IsTerminal(2)) {}

int TConsoleFace::Run(TUpgradeEngine& engine, bool journalLeft) {
    engine_ = &engine;
    const bool unattended = line_.face == TCommandLine::Face::Unattended;
    const AnsiString installed = engine.InstalledVersion();
    if (unattended) {
        LogEvent(applicationFolder_, "unattended",
                 journalLeft ? "started, continuing the unfinished upgrade from " + installed
                             : "started, version " + installed + " installed");
        Report("started", {{"installed", installed}, {"resumed", journalLeft}},
               journalLeft ? "continuing the unfinished upgrade of version " + installed
                           : "version " + installed + " installed");
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&] {
            if (!unattended) {
                engine.CheckOnly();
                return;
            }
            engine.Start();
            if (journalLeft)
                engine.Activate();
            else
                engine.Run(WizardStep::VersionCheck);
        },
        Qt::QueuedConnection);
    const int exitCode = QCoreApplication::exec();
    ClearProgressLine();
    return exitCode_.value_or(exitCode == 0 ? kExitFailed : exitCode);
}

void TConsoleFace::RunNextLater(WizardStep expected) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [this, expected] {
            if (!exitCode_ && !engine_->StepRunning() && engine_->NextStep() == expected)
                engine_->RunNext();
        },
        Qt::QueuedConnection);
}

void TConsoleFace::End(int exitCode) {
    if (exitCode_) return;
    exitCode_ = exitCode;
    QCoreApplication::exit(exitCode);
}

void TConsoleFace::Report(const char* event, std::initializer_list<Field> fields,
                          const AnsiString& text) {
    ClearProgressLine();
    std::string printed;
    if (line_.json) {
        QJsonObject object;
        for (const Field& field : fields) {
            const QString name = QString::fromLatin1(field.name);
            if (const auto* value = std::get_if<AnsiString>(&field.value))
                object.insert(name, platform::ToUnicode(*value));
            else if (const auto* number = std::get_if<int64_t>(&field.value))
                object.insert(name, qint64(*number));
            else
                object.insert(name, std::get<bool>(field.value));
        }
        // The event first, for a person who reads the lines too; Qt orders the rest by name.
        const std::string fields =
            QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
        printed = "{\"event\":\"" + std::string(event) + "\"" +
                  (fields.size() > 2 ? "," + fields.substr(1) : "}");
    } else {
        printed = "sendrift: " + Utf8(text);
    }
    std::fprintf(stdout, "%s\n", printed.c_str());
    std::fflush(stdout);
}

void TConsoleFace::ClearProgressLine() {
    if (!progressShown_) return;
    std::fputs("\r\033[K", stderr);
    progressShown_ = false;
}

void TConsoleFace::LatestVersionAnnounced(const AnsiString& version) {
    // A check only reports once it knows the outcome (UpdateAvailable).
    if (line_.face != TCommandLine::Face::Unattended) return;
    Report(
        "checked",
        {{"installed", engine_->InstalledVersion()}, {"latest", version}, {"update", true}},
        "version " + version + " is available, " + engine_->InstalledVersion() + " is installed");
}

void TConsoleFace::UpToDate() {
    const AnsiString installed = engine_->InstalledVersion();
    Report("checked", {{"installed", installed}, {"latest", installed}, {"update", false}},
           "version " + installed + " is installed and is the latest: nothing to do");
    if (line_.face == TCommandLine::Face::Unattended)
        LogEvent(applicationFolder_, "unattended",
                 "nothing to do, " + installed + " is the latest");
    End(kExitNothingToDo);
}

void TConsoleFace::UpdateAvailable(const AnsiString& version) {
    Report(
        "checked",
        {{"installed", engine_->InstalledVersion()}, {"latest", version}, {"update", true}},
        "version " + version + " is available, " + engine_->InstalledVersion() + " is installed");
    End(kExitDone);
}

void TConsoleFace::NotYetOffered(const AnsiString& version,
                                 std::optional<std::chrono::sys_seconds> from) {
    const AnsiString installed = engine_->InstalledVersion();
    const AnsiString when = from ? utctime::Format(*from) : AnsiString();
    const AnsiString text = from ? "version " + version +
                                       " is released to a growing share of "
                                       "installations; this one is offered it from " +
                                       when
                                 : "the release of version " + version + " is halted";
    Report(
        "checked",
        {{"installed", installed}, {"latest", version}, {"update", false}, {"offered-from", when}},
        text + ": nothing to do now");
    if (line_.face == TCommandLine::Face::Unattended)
        LogEvent(applicationFolder_, "unattended", "nothing to do now, " + text);
    End(kExitNothingToDo);
}

void TConsoleFace::UpdateFound() {
    RunNextLater(WizardStep::List);
}

void TConsoleFace::ListCompleted() {
    const std::vector<int64_t>& sizes = engine_->ListedSizes();
    const int64_t files = int64_t(engine_->ListedEntries().size());
    const int64_t bytes = std::accumulate(sizes.begin(), sizes.end(), int64_t(0));
    Report("listed", {{"files", files}, {"bytes", bytes}},
           Count(files, "file", "files") + " to download, " + Count(bytes, "byte", "bytes"));
    RunNextLater(WizardStep::Download);
}

void TConsoleFace::FileTransferStarted(size_t row) {
    const AnsiString& name = engine_->ListedEntries()[row].fileName;
    const std::vector<int64_t>& sizes = engine_->ListedSizes();
    const int64_t size = row < sizes.size() ? sizes[row] : 0;
    Report("file-started", {{"file", name}, {"bytes", size}}, "downloading " + name);
}

void TConsoleFace::DownloadProgressed(const TDownloadProgress& progress) {
    if (!progressOnTerminal_) return;
    if (sinceProgress_.isValid() && sinceProgress_.elapsed() < kProgressMilliseconds) return;
    sinceProgress_.start();
    const int percent =
        progress.total > 0
            ? int(std::min<int64_t>(100, progress.totalReceived * 100 / progress.total))
            : 0;
    std::fprintf(stderr, "\r\033[Kdownloading: %d%%, %lld of %lld bytes", percent,
                 static_cast<long long>(progress.totalReceived),
                 static_cast<long long>(progress.total));
    std::fflush(stderr);
    progressShown_ = true;
}

void TConsoleFace::FileDownloaded(size_t row, size_t, int64_t bytes) {
    const AnsiString& name = engine_->ListedEntries()[row].fileName;
    Report("file-finished", {{"file", name}, {"bytes", bytes}},
           "downloaded " + name + ", " + Count(bytes, "byte", "bytes"));
}

void TConsoleFace::DownloadCompleted() {
    RunNextLater(WizardStep::Install);
}

void TConsoleFace::DownloadCancelled() {
    End(kExitFailed);
}

void TConsoleFace::EntriesInstalled(size_t, size_t last, size_t count) {
    if (last < count) return;
    Report("installed", {{"files", int64_t(count)}},
           "installed " + Count(int64_t(count), "file", "files"));
}

void TConsoleFace::Finished(size_t installedCount) {
    const AnsiString version = engine_->InstalledVersion();
    Report("finished", {{"version", version}, {"files", int64_t(installedCount)}},
           "upgraded to version " + version + ", " +
               Count(int64_t(installedCount), "file", "files") + " installed");
    LogEvent(applicationFolder_, "unattended",
             "upgraded to " + version + ", " + Count(int64_t(installedCount), "file", "files"));
    End(kExitDone);
}

void TConsoleFace::Stopped(const TStop& stop) {
    Report("failed",
           {{"step", StepName(stop.step)},
            {"file", stop.file},
            {"reason", stop.reason},
            {"message", stop.message}},
           "failed in the step " + AnsiString(StepName(stop.step)) +
               (stop.file.empty() ? "" : ", " + stop.file) + ": " + stop.reason);
    if (line_.face == TCommandLine::Face::Unattended)
        LogEvent(applicationFolder_, "unattended",
                 "failed in the step " + AnsiString(StepName(stop.step)) +
                     (platform::FileExists(applicationFolder_ + "Version.ini")
                          ? "; the journal stays for the next run"
                          : ""));
    End(kExitFailed);
}

void TConsoleFace::ResumePrompt() {
    // An upgrade left unfinished with files still to fetch goes on where it stopped, as the
    // wizard's "继续" takes it on.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [this] {
            if (!exitCode_) engine_->Continue();
        },
        Qt::QueuedConnection);
}

void TConsoleFace::ShowError(const AnsiString& message) {
    const AnsiString step = StepName(engine_->RunningStep());
    Report("failed",
           {{"step", step}, {"file", AnsiString()}, {"reason", message}, {"message", message}},
           "failed in the step " + step + ": " + message);
    if (line_.face == TCommandLine::Face::Unattended)
        LogEvent(applicationFolder_, "unattended", "failed in the step " + step + ": " + message);
    End(kExitFailed);
}
