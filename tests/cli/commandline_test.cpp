// The command-line face as administrators' scripts and timers meet it: the real program, run
// without a display in an application folder of its own, against real servers on 127.0.0.1.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QDirIterator>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/programrun.h"
#include "core/updaterstate.h"
#include "core/utctime.h"
#include "platform/codepage.h"
#include "support/scriptedhttpserver.h"

namespace {

using testsupport::ScriptedHttpServer;
using testsupport::ScriptedResponse;

// The sample update server, served by a real server program on a free port.
class SampleServer {
public:
    SampleServer() {
        server_.setProgram("python3");
        server_.setArguments({"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory",
                              SENDRIFT_EXAMPLES "/server"});
        server_.setProcessChannelMode(QProcess::MergedChannels);
        server_.start();
        const QRegularExpression serving(R"(port (\d+))");
        while (port_ == 0 && server_.waitForReadyRead(10000)) {
            const QRegularExpressionMatch match = serving.match(server_.readAll());
            if (match.hasMatch()) port_ = match.captured(1).toInt();
        }
    }
    ~SampleServer() {
        server_.kill();
        server_.waitForFinished();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    bool Running() const { return port_ != 0; }

private:
    QProcess server_;
    int port_ = 0;
};

// The files below `root`, by relative path, with their bytes.
std::map<std::string, std::string> Tree(const QString& root) {
    std::map<std::string, std::string> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        std::ifstream in(path.toStdString(), std::ios::binary);
        files[QDir(root).relativeFilePath(path).toStdString()] = {
            std::istreambuf_iterator<char>(in), {}};
    }
    return files;
}

TEST(CommandLine, AnswersHelpVersionAndWrongUsageAsDebianToolsDo) {
    AppFolder app("http://127.0.0.1:1");
    const struct {
        QStringList arguments;
        int exitCode;
        const char* printed;  // on standard output for 0, on standard error otherwise
    } cases[] = {
        {{"--help"}, 0, "usage: sendrift"},
        {{"--version"}, 0, "sendrift 3.0.0\n"},
        {{"--bogus"}, 64, "unknown option --bogus\nusage: sendrift"},
        {{"--check", "--unattended"}, 64, "choose one of"},
        {{"--json"}, 64, "need --check or --unattended"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const Outcome outcome = app.Run(c.arguments);
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_NE((c.exitCode == 0 ? outcome.out : outcome.err).find(c.printed), std::string::npos)
            << outcome.out << outcome.err;
    }
    EXPECT_EQ(app.Read("sendrift.log"), "<missing>") << "wrong usage touches nothing";
}

TEST(CommandLine, CheckFetchesNothingButTheVersionAndItsManifestAndSaysWhatItFound) {
    ScriptedHttpServer server;
    server.Serve("/Update/Version.txt", ScriptedResponse::Ok("2.0"));
    // The manifest tells whether a staged rollout offers the release here yet.
    server.Serve("/Update/Version.ini",
                 ScriptedResponse::Ok("[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=a.dll;0\r\n"));
    const struct {
        const char* name;
        std::string url;
        std::string installed;
        int exitCode;
        std::string plain;  // the plain report's words
        bool update;
    } cases[] = {
        {"update available", server.Url(), "1.0", 0, "version 2.0 is available", true},
        {"up to date", server.Url(), "2.0", 2, "is the latest: nothing to do", false},
        {"server down", "http://127.0.0.1:1", "1.0", 1, "127.0.0.1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AppFolder app(c.url, c.installed);
        const Outcome plain = app.Run({"--check"});
        EXPECT_EQ(plain.exitCode, c.exitCode);
        EXPECT_NE((plain.out + plain.err).find(c.plain), std::string::npos)
            << plain.out << plain.err;

        const Outcome json = app.Run({"--check", "--json"});
        EXPECT_EQ(json.exitCode, c.exitCode);
        const std::vector<QJsonObject> events = json.Events();
        ASSERT_EQ(events.size(), 1u) << json.out;
        if (c.exitCode == 1) {
            EXPECT_EQ(events[0].value("event").toString(), "failed");
            EXPECT_EQ(events[0].value("step").toString(), "version-check");
            EXPECT_TRUE(events[0].value("reason").toString().contains("127.0.0.1"));
        } else {
            EXPECT_EQ(events[0].value("event").toString(), "checked");
            EXPECT_EQ(events[0].value("update").toBool(), c.update);
            EXPECT_EQ(events[0].value("latest").toString(), c.update ? "2.0" : "2.0");
        }
        EXPECT_EQ(app.Read("Version.ini"), "<missing>") << "a check makes no journal";
        EXPECT_EQ(app.Read("Update"), "<missing>");
    }
    for (const auto& request : server.Requests())
        EXPECT_TRUE(request.requestLine == "GET /Update/Version.txt HTTP/1.0" ||
                    request.requestLine == "GET /Update/Version.ini HTTP/1.0")
            << request.requestLine;
}

TEST(CommandLine, UpgradesTheSampleWithoutADisplayThenHasNothingToDo) {
    SampleServer server;
    ASSERT_TRUE(server.Running());
    AppFolder app(server.Url());
    std::filesystem::copy(
        SENDRIFT_EXAMPLES "/app", app.Folder().toStdString(),
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::skip_existing);
    app.Write("setup.ini", "[CONNECT]\r\nURL=" + server.Url() +
                               "\r\nPath=Update\r\n[VERSION]\r\nVERSION=1.0\r\n");

    const Outcome upgrade = app.Run({"--unattended", "--json"});
    ASSERT_EQ(upgrade.exitCode, 0) << upgrade.out << upgrade.err;
    const std::vector<std::string> names = upgrade.EventNames();
    const std::vector<std::string> expected = {
        "started",       "checked",      "listed",        "file-started",  "file-started",
        "file-started",  "file-started", "file-finished", "file-finished", "file-finished",
        "file-finished", "installed",    "finished"};
    EXPECT_EQ(names, expected) << upgrade.out;
    const std::vector<QJsonObject> events = upgrade.Events();
    int64_t listedBytes = events[2].value("bytes").toInteger();
    int64_t finishedBytes = 0;
    for (const QJsonObject& event : events)
        if (event.value("event") == "file-finished")
            finishedBytes += event.value("bytes").toInteger();
    EXPECT_EQ(finishedBytes, listedBytes);
    EXPECT_EQ(events.back().value("version").toString(), "2.0");

    // Every file of the release is in place, as the wizard installs it, and the release's
    // script has run.
    std::map<std::string, std::string> installed = Tree(app.Folder());
    for (const auto& [name, bytes] : Tree(SENDRIFT_EXAMPLES "/release-2.0")) {
        if (name == "setup.ini" || name == "UpgradeData.sh") continue;
        EXPECT_EQ(installed[name], bytes) << name;
    }
    EXPECT_NE(app.Read("upgrade.log").find("data converted to version 2.0"), std::string::npos);
    EXPECT_NE(app.Read("setup.ini").find("VERSION=2.0"), std::string::npos);
    const std::string log = app.Read("sendrift.log");
    EXPECT_NE(log.find("unattended: started, version 1.0 installed"), std::string::npos) << log;
    EXPECT_NE(log.find("unattended: upgraded to 2.0, 4 files"), std::string::npos) << log;

    const Outcome again = app.Run({"--unattended"});
    EXPECT_EQ(again.exitCode, 2) << again.out << again.err;
    EXPECT_NE(app.Read("sendrift.log").find("unattended: nothing to do"), std::string::npos);
}

// A release opened to a growing share waits for this installation, unless the run says --now.
TEST(CommandLine, AStagedRolloutIsObeyedUnlessTheRunSaysNow) {
    ScriptedHttpServer server;
    server.Serve("/Update/Version.txt", ScriptedResponse::Ok("2.0"));
    server.Serve("/Update/Version.ini",
                 ScriptedResponse::Ok("[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=a.dll;0\r\n[SIZE]\r\n"
                                      "a.dll=5\r\n[ROLLOUT]\r\nSTART=" +
                                      utctime::Format(utctime::Now() - std::chrono::hours(1)) +
                                      "\r\nDAYS=7\r\n"));
    server.Serve("/Update/a.dll", ScriptedResponse::Ok("new a"));
    AppFolder app(server.Url());
    UpdaterState last;  // the last installation that the share reaches
    last.rolloutNumber = UINT32_MAX;
    std::string error;
    ASSERT_TRUE(WriteUpdaterState(
        platform::FromUnicode(QString::fromStdString(app.Path("sendrift.state"))), last, &error))
        << error;

    const Outcome check = app.Run({"--check", "--json"});
    EXPECT_EQ(check.exitCode, 2) << check.out << check.err;
    ASSERT_EQ(check.Events().size(), 1u);
    EXPECT_EQ(check.Events()[0].value("update").toBool(), false);
    EXPECT_FALSE(check.Events()[0].value("offered-from").toString().isEmpty());

    const Outcome waits = app.Run({"--unattended"});
    EXPECT_EQ(waits.exitCode, 2) << waits.out << waits.err;
    EXPECT_NE(waits.out.find("offered it from"), std::string::npos) << waits.out;
    EXPECT_EQ(app.Read("a.dll"), "<missing>");

    const Outcome now = app.Run({"--unattended", "--now"});
    EXPECT_EQ(now.exitCode, 0) << now.out << now.err;
    EXPECT_EQ(app.Read("a.dll"), "new a");
}

// Two processes must never work one journal; the second says so and changes nothing. The first,
// killed in its download, leaves a journal that the next run continues to the end.
TEST(CommandLine, ASecondRunIsRefusedAndAKilledRunIsContinued) {
    const std::string big(3 * 1024 * 1024, 'b');
    ScriptedHttpServer server;
    server.Serve("/Update/Version.txt", ScriptedResponse::Ok("2.0"));
    server.Serve("/Update/Version.ini",
                 ScriptedResponse::Ok("[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n1=a.dll;0\r\n"
                                      "2=big.dat;0\r\n[SIZE]\r\na.dll=5\r\nbig.dat=" +
                                      std::to_string(big.size()) + "\r\n"));
    server.Serve("/Update/a.dll", ScriptedResponse::Ok("new a"));
    server.Serve("/Update/big.dat",
                 ScriptedResponse::Ok(big).PauseInBody(1024 * 1024, std::chrono::seconds(60)));
    AppFolder app(server.Url());

    QProcess first;
    app.Start(first, {"--unattended"});
    auto bigRequested = [&] {
        for (const auto& request : server.Requests())
            if (request.requestLine.find("big.dat") != std::string::npos) return true;
        return false;
    };
    for (int i = 0; i < 200 && !bigRequested(); ++i) first.waitForFinished(50);
    ASSERT_TRUE(bigRequested()) << "the first run is in its download";

    for (const QStringList& arguments : {QStringList{"--unattended"}, QStringList{"--check"},
                                         QStringList{"--unattended", "--json"}}) {
        const Outcome second = app.Run(arguments);
        EXPECT_EQ(second.exitCode, 3) << arguments.join(' ').toStdString();
        EXPECT_NE((second.out + second.err).find("holds the application folder"), std::string::npos)
            << second.out << second.err;
    }
    const std::string journal = app.Read("Version.ini");

    ::kill(pid_t(first.processId()), SIGKILL);
    first.waitForFinished();
    EXPECT_EQ(app.Read("Version.ini"), journal) << "the refused runs changed nothing";
    EXPECT_EQ(app.Read("a.dll"), "<missing>");

    server.Serve("/Update/big.dat", ScriptedResponse::Ok(big));
    const Outcome continued = app.Run({"--unattended", "--json"});
    EXPECT_EQ(continued.exitCode, 0) << continued.out << continued.err;
    EXPECT_EQ(continued.Events().front().value("resumed").toBool(), true);
    EXPECT_EQ(app.Read("a.dll"), "new a");
    EXPECT_EQ(app.Read("big.dat"), big);
    EXPECT_EQ(app.Read("Version.ini"), "<missing>");
}

}  // namespace
