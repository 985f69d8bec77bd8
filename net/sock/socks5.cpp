// TPowersock: the tunnel through a SOCKS5 proxy (RFC 1928), with the user name and password
// method (RFC 1929). The bytes go through the transport's own sends and receives, so every
// wait of the exchange dispatches events and is bounded like the others.
#include <iterator>
#include <string>

#include "net/sock/psock.h"

namespace {

constexpr char kVersion = 5;
constexpr char kMethodNone = 0x00;
constexpr char kMethodUserPassword = 0x02;
constexpr char kNoAcceptableMethod = static_cast<char>(0xFF);
constexpr char kUserPasswordVersion = 1;
constexpr char kCommandConnect = 1;
constexpr char kAddressIpv4 = 1;
constexpr char kAddressName = 3;
constexpr char kAddressIpv6 = 4;
// A length byte counts the user name, the password and a host name.
constexpr size_t kMaxCounted = 255;

// The reply codes' meanings, as RFC 1928 names them.
std::string ReplyMeaning(unsigned char code) {
    static const char* const kMeanings[] = {
        "succeeded",
        "general SOCKS server failure",
        "connection not allowed by ruleset",
        "network unreachable",
        "host unreachable",
        "connection refused",
        "TTL expired",
        "command not supported",
        "address type not supported",
    };
    return code < std::size(kMeanings) ? kMeanings[code] : "unassigned reply code";
}

// A length byte and the text.
std::string Counted(const std::string& text) {
    return static_cast<char>(text.size()) + text;
}

std::string BigEndian16(uint16_t value) {
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

std::string BigEndian32(uint32_t value) {
    return BigEndian16(static_cast<uint16_t>(value >> 16)) +
           BigEndian16(static_cast<uint16_t>(value & 0xFFFF));
}

}  // namespace

void TPowersock::OpenSocks5Tunnel(std::optional<uint32_t> destination) {
    const AnsiString proxy = Proxy + ":" + std::to_string(ProxyPort);
    try {
        Socks5Handshake(destination);
    } catch (const EAbortError&) {
        throw EAbortError("SOCKS5 handshake with " + proxy +
                          (TimedOut ? " timed out" : " aborted"));
    } catch (const ESockError& error) {
        throw ESockError("SOCKS5 proxy " + proxy + ": " + error.Message());
    }
}

void TPowersock::Socks5Handshake(std::optional<uint32_t> destination) {
    const bool withCredentials = !ProxyUserId.empty() || !ProxyPassword.empty();
    if (ProxyUserId.size() > kMaxCounted || ProxyPassword.size() > kMaxCounted) {
        throw ESockError("user name or password longer than 255 bytes");
    }
    if (!destination && (Host.empty() || Host.size() > kMaxCounted)) {
        throw ESockError("host name empty or longer than 255 bytes: " + Host);
    }
    const AnsiString target = Host + ":" + std::to_string(Port);
    auto send = [this](const std::string& bytes) {
        SendBuffer(bytes.data(), static_cast<uint16_t>(bytes.size()));
    };
    auto receive = [this](size_t length) {
        std::string bytes(length, '\0');
        if (ReceiveExactly(bytes.data(), length) < length) {
            throw ESockError("closed the connection during the handshake");
        }
        return bytes;
    };
    auto checkVersion = [](char version) {
        if (version != kVersion) throw ESockError("the answer is not SOCKS5");
    };

    std::string greeting = {kVersion, 1, kMethodNone};
    if (withCredentials) greeting = {kVersion, 2, kMethodNone, kMethodUserPassword};
    send(greeting);
    const std::string choice = receive(2);
    checkVersion(choice[0]);
    if (choice[1] == kMethodUserPassword && withCredentials) {
        send(kUserPasswordVersion + Counted(ProxyUserId) + Counted(ProxyPassword));
        // Only the status counts: some proxies answer with the SOCKS version here.
        if (receive(2)[1] != 0) {
            throw ESockError("refused the user name \"" + ProxyUserId + "\" and its password");
        }
    } else if (choice[1] == kNoAcceptableMethod) {
        throw ESockError(withCredentials
                             ? "accepted none of the offered authentication methods"
                             : "asks for authentication, and no user name and password were given");
    } else if (choice[1] != kMethodNone) {
        throw ESockError("chose an authentication method that was not offered (" +
                         std::to_string(static_cast<unsigned char>(choice[1])) + ")");
    }

    std::string request = {kVersion, kCommandConnect, 0};
    request +=
        destination ? kAddressIpv4 + BigEndian32(*destination) : kAddressName + Counted(Host);
    send(request + BigEndian16(static_cast<uint16_t>(Port)));
    // The code comes before the bound address, and a refusing proxy may close after it.
    const std::string reply = receive(4);
    checkVersion(reply[0]);
    const auto code = static_cast<unsigned char>(reply[1]);
    if (code != 0) {
        throw ESockError("could not connect to " + target + ": " + ReplyMeaning(code) + " (reply " +
                         std::to_string(code) + ")");
    }
    // The address the proxy connected from tells nothing the tunnel needs; it is read to get
    // past it, so that the first byte read afterwards is the destination's.
    switch (reply[3]) {
        case kAddressIpv4:
            receive(4 + 2);
            break;
        case kAddressIpv6:
            receive(16 + 2);
            break;
        case kAddressName:
            receive(static_cast<unsigned char>(receive(1)[0]) + size_t{2});
            break;
        default:
            throw ESockError("unknown address type in the reply");
    }
}
