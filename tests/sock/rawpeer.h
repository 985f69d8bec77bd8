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
// byte for byte, requests that announce a body they never send, or a binary exchange (a SOCKS
// proxy's) use this instead.
class RawPeer {
public:
    // One step of a conversation: wait for the client's next bytes, then send `reply`.
    struct Turn {
        // How many bytes to wait for; 0: up to the end of an HTTP request head (an empty line).
        size_t awaited = 0;
        std::string reply;
    };

    // Answers every connection with `reply` once the request head (up to an empty line) has
    // arrived, then with up to `trailing` filler bytes for as long as the client takes them,
    // then closes it. A large `trailing` makes a body that, for the client, never ends.
    explicit RawPeer(std::string reply, size_t trailing = 0);
    // Holds the same conversation with every connection, turn by turn, then closes it. A
    // client that stalls is given up after 5 s, and the turn is answered all the same.
    explicit RawPeer(std::vector<Turn> turns);
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

    std::vector<Turn> turns_;
    size_t trailing_ = 0;
    std::atomic<size_t> trailingSent_{0};
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread thread_;
};
