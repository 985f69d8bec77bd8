// The HTTP client reading arbitrary responses from a real connection on 127.0.0.1: a peer
// thread answers each request with the input and closes. Whatever arrives, the exchange ends
// (no hang, no crash), and the header and body together are the bytes as sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "fuzzsupport.h"
#include "net/sock/nmhttp.h"

namespace {

// Answers one connection at a time with the current reply, once the request head is in.
class Peer {
public:
    Peer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) ||
            ::listen(listener_, 4) ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length)) {
            fuzzsupport::Stop(__FILE__, __LINE__, "cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
        std::thread([this] { Serve(); }).detach();
    }

    int Port() const { return port_; }

    void SetReply(std::string reply) {
        std::lock_guard lock(mutex_);
        reply_ = std::move(reply);
    }

private:
    void Serve() {
        for (;;) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) continue;
            std::string request;
            char buffer[4096];
            pollfd wait{client, POLLIN, 0};
            while (request.find("\r\n\r\n") == std::string::npos && ::poll(&wait, 1, 5000) == 1) {
                const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                request.append(buffer, static_cast<size_t>(got));
            }
            std::string reply;
            {
                std::lock_guard lock(mutex_);
                reply = reply_;
            }
            for (size_t sent = 0; sent < reply.size();) {
                const ssize_t wrote =
                    ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
                if (wrote <= 0) break;
                sent += static_cast<size_t>(wrote);
            }
            ::close(client);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::string reply_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::StartApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Made once: a peer thread and a client socket per input would set the pace.
    static Peer peer;
    static TNMHTTP http;
    static const AnsiString url = "http://127.0.0.1:" + std::to_string(peer.Port()) + "/x";
    static bool once = [] {
        // Long enough for a loaded machine, short of libFuzzer's own limit: a stuck read
        // shows as an exception here, which fails the run.
        http.TimeOut = 5000;
        // A redirect would go wherever the input says: only 127.0.0.1 may be reached.
        http.OnRedirect = [](bool& handled) { handled = true; };
        return true;
    }();
    (void)once;

    const std::string reply = fuzzsupport::Bytes(data, size);
    peer.SetReply(reply);
    // A 3xx reply passes its cookie on to the next request, where one holding a line break is
    // refused before sending: each input starts from a client that has seen nothing.
    http.HeaderInfo = {};
    http.Get(url);
    FUZZ_CHECK(http.Header + http.Body == reply);
    // The header ends with its empty line, or the peer closed before one came.
    FUZZ_CHECK(http.Body.empty() || http.Header.ends_with("\n"));
    FUZZ_CHECK(!http.Connected());
    // A HEAD reply is its header alone: whatever follows is never read.
    const AnsiString header = http.Header;
    http.HeaderInfo = {};
    http.Head(url);
    FUZZ_CHECK(http.Header == header && http.Body.empty());
    FUZZ_CHECK(!http.Connected());
    return 0;
}
