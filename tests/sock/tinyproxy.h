#pragma once

#include <memory>
#include <string>
#include <vector>

#include "serverprogram.h"

// The tinyproxy program on 127.0.0.1, started on a free port with a configuration and log of
// its own in `folder`, and stopped with this object. With `user` and `password` it requires
// Basic credentials and answers 407 without them. Raises std::runtime_error when it does not
// come up.
class Tinyproxy {
public:
    explicit Tinyproxy(const std::string& folder, const std::string& user = "",
                       const std::string& password = "");

    int Port() const { return port_; }
    // "http://[user:password@]127.0.0.1:<port>", with the credentials given here (already
    // percent-encoded if need be).
    std::string Url(const std::string& credentials = "") const;
    // The request lines the proxy logged ("HEAD http://... HTTP/1.0", "CONNECT host:port
    // HTTP/1.0"), in order.
    std::vector<std::string> Requests() const;

private:
    std::string log_;
    int port_ = 0;
    std::unique_ptr<ServerProgram> process_;
};
