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
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RawPeer {
public:
    // Answers every connection with `reply` once the request head (up to an empty line) has
    // arrived, then closes it.
    explicit RawPeer(std::string reply);
    ~RawPeer();

    int Port() const { return port_; }
    std::string Url(const std::string& path) const;
    // The bytes received on each connection so far, in order of arrival.
    std::vector<std::string> Received() const;

private:
    void Serve();

    std::string reply_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread thread_;
};
