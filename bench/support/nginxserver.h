// nginx from Debian serving one folder on 127.0.0.1, for benchmarks that need a real server.
//
// Configuration, pid file, logs and temporary files all live under the given root; the files
// served live in root + "/www". nginx runs in the foreground as a child of this process, on a
// free port, and is stopped when the object goes (and by the system if this process dies).
#pragma once

#include <QProcess>
#include <QString>
#include <stdexcept>

class NginxServer {
public:
    // Throws std::runtime_error when nginx cannot be started or does not answer.
    explicit NginxServer(const QString& root);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    QString WwwFolder() const { return root_ + "/www"; }
    int Port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    QString Url(const QString& path) const;

private:
    QString root_;
    QProcess process_;
    int port_ = 0;
};
