// What the tests of sendrift-publish share: folders on disk as a publisher keeps them, and a
// real HTTP server that serves one.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <utime.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <ctime>
#include <map>
#include <string>

inline std::string Sha256(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// A folder of files on disk, written and read by relative names with "/".
class Folder {
public:
    explicit Folder(QString path) : path_(std::move(path)) { QDir().mkpath(path_); }
    const QString& Path() const { return path_; }
    QString At(const QString& name) const { return path_ + "/" + name; }
    void Write(const QString& name, const std::string& bytes) const {
        QDir().mkpath(QFileInfo(At(name)).path());
        QFile file(At(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << name.toStdString();
        file.write(bytes.data(), qint64(bytes.size()));
    }
    std::string Read(const QString& name) const {
        QFile file(At(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
    }
    // The file's last write at noon, local time, of the day "yyyy-mm-dd".
    void Date(const QString& name, const char* day) const {
        struct tm noon = {};
        ASSERT_TRUE(strptime(day, "%Y-%m-%d", &noon));
        noon.tm_hour = 12;
        noon.tm_isdst = -1;
        const struct utimbuf times = {std::mktime(&noon), std::mktime(&noon)};
        ASSERT_EQ(::utime(QFile::encodeName(At(name)).constData(), &times), 0);
    }
    // Every file below the folder with its contents: what a refused command must leave as it
    // was.
    std::map<QString, std::string> Snapshot() const {
        std::map<QString, std::string> files;
        for (QDirIterator it(path_, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                             QDirIterator::Subdirectories);
             it.hasNext();) {
            const QString name = QDir(path_).relativeFilePath(it.next());
            files[name] = QFileInfo(At(name)).isDir() ? "<folder>" : Read(name);
        }
        return files;
    }

private:
    QString path_;
};

// python3's http.server on an ephemeral port of 127.0.0.1, serving `root`.
class PythonServer {
public:
    explicit PythonServer(const QString& root) {
        server_.setProcessChannelMode(QProcess::MergedChannels);
        server_.start("python3",
                      {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", root});
        const QRegularExpression serving("port (\\d+)");
        QByteArray said;
        while (server_.waitForReadyRead(10000)) {
            said += server_.readAll();
            if (const QRegularExpressionMatch match = serving.match(QString::fromUtf8(said));
                match.hasMatch()) {
                url_ = "http://127.0.0.1:" + match.captured(1);
                return;
            }
        }
    }
    ~PythonServer() {
        server_.kill();
        server_.waitForFinished();
    }
    const QString& Url() const { return url_; }

private:
    QProcess server_;
    QString url_;
};
