// The wizard's whole upgrade over a wide-area link, against curl and against the link's floor.
//
//   bench_wan [--rtt-ms 50] [--rate-mbit 100] [--runs 3]
//
// nginx on 127.0.0.1 publishes version 2.0: 50 files of 256 KB under /Update/, each a copy
// entry of section [1.0] with its digest in [SHA256]. wanproxy (beside this source) stands
// between every client and nginx and gives loopback the round trip and the shared rate of a
// link (defaults 50 ms and 100 Mbit/s; both flags are passed on to it). A fresh proxy serves
// each run, so the connections it accepted are those of that run alone.
// (a) The wizard runs offscreen in this process on a fresh application folder, its built-in
//     server address pointed at the proxy, its main button clicked from code as soon as it
//     waits for a click: from the click that starts the version check until the finish page
//     (version check, list, download, install). Twice: once with a manifest whose [SIZE]
//     section lists every file's size, so that the list step needs to ask the server nothing,
//     and once without it, so that the list step asks the server each file's size.
// (b) Reference: one curl process through the proxy that, for every file, HEADs it and then
//     GETs it, on the connections curl keeps open from request to request: the fast client
//     doing the requests that the wizard without sizes does (the wizard also fetches the
//     version text and the manifest, which curl does not).
// (c) The floor: the files' bytes at the link's rate plus two round trips (one to connect, one
//     for the first request), what no client can beat.
// Each figure is the median of --runs rounds (3; about 80 s today) after one warm-up of curl and of
// the wizard with sizes; a round runs the wizard with sizes, the wizard without sizes and curl, in
// this order. The goals are printed beside the figures, not asserted: with sizes at most half of
// curl's time and twice the floor, without sizes at most curl's time.
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/support/die.h"
#include "bench/support/median.h"
#include "bench/support/nginxserver.h"
#include "bench/support/offscreenwizard.h"
#include "bench/support/wanlink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFiles = 50;
constexpr qint64 kFileSize = 256 << 10;
constexpr int kProcessLimitMs = 120000;
constexpr double kCurlGoalWithSizes = 0.5;
constexpr double kFloorGoalWithSizes = 2.0;
constexpr double kCurlGoalWithoutSizes = 1.0;

double Seconds(Clock::duration elapsed) {
    return std::chrono::duration<double>(elapsed).count();
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        Die("cannot write " + path.toStdString());
}

QStringList FileNames() {
    QStringList names;
    for (int i = 1; i <= kFiles; ++i) names << QString("file%1.dat").arg(i);
    return names;
}

// The published version 2.0: the files once, the manifest in either variant on demand (the
// wizard fetches it afresh in every run).
class Publication {
public:
    Publication(const NginxServer& nginx, const QStringList& names)
        : update_(nginx.WwwFolder() + "/Update"), names_(names) {
        QDir().mkpath(update_);
        std::mt19937_64 random(42);
        for (const QString& name : names_) {
            QByteArray bytes(kFileSize, Qt::Uninitialized);
            for (qint64 at = 0; at < kFileSize; at += 8) {
                const uint64_t word = random();
                std::memcpy(bytes.data() + at, &word, 8);
            }
            WriteFile(update_ + "/" + name, bytes);
            digests_ << QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
        }
        WriteFile(update_ + "/Version.txt", "2.0");
    }

    void PublishManifest(bool withSizes) const {
        QByteArray manifest = "[VERSION]\r\nVERSION=2.0\r\n[1.0]\r\n";
        for (int i = 0; i < names_.size(); ++i)
            manifest += QByteArray::number(i + 1) + "=" + names_[i].toLatin1() + ";0\r\n";
        if (withSizes) {
            manifest += "[SIZE]\r\n";
            for (const QString& name : names_)
                manifest += name.toLatin1() + "=" + QByteArray::number(kFileSize) + "\r\n";
        }
        manifest += "[SHA256]\r\n";
        for (int i = 0; i < names_.size(); ++i)
            manifest += names_[i].toLatin1() + "=" + digests_[i] + "\r\n";
        WriteFile(update_ + "/Version.ini", manifest);
    }

private:
    QString update_;
    QStringList names_;
    QList<QByteArray> digests_;
};

// One run of a client: its wall time and the connections the proxy accepted for it.
struct Run {
    double seconds = 0;
    int connections = 0;
    double steps[4] = {};  // the wizard's: version check, list, download, install
};

Run RunWizard(const NginxServer& nginx, const LinkSettings& link, const QStringList& names) {
    WanLink proxy(nginx.Port(), link);
    Run run;
    {
        OffscreenWizard wizard(proxy.Url());
        const OffscreenWizard::UpgradeCost cost = wizard.ClickThroughUpgrade();
        for (int i = 0; i < 4; ++i) run.steps[i] = cost.steps[i].wall;
        run.seconds = cost.total.wall;
        for (const QString& name : names)
            if (QFileInfo(wizard.Path(name)).size() != kFileSize)
                Die("the upgrade did not put " + name.toStdString() + " in place");
        QFile setup(wizard.Path("setup.ini"));
        if (!setup.open(QIODevice::ReadOnly) || !setup.readAll().contains("VERSION=2.0"))
            Die("the upgrade did not record version 2.0");
    }
    run.connections = proxy.Stop().connections;
    return run;
}

// One curl process, given its requests in a config file: for each file a HEAD, then after
// "next" a GET into a folder, each request with the same options since "next" resets them.
Run RunCurl(const NginxServer& nginx, const LinkSettings& link, const QStringList& names) {
    WanLink proxy(nginx.Port(), link);
    QTemporaryDir target;
    if (!target.isValid()) Die("no temporary folder");
    QByteArray config;
    auto request = [&](const QString& name, const QString& output, bool head) {
        if (!config.isEmpty()) config += "next\n";
        config += "silent\nshow-error\nfail\nhttp1.1\nnoproxy = \"*\"\n";
        if (head) config += "head\n";
        config += "output = \"" + output.toUtf8() + "\"\n";
        config += "url = \"" + (proxy.Url() + "/Update/" + name).toUtf8() + "\"\n";
    };
    for (const QString& name : names) {
        request(name, QProcess::nullDevice(), true);
        request(name, target.filePath(name), false);
    }
    const QString configFile = target.filePath("requests.curlrc");
    WriteFile(configFile, config);

    QProcess curl;
    curl.setProcessChannelMode(QProcess::ForwardedChannels);
    const Clock::time_point start = Clock::now();
    curl.start("curl", {"--config", configFile});
    if (!curl.waitForFinished(kProcessLimitMs) || curl.exitStatus() != QProcess::NormalExit ||
        curl.exitCode() != 0)
        Die("curl failed");
    Run run;
    run.seconds = Seconds(Clock::now() - start);
    for (const QString& name : names)
        if (QFileInfo(target.filePath(name)).size() != kFileSize)
            Die("curl did not fetch " + name.toStdString());
    run.connections = proxy.Stop().connections;
    return run;
}

// The medians of a client's runs.
struct Runs {
    std::vector<double> seconds, connections, steps[4];
    void Add(const Run& run) {
        seconds.push_back(run.seconds);
        connections.push_back(run.connections);
        for (int i = 0; i < 4; ++i) steps[i].push_back(run.steps[i]);
    }
    Run Get() const {
        Run run{Median(seconds), static_cast<int>(Median(connections))};
        for (int i = 0; i < 4; ++i) run.steps[i] = Median(steps[i]);
        return run;
    }
};

double LoadAverage() {
    double load = 0;
    getloadavg(&load, 1);
    return load;
}

const char* Verdict(bool met) {
    return met ? "met" : "missed";
}

void Measure(const LinkSettings& link, int rounds) {
    WanLink::BypassEnvironmentProxies();
    QTemporaryDir root;
    if (!root.isValid()) Die("no temporary folder");
    // The wizard asks for /Update/Version.ini at the server's root.
    NginxServer nginx(root.path());
    const QStringList names = FileNames();
    const Publication publication(nginx, names);

    std::printf("%d files of %lld KB through a link of %g ms round trip and %g Mbit/s\n", kFiles,
                kFileSize >> 10, link.rttMs, link.rateMbit);
    const double loadBefore = LoadAverage();
    // Warm-up: the files in the page cache, nginx's workers and the wizard's code paths.
    publication.PublishManifest(true);
    RunCurl(nginx, link, names);
    RunWizard(nginx, link, names);

    Runs withSizes, withoutSizes, curl;
    for (int round = 1; round <= rounds; ++round) {
        publication.PublishManifest(true);
        const Run with = RunWizard(nginx, link, names);
        publication.PublishManifest(false);
        const Run without = RunWizard(nginx, link, names);
        const Run reference = RunCurl(nginx, link, names);
        withSizes.Add(with);
        withoutSizes.Add(without);
        curl.Add(reference);
        std::printf(
            "round %d: wizard with sizes %.3f s (connections: %d), without sizes %.3f s "
            "(connections: %d), curl %.3f s (connections: %d)\n",
            round, with.seconds, with.connections, without.seconds, without.connections,
            reference.seconds, reference.connections);
    }

    const double floor = kFiles * kFileSize * 8 / (link.rateMbit * 1e6) + 2 * link.rttMs / 1000;
    const Run with = withSizes.Get(), without = withoutSizes.Get(), reference = curl.Get();
    const double withToCurl = with.seconds / reference.seconds;
    const double withToFloor = with.seconds / floor;
    const double withoutToCurl = without.seconds / reference.seconds;
    const double withoutToFloor = without.seconds / floor;
    const double curlToFloor = reference.seconds / floor;

    std::printf("load average %.1f before, %.1f after, on %d processors\n", loadBefore,
                LoadAverage(), QThread::idealThreadCount());
    std::printf("median of %d round%s after one warm-up:\n", rounds, rounds == 1 ? "" : "s");
    std::printf("  floor, bytes at the rate + 2 round trips         %7.3f s\n", floor);
    std::printf(
        "  curl, HEAD then GET of every file (reference)    %7.3f s  connections %3d  "
        "%.2fx floor\n",
        reference.seconds, reference.connections, curlToFloor);
    std::printf(
        "  wizard, version check to finish, with sizes      %7.3f s  connections %3d  "
        "%.2fx curl (goal <= %.1f, %s)  %.2fx floor (goal <= %.1f, %s)\n",
        with.seconds, with.connections, withToCurl, kCurlGoalWithSizes,
        Verdict(withToCurl <= kCurlGoalWithSizes), withToFloor, kFloorGoalWithSizes,
        Verdict(withToFloor <= kFloorGoalWithSizes));
    std::printf("    version %.3f s, list %.3f s, download %.3f s, install %.3f s\n", with.steps[0],
                with.steps[1], with.steps[2], with.steps[3]);
    std::printf(
        "  wizard, version check to finish, without sizes   %7.3f s  connections %3d  "
        "%.2fx curl (goal <= %.1f, %s)  %.2fx floor\n",
        without.seconds, without.connections, withoutToCurl, kCurlGoalWithoutSizes,
        Verdict(withoutToCurl <= kCurlGoalWithoutSizes), withoutToFloor);
    std::printf("    version %.3f s, list %.3f s, download %.3f s, install %.3f s\n",
                without.steps[0], without.steps[1], without.steps[2], without.steps[3]);
    std::printf(
        "rtt_ms=%g rate_mbit=%g floor_s=%.3f curl_s=%.3f curl_connections=%d "
        "sizes_s=%.3f sizes_connections=%d sizes_ratio_to_curl=%.2f sizes_ratio_to_floor=%.2f "
        "nosizes_s=%.3f nosizes_connections=%d nosizes_ratio_to_curl=%.2f "
        "nosizes_ratio_to_floor=%.2f sizes_download_s=%.3f nosizes_list_s=%.3f load1=%.1f\n",
        link.rttMs, link.rateMbit, floor, reference.seconds, reference.connections, with.seconds,
        with.connections, withToCurl, withToFloor, without.seconds, without.connections,
        withoutToCurl, withoutToFloor, with.steps[2], without.steps[1], loadBefore);
}

[[noreturn]] void Usage() {
    std::fprintf(stderr, "usage: bench_wan [--rtt-ms 50] [--rate-mbit 100] [--runs 3]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    LinkSettings link;
    int rounds = 3;
    const QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i < arguments.size(); i += 2) {
        if (i + 1 >= arguments.size()) Usage();
        bool number = false;
        const double value = arguments[i + 1].toDouble(&number);
        if (!number || value < 0) Usage();
        if (arguments[i] == "--rtt-ms")
            link.rttMs = value;
        else if (arguments[i] == "--rate-mbit")
            link.rateMbit = value;
        else if (arguments[i] == "--runs")
            rounds = static_cast<int>(value);
        else
            Usage();
    }
    if (rounds < 1 || link.rateMbit <= 0) Usage();
    try {
        Measure(link, rounds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_wan: %s\n", error.what());
        return 1;
    }
    return 0;
}
