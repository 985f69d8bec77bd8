// ProgressSlot: the one-place mailbox through which a download worker hands each progress call
// to the GUI thread and waits until it has run.
//
// A blocking queued call per chunk costs an event round trip, far more than receiving the
// chunk. Here the GUI thread, while it expects calls (inside GetFile's wait, or after a
// wake-up), spins briefly on the slot and runs each call as soon as it is put in; only when
// nobody is spinning does the worker ask for a wake-up. Every call still runs on the GUI thread
// while the worker waits for it, one at a time, in order.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>

class ProgressSlot {
public:
    // Worker thread. Puts one call in, asks `wakeGui` for a wake-up when the GUI thread is not
    // draining, and waits until the call has run or been dropped. False when the slot has been
    // closed: the transfer must stop.
    bool Hand(int totalSize, int readed, const std::function<void()>& wakeGui);

    enum class DrainEnd { Idle, CallWaiting };

    // GUI thread. Runs `deliver` for every call put in while they keep coming: it returns when
    // the slot has stayed empty for a short spin, when `budget` is spent (so the GUI thread
    // gets to its other events), or when the slot closes. CallWaiting means a call arrived
    // too late for this round and nobody has been asked to wake the GUI thread for it; the
    // caller must arrange another drain.
    DrainEnd Drain(const std::function<void(int totalSize, int readed)>& deliver,
                   std::chrono::microseconds budget);

    // GUI thread. Lets a waiting worker go on without running its call (the transfer is being
    // aborted).
    void DropWaitingCall();

    // Any thread. No call goes in or out any more; a waiting worker is released.
    void Close();

private:
    enum class State { Empty, Full, Delivering, Closed };

    std::atomic<State> state_{State::Empty};
    // True while the GUI thread spins in Drain; tells the worker whether to ask for a wake-up.
    std::atomic<bool> draining_{false};
    // Written by the worker before it makes the slot Full, read by the GUI thread after.
    int totalSize_ = 0;
    int readed_ = 0;
};
