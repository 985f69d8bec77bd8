#include "serverprogram.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

int FreeLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(probe);
        throw std::runtime_error("no free port");
    }
    close(probe);
    return ntohs(address.sin_port);
}

std::string FileText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

ServerProgram::ServerProgram(const QString& program, const QStringList& arguments,
                             const std::string& log, const std::string& readyText) {
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.start(program, arguments);
    if (!process_.waitForStarted(10000)) {
        throw std::runtime_error(program.toStdString() + " did not start");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (FileText(log).find(readyText) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline || process_.state() != QProcess::Running) {
            throw std::runtime_error(program.toStdString() + " did not come up: " + FileText(log));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

ServerProgram::~ServerProgram() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
}
