// Which proxy a request goes through, decided from the environment the way libcurl decides it,
// so that the size queries and the downloads of one upgrade take the same road.
//
//   no_proxy, else NO_PROXY   comma- or blank-separated: "*" (every host), host names, domains
//                             with or without a leading dot (matching the domain and every name
//                             under it), IPv4 addresses and IPv4 ranges ("10.0.0.0/8"). A match
//                             means no proxy.
//   http://  URLs             http_proxy only (the upper-case name is ignored, as libcurl does,
//                             because CGI programs get HTTP_PROXY from a request header)
//   https:// URLs             https_proxy, else HTTPS_PROXY
//   then, for both            all_proxy, else ALL_PROXY
//
// An empty variable counts as unset. A proxy value is "[scheme://][user[:password]@]host[:port]
// [/]"; the scheme defaults to "http", the port to 1080 (libcurl's default), and the user and
// password are percent-decoded.
#pragma once

#include <functional>
#include <optional>
#include <string>

// A proxy value that cannot be understood gives an empty `host`: the caller must fail the
// request rather than go around the proxy that was asked for.
struct ProxyChoice {
    // Lower case, as the value names it: "http", "socks5", "socks5h", "socks4", ... Which of
    // them a client speaks is the client's to say; it must refuse the others.
    std::string scheme = "http";
    std::string host;  // empty: the variable names no usable proxy
    int port = 1080;
    std::string user;  // decoded; empty when the proxy URL carries no credentials
    std::string password;

    bool operator==(const ProxyChoice&) const = default;
};

// Looks up an environment variable; nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

// The proxy for `url` (an absolute http:// or https:// URL; one without a scheme counts as
// http), or nullopt to connect directly. Other schemes get no proxy.
std::optional<ProxyChoice> ProxyForUrl(const std::string& url, const EnvironmentLookup& lookup);
// The same, from the process environment.
std::optional<ProxyChoice> ProxyForUrl(const std::string& url);
