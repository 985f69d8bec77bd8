// THTTPGet against the scripted server on 127.0.0.1: requests as sent, outcomes as reported,
// and the threading contract (events on the GUI thread, waits, busy rule, abort, destroy).
#include "net/httpget/httpget.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "bench/support/nginxserver.h"
#include "support/endlesshttpserver.h"
#include "support/processstats.h"
#include "support/scriptedhttpserver.h"
#include "support/testauthority.h"
#include "support/waituntil.h"

namespace {

using namespace std::chrono_literals;
using testsupport::EndlessHttpServer;
using testsupport::ScriptedHttpServer;
using testsupport::ScriptedResponse;
using testsupport::WaitUntil;

std::string ReadFile(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string Body(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + i % 26);
    return body;
}

testing::AssertionResult Mentions(const AnsiString& text, const std::string& part) {
    if (text.find(part) != AnsiString::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << '"' << text << "\" does not mention \"" << part << '"';
}

// One progress call: (TotalSize, Readed).
using Progress = std::pair<int64_t, int64_t>;

// Everything a component reported, and whether each report came on the GUI thread.
struct Events {
    std::vector<Progress> progress;
    int errors = 0;
    int doneFiles = 0;
    int doneStrings = 0;
    AnsiString fileName;
    int64_t fileSize = -1;
    AnsiString text;
    AnsiString lastError;  // the component's LastError as OnError or OnDoneFile found it
    bool offGuiThread = false;

    int Completions() const { return errors + doneFiles + doneStrings; }

    void Attach(THTTPGet& get) {
        auto onGui = [this] {
            if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
                offGuiThread = true;
            }
        };
        get.OnProgress = [this, onGui](QObject*, int64_t total, int64_t readed) {
            onGui();
            progress.emplace_back(total, readed);
        };
        get.OnError = [this, onGui](QObject* sender) {
            onGui();
            ++errors;
            lastError = static_cast<THTTPGet*>(sender)->LastError();
        };
        get.OnDoneFile = [this, onGui](QObject* sender, const AnsiString& name, int64_t size) {
            onGui();
            ++doneFiles;
            lastError = static_cast<THTTPGet*>(sender)->LastError();
            fileName = name;
            fileSize = size;
        };
        get.OnDoneString = [this, onGui](QObject*, const AnsiString& result) {
            onGui();
            ++doneStrings;
            text = result;
        };
    }
};

class HTTPGetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        events.Attach(get);
        get.WaitThread = true;
    }

    // Fetches `target` of the server into a file with WaitThread; returns the file's path.
    QString Fetch(const std::string& target) {
        get.URL = server.Url(target);
        get.FileName = target.empty() ? Path("empty") : Path(target.substr(1));
        get.GetFile();
        return QString::fromStdString(get.FileName);
    }

    // Fetches `target` as a string and waits for the completion.
    void FetchString(const std::string& target) {
        get.URL = server.Url(target);
        get.GetString();
        EXPECT_TRUE(WaitUntil([&] { return !get.Busy(); }));
    }

    AnsiString Path(const std::string& name) const {
        return folder.filePath(QString::fromStdString(name)).toStdString();
    }

    ScriptedHttpServer server;
    QTemporaryDir folder;
    THTTPGet get;
    Events events;
};

// Counted once the in-process server has closed its side of every connection.
TEST_F(HTTPGetTest, AHundredDownloadsLeaveNoDescriptorOpen) {
    server.Serve("/f.bin", ScriptedResponse::Ok(Body(5000)));
    auto settled = [&] {
        EXPECT_TRUE(WaitUntil([&] { return server.OpenConnections() == 0; }));
        return testsupport::OpenDescriptors();
    };
    Fetch("/f.bin");  // the first transfer may set up what lives as long as the process
    const int before = settled();
    for (int i = 0; i < 100; ++i) Fetch("/f.bin");
    EXPECT_EQ(events.doneFiles, 101);
    EXPECT_EQ(settled(), before);
}

// A file goes to disk as it arrives: 64 MB from a server in another process leave this
// process's memory where it was.
TEST_F(HTTPGetTest, ALargeFileIsWrittenAsItArrivesNotHeldInMemory) {
    constexpr qint64 kSize = 64 << 20;
    QTemporaryDir served;
    QFile big(served.filePath("big.bin"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(kSize));
    big.close();
    QProcess python;
    python.start("python3", {"-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                             served.path(), "0"});
    AnsiString url;
    ASSERT_TRUE(WaitUntil([&] {
        const QString said = python.readAllStandardOutput();
        const qsizetype at = said.indexOf(" port ");
        if (at >= 0) url = "http://127.0.0.1:" + said.mid(at + 6).section(' ', 0, 0).toStdString();
        return !url.empty();
    })) << "python3 -m http.server did not start";

    long largestGrowth = 0;
    const long before = testsupport::ResidentKilobytes();
    get.OnProgress = [&](QObject*, int64_t, int64_t readed) {
        if (readed % (1025 * 1024) == 0)
            largestGrowth = std::max(largestGrowth, testsupport::ResidentKilobytes() - before);
    };
    get.URL = url + "/big.bin";
    get.FileName = Path("big.bin");
    get.GetFile();
    python.kill();
    python.waitForFinished();
    EXPECT_EQ(events.fileSize, kSize);
    EXPECT_EQ(QFileInfo(folder.filePath("big.bin")).size(), kSize);
    EXPECT_LT(largestGrowth, 16 * 1024) << "kilobytes more than before the transfer";
}

TEST_F(HTTPGetTest, GetFileWaitsForItsCompletionAndReportsEachChunkOnTheGuiThread) {
    server.Serve("/f.bin", ScriptedResponse::Ok(Body(3000)));
    bool completedInsideGetFile = false;
    get.OnDoneFile = [&](QObject* sender, const AnsiString& name, int64_t size) {
        EXPECT_EQ(sender, &get);
        events.fileName = name;
        events.fileSize = size;
        ++events.doneFiles;
        completedInsideGetFile = get.Busy();  // still busy while its own handler runs
    };
    // The wizard names targets as the old platform did, with backslashes.
    get.URL = server.Url("/f.bin");
    get.FileName = Path("f.bin");
    std::replace(get.FileName.begin(), get.FileName.end(), '/', '\\');
    get.GetFile();
    const QString path = folder.filePath("f.bin");

    EXPECT_TRUE(completedInsideGetFile);
    EXPECT_FALSE(get.Busy());
    EXPECT_EQ(events.progress, (std::vector<Progress>{{3000, 1025}, {3000, 2050}, {3000, 3000}}));
    EXPECT_FALSE(events.offGuiThread);
    EXPECT_EQ(events.Completions(), 1);
    EXPECT_EQ(events.fileName, get.FileName);
    EXPECT_EQ(events.fileSize, 3000);
    EXPECT_EQ(ReadFile(path), Body(3000));
}

TEST_F(HTTPGetTest, LargeBodyGivesOneCallPerChunkAndKeepsTheWindowAlive) {
    // Many network reads, some handed over together: every chunk must still get its own
    // call with its own count, and the GUI thread must keep running other events.
    const size_t size = 1000000;
    server.Serve("/big", ScriptedResponse::Ok(Body(size)).PauseInBody(size / 2, 300ms));
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    QString path = Fetch("/big");
    timer.stop();

    ASSERT_EQ(events.progress.size(), (size + 1024) / 1025);
    for (size_t i = 0; i < events.progress.size(); ++i) {
        const int64_t expected = std::min<int64_t>((i + 1) * 1025, size);
        ASSERT_EQ(events.progress[i], Progress(int64_t(size), expected));
    }
    EXPECT_FALSE(events.offGuiThread);
    EXPECT_EQ(events.doneFiles, 1);
    EXPECT_EQ(ReadFile(path), Body(size));
    EXPECT_GE(ticks, 5);
}

TEST_F(HTTPGetTest, SendsAnHttp10GetWithTheDefaultHeaders) {
    server.Serve("/v.txt", ScriptedResponse::Ok("1.2"));
    FetchString("/v.txt");
    EXPECT_EQ(events.text, "1.2");

    ASSERT_EQ(server.Requests().size(), 1u);
    const testsupport::RecordedRequest request = server.Requests()[0];
    EXPECT_EQ(request.requestLine, "GET /v.txt HTTP/1.0");
    EXPECT_EQ(request.Header("Host"), "127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_EQ(request.Header("User-Agent"), "Corvilex HTTPGet");
    EXPECT_EQ(request.Header("Accept"), "*/*");
    // UseCache is off by default: every cache on the way must be bypassed.
    EXPECT_EQ(request.Header("Cache-Control"), "no-cache");
    EXPECT_EQ(request.Header("Pragma"), "no-cache");
    EXPECT_EQ(request.Header("Referer"), std::nullopt);
    EXPECT_EQ(request.Header("Authorization"), std::nullopt);
}

TEST_F(HTTPGetTest, PassesTheRequestSettingsOn) {
    server.Serve("/form", ScriptedResponse::Ok("ok"));
    get.UseCache = true;
    get.PostQuery = "a=1&b=%E4";
    get.Referer = "http://example.invalid/page";
    get.AcceptTypes = "text/plain";
    get.Agent = "";
    get.UserName = "user";
    get.Password = "secret";
    FetchString("/form");
    EXPECT_EQ(events.text, "ok");

    ASSERT_EQ(server.Requests().size(), 1u);
    const testsupport::RecordedRequest request = server.Requests()[0];
    EXPECT_EQ(request.requestLine, "POST /form HTTP/1.0");
    EXPECT_EQ(request.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.body, "a=1&b=%E4");
    EXPECT_EQ(request.Header("Referer"), "http://example.invalid/page");
    EXPECT_EQ(request.Header("Accept"), "text/plain");
    EXPECT_EQ(request.Header("User-Agent"), std::nullopt);
    EXPECT_EQ(request.Header("Authorization"), "Basic dXNlcjpzZWNyZXQ=");
    EXPECT_EQ(request.Header("Cache-Control"), std::nullopt);
    EXPECT_EQ(request.Header("Pragma"), std::nullopt);
}

TEST_F(HTTPGetTest, AcceptsUrlsWithoutSchemeOrWithCapitalsAndFollowsRedirects) {
    server.Serve("/a", ScriptedResponse::Ok("A"));
    server.Serve("/moved",
                 ScriptedResponse("HTTP/1.0 302 Found", {"Location: /a", "Content-Length: 0"}, ""));
    const std::string hostAndPort = "127.0.0.1:" + std::to_string(server.Port());
    for (const std::string& url :
         {hostAndPort + "/a", "HTTP://" + hostAndPort + "/a", "hTtP://" + hostAndPort + "/moved"}) {
        SCOPED_TRACE(url);
        events = Events();
        events.Attach(get);
        get.URL = url;
        get.GetString();
        ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
        EXPECT_EQ(events.doneStrings, 1);
        EXPECT_EQ(events.text, "A");
    }
    std::vector<std::string> targets;
    for (const auto& request : server.Requests()) targets.push_back(request.Target());
    EXPECT_EQ(targets, (std::vector<std::string>{"/a", "/a", "/moved", "/a"}));
}

TEST_F(HTTPGetTest, UrlWithoutSlashAfterTheHostHasNoHost) {
    get.URL = server.Url();
    get.GetString();
    ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
    EXPECT_EQ(events.errors, 1);

    // As for an unreachable server: the file is created empty and reported with size 0.
    get.FileName = Path("none.bin");
    get.GetFile();
    EXPECT_EQ(events.doneFiles, 1);
    EXPECT_EQ(events.fileSize, 0);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(get.FileName)));
    EXPECT_EQ(ReadFile(QString::fromStdString(get.FileName)), "");
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(HTTPGetTest, EmptyBodyWithContentLengthZero) {
    server.Serve("/zero", ScriptedResponse::Ok(""));
    Fetch("/zero");
    EXPECT_EQ(events.doneFiles, 1);
    EXPECT_EQ(events.fileSize, 0);
    FetchString("/zero");
    EXPECT_EQ(events.errors, 1);
    EXPECT_EQ(events.Completions(), 2);
    EXPECT_TRUE(events.progress.empty());
}

TEST_F(HTTPGetTest, ReplyWithoutContentLength) {
    server.Serve("/open", ScriptedResponse("HTTP/1.0 200 OK", {}, "no length"));
    server.Serve("/open-empty", ScriptedResponse("HTTP/1.0 200 OK", {}, ""));

    get.BinaryData = true;
    QString refused = Fetch("/open");
    EXPECT_EQ(events.errors, 1);
    EXPECT_FALSE(QFile::exists(refused));
    FetchString("/open");
    EXPECT_EQ(events.errors, 2);
    EXPECT_TRUE(events.progress.empty());

    get.BinaryData = false;
    FetchString("/open");
    EXPECT_EQ(events.doneStrings, 1);
    EXPECT_EQ(events.text, "no length");
    EXPECT_EQ(events.progress.back(), Progress(0, 9));
    // The body is written, but without an announced length the download cannot be trusted.
    QString written = Fetch("/open");
    EXPECT_EQ(events.errors, 3);
    EXPECT_EQ(ReadFile(written), "no length");
    Fetch("/open-empty");
    EXPECT_EQ(events.doneFiles, 1);
    EXPECT_EQ(events.fileSize, 0);
}

TEST_F(HTTPGetTest, ConnectionDroppedMidBodyLeavesThePartialFile) {
    server.Serve("/cut", ScriptedResponse::Ok(Body(3000)).DropAfterBody(2000));
    QString path = Fetch("/cut");
    EXPECT_EQ(events.errors, 1);
    EXPECT_EQ(events.Completions(), 1);
    EXPECT_EQ(ReadFile(path), Body(2000));
    ASSERT_FALSE(events.progress.empty());
    EXPECT_EQ(events.progress.back(), Progress(3000, 2000));
}

TEST_F(HTTPGetTest, GetStringKeepsNulBytes) {
    const std::string bytes("a\0b\0\0c\xff", 7);
    server.Serve("/nul", ScriptedResponse::Ok(bytes));
    FetchString("/nul");
    EXPECT_EQ(events.text, bytes);
}

TEST_F(HTTPGetTest, ErrorStatusFailsWithoutTouchingTheTarget) {
    server.Serve("/missing",
                 ScriptedResponse("HTTP/1.0 404 Not Found", {"Content-Length: 9"}, "Not Found"));
    {
        std::ofstream existing(Path("missing"), std::ios::binary);
        existing << "installed program";
    }
    QString path = Fetch("/missing");
    EXPECT_EQ(events.errors, 1);
    EXPECT_EQ(ReadFile(path), "installed program");
    FetchString("/missing");
    EXPECT_EQ(events.errors, 2);
    EXPECT_EQ(events.doneStrings + events.doneFiles, 0);
}

// An error page must never replace a program file, not even for an instant: the target keeps
// its bytes and its modification time, which the component list shows as the file's date.
TEST_F(HTTPGetTest, ErrorPageWithABodyLeavesTheTargetAsItWas) {
    const auto lastWeek = std::filesystem::file_time_type::clock::now() - 168h;
    for (const char* status : {"400 Bad Request", "403 Forbidden", "500 Internal Server Error"}) {
        SCOPED_TRACE(status);
        events = Events();
        events.Attach(get);
        const std::string page = "<html><body>" + std::string(status) + "</body></html>";
        server.Serve("/a.dll",
                     ScriptedResponse(std::string("HTTP/1.0 ") + status,
                                      {"Content-Length: " + std::to_string(page.size())}, page));
        {
            std::ofstream existing(Path("a.dll"), std::ios::binary | std::ios::trunc);
            existing << "installed program";
        }
        std::filesystem::last_write_time(Path("a.dll"), lastWeek);

        const QString path = Fetch("/a.dll");
        EXPECT_EQ(events.errors, 1);
        EXPECT_EQ(events.Completions(), 1);
        EXPECT_EQ(ReadFile(path), "installed program");
        EXPECT_EQ(std::filesystem::last_write_time(Path("a.dll")), lastWeek);
        EXPECT_TRUE(Mentions(events.lastError, "HTTP status " + std::string(status, 3)));
        EXPECT_TRUE(Mentions(events.lastError, get.URL));
    }
}

// The size-0 answer is kept for callers that know it only for a server that cannot be reached
// at all. One that was reached and failed to answer must not truncate the target.
TEST_F(HTTPGetTest, OnlyAnUnreachableServerGivesAnEmptyFileAndEveryFailureHasAReason) {
    std::string refusedUrl;
    {
        ScriptedHttpServer gone;
        refusedUrl = gone.Url("/f.bin");
    }
    server.Serve("/quiet", ScriptedResponse::Silent());
    server.Serve("/nothing", ScriptedResponse::Raw(""));
    get.StallTimeout = 1;
    struct Case {
        std::string url;
        bool emptyFile;  // OnDoneFile with 0 and an emptied target, else OnError and untouched
        std::string reason;
    };
    for (const Case& row :
         {Case{refusedUrl, true, "connect"}, Case{server.Url("/quiet"), false, "too slow"},
          Case{server.Url("/nothing"), false, "Empty reply"}}) {
        SCOPED_TRACE(row.url);
        events = Events();
        events.Attach(get);
        get.URL = row.url;
        get.FileName = Path("f.bin");
        {
            std::ofstream existing(get.FileName, std::ios::binary | std::ios::trunc);
            existing << "old";
        }
        get.GetFile();
        EXPECT_EQ(events.doneFiles, row.emptyFile ? 1 : 0);
        EXPECT_EQ(events.errors, row.emptyFile ? 0 : 1);
        EXPECT_EQ(events.fileSize, row.emptyFile ? 0 : -1);
        EXPECT_EQ(ReadFile(QString::fromStdString(get.FileName)), row.emptyFile ? "" : "old");
        EXPECT_TRUE(Mentions(events.lastError, row.url));
        EXPECT_TRUE(Mentions(events.lastError, row.reason));
    }

    server.Serve("/ok", ScriptedResponse::Ok("fine"));
    FetchString("/ok");
    EXPECT_EQ(events.doneStrings, 1);
    EXPECT_EQ(get.LastError(), "");
}

// A caller that fetches ahead retries what never got going and slows down for a busy server;
// it tells those apart from the rest by the outcome and the status, not by the text.
TEST_F(HTTPGetTest, EachEndingIsClassedWithTheLastStatus) {
    using Outcome = THTTPGet::Outcome;
    std::string refusedUrl;
    {
        ScriptedHttpServer gone;
        refusedUrl = gone.Url("/f");
    }
    EndlessHttpServer resetBeforeBody("HTTP/1.0 200 OK\r\n\r\n", 0);
    EndlessHttpServer resetInBody("HTTP/1.0 200 OK\r\n\r\n", 2);
    server.Serve("/ok", ScriptedResponse::Ok("fine"));
    server.Serve("/quiet", ScriptedResponse::Silent());
    server.Serve("/head-only", ScriptedResponse::Ok("late").PauseInBody(0, 10s));
    server.Serve("/nothing", ScriptedResponse::Raw(""));
    server.Serve("/busy", ScriptedResponse("HTTP/1.0 503 Busy", {"Content-Length: 4"}, "busy"));
    server.Serve("/slow-down", ScriptedResponse("HTTP/1.0 429 Too Many", {}, ""));
    server.Serve("/cut", ScriptedResponse::Ok("22.5").DropAfterBody(2));
    server.Serve("/long", ScriptedResponse::Ok(Body(5000)));
    server.Serve("/stop", ScriptedResponse::Ok("stop").PauseInBody(2, 10s));
    struct Case {
        std::string url;
        Outcome outcome;
        int status;
    };
    const std::vector<Case> cases = {
        {server.Url("/ok"), Outcome::Delivered, 200},
        {refusedUrl, Outcome::Unreachable, 0},
        {"http://127.0.0.1:1", Outcome::Unreachable, 0},  // no "/" after the host: no host
        {server.Url("/quiet"), Outcome::NoBody, 0},
        {server.Url("/head-only"), Outcome::NoBody, 200},
        {server.Url("/nothing"), Outcome::NoBody, 0},
        {resetBeforeBody.Url("/reset"), Outcome::NoBody, 200},
        {server.Url("/busy"), Outcome::HttpStatus, 503},
        {server.Url("/slow-down"), Outcome::HttpStatus, 429},
        {server.Url("/cut"), Outcome::Other, 200},
        {resetInBody.Url("/reset"), Outcome::Other, 200},
        {server.Url("/long"), Outcome::Other, 200},  // longer than MaxSize
        {server.Url("/stop"), Outcome::Aborted, 200},
    };
    get.StallTimeout = 1;
    get.MaxSize = 4096;
    get.OnProgress = [&](QObject*, int64_t, int64_t) {
        if (get.URL == server.Url("/stop")) get.Abort();
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.url);
        get.URL = row.url;
        get.GetString();
        ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
        EXPECT_EQ(get.LastOutcome(), row.outcome);
        EXPECT_EQ(get.LastStatus(), row.status);
    }

    // The file that stands for an unreachable server is told apart from a delivered one.
    get.URL = refusedUrl;
    get.FileName = Path("f");
    get.GetFile();
    EXPECT_EQ(events.fileSize, 0);
    EXPECT_EQ(get.LastOutcome(), Outcome::Unreachable);
}

TEST_F(HTTPGetTest, GetStringReturnsAtOnceAndDeliversThroughTheEventLoop) {
    server.Serve("/slow", ScriptedResponse::Ok(Body(3000)).PauseInBody(1500, 300ms));
    get.URL = server.Url("/slow");
    get.GetString();
    EXPECT_TRUE(get.Busy());
    EXPECT_EQ(events.Completions(), 0);

    ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
    EXPECT_EQ(events.doneStrings, 1);
    EXPECT_EQ(events.text, Body(3000));
    EXPECT_EQ(events.progress, (std::vector<Progress>{{3000, 1025}, {3000, 2050}, {3000, 3000}}));
    EXPECT_FALSE(events.offGuiThread);
}

TEST_F(HTTPGetTest, StartWhileBusyIsIgnoredAlsoFromTheCompletionHandler) {
    server.Serve("/slow", ScriptedResponse::Ok("slow").PauseInBody(2, 200ms));
    int restartsTried = 0;
    get.OnDoneString = [&](QObject*, const AnsiString& result) {
        ++events.doneStrings;
        events.text = result;
        ++restartsTried;
        get.GetString();
        get.GetFile();
    };
    get.URL = server.Url("/slow");
    get.GetString();
    get.URL = server.Url("/other");
    get.GetFile();  // would wait, and fetch another target, if it were not ignored
    get.GetString();
    EXPECT_TRUE(get.Busy());
    ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
    EXPECT_EQ(restartsTried, 1);
    EXPECT_EQ(events.Completions(), 1);
    EXPECT_EQ(events.text, "slow");
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(HTTPGetTest, AnotherInstanceStartsFromACompletionHandler) {
    // The wizard's road: the version text's handler fetches the manifest into a file.
    server.Serve("/Version.txt", ScriptedResponse::Ok("2.0"));
    server.Serve("/Version.ini", ScriptedResponse::Ok("[RUN]\r\n"));
    THTTPGet manifest;
    manifest.WaitThread = true;
    manifest.URL = server.Url("/Version.ini");
    manifest.FileName = Path("Version.ini");
    int64_t manifestSize = -1;
    manifest.OnDoneFile = [&](QObject*, const AnsiString&, int64_t size) { manifestSize = size; };
    get.OnDoneString = [&](QObject*, const AnsiString&) {
        manifest.GetFile();
        EXPECT_EQ(manifestSize, 7);  // done before GetFile returned
    };
    FetchString("/Version.txt");
    EXPECT_EQ(manifestSize, 7);
}

TEST_F(HTTPGetTest, AbortEndsTheTransferWithOnError) {
    server.Serve("/long", ScriptedResponse::Ok(Body(4000)).PauseInBody(2500, 10s));
    int progressAfterAbort = 0;
    bool aborted = false;
    get.OnProgress = [&](QObject*, int64_t, int64_t readed) {
        if (aborted) ++progressAfterAbort;
        if (readed == 2050) {
            get.Abort();
            aborted = true;
        }
    };
    auto start = std::chrono::steady_clock::now();
    Fetch("/long");
    // The worker notices the stop request at least once a second, also while nothing arrives.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(events.errors, 1);
    EXPECT_EQ(events.Completions(), 1);
    EXPECT_EQ(progressAfterAbort, 0);

    get.Abort();  // idle: nothing happens
    EXPECT_EQ(events.errors, 1);
}

TEST_F(HTTPGetTest, DestroyedWhileRunningStopsTheWorkerAndReportsNothing) {
    server.Serve("/long", ScriptedResponse::Ok(Body(3000)).PauseInBody(1025, 10s));
    Events lost;
    {
        THTTPGet doomed;
        lost.Attach(doomed);
        doomed.URL = server.Url("/long");
        doomed.GetString();
        ASSERT_TRUE(WaitUntil([&] { return !lost.progress.empty(); }));
    }
    // Events posted before the destruction must not surface later either.
    WaitUntil([] { return false; }, 200ms);
    EXPECT_EQ(lost.Completions(), 0);
    EXPECT_EQ(lost.progress.size(), 1u);
    // The worker lets go of its connection although the server is still pausing.
    EXPECT_TRUE(WaitUntil([&] { return server.OpenConnections() == 0; }, 5s));
}

TEST_F(HTTPGetTest, DestroyedInsideItsOwnHandlers) {
    server.Serve("/f", ScriptedResponse::Ok(Body(3000)));
    auto* owner = new THTTPGet;
    owner->URL = server.Url("/f");
    int progressCalls = 0;
    owner->OnProgress = [&](QObject* sender, int64_t, int64_t) {
        ++progressCalls;
        delete sender;
    };
    owner->OnDoneString = [&](QObject*, const AnsiString&) { ADD_FAILURE(); };
    owner->GetString();
    EXPECT_TRUE(WaitUntil([&] { return server.OpenConnections() == 0 && progressCalls > 0; }));
    EXPECT_EQ(progressCalls, 1);

    auto* second = new THTTPGet;
    second->URL = server.Url("/f");
    second->WaitThread = true;
    second->FileName = Path("f");
    bool done = false;
    second->OnDoneFile = [&](QObject* sender, const AnsiString&, int64_t) {
        done = true;
        delete sender;
    };
    second->GetFile();  // returns although its component is gone
    EXPECT_TRUE(done);
}

TEST_F(HTTPGetTest, ThrowingHandlersDoNotBreakTheTransfer) {
    // Exceptions must not cross Qt's event loop, nor leave the hand-off to the worker stuck.
    server.Serve("/f", ScriptedResponse::Ok(Body(3000)));
    int progressCalls = 0;
    get.OnProgress = [&](QObject*, int64_t, int64_t) {
        ++progressCalls;
        throw Exception("progress handler failed");
    };
    get.OnDoneFile = [&](QObject*, const AnsiString&, int64_t) {
        ++events.doneFiles;
        throw Exception("completion handler failed");
    };
    Fetch("/f");
    EXPECT_EQ(progressCalls, 3);
    EXPECT_EQ(events.doneFiles, 1);
    EXPECT_FALSE(get.Busy());
}

TEST_F(HTTPGetTest, PortInTheUrlIsUsed) {
    // The fixture's server already sits on an ephemeral port; a second one makes sure the
    // port is taken from the URL and not from some default.
    ScriptedHttpServer other;
    other.Serve("/p", ScriptedResponse::Ok("other"));
    get.URL = other.Url("/p");
    get.GetString();
    ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
    EXPECT_EQ(events.text, "other");
    EXPECT_TRUE(server.Requests().empty());
}

// A certificate authority made for the test, trusted through CertificateAuthorityFile, and an
// HTTPS server on 127.0.0.1 with a certificate it issued.
class HTTPGetTlsTest : public HTTPGetTest {
protected:
    testsupport::TestAuthority authority{folder.path().toStdString()};
    ScriptedHttpServer secure{authority.Issue("server", "IP:127.0.0.1")};
};

TEST_F(HTTPGetTlsTest, HttpsVerifiesTheServerAgainstTheGivenAuthorities) {
    secure.Serve("/s.txt", ScriptedResponse::Ok("secret"));

    // Unknown to the system's authorities: refused.
    get.URL = secure.Url("/s.txt");
    get.GetString();
    ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
    EXPECT_EQ(events.errors, 1);

    get.CertificateAuthorityFile = authority.CertificateFile();
    get.URL = "HTTPS://127.0.0.1:" + std::to_string(secure.Port()) + "/s.txt";
    get.GetString();
    ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
    EXPECT_EQ(events.doneStrings, 1);
    EXPECT_EQ(events.text, "secret");
    ASSERT_FALSE(secure.Requests().empty());
    EXPECT_EQ(secure.Requests().back().requestLine, "GET /s.txt HTTP/1.0");
}

TEST_F(HTTPGetTlsTest, HttpsConnectionIsKeptAcrossComponents) {
    secure.Serve("/s.txt", ScriptedResponse::Ok("secret").KeepAlive());
    THTTPGet other;
    other.WaitThread = true;
    Events otherEvents;
    otherEvents.Attach(other);
    for (THTTPGet* component : {&get, &other, &get}) {
        component->CertificateAuthorityFile = authority.CertificateFile();
        component->URL = secure.Url("/s.txt");
        component->FileName = Path("s.txt");
        component->GetFile();
    }
    EXPECT_EQ(events.doneFiles, 2);
    EXPECT_EQ(otherEvents.doneFiles, 1);
    EXPECT_EQ(secure.Requests().size(), 3u);
    EXPECT_EQ(secure.ConnectionsAccepted(), 1u);
}

// What was asked over TLS must not come back over a plain link, where anyone on the way could
// put in a program and the digests that vouch for it. Going up to TLS is fine.
TEST_F(HTTPGetTlsTest, RedirectMayRaiseTheSchemeButNeverLowerIt) {
    get.CertificateAuthorityFile = authority.CertificateFile();
    const auto redirectTo = [](const std::string& url) {
        return ScriptedResponse("HTTP/1.0 302 Found", {"Location: " + url, "Content-Length: 0"},
                                "");
    };
    server.Serve("/plain.txt", ScriptedResponse::Ok("planted"));
    server.Serve("/up", redirectTo(secure.Url("/s.txt")));
    secure.Serve("/s.txt", ScriptedResponse::Ok("secret"));
    secure.Serve("/down", redirectTo(server.Url("/plain.txt")));
    secure.Serve("/moved", redirectTo("/down"));

    for (const char* target : {"/down", "/moved"}) {
        SCOPED_TRACE(target);
        events = Events();
        events.Attach(get);
        get.URL = secure.Url(target);
        get.GetString();
        ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
        get.FileName = Path("f.txt");
        get.GetFile();  // into a file: refused alike
        EXPECT_EQ(events.errors, 2);
        EXPECT_EQ(events.text, "");
        EXPECT_TRUE(Mentions(events.lastError, "redirect from " + secure.Url("/down") + " to " +
                                                   server.Url("/plain.txt") +
                                                   " refused: it would lower the scheme"));
        EXPECT_EQ(get.LastStatus(), 302);
    }
    EXPECT_TRUE(server.Requests().empty());

    events = Events();
    events.Attach(get);
    get.URL = server.Url("/up");
    get.GetString();
    ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
    EXPECT_EQ(events.text, "secret");

    // Other schemes stay refused from either.
    server.Serve("/ftp", redirectTo("ftp://127.0.0.1:1/f"));
    FetchString("/ftp");
    EXPECT_TRUE(Mentions(events.lastError, "redirect from " + server.Url("/ftp") +
                                               " to ftp://127.0.0.1:1/f refused: only HTTP"));
}

// Malformed or hostile replies: each ends in exactly one completion, never a crash or hang.
class HTTPGetBadInputTest : public HTTPGetTest {};

TEST_F(HTTPGetBadInputTest, BadContentLengthsFail) {
    // Counts past 2^63 - 1 must not wrap round to some other length.
    for (const char* length : {"abc", "-5", "9223372036854775808", "18446744073709551617", "12x"}) {
        SCOPED_TRACE(length);
        events = Events();
        events.Attach(get);
        server.Serve("/bad", ScriptedResponse("HTTP/1.0 200 OK",
                                              {std::string("Content-Length: ") + length}, "12345"));
        Fetch("/bad");
        FetchString("/bad");
        EXPECT_EQ(events.errors, 2);
        EXPECT_EQ(events.Completions(), 2);
    }
}

TEST_F(HTTPGetBadInputTest, HugeHeaderFails) {
    server.Serve(
        "/huge",
        ScriptedResponse("HTTP/1.0 200 OK",
                         {"X-Filler: " + std::string(1 << 20, 'x'), "Content-Length: 2"}, "ok"));
    Fetch("/huge");
    FetchString("/huge");
    EXPECT_EQ(events.errors, 2);
    EXPECT_EQ(events.Completions(), 2);
}

TEST_F(HTTPGetBadInputTest, BodyLongerThanAnnouncedYieldsTheAnnouncedBytes) {
    server.Serve("/long",
                 ScriptedResponse("HTTP/1.0 200 OK", {"Content-Length: 4"}, "1234 and more"));
    QString path = Fetch("/long");
    EXPECT_EQ(events.Completions(), 1);
    EXPECT_EQ(events.fileSize, 4);
    EXPECT_EQ(ReadFile(path), "1234");
}

TEST_F(HTTPGetBadInputTest, SilentServerTimesOutAndCanBeAborted) {
    server.Serve("/quiet", ScriptedResponse::Silent());
    get.StallTimeout = 1;
    FetchString("/quiet");
    EXPECT_EQ(events.errors, 1);

    get.StallTimeout = 0;
    get.URL = server.Url("/quiet");
    get.GetString();
    QTimer::singleShot(300, [&] { get.Abort(); });
    ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }, 5s));
    EXPECT_EQ(events.errors, 2);
    EXPECT_EQ(events.Completions(), 2);
}

TEST_F(HTTPGetBadInputTest, UnwritableTargetsFail) {
    server.Serve("/f", ScriptedResponse::Ok("content"));
    get.URL = server.Url("/f");
    for (const AnsiString& target : {Path("no/such/folder/f"), Path("")}) {
        SCOPED_TRACE(target);
        get.FileName = target;  // a missing folder, then the folder itself
        get.GetFile();
        EXPECT_TRUE(Mentions(events.lastError, "cannot create " + target + ": "));
    }
    EXPECT_EQ(events.errors, 2);
    EXPECT_EQ(events.Completions(), 2);
}

// A link planted where a download goes must not carry the write to the file it points at,
// whether that file exists or the link is left dangling for the write to create it.
TEST_F(HTTPGetBadInputTest, SymbolicLinkAtTheTargetIsRefused) {
    server.Serve("/f", ScriptedResponse::Ok("planted"));
    {
        std::ofstream victim(Path("victim"), std::ios::binary);
        victim << "keep me";
    }
    std::filesystem::create_symlink(Path("victim"), Path("link"));
    std::filesystem::create_symlink(Path("nowhere"), Path("dangling"));
    get.URL = server.Url("/f");
    for (const char* name : {"link", "dangling"}) {
        SCOPED_TRACE(name);
        get.FileName = Path(name);
        get.GetFile();
        EXPECT_TRUE(std::filesystem::is_symlink(Path(name)));
        EXPECT_TRUE(Mentions(events.lastError, get.FileName));
    }
    EXPECT_EQ(events.errors, 2);
    EXPECT_EQ(events.Completions(), 2);
    EXPECT_EQ(ReadFile(folder.filePath("victim")), "keep me");
    EXPECT_FALSE(std::filesystem::exists(Path("nowhere")));
}

TEST_F(HTTPGetBadInputTest, AnnouncedLengthAboveMaxSizeFailsBeforeAnythingIsWritten) {
    get.MaxSize = 4096;
    for (int announced : {4096, 4097, 1 << 30}) {
        SCOPED_TRACE(announced);
        events = Events();
        events.Attach(get);
        const bool fits = announced <= get.MaxSize;
        // The body sent is short of a huge announcement; only the announcement is judged.
        server.Serve("/f", ScriptedResponse("HTTP/1.0 200 OK",
                                            {"Content-Length: " + std::to_string(announced)},
                                            Body(std::min(announced, 5000))));
        {
            std::ofstream existing(Path("f"), std::ios::binary | std::ios::trunc);
            existing << "installed program";
        }
        const QString path = Fetch("/f");
        FetchString("/f");
        if (fits) {
            EXPECT_EQ(events.doneFiles, 1);
            EXPECT_EQ(events.doneStrings, 1);
            EXPECT_EQ(ReadFile(path), Body(4096));
            continue;
        }
        EXPECT_EQ(events.errors, 2);
        EXPECT_EQ(events.Completions(), 2);
        EXPECT_TRUE(events.progress.empty());
        EXPECT_EQ(ReadFile(path), "installed program");
        EXPECT_TRUE(Mentions(events.lastError, "longer than 4096 bytes"));
    }
}

// A version text has at most 4 KiB. One of 5,000 bytes without a length is refused as soon as
// its 4,097th byte is in, not read to its end first: the server, which waits before the rest,
// sees the connection closed.
TEST_F(HTTPGetBadInputTest, ReplyWithoutLengthIsRefusedAtTheBoundNotReadWhole) {
    server.Serve("/Version.txt",
                 ScriptedResponse("HTTP/1.0 200 OK", {}, Body(5000)).PauseInBody(4097, 10s));
    get.MaxSize = 4096;
    const auto start = std::chrono::steady_clock::now();
    FetchString("/Version.txt");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(events.errors, 1);
    EXPECT_EQ(events.text, "");
    EXPECT_TRUE(Mentions(events.lastError, "longer than 4096 bytes"));
    for (const auto& [total, readed] : events.progress) EXPECT_LE(readed, 4096);
    EXPECT_TRUE(WaitUntil([&] { return server.OpenConnections() == 0; }, 2s));
}

// A reply that never ends, without a length: it used to be read into memory to the 2 GB of the
// byte count. It is cut off at MaxSize, memory stays low, and a file keeps at most MaxSize.
TEST_F(HTTPGetBadInputTest, EndlessReplyIsCutOffAtMaxSize) {
    EndlessHttpServer endless("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n");
    constexpr int kMaxSize = 4096;
    // Should the cut fail, the transfer is stopped here so that the test ends all the same.
    constexpr int kRunaway = 64 << 20;
    get.MaxSize = kMaxSize;
    get.OnProgress = [&](QObject*, int64_t, int64_t readed) {
        events.progress.emplace_back(0, readed);
        if (readed > kRunaway) get.Abort();
    };
    for (bool toFile : {false, true}) {
        SCOPED_TRACE(toFile ? "GetFile" : "GetString");
        events.errors = events.doneFiles = events.doneStrings = 0;
        events.progress.clear();
        ASSERT_TRUE(testsupport::ResetPeakResident());
        const long before = testsupport::ResidentKilobytes();
        get.URL = endless.Url("/Version.txt");
        get.FileName = Path("endless");
        if (toFile) {
            get.GetFile();
        } else {
            get.GetString();
            ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
        }
        EXPECT_EQ(events.errors, 1);
        EXPECT_EQ(events.Completions(), 1);
        EXPECT_TRUE(Mentions(events.lastError, "longer than 4096 bytes"));
        // The piece that crosses the limit is dropped whole, often the very first one.
        int64_t mostReported = 0;
        for (const auto& [total, readed] : events.progress)
            mostReported = std::max(mostReported, readed);
        EXPECT_LE(mostReported, kMaxSize);
        EXPECT_LT(testsupport::PeakResidentKilobytes() - before, 16 * 1024)
            << "kilobytes more at the peak than before the transfer";
        if (toFile) {
            EXPECT_LE(QFileInfo(folder.filePath("endless")).size(), kMaxSize);
        }
    }
    EXPECT_GT(endless.BodyBytesSent(), 2u * kMaxSize);
}

// Whatever the server managed to send before the transfer broke is not a result: after a
// stall "22" of "22.5" was once taken as the latest version.
TEST_F(HTTPGetBadInputTest, StalledCutOffOrResetReplyDeliversNothing) {
    EndlessHttpServer resetting("HTTP/1.0 200 OK\r\n\r\n", 2);
    server.Serve("/stall", ScriptedResponse::Ok("22.5").PauseInBody(2, 10s));
    server.Serve("/stall-open",
                 ScriptedResponse("HTTP/1.0 200 OK", {}, "22.5").PauseInBody(2, 10s));
    server.Serve("/cut", ScriptedResponse::Ok("22.5").DropAfterBody(2));
    get.StallTimeout = 1;
    for (const std::string& url : {server.Url("/stall"), server.Url("/stall-open"),
                                   server.Url("/cut"), resetting.Url("/reset")}) {
        SCOPED_TRACE(url);
        events = Events();
        events.Attach(get);
        get.URL = url;
        const auto start = std::chrono::steady_clock::now();
        get.GetString();
        ASSERT_TRUE(WaitUntil([&] { return !get.Busy(); }));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_EQ(events.errors, 1);
        EXPECT_EQ(events.Completions(), 1);
        EXPECT_EQ(events.text, "");
        EXPECT_TRUE(Mentions(events.lastError, url));
        // The bytes that did come were reported as they came.
        ASSERT_FALSE(events.progress.empty());
        EXPECT_EQ(events.progress.back().second, 2);
    }
}

// Not only silence ends a transfer: a byte now and then, each before StallTimeout is up, is
// no link to wait on. Without a rate floor this reply would take two and a half minutes.
TEST_F(HTTPGetBadInputTest, TrickleEndsAboutAsSoonAsSilenceWould) {
    ScriptedResponse trickle = ScriptedResponse::Ok(Body(100));
    for (size_t at = 1; at < 100; ++at) trickle.PauseInBody(at, 1500ms);
    server.Serve("/trickle", trickle);
    get.StallTimeout = 2;
    const auto start = std::chrono::steady_clock::now();
    FetchString("/trickle");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 7s);
    EXPECT_EQ(events.errors, 1);
    EXPECT_EQ(events.Completions(), 1);
    EXPECT_TRUE(Mentions(events.lastError, "too slow"));
}

// ---- Kept connections ----

// The wizard's components (version text, manifest, each file) fetch one after the other from
// one server; each used to open a connection of its own, a round trip each on a far link.
TEST_F(HTTPGetTest, ComponentsTakeTurnsOnOneKeptConnection) {
    server.Serve("/Version.txt", ScriptedResponse::Ok("3.1").KeepAlive());
    server.Serve("/Version.ini", ScriptedResponse::Ok("[VERSION]").KeepAlive());
    server.Serve("/a.dll", ScriptedResponse::Ok(Body(5000)).KeepAlive());
    THTTPGet manifest;
    manifest.WaitThread = true;
    Events manifestEvents;
    manifestEvents.Attach(manifest);
    const int64_t openedBefore = THTTPGet::ConnectionsOpened();

    FetchString("/Version.txt");
    manifest.URL = server.Url("/Version.ini");
    manifest.FileName = Path("Version.ini");
    manifest.GetFile();
    Fetch("/a.dll");

    EXPECT_EQ(events.text, "3.1");
    EXPECT_EQ(manifestEvents.fileSize, 9);
    EXPECT_EQ(events.fileSize, 5000);
    EXPECT_EQ(ReadFile(folder.filePath("a.dll")), Body(5000));
    EXPECT_EQ(server.ConnectionsAccepted(), 1u);
    EXPECT_EQ(THTTPGet::ConnectionsOpened() - openedBefore, 1);
    const std::vector<testsupport::RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].requestLine, "GET /Version.txt HTTP/1.0");
    EXPECT_EQ(requests[1].requestLine, "GET /Version.ini HTTP/1.0");
    EXPECT_EQ(requests[2].requestLine, "GET /a.dll HTTP/1.0");
    EXPECT_EQ(requests[0].Header("Connection"), "keep-alive");
}

// A server that closes after each reply, or says it keeps the connection and closes it all
// the same, costs a connection per transfer and nothing else.
TEST_F(HTTPGetTest, ServerThatClosesAfterEachReplyStillServesEveryTransfer) {
    struct Case {
        const char* name;
        ScriptedResponse response;
    };
    const std::string body = Body(3000);
    for (const Case& row : {Case{"closes", ScriptedResponse::Ok(body)},
                            Case{"promises and closes",
                                 ScriptedResponse::Ok(body).KeepAlive().DropAfterBody(3000)}}) {
        SCOPED_TRACE(row.name);
        ScriptedHttpServer closing;
        closing.Serve("/f.bin", row.response);
        events = Events();
        events.Attach(get);
        for (int i = 0; i < 3; ++i) {
            get.URL = closing.Url("/f.bin");
            get.FileName = Path("f.bin");
            get.GetFile();
        }
        EXPECT_EQ(events.doneFiles, 3);
        EXPECT_EQ(events.Completions(), 3);
        EXPECT_EQ(ReadFile(folder.filePath("f.bin")), body);
        EXPECT_EQ(closing.ConnectionsAccepted(), 3u);
    }
}

// Concurrent transfers never share a connection; once done, their connections serve later
// transfers instead of new ones.
TEST_F(HTTPGetTest, ConcurrentTransfersUseOneConnectionEachAndKeepThem) {
    constexpr int kTransfers = 4;
    for (int i = 0; i < kTransfers; ++i) {
        server.Serve("/" + std::to_string(i),
                     ScriptedResponse::Ok(Body(20000)).PauseInBody(10000, 200ms).KeepAlive());
    }
    std::vector<std::unique_ptr<THTTPGet>> gets;
    std::vector<Events> all(kTransfers);
    for (int round = 0; round < 2; ++round) {
        gets.clear();
        for (int i = 0; i < kTransfers; ++i) {
            gets.push_back(std::make_unique<THTTPGet>());
            all[i] = Events();
            all[i].Attach(*gets[i]);
            gets[i]->URL = server.Url("/" + std::to_string(i));
            gets[i]->GetString();
        }
        ASSERT_TRUE(WaitUntil([&] {
            return std::none_of(gets.begin(), gets.end(), [](auto& g) { return g->Busy(); });
        }));
        for (int i = 0; i < kTransfers; ++i) EXPECT_EQ(all[i].text, Body(20000)) << i;
    }
    EXPECT_EQ(server.ConnectionsAccepted(), static_cast<size_t>(kTransfers));
    EXPECT_EQ(server.Requests().size(), 2u * kTransfers);
}

// ---- Exact size ----

TEST_F(HTTPGetTest, ExpectedSizeRefusesEveryOtherLength) {
    std::string refusedUrl;
    {
        ScriptedHttpServer gone;
        refusedUrl = gone.Url("/f.bin");
    }
    const std::string body = Body(3000);
    struct Case {
        const char* name;
        std::optional<ScriptedResponse> response;  // none: the server cannot be reached
        int64_t doneSize;                          // -1: OnError
        std::string left;                          // the target afterwards
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"exact", ScriptedResponse::Ok(body), 3000, body, ""},
        {"exact without a length", ScriptedResponse("HTTP/1.0 200 OK", {}, body), -1, body,
         "does not announce its length"},
        {"announced longer", ScriptedResponse::Ok(Body(5000)), -1, "old",
         "announces 5000 bytes, not the expected 3000"},
        {"announced shorter", ScriptedResponse::Ok(Body(2000)), -1, "old",
         "announces 2000 bytes, not the expected 3000"},
        {"runs past", ScriptedResponse("HTTP/1.0 200 OK", {}, Body(100000)), -1, "",
         "longer than the expected 3000 bytes"},
        {"ends short", ScriptedResponse("HTTP/1.0 200 OK", {}, Body(2000)), -1, Body(2000),
         "ended after 2000 of the expected 3000 bytes"},
        {"unreachable", std::nullopt, -1, "old", "connect"},
    };
    get.ExpectedSize = 3000;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        events = Events();
        events.Attach(get);
        if (row.response) server.Serve("/f.bin", *row.response);
        get.URL = row.response ? server.Url("/f.bin") : refusedUrl;
        get.FileName = Path("f.bin");
        {
            std::ofstream existing(get.FileName, std::ios::binary | std::ios::trunc);
            existing << "old";
        }
        get.GetFile();
        EXPECT_EQ(events.Completions(), 1);
        EXPECT_EQ(events.fileSize, row.doneSize);
        const std::string left = ReadFile(folder.filePath("f.bin"));
        if (row.name == std::string("runs past")) {
            // Cut where the piece crossed the size: a prefix, never a byte beyond.
            EXPECT_LE(left.size(), 3000u);
            EXPECT_EQ(left, Body(100000).substr(0, left.size()));
        } else {
            EXPECT_EQ(left, row.left);
        }
        EXPECT_TRUE(Mentions(events.lastError, row.reason));
        for (const auto& [total, readed] : events.progress) EXPECT_LE(readed, 3000);
    }

    // A text is held to the size as well.
    server.Serve("/v.txt", ScriptedResponse("HTTP/1.0 200 OK", {}, "3.10.1"));
    get.ExpectedSize = 3;
    events = Events();
    events.Attach(get);
    FetchString("/v.txt");
    EXPECT_EQ(events.errors, 1);
    EXPECT_TRUE(Mentions(events.lastError, "longer than the expected 3 bytes"));

    get.MaxSize = int64_t(1) << 32;
    get.ExpectedSize = int64_t(1) << 40;
    FetchString("/v.txt");
    EXPECT_EQ(events.errors, 2);
    EXPECT_TRUE(Mentions(events.lastError, "above the limit"));
}

// ---- Resumed files ----

class HTTPGetResumeTest : public HTTPGetTest {
protected:
    void SetUp() override {
        HTTPGetTest::SetUp();
        get.Resume = true;
        get.URL = server.Url("/f.bin");
        get.FileName = Path("f.bin");
    }

    // A first attempt at /f.bin breaks off after `bytes` of a longer body whose reply carries
    // `validators`, and leaves a partial copy.
    void LeavePartialCopy(size_t bytes, const std::vector<std::string>& validators) {
        std::vector<std::string> head = validators;
        head.push_back("Content-Length: " + std::to_string(bytes + 2000));
        FetchFile(
            ScriptedResponse("HTTP/1.0 200 OK", head, Body(bytes + 2000)).DropAfterBody(bytes));
        EXPECT_EQ(events.errors, 1);
        EXPECT_EQ(ReadFile(folder.filePath("f.bin.part")), Body(bytes));
        EXPECT_FALSE(QFile::exists(folder.filePath("f.bin")));
    }

    // Fetches /f.bin after a first attempt broke off at half; the first reply carries
    // `validators`. Returns the second request.
    testsupport::RecordedRequest CutThenFetch(const std::vector<std::string>& validators,
                                              ScriptedResponse second) {
        const size_t before = server.Requests().size();
        LeavePartialCopy(2000, validators);
        const testsupport::RecordedRequest request = FetchFile(std::move(second));
        EXPECT_EQ(server.Requests().size(), before + 2);
        return request;
    }

    // Serves `reply` for /f.bin and fetches it with fresh events; returns the last request.
    testsupport::RecordedRequest FetchFile(ScriptedResponse reply) {
        server.Serve("/f.bin", std::move(reply));
        events = Events();
        events.Attach(get);
        get.GetFile();
        return server.Requests().back();
    }

    void ExpectComplete(const std::string& body) {
        EXPECT_EQ(events.doneFiles, 1);
        EXPECT_EQ(events.Completions(), 1);
        EXPECT_EQ(events.fileSize, int64_t(body.size()));
        EXPECT_TRUE(ReadFile(folder.filePath("f.bin")) == body);
        EXPECT_FALSE(QFile::exists(folder.filePath("f.bin.part")));
        EXPECT_FALSE(QFile::exists(folder.filePath("f.bin.part.info")));
    }

    static ScriptedResponse Rest(const std::string& range, size_t from) {
        const std::string rest = Body(4000).substr(from);
        return ScriptedResponse(
            "HTTP/1.0 206 Partial Content",
            {"Content-Range: " + range, "Content-Length: " + std::to_string(rest.size())}, rest);
    }
};

// A Last-Modified date (one-second resolution) or a weak ETag may stay the same across two
// versions; a copy made under one is continued only for a caller that checks the whole file.
// A weak ETag is never sent in If-Range, where servers compare strongly.
TEST_F(HTTPGetResumeTest, CutTransferContinuesOnlyUnderAValidatorThatCannotJoinTwoVersions) {
    const std::string date = "Mon, 01 Jan 2024 00:00:00 GMT";
    struct Case {
        const char* name;
        std::vector<std::string> validators;
        bool checkedAfterwards;              // ContinueOnWeakValidator
        std::optional<std::string> ifRange;  // none: starts over
    };
    const std::vector<Case> cases = {
        {"strong ETag", {"ETag: \"v1\"", "Last-Modified: " + date}, false, "\"v1\""},
        {"date, checked", {"Last-Modified: " + date}, true, date},
        {"weak ETag and date, checked", {"ETag: W/\"v1\"", "Last-Modified: " + date}, true, date},
        {"date", {"Last-Modified: " + date}, false, std::nullopt},
        {"weak ETag and date", {"ETag: W/\"v1\"", "Last-Modified: " + date}, false, std::nullopt},
        {"weak ETag, checked", {"ETag: W/\"v1\""}, true, std::nullopt},
    };
    get.ExpectedSize = 4000;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        QFile::remove(folder.filePath("f.bin"));
        get.ContinueOnWeakValidator = row.checkedAfterwards;
        const testsupport::RecordedRequest second =
            CutThenFetch(row.validators, row.ifRange ? Rest("bytes 2000-3999/4000", 2000)
                                                     : ScriptedResponse::Ok(Body(4000)));
        EXPECT_EQ(second.Header("If-Range"), row.ifRange);
        EXPECT_EQ(second.Header("Range").has_value(), row.ifRange.has_value());
        ExpectComplete(Body(4000));
        // Progress counts the whole file, the part kept from before included.
        ASSERT_FALSE(events.progress.empty());
        EXPECT_EQ(events.progress.front(), Progress(4000, row.ifRange ? 3025 : 1025));
        EXPECT_EQ(events.progress.back(), Progress(4000, 4000));
    }
}

// A server that goes by Range but ignores If-Range sends the rest of its new version; its own
// validator gives it away, and the copy is asked for whole instead of joined.
TEST_F(HTTPGetResumeTest, RestOfAnotherVersionIsNeverJoined) {
    LeavePartialCopy(2000, {"ETag: \"v1\""});
    ScriptedResponse rest = Rest("bytes 2000-3999/4000", 2000);
    rest.head.insert(rest.head.find("\r\n") + 2, "ETag: \"v2\"\r\n");
    FetchFile(rest);
    const std::vector<testsupport::RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].Header("If-Range"), "\"v1\"");
    // Asked again for the whole file; this server answers even that with its part.
    EXPECT_EQ(requests[2].Header("Range"), std::nullopt);
    EXPECT_EQ(events.errors, 1);
    EXPECT_TRUE(Mentions(events.lastError, "part of the file where the whole was asked for"));
    EXPECT_FALSE(QFile::exists(folder.filePath("f.bin")));
    EXPECT_FALSE(QFile::exists(folder.filePath("f.bin.part")));
}

// A copy as long as the bound leaves no rest that could fit (a Range request would get a 416),
// and one beyond it made the limit of the rest negative, so the body ran unbounded.
TEST_F(HTTPGetResumeTest, PartialCopyThatReachesOrPassesTheBoundStartsOver) {
    struct Case {
        const char* name;
        size_t kept;
        int64_t expectedSize, maxSize;
    };
    for (const Case& row :
         {Case{"as long as the expected size", 4000, 4000, 0},
          Case{"beyond the expected size", 5000, 4000, 0},
          Case{"as long as MaxSize", 4000, -1, 4000}, Case{"beyond MaxSize", 4500, -1, 4000}}) {
        SCOPED_TRACE(row.name);
        QFile::remove(folder.filePath("f.bin"));
        get.ExpectedSize = -1;
        get.MaxSize = 0;
        LeavePartialCopy(row.kept, {"ETag: \"v1\""});
        get.ExpectedSize = row.expectedSize;
        get.MaxSize = row.maxSize;
        EXPECT_EQ(FetchFile(ScriptedResponse::Ok(Body(4000))).Header("Range"), std::nullopt);
        ExpectComplete(Body(4000));
    }
}

// A cut transfer left an ETag; the next attempt got a whole reply without any validator and
// was cut too. Its copy holds the new bytes, so nothing may vouch for them with the old ETag.
TEST_F(HTTPGetResumeTest, ValidatorOfAnOlderCopyIsNeverSentForANewerOne) {
    LeavePartialCopy(2000, {"ETag: \"v1\""});
    EXPECT_EQ(FetchFile(ScriptedResponse::Ok(Body(4000)).DropAfterBody(1500)).Header("If-Range"),
              "\"v1\"");
    EXPECT_EQ(ReadFile(folder.filePath("f.bin.part")), Body(1500));
    EXPECT_FALSE(QFile::exists(folder.filePath("f.bin.part.info")));

    const testsupport::RecordedRequest third = FetchFile(ScriptedResponse::Ok(Body(4000)));
    EXPECT_EQ(third.Header("Range"), std::nullopt);
    EXPECT_EQ(third.Header("If-Range"), std::nullopt);
    ExpectComplete(Body(4000));
}

TEST_F(HTTPGetResumeTest, WholeReplyOrNoValidatorStartsOver) {
    const std::string changed = Body(5000).substr(1000);  // another file of 4000 bytes
    struct Case {
        const char* name;
        std::vector<std::string> validators;
        ScriptedResponse second;
        std::string result;
        bool askedRange;
    };
    const std::vector<Case> cases = {
        {"changed file",
         {"ETag: \"v1\""},
         ScriptedResponse("HTTP/1.0 200 OK", {"ETag: \"v2\"", "Content-Length: 4000"}, changed),
         changed,
         true},
        {"server without ranges",
         {"ETag: \"v1\""},
         ScriptedResponse::Ok(Body(4000)),
         Body(4000),
         true},
        {"no validator", {}, ScriptedResponse::Ok(changed), changed, false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        QFile::remove(folder.filePath("f.bin"));
        events = Events();
        events.Attach(get);
        const testsupport::RecordedRequest second = CutThenFetch(row.validators, row.second);
        EXPECT_EQ(second.Header("Range").has_value(), row.askedRange);
        ExpectComplete(row.result);
        ASSERT_FALSE(events.progress.empty());
        EXPECT_EQ(events.progress.front(), Progress(4000, 1025));
    }
}

// A range that does not continue the copy must not be spliced onto it; the copy is dropped so
// that the next attempt starts clean. Another URL for the same file does not resume either.
TEST_F(HTTPGetResumeTest, RangeThatDoesNotFitOrAnotherUrlIsNotAppended) {
    for (const char* range : {"bytes 1000-3999/4000", "bytes 2000-2999/4000", "bytes */4000"}) {
        SCOPED_TRACE(range);
        events = Events();
        events.Attach(get);
        CutThenFetch({"ETag: \"v1\""}, Rest(range, 2000));
        EXPECT_EQ(events.errors, 1);
        EXPECT_TRUE(Mentions(events.lastError, "does not continue the partial copy"));
        EXPECT_FALSE(QFile::exists(folder.filePath("f.bin.part")));
        EXPECT_FALSE(QFile::exists(folder.filePath("f.bin")));
    }

    events = Events();
    events.Attach(get);
    server.Serve("/old.bin", ScriptedResponse("HTTP/1.0 200 OK",
                                              {"ETag: \"v1\"", "Content-Length: 4000"}, Body(4000))
                                 .DropAfterBody(2000));
    get.URL = server.Url("/old.bin");
    get.GetFile();
    EXPECT_EQ(ReadFile(folder.filePath("f.bin.part")), Body(2000));
    get.URL = server.Url("/f.bin");
    EXPECT_EQ(FetchFile(ScriptedResponse::Ok(Body(4000))).Header("Range"), std::nullopt);
    ExpectComplete(Body(4000));
}

TEST_F(HTTPGetResumeTest, AbortAndFailuresKeepThePartialCopyAndLeaveTheTargetAlone) {
    {
        std::ofstream installed(Path("f.bin"), std::ios::binary);
        installed << "installed";
    }
    server.Serve("/f.bin", ScriptedResponse("HTTP/1.0 200 OK",
                                            {"ETag: \"v1\"", "Content-Length: 4000"}, Body(4000))
                               .PauseInBody(2050, 10s));
    get.OnProgress = [&](QObject*, int64_t, int64_t readed) {
        if (readed >= 2050) get.Abort();
    };
    get.GetFile();
    EXPECT_EQ(events.errors, 1);
    EXPECT_EQ(ReadFile(folder.filePath("f.bin.part")), Body(2050));
    EXPECT_TRUE(QFile::exists(folder.filePath("f.bin.part.info")));
    EXPECT_EQ(ReadFile(folder.filePath("f.bin")), "installed");

    // An error status or an unreachable server leaves everything for the next attempt.
    std::string refusedUrl;
    {
        ScriptedHttpServer gone;
        refusedUrl = gone.Url("/f.bin");
    }
    server.Serve("/f.bin", ScriptedResponse("HTTP/1.0 503 Busy", {"Content-Length: 0"}, ""));
    for (const std::string& url : {server.Url("/f.bin"), refusedUrl}) {
        SCOPED_TRACE(url);
        get.URL = url;
        get.GetFile();
        EXPECT_EQ(events.doneFiles, 0);
        EXPECT_EQ(ReadFile(folder.filePath("f.bin.part")), Body(2050));
        EXPECT_EQ(ReadFile(folder.filePath("f.bin")), "installed");
    }
    EXPECT_EQ(events.errors, 3);

    get.URL = server.Url("/f.bin");
    events = Events();
    events.Attach(get);
    server.Serve("/f.bin", Rest("bytes 2050-3999/4000", 2050));
    get.GetFile();
    EXPECT_EQ(server.Requests().back().Header("Range"), "bytes=2050-");
    ExpectComplete(Body(4000));
}

// The partial copy and its information file are the component's own: a link planted at
// either used to block the file for good. It goes, and what it led to stays untouched. A link
// at the target itself is still refused.
TEST_F(HTTPGetResumeTest, PlantedLinksAtThePartialCopyAreRemovedAndAtTheTargetRefused) {
    {
        std::ofstream victim(Path("victim"), std::ios::binary);
        victim << "keep me";
    }
    server.Serve("/f.bin", ScriptedResponse::Ok(Body(4000)));
    struct Case {
        const char* name;
        const char* leadsTo;
        bool refused;
    };
    for (const Case& row :
         {Case{"f.bin.part", "victim", false}, Case{"f.bin.part.info", "victim", false},
          Case{"f.bin.part", "nowhere", false}, Case{"f.bin", "victim", true}}) {
        SCOPED_TRACE(std::string(row.name) + " -> " + row.leadsTo);
        QFile::remove(folder.filePath("f.bin"));
        std::filesystem::create_symlink(Path(row.leadsTo), Path(row.name));
        events = Events();
        events.Attach(get);
        get.GetFile();
        if (row.refused) {
            EXPECT_EQ(events.errors, 1);
            EXPECT_TRUE(std::filesystem::is_symlink(Path(row.name)));
            EXPECT_TRUE(Mentions(events.lastError, Path(row.name)));
            std::filesystem::remove(Path(row.name));
        } else {
            ExpectComplete(Body(4000));
        }
    }
    EXPECT_EQ(ReadFile(folder.filePath("victim")), "keep me");
    EXPECT_FALSE(std::filesystem::exists(Path("nowhere")));
}

// nginx goes by If-Range and answers a request for the rest of a copy that is already whole
// with 416. That must not end the download: the copy is asked for again, whole.
TEST_F(HTTPGetResumeTest, CopyThatIsAlreadyWholeIsFetchedAgainFromARealServer) {
    QTemporaryDir served;
    NginxServer nginx(served.path());
    const std::string body = Body(100000);  // not a whole number of chunks
    {
        std::ofstream file((nginx.WwwFolder() + "/f.bin").toStdString(), std::ios::binary);
        file << body;
    }
    get.URL = nginx.Url("/f.bin").toStdString();
    // Aborted in the last progress call, which comes after the body is all in: the copy is
    // whole, and stays a copy.
    get.OnProgress = [&](QObject*, int64_t total, int64_t readed) {
        if (readed == total) get.Abort();
    };
    get.GetFile();
    EXPECT_EQ(events.errors, 1);
    EXPECT_TRUE(ReadFile(folder.filePath("f.bin.part")) == body);
    EXPECT_FALSE(QFile::exists(folder.filePath("f.bin")));

    events = Events();
    events.Attach(get);
    get.GetFile();
    EXPECT_EQ(get.LastError(), "");
    ExpectComplete(body);
    EXPECT_EQ(events.progress.front(), Progress(100000, 1025));
}

// ---- System calls ----

// Not run by itself: three resumed downloads into the folder HTTPGET_TRACE_FOLDER, with
// FlushWhenComplete as HTTPGET_TRACE_FLUSH says ("1" or "0"), for the test below to trace.
TEST(HTTPGetTraced, DISABLED_ThreeResumedDownloads) {
    const QString folder = qEnvironmentVariable("HTTPGET_TRACE_FOLDER");
    ASSERT_FALSE(folder.isEmpty());
    ScriptedHttpServer server;
    THTTPGet get;
    get.WaitThread = true;
    get.Resume = true;
    get.FlushWhenComplete = qEnvironmentVariable("HTTPGET_TRACE_FLUSH") == "1";
    for (const char* name : {"a.dll", "b.dll", "c.dll"}) {
        server.Serve(
            std::string("/") + name,
            ScriptedResponse("HTTP/1.0 200 OK", {"ETag: \"1\"", "Content-Length: 5000"}, Body(5000))
                .KeepAlive());
        get.URL = server.Url(std::string("/") + name);
        get.FileName = (folder + "/" + name).toStdString();
        get.GetFile();
        EXPECT_EQ(get.LastError(), "");
    }
}

// What a resumed download costs in calls on its files, traced with strace: the field traced
// 2.5 failing opens per file and a copy opened a second time only to be flushed. Now the copy
// is opened once (made when missing), its information file once, nothing fails, and the flush
// is left out for a caller that flushes in batches.
TEST_F(HTTPGetTest, ResumedDownloadOpensEachFileOnceAndNoCallFails) {
    QProcess probe;
    probe.start("strace", {"-o", "/dev/null", "true"});
    if (!probe.waitForFinished() || probe.exitCode() != 0) {
        GTEST_SKIP() << "strace is missing or cannot trace processes here";
    }
    // strace shows the paths that the program opens as it gives them.
    const QString downloads = QFileInfo(folder.path()).canonicalFilePath();
    for (const bool flush : {true, false}) {
        SCOPED_TRACE(flush ? "flushed" : "not flushed");
        const QString trace = folder.filePath(flush ? "flushed.trace" : "unflushed.trace");
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HTTPGET_TRACE_FOLDER", downloads);
        environment.insert("HTTPGET_TRACE_FLUSH", flush ? "1" : "0");
        // LeakSanitizer cannot run under a tracer: in a build with it, the traced run would
        // fail at its end, after the downloads.
        const QString sanitizer = environment.value("ASAN_OPTIONS");
        environment.insert("ASAN_OPTIONS",
                           sanitizer + (sanitizer.isEmpty() ? "" : ":") + "detect_leaks=0");
        child.setProcessEnvironment(environment);
        child.start("strace",
                    {"-f", "-qq", "-o", trace, "-e",
                     "trace=openat,open,creat,fsync,fdatasync,rename,renameat,renameat2,unlink,"
                     "unlinkat",
                     QCoreApplication::applicationFilePath(), "--gtest_also_run_disabled_tests",
                     "--gtest_filter=HTTPGetTraced.DISABLED_ThreeResumedDownloads"});
        ASSERT_TRUE(child.waitForFinished(60000));
        ASSERT_EQ(child.exitCode(), 0) << child.readAllStandardOutput().toStdString();

        std::map<std::string, int> calls;  // on the downloads' files, by name of call
        int failed = 0;
        std::istringstream lines(ReadFile(trace));
        for (std::string line; std::getline(lines, line);) {
            const size_t call = line.find_first_not_of("0123456789 ");
            const std::string name = line.substr(call, line.find('(', call) - call);
            const bool onDownloads = line.find(downloads.toStdString()) != std::string::npos;
            // fdatasync names a descriptor, not a path; only the downloads flush here.
            if (!onDownloads && name != "fdatasync") continue;
            ++calls[name];
            if (line.find(" = -1 ") != std::string::npos) ++failed;
        }
        EXPECT_EQ(failed, 0);
        // Per file: the copy and its information file opened, renamed, information removed.
        std::map<std::string, int> expected = {{"openat", 2 * 3}, {"rename", 3}, {"unlink", 3}};
        if (flush) expected["fdatasync"] = 3;
        EXPECT_EQ(calls, expected);
        EXPECT_EQ(ReadFile(folder.filePath("c.dll")), Body(5000));
        for (const char* name : {"a.dll", "b.dll", "c.dll"}) QFile::remove(folder.filePath(name));
    }
}

// ---- Slow links ----

// A byte now and then keeps libcurl's own stall check quiet; the rate floor ends it.
TEST_F(HTTPGetBadInputTest, SlowLinkFailsWithinItsLimit) {
    ScriptedResponse trickle = ScriptedResponse::Ok(Body(100));
    for (size_t at = 10; at < 100; at += 10) trickle.PauseInBody(at, 300ms);
    server.Serve("/trickle", trickle);
    struct Case {
        int bytes;
        bool ends;
    };
    for (const Case row : {Case{50, true}, Case{20, false}}) {
        SCOPED_TRACE(row.bytes);
        events = Events();
        events.Attach(get);
        get.SlowLimitBytes = row.bytes;
        get.SlowLimitSeconds = 1;
        const auto start = std::chrono::steady_clock::now();
        FetchString("/trickle");
        const auto took = std::chrono::steady_clock::now() - start;
        if (row.ends) {
            EXPECT_EQ(events.errors, 1);
            EXPECT_TRUE(Mentions(events.lastError, "too slow: fewer than 50 bytes arrived in 1"));
            EXPECT_LT(took, 2500ms);
        } else {
            EXPECT_EQ(events.text, Body(100));
        }
    }
}

// A handler that keeps the GUI thread busy holds the transfer up; that is not the link's fault.
TEST_F(HTTPGetTest, TimeInProgressHandlersIsNotCountedAgainstTheLink) {
    server.Serve("/f.bin", ScriptedResponse::Ok(Body(3000)));
    get.SlowLimitBytes = 1 << 20;
    get.SlowLimitSeconds = 1;
    get.OnProgress = [](QObject*, int64_t, int64_t) { QThread::msleep(500); };
    Fetch("/f.bin");
    EXPECT_EQ(events.fileSize, 3000);
}

}  // namespace

int main(int argc, char** argv) {
    // Every server of these tests is on 127.0.0.1; a proxy from the environment must not
    // stand between.
    for (const char* proxy :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        qunsetenv(proxy);
    }
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
