// A real server program (tinyproxy, danted) run for a test on 127.0.0.1, in the foreground as
// a child of the test, with a configuration and a log of its own in a temporary folder.
#pragma once

#include <string>

#include <QProcess>
#include <QStringList>

// A port of 127.0.0.1 that was free a moment ago; a program started right after binds it.
int FreeLoopbackPort();

// The whole content of a file; "" when it cannot be read.
std::string FileText(const std::string& path);

// Starts `program` with `arguments` and returns once `log` holds `readyText`. Raises
// std::runtime_error with the log's text when the program ends or 10 s pass first. Destroying
// it terminates the program (and kills it when it does not end within 5 s).
class ServerProgram {
public:
    ServerProgram(const QString& program, const QStringList& arguments, const std::string& log,
                  const std::string& readyText);
    ~ServerProgram();
    ServerProgram(const ServerProgram&) = delete;
    ServerProgram& operator=(const ServerProgram&) = delete;

private:
    QProcess process_;
};
