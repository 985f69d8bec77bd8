// The upgrade engine's steps with no window: whole runs against the scripted server in a real
// application folder, told to a face that writes down what the engine reports.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "app/engine/upgradeengine.h"
#include "support/appfolder.h"
#include "support/samplerelease.h"
#include "support/scriptedhttpserver.h"

namespace {

using testsupport::ScriptedResponse;

// A face that writes down each report of the engine as a short line, in order, and drives the
// engine on as the command line does: the step a report offers runs once the report has
// returned, and the resume prompt gets the answer the test chose. A report that ends the run
// (an outcome, a stop, an error) leaves the event loop.
class TranscriptFace : public TUpgradeFace {
public:
    enum class ResumeAnswer { Continue, StartAnew };
    explicit TranscriptFace(ResumeAnswer resumeAnswer) : resumeAnswer_(resumeAnswer) {}

    // Runs `engine` in a folder without a journal, or as a resumed run, until a report ends
    // the run or 20 s have passed; the transcript.
    std::vector<std::string> Run(TUpgradeEngine& engine, bool resumedRun) {
        engine_ = &engine;
        Later([this, resumedRun] {
            engine_->Start();
            if (resumedRun)
                engine_->Activate();
            else
                engine_->Run(WizardStep::VersionCheck);
        });
        QTimer::singleShot(20000, &loop_, [this] { End("timed out"); });
        loop_.exec();
        return transcript_;
    }
    const AnsiString& StopReason() const { return stopReason_; }

private:
    void StepStarted(WizardStep step) override { Note("started " + std::string(StepName(step))); }
    void LatestVersionAnnounced(const AnsiString& version) override { Note("latest " + version); }
    void UpToDate() override { End(Offering("up-to-date")); }
    void NotYetOffered(const AnsiString& version,
                       std::optional<std::chrono::sys_seconds>) override {
        End(Offering("not-yet-offered " + version));
    }
    void UpdateFound() override { RunNextLater(Offering("update-found")); }
    void FileListed(const TListedFile& file) override {
        Note("listed " + file.name + " " + std::to_string(file.size) +
             (file.component ? " component" : ""));
    }
    void ListCompleted() override { RunNextLater(Offering("list-completed")); }
    void FileDownloaded(size_t row, size_t, int64_t) override {
        Note("file-downloaded " + std::to_string(row));
    }
    void DownloadCompleted() override { RunNextLater(Offering("download-completed")); }
    void DownloadCancelled() override { End("download-cancelled"); }
    void Finished(size_t installedCount) override {
        End(Offering("finished " + std::to_string(installedCount)));
    }
    void Stopped(const TStop& stop) override {
        static const char* const kOffers[] = {"retry", "restart", "none"};
        stopReason_ = stop.reason;
        End(Offering("stopped " + std::string(StepName(stop.step)) + " " + stop.file + ": " +
                     kOffers[int(stop.offer)]));
    }
    void ResumePrompt() override {
        Note(Offering("resume-prompt"));
        Later([this] {
            if (resumeAnswer_ == ResumeAnswer::Continue)
                engine_->Continue();
            else
                engine_->RunNext();
        });
    }
    void ShowError(const AnsiString& message) override { End("error: " + message); }

    // The report, with the step that the engine offers next; a face can take no step while
    // the engine still counts one as running, so that is written down too.
    std::string Offering(const std::string& report) const {
        return report + " -> " + StepName(engine_->NextStep()) +
               (engine_->StepRunning() ? " (still running)" : "");
    }
    void Note(const std::string& line) { transcript_.push_back(line); }
    void RunNextLater(const std::string& line) {
        Note(line);
        const WizardStep offered = engine_->NextStep();
        // A step that had nothing to do may have run the next one itself.
        Later([this, offered] {
            if (!engine_->StepRunning() && engine_->NextStep() == offered) engine_->RunNext();
        });
    }
    // Once the current report has returned: a face never runs a step from inside one.
    void Later(std::function<void()> action) {
        QMetaObject::invokeMethod(
            &loop_,
            [this, action] {
                if (!ended_) action();
            },
            Qt::QueuedConnection);
    }
    void End(const std::string& line) {
        Note(line);
        ended_ = true;
        loop_.quit();
    }

    const ResumeAnswer resumeAnswer_;
    TUpgradeEngine* engine_ = nullptr;
    QEventLoop loop_;
    bool ended_ = false;
    std::vector<std::string> transcript_;
    AnsiString stopReason_;
};

// The sample upgrade, run by engines of its own.
class EngineRun {
public:
    EngineRun() {
        PublishSampleRelease(server_);
        InstallSampleVersion(folder_);
    }
    // One run of a new engine in the folder.
    std::vector<std::string> Run(bool resumedRun, TranscriptFace::ResumeAnswer answer) {
        TranscriptFace face(answer);
        TUpgradeSettings settings;
        settings.ApplicationFolder = folder_.Folder();
        settings.ServerUrl = serverUrl_;
        settings.ResumedRun = resumedRun;
        TUpgradeEngine engine(std::move(settings), face);
        std::vector<std::string> transcript = face.Run(engine, resumedRun);
        stopReason_ = face.StopReason();
        return transcript;
    }

    TempAppFolder folder_;
    testsupport::ScriptedHttpServer server_;
    std::string serverUrl_ = server_.Url();
    AnsiString stopReason_;
};

std::vector<std::string> Lines(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> lines;
    for (const std::vector<std::string>& part : parts)
        lines.insert(lines.end(), part.begin(), part.end());
    return lines;
}

// The server answers b.dll with 404, which stops the download after a.dll.
void AnswerNotFound(EngineRun& t) {
    t.server_.Serve("/Update/b.dll",
                    ScriptedResponse("HTTP/1.0 404 Not Found", {"Content-Length: 9"}, "Not Found"));
}
// A first run stopped by a 404 for b.dll leaves its journal; then b.dll is published.
void LeaveJournal(EngineRun& t) {
    AnswerNotFound(t);
    t.Run(false, TranscriptFace::ResumeAnswer::Continue);
    PublishUpdateFile(t.server_, "b.dll", "new b");
}

TEST(UpgradeEngine, WholeRunsReportTheirStepsInOrderAndLeaveTheFolderAsTheyEnd) {
    using Answer = TranscriptFace::ResumeAnswer;
    const std::vector<std::string> checked = {"started version-check", "latest 2.0",
                                              "update-found -> list", "started list"};
    const std::vector<std::string> listedAll = {"listed a.dll 5", "listed b.dll 5",
                                                "listed c.sh 51",
                                                "listed Bin\\Customs.dll 11 component"};
    const std::vector<std::string> downloading = {"list-completed -> download", "started download"};
    const std::vector<std::string> installed = {"download-completed -> install", "started install"};
    const std::map<std::string, std::string> upgraded = {
        {"a.dll", "new a"},
        {"Sub/b.dll", "new b"},
        {"b.dll", "<missing>"},
        {"Bin/Customs.dll", "new customs"},
        {"ran.log", "ran\n"},
        {"Version.ini", "<missing>"},
        {"setup.ini", "[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=D7\r\n"}};
    const std::map<std::string, std::string> untouched = {
        {"a.dll", "<missing>"}, {"Version.ini", "<missing>"}, {"setup.ini", "<missing>"}};
    struct Row {
        const char* name;
        std::function<void(EngineRun&)> arrange;
        bool resumedRun;
        Answer answer;
        std::vector<std::string> transcript;
        const char* stopReasonHas;                  // empty when the run does not stop
        std::map<std::string, std::string> folder;  // "<missing>" for a file that is not there
    } rows[] = {
        {"up to date",
         [](EngineRun& t) { PublishUpdateFile(t.server_, "Version.txt", "1.0"); },
         false,
         Answer::Continue,
         {"started version-check", "up-to-date -> close"},
         "",
         untouched},
        {"upgraded",
         {},
         false,
         Answer::Continue,
         Lines(
             {checked,
              listedAll,
              downloading,
              {"file-downloaded 0", "file-downloaded 1", "file-downloaded 2", "file-downloaded 3"},
              installed,
              {"finished 4 -> close"}}),
         "",
         upgraded},
        {"server down",
         [](EngineRun& t) { t.serverUrl_ = "http://127.0.0.1:1"; },
         false,
         Answer::Continue,
         {"started version-check", "stopped version-check Version.txt: retry -> version-check"},
         "Couldn't connect",
         untouched},
        {"a file answered 404",
         AnswerNotFound,
         false,
         Answer::Continue,
         // The size query's answer to b.dll is the 404 page's length.
         Lines({checked,
                {"listed a.dll 5", "listed b.dll 9", "listed c.sh 51",
                 "listed Bin\\Customs.dll 11 component"},
                downloading,
                {"file-downloaded 0", "stopped download b.dll: none -> version-check"}}),
         "404",
         // a.dll waits in [RUN]; b.dll and the rest are still to download.
         {{"Version.ini",
           "[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=D7\r\n"
           "[1.0]\r\n2=b.dll;0;;Sub\r\n3=c.sh;1\r\n4=Bin\\Customs.dll;0\r\n[DLL]\r\n"
           "[RUN]\r\n1=a.dll;0\r\n"},
          {"Update/a.dll", "new a"},
          {"a.dll", "<missing>"},
          {"setup.ini", "<missing>"}}},
        {"a resumed run continues the journal", LeaveJournal, true, Answer::Continue,
         // The install takes a.dll, which waits, before it asks about the rest; the component
         // is an entry of the version's section by now.
         Lines({{"started refresh", "started install", "resume-prompt -> version-check",
                 "started list", "listed b.dll 5", "listed c.sh 51", "listed Bin\\Customs.dll 11"},
                downloading,
                {"file-downloaded 0", "file-downloaded 1", "file-downloaded 2"},
                installed,
                {"finished 3 -> close"}}),
         "", upgraded},
        {"a resumed run started anew", LeaveJournal, true, Answer::StartAnew,
         Lines(
             {{"started refresh", "started install", "resume-prompt -> version-check"},
              checked,
              listedAll,
              downloading,
              {"file-downloaded 0", "file-downloaded 1", "file-downloaded 2", "file-downloaded 3"},
              installed,
              {"finished 4 -> close"}}),
         "", upgraded},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EngineRun t;
        if (row.arrange) row.arrange(t);
        EXPECT_EQ(t.Run(row.resumedRun, row.answer), row.transcript);
        EXPECT_NE(t.stopReason_.find(row.stopReasonHas), AnsiString::npos) << t.stopReason_;
        EXPECT_EQ(t.stopReason_.empty(), std::string(row.stopReasonHas).empty()) << t.stopReason_;
        for (const auto& [name, content] : row.folder)
            EXPECT_EQ(t.folder_.Read(name.c_str()), content) << name;
    }
}

}  // namespace
