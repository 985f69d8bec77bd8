#pragma once

#include <memory>
#include <string>
#include <vector>

#include "serverprogram.h"

// The Dante SOCKS server (danted) on 127.0.0.1, started on a free port without authentication,
// with a configuration, log and pid file of its own in `folder`, and stopped with this object.
// It lets clients of 127.0.0.1 connect anywhere except to `blockedPort` (when not 0), which its
// rules refuse. Raises std::runtime_error when it does not come up.
class Dante {
public:
    explicit Dante(const std::string& folder, int blockedPort = 0);

    int Port() const { return port_; }
    // "<scheme>://127.0.0.1:<port>", e.g. for all_proxy.
    std::string Url(const std::string& scheme) const;
    // The targets of the connections it opened for its clients ("127.0.0.1:8080"), in order.
    std::vector<std::string> Connections() const;

private:
    std::string log_;
    int port_ = 0;
    std::unique_ptr<ServerProgram> process_;
};
