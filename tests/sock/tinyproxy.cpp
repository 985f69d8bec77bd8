#include "tinyproxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

// A port that was free a moment ago; tinyproxy binds it right after.
int FreePort() {
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

std::string ReadAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

Tinyproxy::Tinyproxy(const std::string& folder, const std::string& user,
                     const std::string& password)
    : log_(folder + "/tinyproxy.log"), port_(FreePort()) {
    const std::string config = folder + "/tinyproxy.conf";
    {
        std::ofstream file(config);
        file << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
             << "LogFile \"" << log_ << "\"\nLogLevel Info\n"
             << "PidFile \"" << folder << "/tinyproxy.pid\"\n";
        if (!user.empty()) file << "BasicAuth " << user << " " << password << "\n";
    }
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.start("tinyproxy", {"-d", "-c", QString::fromStdString(config)});
    if (!process_.waitForStarted(10000)) throw std::runtime_error("tinyproxy did not start");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ReadAll(log_).find("Accepting connections") == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline || process_.state() != QProcess::Running)
            throw std::runtime_error("tinyproxy did not come up: " + ReadAll(log_));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Tinyproxy::~Tinyproxy() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
}

std::string Tinyproxy::Url(const std::string& credentials) const {
    return "http://" + (credentials.empty() ? "" : credentials + "@") +
           "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> Tinyproxy::Requests() const {
    std::vector<std::string> requests;
    std::istringstream log(ReadAll(log_));
    const std::string marker = "): ";
    for (std::string line; std::getline(log, line);) {
        if (line.find("Request (file descriptor") == std::string::npos) continue;
        requests.push_back(line.substr(line.find(marker) + marker.size()));
    }
    return requests;
}
