#include "bench/support/wanlink.h"

#include <QFile>

#include "bench/support/die.h"

void WanLink::BypassEnvironmentProxies() {
    for (const char* proxy :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(proxy);
}

WanLink::WanLink(int upstreamPort, const LinkSettings& settings) {
    if (!folder_.isValid()) Die("no temporary folder");
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(SENDRIFT_WANPROXY,
                   {"--listen", "0", "--upstream", QString::number(upstreamPort), "--rtt-ms",
                    QString::number(settings.rttMs), "--rate-mbit",
                    QString::number(settings.rateMbit), "--count-file", CountFile()});
    if (!process_.waitForStarted()) Die("cannot start " SENDRIFT_WANPROXY);
    // Its first line names the port it took.
    const QByteArray prefix = "listening on 127.0.0.1:";
    while (!process_.canReadLine())
        if (!process_.waitForReadyRead(10000)) Die("wanproxy did not say where it listens");
    const QByteArray line = process_.readLine().trimmed();
    bool number = false;
    if (line.startsWith(prefix)) port_ = line.mid(prefix.size()).toInt(&number);
    if (!number) Die("wanproxy said " + line.toStdString());
}

WanLink::~WanLink() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.kill();
    process_.waitForFinished();
}

QString WanLink::Url() const {
    return QString("http://127.0.0.1:%1").arg(port_);
}

LinkTraffic WanLink::Stop() {
    process_.terminate();
    if (!process_.waitForFinished(10000) || process_.exitStatus() != QProcess::NormalExit ||
        process_.exitCode() != 0)
        Die("wanproxy did not end cleanly");
    QFile file(CountFile());
    if (!file.open(QIODevice::ReadOnly)) Die("wanproxy wrote no counts");
    LinkTraffic traffic;
    int found = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() != 2) continue;
        bool number = false;
        const int64_t value = words[1].toLongLong(&number);
        if (!number) continue;
        if (words[0] == "connections") {
            traffic.connections = int(value);
        } else if (words[0] == "bytes_to_client") {
            traffic.bytesToClient = value;
        } else if (words[0] == "bytes_to_server") {
            traffic.bytesToServer = value;
        } else {
            continue;
        }
        ++found;
    }
    if (found != 3) Die("wanproxy's counts are incomplete");
    return traffic;
}
