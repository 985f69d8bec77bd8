// ProgressSlot: the one-place mailbox through which a download worker hands progress calls to
// the GUI thread and waits until they have run.
//
// A blocking queued call per chunk costs an event round trip and two thread switches, far
// more than receiving the chunk. Here the worker puts in the calls for everything the network
// had ready (a run of chunks) at once, and asks for a wake-up only when the GUI thread is not
// already draining the slot. Each side looks at the slot for up to a fifth of a millisecond
// before it sleeps, which while data flows saves most wake-ups; looks that go unanswered (a
// stalled server, a busy machine) grow shorter. During a long run of calls the worker sleeps
// and is woken shortly before the run ends. While the GUI thread runs one run of calls, the
// worker receives and stores the bytes of the next and waits for the first run to end only when
// it puts the next one in: the GUI thread's work overlaps the network's, the transfer still
// waits for every call (at most one run behind), and the calls run on the GUI thread one at a
// time, in order.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

class ProgressSlot {
public:
    // Worker thread. Puts in the calls (totalSize, readed) for each of `readeds`, which must
    // stay unchanged until AwaitDelivery returns, and asks `wakeGui` for a wake-up when the GUI
    // thread is not draining. False when the slot has been closed: the transfer must stop.
    bool Put(int64_t totalSize, const std::vector<int64_t>& readeds,
             const std::function<void()>& wakeGui);
    // Worker thread. Waits until the calls put in have all run or been dropped. False when the
    // slot has been closed.
    bool AwaitDelivery();

    enum class DrainEnd { Idle, CallWaiting };

    // GUI thread. Runs `deliver` for each call, in order, as calls come: it returns when no
    // call has come for a short spin, when `budget` is spent (so the GUI thread gets to its
    // other events), or when the slot closes. CallWaiting means calls are left and nobody has been
    // asked to wake the GUI thread for them; the caller must arrange another drain.
    DrainEnd Drain(const std::function<void(int64_t totalSize, int64_t readed)>& deliver,
                   std::chrono::microseconds budget);

    // GUI thread. Lets a waiting worker go on without running its calls (the transfer is being
    // aborted).
    void DropWaitingCalls();

    // Any thread. No call goes in or out any more; a waiting worker is released.
    void Close();

private:
    void WakeWorker();

    // Full: calls are waiting. Delivering: the GUI thread is running one of them.
    enum class State { Empty, Full, Delivering, Closed };

    std::atomic<State> state_{State::Empty};
    // True while the GUI thread is in Drain; tells the worker whether to ask for a wake-up.
    std::atomic<bool> draining_{false};
    // False while the worker may sleep: the GUI thread has many calls of the run still to make.
    std::atomic<bool> nearlyDone_{true};
    // Written by the worker before it makes the slot Full; then owned by the GUI thread until
    // the slot is Empty again.
    int64_t totalSize_ = 0;
    const std::vector<int64_t>* readeds_ = nullptr;
    size_t next_ = 0;
};
