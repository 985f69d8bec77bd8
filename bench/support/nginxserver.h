// nginx from Debian serving one folder on 127.0.0.1, for benchmarks that need a real server.
//
// Configuration, pid file, logs and temporary files all live under the given root; the files
// served live in root + "/www". nginx runs in the foreground as a child of this process, on a
// free port, and is stopped when the object goes (and by the system if this process dies).
// With a certificate it also serves the same files over HTTPS on a second port, with a session
// cache, so that clients that resume skip the full handshake as against a production server.
// With a fixed port it also serves them over plain HTTP there: the built-in address of a
// program that asks its size queries of that address whatever setup.ini names.
#pragma once

#include <QProcess>
#include <QString>
#include <optional>
#include <stdexcept>

// PEM files of a certificate for 127.0.0.1 and its key.
struct NginxCertificate {
    QString certificate;
    QString key;
};

class NginxServer {
public:
    // Throws std::runtime_error when nginx cannot be started or does not answer (a fixed port
    // that another program holds, too).
    explicit NginxServer(const QString& root,
                         const std::optional<NginxCertificate>& tls = std::nullopt,
                         int fixedPort = 0);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    QString WwwFolder() const { return root_ + "/www"; }
    int Port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    QString Url(const QString& path) const;
    // "https://127.0.0.1:<TLS port>" followed by `path`; only with a certificate.
    QString TlsUrl(const QString& path) const;

private:
    QString root_;
    QProcess process_;
    int port_ = 0;
    int tlsPort_ = 0;
};

// True when a server could listen on `port` of 127.0.0.1 now: no program holds it.
bool PortIsFree(int port);
