// HEAD requests of the socket HTTP client against curl, both asking nginx on 127.0.0.1.
//
// One round: 500 TNMHTTP::Head calls for 500 distinct files (wall time and this process's CPU
// time), then one `curl --http1.0 -s -I` process given the same 500 URLs (wall time). Five
// rounds, the order alternating; the figures printed are medians, and the ratio is the median
// of the rounds' ratios. CPU time shows waits that spin: a sleeping wait costs almost nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include "net/sock/nmhttp.h"

namespace {

constexpr int kFiles = 500;
constexpr int kRounds = 5;

// Thrown rather than exiting at once, so that nginx is stopped on the way out.
[[noreturn]] void Die(const std::string& why) {
    throw std::runtime_error(why);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

QString FileName(int index) {
    return QString("f%1.bin").arg(index, 3, 10, QChar('0'));
}

// nginx serving `root`/www on 127.0.0.1, with its configuration, pid, logs and temporary
// files all under `root`. It runs in the foreground as a child of this process and is
// stopped when this object goes.
class Nginx {
public:
    explicit Nginx(const QString& root) : root_(root) {
        std::mt19937 random(std::random_device{}());
        // A port that happens to be taken makes nginx exit at once; then another is tried.
        for (int attempt = 0; attempt < 20; ++attempt) {
            port_ = std::uniform_int_distribution<int>(20000, 59999)(random);
            if (Start()) return;
        }
        Die("nginx would not start; see " + root.toStdString() + "/error.log");
    }

    ~Nginx() {
        process_.terminate();
        if (!process_.waitForFinished(5000)) process_.kill();
        process_.waitForFinished();
    }

    int Port() const { return port_; }

private:
    bool Start() {
        QFile config(root_ + "/nginx.conf");
        if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
            Die("cannot write nginx.conf");
        config.write(QString(R"(daemon off;
master_process off;
pid %1/nginx.pid;
error_log %1/error.log;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path %1/temp/body;
    proxy_temp_path %1/temp/proxy;
    fastcgi_temp_path %1/temp/fastcgi;
    uwsgi_temp_path %1/temp/uwsgi;
    scgi_temp_path %1/temp/scgi;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:%2;
        root %1/www;
    }
}
)")
                         .arg(root_)
                         .arg(port_)
                         .toUtf8());
        config.close();
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start("/usr/sbin/nginx",
                       {"-p", root_, "-c", root_ + "/nginx.conf", "-e", root_ + "/error.log"});
        if (!process_.waitForStarted()) Die("cannot run /usr/sbin/nginx (Debian nginx-light)");
        // Setup only: ask until nginx answers or exits (its port was taken).
        TNMHTTP probe;
        const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/";
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (process_.waitForFinished(25)) return false;
            try {
                probe.Head(url);
                return true;
            } catch (const ESockError&) {
            }
        }
        Die("nginx does not answer on port " + std::to_string(port_));
    }

    QString root_;
    int port_ = 0;
    QProcess process_;
};

struct HeadRun {
    double wallSeconds;
    double cpuSeconds;
};

HeadRun RunHeads(TNMHTTP& http, const std::vector<std::string>& urls) {
    QElapsedTimer wall;
    const double cpuBefore = CpuSeconds();
    wall.start();
    for (size_t i = 0; i < urls.size(); ++i) {
        http.Head(urls[i]);
        // Each file's size is its index plus one: a wrong answer would make the timing moot.
        if (http.ReplyNumber != 200 || http.BytesTotal != static_cast<int32_t>(i) + 1) {
            Die("unexpected answer for " + urls[i] + ":\n" + http.Header);
        }
    }
    return {wall.nsecsElapsed() / 1e9, CpuSeconds() - cpuBefore};
}

double RunCurl(const QStringList& urls) {
    QProcess curl;
    curl.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer wall;
    wall.start();
    curl.start("curl", QStringList{"--http1.0", "-s", "-I"} + urls);
    if (!curl.waitForFinished(120000) || curl.exitStatus() != QProcess::NormalExit ||
        curl.exitCode() != 0) {
        Die("curl failed");
    }
    return wall.nsecsElapsed() / 1e9;
}

void Run() {
    QTemporaryDir root;
    if (!root.isValid()) Die("no temporary folder");
    QDir(root.path()).mkpath("www");
    QDir(root.path()).mkpath("temp");
    for (int i = 0; i < kFiles; ++i) {
        QFile file(root.path() + "/www/" + FileName(i));
        if (!file.open(QIODevice::WriteOnly)) Die("cannot write the test files");
        file.write(QByteArray(i + 1, 'x'));
    }

    Nginx nginx(root.path());
    std::vector<std::string> urls;
    QStringList curlUrls;
    for (int i = 0; i < kFiles; ++i) {
        const QString url = QString("http://127.0.0.1:%1/%2").arg(nginx.Port()).arg(FileName(i));
        urls.push_back(url.toStdString());
        curlUrls << url;
    }

    TNMHTTP http;
    std::vector<double> headWall, headCpu, curlWall, ratios;
    for (int round = 0; round < kRounds; ++round) {
        HeadRun head;
        double curl;
        if (round % 2 == 0) {
            head = RunHeads(http, urls);
            curl = RunCurl(curlUrls);
        } else {
            curl = RunCurl(curlUrls);
            head = RunHeads(http, urls);
        }
        headWall.push_back(head.wallSeconds);
        headCpu.push_back(head.cpuSeconds);
        curlWall.push_back(curl);
        ratios.push_back(head.wallSeconds / curl);
        std::printf(
            "round %d: %d x TNMHTTP::Head %.3f s (cpu %.3f s), curl -I %.3f s, ratio %.2f\n",
            round + 1, kFiles, head.wallSeconds, head.cpuSeconds, curl, head.wallSeconds / curl);
    }
    std::printf(
        "median of %d: Head %.3f s, curl %.3f s, ratio %.2f (goal <= 1.5), Head cpu %.3f s\n",
        kRounds, Median(headWall), Median(curlWall), Median(ratios), Median(headCpu));
    std::printf("head_s=%.3f curl_s=%.3f head_ratio_to_curl=%.2f head_cpu_s=%.3f\n",
                Median(headWall), Median(curlWall), Median(ratios), Median(headCpu));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        Run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_head: %s\n", error.what());
        return 1;
    }
    return 0;
}
