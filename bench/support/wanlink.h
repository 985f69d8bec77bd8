// wanproxy (bench/wan) in front of a server on 127.0.0.1 for one run of a benchmark: loopback
// with the round trip and the rate of a wide-area link, and a count of what crossed it.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>

struct LinkSettings {
    double rttMs = 50;
    double rateMbit = 100;
};

// What one proxy carried, as it counted it: requests and answers with their headers.
struct LinkTraffic {
    int connections = 0;
    int64_t bytesToClient = 0;
    int64_t bytesToServer = 0;
};

// A fresh proxy serves each run, so that what it counts is that run's alone. Not copyable; the
// proxy is a child process of this one, killed with the object unless stopped before.
class WanLink {
public:
    // Clears the proxy variables of this process's environment, so that its clients (and the
    // programs it starts) reach the link itself, never a proxy of the machine. Call it before
    // any client is made.
    static void BypassEnvironmentProxies();

    // Starts the proxy toward 127.0.0.1:`upstreamPort`; throws BenchFailure when it does not
    // start or does not say where it listens.
    WanLink(int upstreamPort, const LinkSettings& settings);
    ~WanLink();
    WanLink(const WanLink&) = delete;
    WanLink& operator=(const WanLink&) = delete;

    // "http://127.0.0.1:<the proxy's port>".
    QString Url() const;
    // Stops the proxy and reads its count; throws BenchFailure when it does not end cleanly or
    // leaves no count.
    LinkTraffic Stop();

private:
    QString CountFile() const { return folder_.filePath("counts"); }

    QTemporaryDir folder_;
    QProcess process_;
    int port_ = 0;
};
