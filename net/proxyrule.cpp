#include "net/proxyrule.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

struct UrlParts {
    std::string scheme;
    std::string host;  // lower case, without a trailing dot
};

UrlParts SplitUrl(const std::string& url) {
    UrlParts parts;
    size_t hostStart = 0;
    const size_t separator = url.find("://");
    if (separator == std::string::npos) {
        parts.scheme = "http";
    } else {
        parts.scheme = Lower(url.substr(0, separator));
        hostStart = separator + 3;
    }
    const size_t hostEnd = url.find_first_of("/?#", hostStart);
    std::string authority = url.substr(
        hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    authority.resize(std::min(authority.size(), authority.find(':')));
    if (!authority.empty() && authority.back() == '.') authority.pop_back();
    parts.host = Lower(authority);
    return parts;
}

std::optional<uint32_t> Ipv4(const std::string& text) {
    uint32_t address = 0;
    int parts = 0;
    size_t at = 0;
    while (parts < 4) {
        size_t end = at;
        while (end < text.size() && isdigit(static_cast<unsigned char>(text[end]))) ++end;
        if (end == at || end - at > 3) return std::nullopt;
        const int value = std::stoi(text.substr(at, end - at));
        if (value > 255) return std::nullopt;
        address = address << 8 | static_cast<uint32_t>(value);
        ++parts;
        if (parts < 4) {
            if (end >= text.size() || text[end] != '.') return std::nullopt;
            at = end + 1;
        } else if (end != text.size()) {
            return std::nullopt;
        }
    }
    return address;
}

// Whether one no_proxy entry names `host`.
bool Matches(std::string entry, const std::string& host) {
    if (entry == "*") return true;
    const size_t slash = entry.find('/');
    if (slash != std::string::npos) {
        // An address range: it names addresses only, never host names.
        const auto network = Ipv4(entry.substr(0, slash));
        const auto address = Ipv4(host);
        const std::string bitsText = entry.substr(slash + 1);
        if (!network || !address || bitsText.empty() || bitsText.size() > 2 ||
            !std::all_of(bitsText.begin(), bitsText.end(), ::isdigit)) {
            return false;
        }
        const int bits = std::stoi(bitsText);
        if (bits > 32) return false;
        const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
        return (*network & mask) == (*address & mask);
    }
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (entry.empty()) return false;
    if (entry == host) return true;
    // A domain covers the names under it, but an address is never a domain.
    return !Ipv4(host) && host.size() > entry.size() &&
           host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
           host[host.size() - entry.size() - 1] == '.';
}

bool Bypassed(const std::string& noProxy, const std::string& host) {
    size_t at = 0;
    while (at < noProxy.size()) {
        const size_t end = noProxy.find_first_of(", \t", at);
        const std::string entry =
            noProxy.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!entry.empty() && Matches(Lower(entry), host)) return true;
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return false;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string PercentDecoded(const std::string& text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

// A value that names no usable proxy gives a choice without a host, so that the request fails
// instead of quietly going around the proxy that was asked for.
ProxyChoice ParseProxy(const std::string& value) {
    ProxyChoice choice;
    std::string rest = value;
    const size_t separator = rest.find("://");
    if (separator != std::string::npos) {
        choice.scheme = Lower(rest.substr(0, separator));
        rest.erase(0, separator + 3);
    }
    rest.resize(std::min(rest.size(), rest.find_first_of("/?#")));
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        const std::string credentials = rest.substr(0, at);
        const size_t colon = credentials.find(':');
        choice.user = PercentDecoded(credentials.substr(0, colon));
        if (colon != std::string::npos)
            choice.password = PercentDecoded(credentials.substr(colon + 1));
        rest.erase(0, at + 1);
    }
    const size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        const std::string portText = rest.substr(colon + 1);
        if (!portText.empty()) {
            const bool number =
                portText.size() <= 5 && std::all_of(portText.begin(), portText.end(), ::isdigit);
            choice.port = number ? std::stoi(portText) : 0;
            if (choice.port == 0 || choice.port > 65535) return {choice.scheme, "", 0, "", ""};
        }
        rest.resize(colon);
    }
    choice.host = rest;
    return choice;
}

}  // namespace

std::optional<ProxyChoice> ProxyForUrl(const std::string& url, const EnvironmentLookup& lookup) {
    auto variable = [&lookup](const char* name) -> std::optional<std::string> {
        auto value = lookup(name);
        if (value && value->empty()) return std::nullopt;
        return value;
    };
    const UrlParts target = SplitUrl(url);
    if (target.scheme != "http" && target.scheme != "https") return std::nullopt;

    auto noProxy = variable("no_proxy");
    if (!noProxy) noProxy = variable("NO_PROXY");
    if (noProxy && Bypassed(*noProxy, target.host)) return std::nullopt;

    std::optional<std::string> proxy;
    if (target.scheme == "http") {
        proxy = variable("http_proxy");
    } else {
        proxy = variable("https_proxy");
        if (!proxy) proxy = variable("HTTPS_PROXY");
    }
    if (!proxy) proxy = variable("all_proxy");
    if (!proxy) proxy = variable("ALL_PROXY");
    if (!proxy) return std::nullopt;
    return ParseProxy(*proxy);
}

std::optional<ProxyChoice> ProxyForUrl(const std::string& url) {
    return ProxyForUrl(url, [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (!value) return std::nullopt;
        return std::string(value);
    });
}
