#include "tinyproxy.h"

#include <fstream>
#include <sstream>

Tinyproxy::Tinyproxy(const std::string& folder, const std::string& user,
                     const std::string& password)
    : log_(folder + "/tinyproxy.log"), port_(FreeLoopbackPort()) {
    const std::string config = folder + "/tinyproxy.conf";
    {
        std::ofstream file(config);
        file << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
             << "LogFile \"" << log_ << "\"\nLogLevel Info\n"
             << "PidFile \"" << folder << "/tinyproxy.pid\"\n";
        if (!user.empty()) file << "BasicAuth " << user << " " << password << "\n";
    }
    process_ = std::make_unique<ServerProgram>(
        "tinyproxy", QStringList{"-d", "-c", QString::fromStdString(config)}, log_,
        "Accepting connections");
}

std::string Tinyproxy::Url(const std::string& credentials) const {
    return "http://" + (credentials.empty() ? "" : credentials + "@") +
           "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> Tinyproxy::Requests() const {
    std::vector<std::string> requests;
    std::istringstream log(FileText(log_));
    const std::string marker = "): ";
    for (std::string line; std::getline(log, line);) {
        if (line.find("Request (file descriptor") == std::string::npos) continue;
        requests.push_back(line.substr(line.find(marker) + marker.size()));
    }
    return requests;
}
