// nginx from Debian serving a folder over HTTPS on 127.0.0.1, with a certificate for that
// address. Everything of its own lives under `root`; it stops with the object.
#pragma once

#include <QProcess>
#include <QString>

class TlsNginx {
public:
    // Throws std::runtime_error when nginx cannot be started or does not answer.
    TlsNginx(const QString& root, const QString& www, const QString& certificate,
             const QString& key);
    ~TlsNginx();
    TlsNginx(const TlsNginx&) = delete;
    TlsNginx& operator=(const TlsNginx&) = delete;

    // "https://127.0.0.1:<port>" followed by `path`.
    QString Url(const QString& path) const;

private:
    QProcess process_;
    int port_ = 0;
};
