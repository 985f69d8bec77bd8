#include "bench/support/nginxserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <csignal>
#include <fstream>

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A socket bound to `port` of 127.0.0.1 (0: one the system hands out), or -1.
int BoundSocket(int port) {
    const int bound = socket(AF_INET, SOCK_STREAM, 0);
    // As a server binds it: a connection of an earlier listener that lingers does not count.
    const int reuse = 1;
    setsockopt(bound, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address = Loopback(port);
    if (bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return bound;
    close(bound);
    return -1;
}

// A port the system just handed out, so almost certainly still free.
int FreePort() {
    const int probe = BoundSocket(0);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const bool ok =
        probe >= 0 && getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (probe >= 0) close(probe);
    if (!ok) throw std::runtime_error("no free port on 127.0.0.1");
    return ntohs(address.sin_port);
}

bool Answers(int port) {
    int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(port);
    bool connected = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(client);
    return connected;
}

}  // namespace

bool PortIsFree(int port) {
    const int probe = BoundSocket(port);
    if (probe < 0) return false;
    close(probe);
    return true;
}

NginxServer::NginxServer(const QString& root, const NginxOptions& options)
    : root_(root), port_(FreePort()), tlsPort_(options.tls ? FreePort() : 0) {
    QDir(root).mkpath("www");
    QDir(root).mkpath("temp");
    const std::optional<NginxCertificate>& tls = options.tls;
    const QString config =
        QString(R"(daemon off;
master_process off;
worker_processes 1;
pid %1/nginx.pid;
error_log %1/error.log;
events { worker_connections 256; }
http {
    access_log %6;
    client_body_temp_path %1/temp/body;
    proxy_temp_path %1/temp/proxy;
    fastcgi_temp_path %1/temp/fastcgi;
    uwsgi_temp_path %1/temp/uwsgi;
    scgi_temp_path %1/temp/scgi;
    sendfile on;
    default_type application/octet-stream;
%5
    server {
        listen 127.0.0.1:%2;
%4        root %1/www;
    }
%3}
)")
            .arg(root)
            .arg(port_)
            .arg(tls ? QString(R"(    ssl_session_cache shared:bench:1m;
    server {
        listen 127.0.0.1:%1 ssl;
        ssl_certificate %2;
        ssl_certificate_key %3;
        root %4/www;
    }
)")
                           .arg(tlsPort_)
                           .arg(tls->certificate, tls->key, root)
                     : QString())
            .arg(options.fixedPort
                     ? QString("        listen 127.0.0.1:%1;\n").arg(options.fixedPort)
                     : QString())
            .arg(options.httpDirectives)
            .arg(options.logRequests ? AccessLog() : QString("off"));
    const QString configFile = root + "/nginx.conf";
    std::ofstream(configFile.toStdString()) << config.toStdString();
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // nginx must not outlive the benchmark, also when the benchmark is killed.
    process_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process_.start("/usr/sbin/nginx", {"-p", root, "-c", configFile, "-e", root + "/error.log"});
    if (!process_.waitForStarted())
        throw std::runtime_error("cannot start /usr/sbin/nginx (Debian nginx-light)");
    const int fixedPort = options.fixedPort;
    for (int attempt = 0;
         !Answers(port_) || (tlsPort_ && !Answers(tlsPort_)) || (fixedPort && !Answers(fixedPort));
         ++attempt) {
        if (attempt == 100 || process_.waitForFinished(50))
            throw std::runtime_error("nginx does not answer; see " + root.toStdString() +
                                     "/error.log");
    }
}

NginxServer::~NginxServer() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished();
}

QString NginxServer::Url(const QString& path) const {
    return QString("http://127.0.0.1:%1%2").arg(port_).arg(path);
}

int64_t NginxServer::RequestsServed() const {
    return int64_t(RequestLines().size());
}

std::vector<std::string> NginxServer::RequestLines() const {
    std::ifstream log(AccessLog().toStdString());
    if (!log) throw std::runtime_error("cannot read " + AccessLog().toStdString());
    // The combined format quotes the request line first: `host - - [time] "GET /x HTTP/1.0" ...`.
    std::vector<std::string> requests;
    for (std::string line; std::getline(log, line);) {
        const size_t open = line.find('"');
        const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
        requests.push_back(close == std::string::npos ? std::string()
                                                      : line.substr(open + 1, close - open - 1));
    }
    return requests;
}

QString NginxServer::TlsUrl(const QString& path) const {
    return QString("https://127.0.0.1:%1%2").arg(tlsPort_).arg(path);
}
