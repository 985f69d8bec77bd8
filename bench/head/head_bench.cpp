// HEAD requests of the socket HTTP client against curl, both asking nginx on 127.0.0.1.
//
// One round: 500 TNMHTTP::Head calls for 500 distinct files (wall time and this process's CPU
// time), then one `curl --http1.0 -s -I` process given the same 500 URLs (wall time). Five
// rounds, the order alternating; the figures printed are medians, and the ratio is the median
// of the rounds' ratios. CPU time shows waits that spin: a sleeping wait costs almost nothing.
// The same again over TLS, against a second nginx with a certificate from an authority made
// for the run: a connection per query on both sides, each resuming its TLS session (curl does
// so itself), and the count of full handshakes TNMHTTP made.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "bench/support/die.h"
#include "bench/support/median.h"
#include "bench/support/nginxserver.h"
#include "net/sock/nmhttp.h"
#include "support/testauthority.h"

namespace {

constexpr int kFiles = 500;
constexpr int kRounds = 5;

double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

QString FileName(int index) {
    return QString("f%1.bin").arg(index, 3, 10, QChar('0'));
}

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

double RunCurl(const QStringList& options, const QStringList& urls) {
    QProcess curl;
    curl.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer wall;
    wall.start();
    curl.start("curl", QStringList{"--http1.0", "-s", "-I"} + options + urls);
    if (!curl.waitForFinished(120000) || curl.exitStatus() != QProcess::NormalExit ||
        curl.exitCode() != 0) {
        Die("curl failed");
    }
    return wall.nsecsElapsed() / 1e9;
}

struct Comparison {
    double headWall, headCpu, curlWall, ratio;
};

Comparison Compare(const char* label, TNMHTTP& http, const std::vector<std::string>& urls,
                   const QStringList& curlOptions, const QStringList& curlUrls) {
    std::vector<double> headWall, headCpu, curlWall, ratios;
    for (int round = 0; round < kRounds; ++round) {
        HeadRun head;
        double curl;
        if (round % 2 == 0) {
            head = RunHeads(http, urls);
            curl = RunCurl(curlOptions, curlUrls);
        } else {
            curl = RunCurl(curlOptions, curlUrls);
            head = RunHeads(http, urls);
        }
        headWall.push_back(head.wallSeconds);
        headCpu.push_back(head.cpuSeconds);
        curlWall.push_back(curl);
        ratios.push_back(head.wallSeconds / curl);
        std::printf(
            "%s round %d: %d x TNMHTTP::Head %.3f s (cpu %.3f s), curl -I %.3f s, ratio %.2f\n",
            label, round + 1, kFiles, head.wallSeconds, head.cpuSeconds, curl,
            head.wallSeconds / curl);
    }
    const Comparison result{Median(headWall), Median(headCpu), Median(curlWall), Median(ratios)};
    std::printf(
        "%s median of %d: Head %.3f s, curl %.3f s, ratio %.2f (goal <= 1.5), Head cpu %.3f s\n",
        label, kRounds, result.headWall, result.curlWall, result.ratio, result.headCpu);
    return result;
}

void Run() {
    QTemporaryDir root;
    if (!root.isValid()) Die("no temporary folder");
    const QString tlsRoot = root.path() + "/tls";
    QDir().mkpath(tlsRoot);
    testsupport::TestAuthority authority(tlsRoot.toStdString());
    const testsupport::TlsIdentity identity = authority.Issue("server", "IP:127.0.0.1");
    NginxServer nginx(root.path(),
                      {.tls = NginxCertificate{QString::fromStdString(identity.certificateFile),
                                               QString::fromStdString(identity.privateKeyFile)}});
    for (int i = 0; i < kFiles; ++i) {
        QFile file(nginx.WwwFolder() + "/" + FileName(i));
        if (!file.open(QIODevice::WriteOnly)) Die("cannot write the test files");
        file.write(QByteArray(i + 1, 'x'));
    }
    // The client trusts the run's authority the way the program's users trust theirs.
    qputenv("SSL_CERT_FILE", QByteArray::fromStdString(authority.CertificateFile()));

    std::vector<std::string> urls, tlsUrls;
    QStringList curlUrls, curlTlsUrls;
    for (int i = 0; i < kFiles; ++i) {
        const QString url = nginx.Url("/" + FileName(i));
        urls.push_back(url.toStdString());
        curlUrls << url;
        const QString tlsUrl = nginx.TlsUrl("/" + FileName(i));
        tlsUrls.push_back(tlsUrl.toStdString());
        curlTlsUrls << tlsUrl;
    }

    TNMHTTP http;
    const Comparison plain = Compare("http", http, urls, {}, curlUrls);
    const Comparison tls =
        Compare("https", http, tlsUrls,
                {"--cacert", QString::fromStdString(authority.CertificateFile())}, curlTlsUrls);
    const int queries = kRounds * kFiles;
    std::printf("https: %d queries, %d full TLS handshakes, %d resumed\n", queries,
                http.TlsFullHandshakes, http.TlsResumedHandshakes);
    std::printf(
        "head_s=%.3f curl_s=%.3f head_ratio_to_curl=%.2f head_cpu_s=%.3f "
        "tls_head_s=%.3f tls_curl_s=%.3f tls_head_ratio_to_curl=%.2f tls_head_cpu_s=%.3f "
        "tls_full_handshakes=%d tls_queries=%d\n",
        plain.headWall, plain.curlWall, plain.ratio, plain.headCpu, tls.headWall, tls.curlWall,
        tls.ratio, tls.headCpu, http.TlsFullHandshakes, queries);
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
