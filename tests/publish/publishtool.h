// sendrift-publish run as a program of its own, as a publisher runs it.
#pragma once

#include <QProcess>
#include <QStringList>
#include <string>

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

inline Outcome Publish(const QStringList& arguments) {
    QProcess tool;
    tool.start(SENDRIFT_PUBLISH_PROGRAM, arguments);
    Outcome outcome;
    if (!tool.waitForFinished(60000)) return outcome;
    outcome.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    outcome.out = tool.readAllStandardOutput().toStdString();
    outcome.err = tool.readAllStandardError().toStdString();
    return outcome;
}
