// The real program run from the command line in an application folder of its own, as
// administrators' scripts and timers run it, and what it printed.
#pragma once

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
    // The --json lines, each parsed; a line that is no JSON object fails the test.
    std::vector<QJsonObject> Events() const {
        std::vector<QJsonObject> events;
        for (const QByteArray& line : QByteArray::fromStdString(out).split('\n')) {
            if (line.isEmpty()) continue;
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(line, &error);
            EXPECT_TRUE(document.isObject())
                << line.toStdString() << ": " << error.errorString().toStdString();
            events.push_back(document.object());
        }
        return events;
    }
    std::vector<std::string> EventNames() const {
        std::vector<std::string> names;
        for (const QJsonObject& event : Events())
            names.push_back(event.value("event").toString().toStdString());
        return names;
    }
    // The last event named `name`; nothing when there is none.
    std::optional<QJsonObject> LastEvent(const char* name) const {
        std::optional<QJsonObject> found;
        for (const QJsonObject& event : Events())
            if (event.value("event").toString() == QLatin1String(name)) found = event;
        return found;
    }
};

// An application folder at version `version` with the program in it (a hard link to the build's
// binary: the program works in the folder of its own executable), asking the server at `url`.
class AppFolder {
public:
    explicit AppFolder(const std::string& url, const std::string& version = "1.0") {
        std::filesystem::create_hard_link(SENDRIFT_BINARY, Path("sendrift"));
        Write("setup.ini",
              "[CONNECT]\r\nURL=" + url + "\r\n[VERSION]\r\nVERSION=" + version + "\r\n");
    }

    std::string Path(const std::string& name) const {
        return dir_.path().toStdString() + "/" + name;
    }
    void Write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(Path(name)).parent_path());
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        if (!in) return "<missing>";
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // Starts the program with `arguments`, without a display and without proxies. A platform
    // plugin that does not exist is named, so a run that loaded any would abort. With a
    // `launcher` (a command and its arguments), that command is started instead, with the
    // program's path and `arguments` after its own.
    void Start(QProcess& process, const QStringList& arguments,
               const QStringList& launcher = {}) const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "http_proxy", "https_proxy",
                                 "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
            environment.remove(name);
        environment.insert("QT_QPA_PLATFORM", "no-such-platform");
        process.setProcessEnvironment(environment);
        const QString program = QString::fromStdString(Path("sendrift"));
        if (launcher.isEmpty())
            process.start(program, arguments);
        else
            process.start(launcher.front(), launcher.mid(1) + QStringList{program} + arguments);
        ASSERT_TRUE(process.waitForStarted());
    }
    Outcome Run(const QStringList& arguments, const QStringList& launcher = {}) const {
        QProcess process;
        Start(process, arguments, launcher);
        EXPECT_TRUE(process.waitForFinished(60000)) << "the run ended within a minute";
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput().toStdString(),
                process.readAllStandardError().toStdString()};
    }

    QString Folder() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
};
