// The wizard's and the command line's whole upgrade against curl, the update list step on a
// long manifest, and the version check with and without a manifest key.
//
// (a) nginx on 127.0.0.1 publishes version 2.0: 200 files of 256 KB under /Update/, each a
//     copy entry of section [1.0]. The wizard runs offscreen in this process on a fresh
//     application folder (no setup.ini), its main button clicked from code, from the click
//     that starts the version check until the finish page: version check, a size query for
//     every file, every download journaled in Version.ini, every copy into place.
//     The same upgrade by the real program, `sendrift --unattended` with no display: a copy
//     of the built program in a fresh application folder whose setup.ini names nginx, timed
//     as a process from its start to its exit (so it also pays for its own start, which the
//     wizard's figure leaves out). Its size queries go to its built-in address, whatever
//     setup.ini names, so nginx serves there too: when that address is not a free port of
//     127.0.0.1, this run is left out and the reason printed.
//     Reference: one curl process that HEADs the 200 URLs and then, after --next, GETs them
//     into a folder. One process rather than one each for HEAD and GET: the wizard's own
//     start is not timed, so curl should pay for only one start as well. curl keeps its
//     connections open from request to request, where the wizard speaks HTTP/1.0 and opens
//     one for each: the reference is the fast client doing the same requests.
// (b) The update list step alone on a manifest of 2,000 entries, each size asked of nginx:
//     from the click in the "update found" state until the list has ended.
// (c) A manifest of 20,000 entries of 1-byte files: the update list step, each size asked of
//     nginx, and the install step of a resumed run (argument "on") whose journal has all
//     20,000 entries waiting in [RUN], their copies in Update\. Goal: each under 10 s. One run
//     each: the parts are long enough to time alone.
// (d) The version check, from the click on "开始" to the "update found" state, of a build with a
//     manifest key against a release that sendrift-publish signed with --key (it fetches the
//     freshness statement and the manifest's signature as well), beside the same check of a
//     build without a key against the same release unsigned (reference). The keyed check is
//     timed twice: on installations that accepted this statement before, and on new ones,
//     which also write and flush sendrift.state. Each from its own nginx, which counts the
//     requests; median of 15.
// Each figure is the median of 3 runs after one warm-up; the rounds of (a) rotate which of the
// three goes first, and each ratio is the median of the rounds' ratios. The figures measured
// on this machine before the engine left the window are printed beside the new ones. Beside each
// wall time stands the processor time spent meanwhile (the wizard's process, all its threads;
// curl), and the load average: on a busy machine the wall times grow with the load, the processor
// times much less. `bench_upgrade upgrade`, `list`, `long` or `check` runs one part alone.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "app/formparts.h"
#include "app/window/mainform.h"
#include "app/window/notebook.h"
#include "bench/support/die.h"
#include "bench/support/median.h"
#include "bench/support/meter.h"
#include "bench/support/nginxserver.h"
#include "bench/support/offscreenwizard.h"
#include "net/httpget/httpget.h"
#include "platform/codepage.h"
#include "support/waituntil.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUpgradeFiles = 200;
constexpr qint64 kUpgradeFileSize = 256 << 10;
constexpr int kListEntries = 2000;
constexpr int kLongEntries = 20000;
constexpr double kLongGoalSeconds = 10.0;
constexpr int kCheckFiles = 200;
constexpr int kCheckRuns = 15;
constexpr int kRuns = 3;
constexpr double kRatioGoal = 3.0;
constexpr double kListGoalSeconds = 1.0;
// No step of a healthy run on 127.0.0.1 comes near this.
constexpr auto kStepLimit = std::chrono::seconds(120);

// The same parts measured with the wizard before its steps moved into the engine, on this
// machine at a load average of about 1, for comparison: a figure of the redesign should be no
// worse.
struct EarlierFigures {
    double upgrade = 1.101, curl = 0.102, ratio = 10.74;
    double list2000 = 0.270;
    double list20000 = 2.963, install20000 = 4.615;
};
constexpr EarlierFigures kBeforeRedesign;

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        Die("cannot write " + path.toStdString());
}

// Publishes version 2.0 under /Update/ with one copy entry for each file, all in section
// [1.0], the version a folder without setup.ini has installed.
void Publish(const NginxServer& nginx, const QStringList& names,
             const std::function<QByteArray(int)>& contents) {
    const QString update = nginx.WwwFolder() + "/Update";
    QDir().mkpath(update);
    QByteArray manifest = "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n";
    for (int i = 0; i < names.size(); ++i) {
        WriteFile(update + "/" + names[i], contents(i));
        manifest += QByteArray::number(i + 1) + "=" + names[i].toLatin1() + ";0\r\n";
    }
    WriteFile(update + "/Version.txt", "2.0");
    WriteFile(update + "/Version.ini", manifest);
}

QStringList FileNames(int count) {
    QStringList names;
    for (int i = 0; i < count; ++i) names << QString("f%1.bin").arg(i, 4, 10, QChar('0'));
    return names;
}

// Dies unless the upgrade left every file in `folder` and recorded version 2.0.
void CheckUpgraded(const QDir& folder, const QStringList& names) {
    for (const QString& name : names)
        if (QFileInfo(folder.filePath(name)).size() != kUpgradeFileSize)
            Die("the upgrade did not put " + name.toStdString() + " in place");
    QFile setup(folder.filePath("setup.ini"));
    if (!setup.open(QIODevice::ReadOnly) || !setup.readAll().contains("VERSION=2.0"))
        Die("the upgrade did not record version 2.0");
}

OffscreenWizard::UpgradeCost RunUpgrade(const QString& serverUrl, const QStringList& names) {
    OffscreenWizard wizard(serverUrl);
    const OffscreenWizard::UpgradeCost run = wizard.ClickThroughUpgrade();
    CheckUpgraded(QDir(wizard.Path("")), names);
    return run;
}

// The port of 127.0.0.1 where the built program asks its size queries, when nginx may serve
// there; otherwise why not.
std::variant<int, std::string> BuiltInPort() {
    const QRegularExpressionMatch match =
        QRegularExpression(R"(^http://127\.0\.0\.1:(\d+)$)").match(SENDRIFT_SERVER_URL);
    if (!match.hasMatch())
        return std::string("its built-in address " SENDRIFT_SERVER_URL " is not on this machine");
    const int port = match.captured(1).toInt();
    if (!PortIsFree(port))
        return "its built-in address " SENDRIFT_SERVER_URL " is taken by another program";
    return port;
}

// The same upgrade by the built program with no display: a copy of it in a fresh application
// folder that names `serverUrl` in setup.ini, timed from its start to its exit.
Cost RunUnattended(const QString& serverUrl, const QStringList& names) {
    QTemporaryDir folder;
    if (!folder.isValid()) Die("no temporary folder");
    if (!QFile::copy(SENDRIFT_BINARY, folder.filePath("sendrift")))
        Die("cannot copy " SENDRIFT_BINARY);
    WriteFile(folder.filePath("setup.ini"), "[CONNECT]\r\nURL=" + serverUrl.toLatin1() +
                                                "\r\nPath=Update\r\n[VERSION]\r\nVERSION=1.0\r\n");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    QProcess sendrift;
    sendrift.setProcessEnvironment(environment);
    sendrift.setProcessChannelMode(QProcess::MergedChannels);
    const Meter meter(Meter::Children);
    sendrift.start(folder.filePath("sendrift"), {"--unattended"});
    const bool ended = sendrift.waitForFinished(120000);
    const Cost cost = meter.Read();
    if (!ended || sendrift.exitStatus() != QProcess::NormalExit || sendrift.exitCode() != 0)
        Die("sendrift --unattended ended with " + std::to_string(sendrift.exitCode()) + ":\n" +
            sendrift.readAll().toStdString());
    CheckUpgraded(QDir(folder.path()), names);
    return cost;
}

Cost RunCurl(const NginxServer& nginx, const QStringList& names) {
    QTemporaryDir target;
    if (!target.isValid()) Die("no temporary folder");
    QStringList arguments{"-s", "--noproxy", "*", "-I"};
    for (const QString& name : names) arguments << nginx.Url("/Update/" + name);
    arguments += {"--next", "-s", "--noproxy", "*"};
    for (const QString& name : names)
        arguments << "-o" << target.filePath(name) << nginx.Url("/Update/" + name);
    QProcess curl;
    curl.setStandardOutputFile(QProcess::nullDevice());
    const Meter meter(Meter::Children);
    curl.start("curl", arguments);
    if (!curl.waitForFinished(120000) || curl.exitStatus() != QProcess::NormalExit ||
        curl.exitCode() != 0)
        Die("curl failed");
    const Cost cost = meter.Read();
    for (const QString& name : names)
        if (QFileInfo(target.filePath(name)).size() != kUpgradeFileSize)
            Die("curl did not fetch " + name.toStdString());
    return cost;
}

Cost RunList(const QString& serverUrl, int64_t expectedTotal) {
    OffscreenWizard wizard(serverUrl);
    wizard.Click(WizardStep::List, "welcome");
    const Cost cost = wizard.Click(WizardStep::Download, "index");
    if (Part<QTreeWidget>(wizard.Form(), "index.files").topLevelItemCount() != kListEntries ||
        std::accumulate(wizard.Form().ListedSizes().begin(), wizard.Form().ListedSizes().end(),
                        int64_t(0)) != expectedTotal)
        Die("the update list does not hold every entry with its size");
    return cost;
}

// The list step on the long manifest, then the install step of a resumed run on a journal
// whose every entry waits with its copy.
struct LongRun {
    Cost list, install;
};

LongRun RunLong(const QString& serverUrl) {
    LongRun run{};
    {
        OffscreenWizard wizard(serverUrl);
        wizard.Click(WizardStep::List, "welcome");
        run.list = wizard.Click(WizardStep::Download, "index");
        if (Part<QTreeWidget>(wizard.Form(), "index.files").topLevelItemCount() != kLongEntries)
            Die("the long update list does not hold every entry");
    }
    const QStringList names = FileNames(kLongEntries);
    const auto journalWaits = [&](const QString& folder) {
        QDir(folder).mkpath("Update");
        QByteArray journal = "[VERSION]\r\nVERSION=2.0\r\n[RUN]\r\n";
        for (int i = 0; i < names.size(); ++i) {
            WriteFile(folder + "/Update/" + names[i], "x");
            journal += QByteArray::number(i + 1) + "=" + names[i].toLatin1() + ";0\r\n";
        }
        WriteFile(folder + "/Version.ini", journal);
    };
    OffscreenWizard wizard(serverUrl, journalWaits, "on");
    if (!testsupport::WaitUntil([&] { return Pages(wizard.Form()).ActivePage() == "finish"; },
                                kStepLimit))
        Die("the resumed run did not reach the finish page");
    run.install = wizard.SinceLaidOut();
    for (const QString& name : {names.front(), names.back()})
        if (QFileInfo(wizard.Path(name)).size() != 1)
            Die("the install missed " + name.toStdString());
    return run;
}

// sendrift-publish with `arguments`; its standard output.
QByteArray RunPublish(const QStringList& arguments) {
    QProcess publish;
    publish.start(SENDRIFT_PUBLISH_PROGRAM, arguments);
    if (!publish.waitForFinished(120000) || publish.exitStatus() != QProcess::NormalExit ||
        publish.exitCode() != 0)
        Die("sendrift-publish " + arguments.join(' ').toStdString() +
            " failed: " + publish.readAllStandardError().toStdString());
    return publish.readAllStandardOutput();
}

// Versions 1.0 and 2.0 of kCheckFiles small files, every file changed, in `folders`.
void LayOutCheckVersions(const QString& folders) {
    for (const QString version : {"1.0", "2.0"}) {
        QDir().mkpath(folders + "/" + version);
        for (const QString& name : FileNames(kCheckFiles))
            WriteFile(folders + "/" + version + "/" + name, (version + " " + name).toLatin1());
    }
}

// The release of 2.0 for 1.0 from `folders` into the update folder of `nginx`; signed with
// the secret key file `secretKey` unless that is empty.
void PublishCheckRelease(const QString& folders, const NginxServer& nginx,
                         const QString& secretKey) {
    QStringList arguments{"release",    folders + "/2.0", "--version",
                          "2.0",        "--from",         "1.0=" + folders + "/1.0",
                          "--no-delta", "--out",          nginx.WwwFolder() + "/Update"};
    if (!secretKey.isEmpty()) arguments << "--key" << secretKey;
    RunPublish(arguments);
}

// The version check of a fresh installation of 1.0 whose sendrift.state is `state` (none when
// empty), by a build with `manifestKey` (none when empty), until "update found".
struct CheckRun {
    Cost cost;
    QByteArray stateAfter;  // sendrift.state after the check; empty when there is none
};

CheckRun RunCheck(const NginxServer& nginx, const AnsiString& manifestKey,
                  const QByteArray& state) {
    OffscreenWizard wizard(
        nginx.Url(""),
        [&](const QString& folder) {
            if (!state.isEmpty()) WriteFile(folder + "/sendrift.state", state);
        },
        {}, manifestKey);
    CheckRun run{wizard.Click(WizardStep::List, "welcome"), {}};
    QFile stateFile(wizard.Path("sendrift.state"));
    if (stateFile.open(QIODevice::ReadOnly)) run.stateAfter = stateFile.readAll();
    // Only a check that accepted a statement keeps its serial: proof that the keyed check ran.
    if (manifestKey.empty() != run.stateAfter.isEmpty())
        Die(manifestKey.empty() ? "the check without a key wrote sendrift.state"
                                : "the keyed check kept no serial in sendrift.state");
    return run;
}

// The requests that each of `checks` checks cost `nginx`: Die when they differ in number.
int64_t RequestsPerCheck(const NginxServer& nginx, int64_t checks) {
    // nginx logs a request once it has sent the answer, a moment after the client has it.
    testsupport::WaitUntil([&] { return nginx.RequestsServed() % checks == 0; },
                           std::chrono::seconds(2));
    const int64_t served = nginx.RequestsServed();
    if (served % checks != 0)
        Die(std::to_string(served) + " requests for " + std::to_string(checks) + " checks");
    return served / checks;
}

struct Medians {
    std::vector<double> wall, cpu;
    void Add(const Cost& cost) {
        wall.push_back(cost.wall);
        cpu.push_back(cost.cpu);
    }
    Cost Get() const { return {Median(wall), Median(cpu)}; }
};

// Part (d): one kind of version check, its server, and what it measured.
struct CheckKind {
    const char* name;
    const char* shortName;
    std::unique_ptr<NginxServer> server;
    AnsiString manifestKey;       // none: the build without a key
    bool knowsStatement = false;  // the installation accepted the statement before
    QByteArray state = {};        // sendrift.state laid out before each check; none when empty
    Medians medians = {};
    int64_t checks = 0;    // made against `server`, the warm-up included
    int64_t requests = 0;  // that each check made, once all are made

    CheckRun Run() {
        ++checks;
        const CheckRun run = RunCheck(*server, manifestKey, state);
        if (knowsStatement && !state.isEmpty() && run.stateAfter != state)
            Die("a statement accepted before was written into sendrift.state again");
        return run;
    }
};

// The three checks of part (d): without a key (the reference), with a key on installations
// that know the statement, and with a key on new installations. Each round starts with another.
std::vector<CheckKind> MeasureChecks(const QString& work) {
    const QString secretKey = work + "/bench.key";
    const AnsiString publicKey = RunPublish({"keygen", secretKey}).trimmed().toStdString();
    LayOutCheckVersions(work);
    const struct {
        const char *name, *shortName;
        bool keyed, knowsStatement;
    } table[] = {
        {"without a key, release unsigned (reference)", "without a key", false, false},
        {"with a key, release signed, statement known", "with a key", true, true},
        {"with a key, new installation (state written)", "new", true, false},
    };
    std::vector<CheckKind> kinds;
    for (const auto& row : table) {
        CheckKind kind{.name = row.name,
                       .shortName = row.shortName,
                       .server = std::make_unique<NginxServer>(
                           work + "/server" + QString::number(kinds.size()),
                           NginxOptions{.logRequests = true}),
                       .manifestKey = row.keyed ? publicKey : AnsiString(),
                       .knowsStatement = row.knowsStatement};
        PublishCheckRelease(work, *kind.server, row.keyed ? secretKey : QString());
        kinds.push_back(std::move(kind));
    }
    // The warm-up leaves the state of an installation that has accepted the statement.
    for (CheckKind& kind : kinds) {
        const CheckRun warmUp = kind.Run();
        if (kind.knowsStatement) kind.state = warmUp.stateAfter;
    }

    for (int run = 0; run < kCheckRuns; ++run) {
        for (size_t i = 0; i < kinds.size(); ++i) {
            CheckKind& kind = kinds[(run + i) % kinds.size()];
            kind.medians.Add(kind.Run().cost);
        }
        std::printf("run %d: version check", run + 1);
        for (const CheckKind& kind : kinds)
            std::printf(" %s %.3f s", kind.shortName, kind.medians.wall.back());
        std::printf("\n");
    }
    for (CheckKind& kind : kinds) kind.requests = RequestsPerCheck(*kind.server, kind.checks);
    return kinds;
}

double LoadAverage() {
    double load = 0;
    getloadavg(&load, 1);
    return load;
}

// Which parts run: both, or one of them when its name is given (for profiling).
void Run(const std::string& only) {
    const bool upgradePart = only.empty() || only == "upgrade";
    const bool listPart = only.empty() || only == "list";
    const bool longPart = only.empty() || only == "long";
    const bool checkPart = only.empty() || only == "check";
    if (!upgradePart && !listPart && !longPart && !checkPart)
        Die("no part named " + only + "; upgrade, list, long or check");
    // Both clients go straight to 127.0.0.1.
    for (const char* proxy : {"http_proxy", "HTTP_PROXY", "https_proxy", "all_proxy", "ALL_PROXY"})
        qunsetenv(proxy);

    // Each part has a server of its own: the wizard asks for /Update/Version.ini at the
    // server's root.
    QTemporaryDir upgradeRoot;
    QTemporaryDir listRoot;
    QTemporaryDir longRoot;
    if (!upgradeRoot.isValid() || !listRoot.isValid() || !longRoot.isValid())
        Die("no temporary folder");
    std::optional<NginxServer> upgradeServer, listServer, longServer;
    const QStringList upgradeNames = FileNames(kUpgradeFiles);
    // The built program's run needs nginx on its built-in address as well.
    std::variant<int, std::string> unattendedPort = 0;
    if (upgradePart) unattendedPort = BuiltInPort();
    const int* fixedPort = std::get_if<int>(&unattendedPort);
    if (upgradePart) {
        upgradeServer.emplace(upgradeRoot.path(),
                              NginxOptions{.fixedPort = fixedPort ? *fixedPort : 0});
        std::mt19937_64 random(42);
        Publish(*upgradeServer, upgradeNames, [&](int) {
            QByteArray bytes(kUpgradeFileSize, Qt::Uninitialized);
            for (qint64 at = 0; at < kUpgradeFileSize; at += 8) {
                const uint64_t word = random();
                std::memcpy(bytes.data() + at, &word, 8);
            }
            return bytes;
        });
    }
    // Sizes of 1 to 1,000 bytes, so that every row shows a size of its own file.
    auto listSize = [](int index) { return index % 1000 + 1; };
    int64_t listTotal = 0;
    for (int i = 0; i < kListEntries; ++i) listTotal += listSize(i);
    if (listPart) {
        listServer.emplace(listRoot.path());
        Publish(*listServer, FileNames(kListEntries),
                [&](int index) { return QByteArray(listSize(index), 'x'); });
    }

    if (longPart) {
        longServer.emplace(longRoot.path());
        Publish(*longServer, FileNames(kLongEntries), [](int) { return QByteArray("x"); });
    }

    const double loadBefore = LoadAverage();
    Medians curl, upgrade, unattended, steps[4];
    std::vector<double> ratios, unattendedRatios;
    if (upgradePart) {
        RunCurl(*upgradeServer, upgradeNames);  // warm-up: caches of nginx and of the files
        RunUpgrade(upgradeServer->Url(""), upgradeNames);
        if (fixedPort) RunUnattended(upgradeServer->Url(""), upgradeNames);
    }
    for (int run = 0; upgradePart && run < kRuns; ++run) {
        Cost curlRun, unattendedRun;
        OffscreenWizard::UpgradeCost upgradeRun;
        // Each of the three goes first in one round: none always finds the caches as another
        // left them.
        for (int turn = 0; turn < 3; ++turn) {
            switch ((run + turn) % 3) {
                case 0:
                    upgradeRun = RunUpgrade(upgradeServer->Url(""), upgradeNames);
                    break;
                case 1:
                    curlRun = RunCurl(*upgradeServer, upgradeNames);
                    break;
                case 2:
                    if (fixedPort)
                        unattendedRun = RunUnattended(upgradeServer->Url(""), upgradeNames);
                    break;
            }
        }
        curl.Add(curlRun);
        upgrade.Add(upgradeRun.total);
        ratios.push_back(upgradeRun.total.wall / curlRun.wall);
        for (int step = 0; step < 4; ++step) steps[step].Add(upgradeRun.steps[step]);
        std::printf(
            "run %d: upgrade %.3f s (version %.3f, list %.3f, download %.3f, install %.3f; "
            "cpu %.3f s), curl %.3f s (cpu %.3f s), ratio %.2f",
            run + 1, upgradeRun.total.wall, upgradeRun.steps[0].wall, upgradeRun.steps[1].wall,
            upgradeRun.steps[2].wall, upgradeRun.steps[3].wall, upgradeRun.total.cpu, curlRun.wall,
            curlRun.cpu, ratios.back());
        if (fixedPort) {
            unattended.Add(unattendedRun);
            unattendedRatios.push_back(unattendedRun.wall / curlRun.wall);
            std::printf("; --unattended %.3f s (cpu %.3f s), ratio %.2f", unattendedRun.wall,
                        unattendedRun.cpu, unattendedRatios.back());
        }
        std::printf("\n");
    }

    Medians list;
    if (listPart) RunList(listServer->Url(""), listTotal);  // warm-up
    for (int run = 0; listPart && run < kRuns; ++run) {
        const Cost listRun = RunList(listServer->Url(""), listTotal);
        list.Add(listRun);
        std::printf("run %d: update list of %d entries %.3f s (cpu %.3f s)\n", run + 1,
                    kListEntries, listRun.wall, listRun.cpu);
    }

    LongRun longRun{};
    if (longPart) {
        longRun = RunLong(longServer->Url(""));
        std::printf("run 1: %d entries, list %.3f s (cpu %.3f s), install %.3f s (cpu %.3f s)\n",
                    kLongEntries, longRun.list.wall, longRun.list.cpu, longRun.install.wall,
                    longRun.install.cpu);
    }

    QTemporaryDir checkWork;
    if (!checkWork.isValid()) Die("no temporary folder");
    const std::vector<CheckKind> checks =
        checkPart ? MeasureChecks(checkWork.path()) : std::vector<CheckKind>();

    // Every figure depends on the processor time the machine leaves this process.
    std::printf("load average %.1f before, %.1f after, on %d processors\n", loadBefore,
                LoadAverage(), QThread::idealThreadCount());
    std::string figures;
    char text[256];
    if (upgradePart) {
        const Cost u = upgrade.Get(), c = curl.Get();
        const double ratio = Median(ratios);
        std::printf("%d files of %lld KB from nginx on 127.0.0.1, median of %d:\n", kUpgradeFiles,
                    kUpgradeFileSize >> 10, kRuns);
        std::printf("  curl, HEAD then GET of every file (reference)  %7.3f s  cpu %.3f s\n",
                    c.wall, c.cpu);
        std::printf(
            "  wizard, version check to finish page           %7.3f s  cpu %.3f s  ratio %.2f "
            "(goal <= %.1f)\n",
            u.wall, u.cpu, ratio, kRatioGoal);
        std::printf("    version %.3f s, list %.3f s, download %.3f s, install %.3f s\n",
                    steps[0].Get().wall, steps[1].Get().wall, steps[2].Get().wall,
                    steps[3].Get().wall);
        if (fixedPort) {
            const Cost a = unattended.Get();
            std::printf(
                "  sendrift --unattended, process start to exit   %7.3f s  cpu %.3f s  ratio "
                "%.2f\n",
                a.wall, a.cpu, Median(unattendedRatios));
        } else {
            std::printf("  sendrift --unattended: not run, %s\n",
                        std::get<std::string>(unattendedPort).c_str());
        }
        std::printf(
            "  before the redesign (measured earlier on this machine, load ~1): wizard %.3f s, "
            "curl %.3f s, ratio %.2f\n",
            kBeforeRedesign.upgrade, kBeforeRedesign.curl, kBeforeRedesign.ratio);
        std::snprintf(text, sizeof text,
                      "upgrade_s=%.3f upgrade_cpu_s=%.3f curl_s=%.3f curl_cpu_s=%.3f "
                      "upgrade_ratio_to_curl=%.2f version_s=%.3f list_s=%.3f download_s=%.3f "
                      "install_s=%.3f ",
                      u.wall, u.cpu, c.wall, c.cpu, ratio, steps[0].Get().wall, steps[1].Get().wall,
                      steps[2].Get().wall, steps[3].Get().wall);
        figures += text;
        if (fixedPort) {
            std::snprintf(text, sizeof text,
                          "unattended_s=%.3f unattended_cpu_s=%.3f unattended_ratio_to_curl=%.2f ",
                          unattended.Get().wall, unattended.Get().cpu, Median(unattendedRatios));
            figures += text;
        }
    }
    if (listPart) {
        const Cost l = list.Get();
        std::printf(
            "update list of %d entries, sizes from nginx: %.3f s (goal <= %.1f s), cpu %.3f s; "
            "before the redesign %.3f s\n",
            kListEntries, l.wall, kListGoalSeconds, l.cpu, kBeforeRedesign.list2000);
        std::snprintf(text, sizeof text, "list2000_s=%.3f list2000_cpu_s=%.3f ", l.wall, l.cpu);
        figures += text;
    }
    if (longPart) {
        std::printf(
            "manifest of %d entries of 1 byte: list %.3f s, install %.3f s (goal each <= %.0f s); "
            "before the redesign list %.3f s, install %.3f s\n",
            kLongEntries, longRun.list.wall, longRun.install.wall, kLongGoalSeconds,
            kBeforeRedesign.list20000, kBeforeRedesign.install20000);
        std::snprintf(text, sizeof text, "list20000_s=%.3f install20000_s=%.3f ", longRun.list.wall,
                      longRun.install.wall);
        figures += text;
    }
    if (checkPart) {
        std::printf(
            "version check to \"update found\", release of %d files made by sendrift-publish, "
            "nginx on 127.0.0.1, median of %d:\n",
            kCheckFiles, kCheckRuns);
        const double reference = checks[0].medians.Get().wall;
        for (const CheckKind& kind : checks) {
            const Cost c = kind.medians.Get();
            std::printf("  %-46s %7.3f s  cpu %.3f s  ratio %.2f  %lld requests (%+lld)\n",
                        kind.name, c.wall, c.cpu, c.wall / reference,
                        static_cast<long long>(kind.requests),
                        static_cast<long long>(kind.requests - checks[0].requests));
        }
        std::snprintf(text, sizeof text,
                      "check_s=%.3f check_key_s=%.3f check_key_new_s=%.3f check_requests=%lld "
                      "check_key_requests=%lld ",
                      reference, checks[1].medians.Get().wall, checks[2].medians.Get().wall,
                      static_cast<long long>(checks[0].requests),
                      static_cast<long long>(checks[1].requests));
        figures += text;
    }
    std::snprintf(text, sizeof text, "load1=%.1f", loadBefore);
    std::printf("%s%s\n", figures.c_str(), text);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    try {
        Run(argc > 1 ? argv[1] : "");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_upgrade: %s\n", error.what());
        return 1;
    }
    return 0;
}
