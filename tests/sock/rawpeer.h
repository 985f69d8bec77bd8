#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A listening socket on 127.0.0.1 that never accepts: connections complete in the kernel's
// backlog and whatever a client sends piles up unread until its send buffer is full.
class DeafListener {
public:
    DeafListener();
    ~DeafListener();
    int Port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
};

// A one-connection-at-a-time TCP peer on 127.0.0.1 that keeps the exact bytes each client
// sent. The scripted HTTP server records requests as parsed lines; tests that check line ends
// byte for byte, or requests that announce a body they never send, use this instead.
class RawPeer {
public:
    // Answers every connection with `reply` once the request head (up to an empty line) has
    // arrived, then with up to `trailing` filler bytes for as long as the client takes them,
    // then closes it. A large `trailing` makes a body that, for the client, never ends.
    explicit RawPeer(std::string reply, size_t trailing = 0);
    ~RawPeer();

    int Port() const { return port_; }
    std::string Url(const std::string& path) const;
    // The bytes received on each connection so far, in order of arrival.
    std::vector<std::string> Received() const;
    // Filler bytes handed to the system on all connections so far; they include what sits
    // unread in the socket buffers when the client closes.
    size_t TrailingSent() const { return trailingSent_; }

private:
    void Serve();
    // Sends `length` bytes, fewer when the client stops taking them; returns how many went.
    static size_t SendAll(int client, const char* data, size_t length);

    std::string reply_;
    size_t trailing_ = 0;
    std::atomic<size_t> trailingSent_{0};
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread thread_;
};
