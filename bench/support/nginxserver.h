// nginx from Debian serving one folder on 127.0.0.1, for benchmarks that need a real server.
//
// Configuration, pid file, logs and temporary files all live under the given root; the files
// served live in root + "/www". nginx runs in the foreground as a child of this process, on a
// free port, and is stopped when the object goes (and by the system if this process dies).
#pragma once

#include <QProcess>
#include <QString>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// PEM files of a certificate for 127.0.0.1 and its key.
struct NginxCertificate {
    QString certificate;
    QString key;
};

struct NginxOptions {
    // Also serves the same files over HTTPS on a second port, with a session cache, so that
    // clients that resume skip the full handshake as against a production server.
    std::optional<NginxCertificate> tls = std::nullopt;
    // Also serves them over plain HTTP on this port: the built-in address of a program that asks
    // its size queries of that address whatever setup.ini names. 0: none.
    int fixedPort = 0;
    // Go into the configuration's http block as they are (limits, rates).
    QString httpDirectives = {};
    // Logs each request answered, for RequestsServed; off by default, since a write for every
    // request is a cost that the benchmarks of many requests would measure too.
    bool logRequests = false;
};

class NginxServer {
public:
    // Throws std::runtime_error when nginx cannot be started or does not answer (a fixed port
    // that another program holds, too).
    explicit NginxServer(const QString& root, const NginxOptions& options = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    QString WwwFolder() const { return root_ + "/www"; }
    int Port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    QString Url(const QString& path) const;
    // "https://127.0.0.1:<TLS port>" followed by `path`; only with a certificate.
    QString TlsUrl(const QString& path) const;
    // How many requests nginx has answered so far; only with logRequests. Throws
    // std::runtime_error when the log cannot be read.
    int64_t RequestsServed() const;
    // The request line of each request answered so far ("GET /Update/Version.ini HTTP/1.0"),
    // in the order nginx logged them; only with logRequests. Throws as RequestsServed.
    std::vector<std::string> RequestLines() const;

private:
    QString AccessLog() const { return root_ + "/access.log"; }

    QString root_;
    QProcess process_;
    int port_ = 0;
    int tlsPort_ = 0;
};

// True when a server could listen on `port` of 127.0.0.1 now: no program holds it.
bool PortIsFree(int port);
