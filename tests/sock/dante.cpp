#include "dante.h"

#include <fstream>
#include <sstream>

Dante::Dante(const std::string& folder, int blockedPort)
    : log_(folder + "/danted.log"), port_(FreeLoopbackPort()) {
    const std::string config = folder + "/danted.conf";
    {
        std::ofstream file(config);
        file << "logoutput: " << log_ << "\n"
             << "internal: 127.0.0.1 port = " << port_ << "\nexternal: 127.0.0.1\n"
             << "socksmethod: none\nclientmethod: none\n"
             << "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  log: error connect\n}\n";
        // The first matching rule decides.
        if (blockedPort != 0) {
            file << "socks block {\n  from: 0.0.0.0/0 to: 0.0.0.0/0 port = " << blockedPort
                 << "\n  log: error connect\n}\n";
        }
        file << "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  command: connect\n"
             << "  log: error connect\n}\n";
    }
    // In the foreground (no -D), and with its pid file here rather than in /var/run.
    process_ = std::make_unique<ServerProgram>(
        "danted",
        QStringList{"-f", QString::fromStdString(config), "-p",
                    QString::fromStdString(folder + "/danted.pid"), "-N", "1"},
        log_, "running");
}

std::string Dante::Url(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> Dante::Connections() const {
    std::vector<std::string> targets;
    std::istringstream log(FileText(log_));
    // "pass(1): tcp/connect [: <client> <proxy> -> <proxy's end> <target>", each address
    // written "a.b.c.d.port".
    for (std::string line; std::getline(log, line);) {
        if (line.find("pass(") == std::string::npos ||
            line.find("tcp/connect [:") == std::string::npos) {
            continue;
        }
        std::string target = line.substr(line.rfind(' ') + 1);
        target[target.rfind('.')] = ':';
        targets.push_back(target);
    }
    return targets;
}
