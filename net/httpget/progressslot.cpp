#include "net/httpget/progressslot.h"

#include <algorithm>

#include "platform/cpurelax.h"

namespace {

using Clock = std::chrono::steady_clock;

// A sleeping thread runs again only tens to hundreds of microseconds after it is woken (more
// on virtual machines), once per run of calls in each direction. While data flows, the other
// side usually answers sooner, so each side first looks at the slot for a while before it
// sleeps.
constexpr std::chrono::nanoseconds kLongestSpin = std::chrono::microseconds(200);
// The shortest look: long enough to see a quick answer, which lets the limit grow again.
constexpr std::chrono::nanoseconds kShortestSpin = std::chrono::microseconds(4);
// The worker sleeps while the GUI thread works through a long run of calls and is woken this
// many calls before the end, so that it is awake again, watching the slot, when the run ends.
constexpr size_t kWakeAhead = 32;
// Reading the clock costs about as much as a short pause; spins read it this seldom.
constexpr int kSpinsPerClockReading = 32;

// How long one side looks at the slot before it sleeps. A spin pays only while the other side
// has a processor of its own and answers within it; on a busy machine it burns the time slice
// the other side is waiting for, and during a stall nothing answers. So the limit halves after
// a look that ran out and doubles after one that was answered. What the looks show is the
// state of the machine, shared by every transfer: one limit for each side, for the process.
class SpinLimit {
public:
    // Spins until `done` holds or the limit has passed; true when it holds.
    template <typename Done>
    bool SpinUntil(Done done) {
        const std::chrono::nanoseconds limit(limit_.load(std::memory_order_relaxed));
        const Clock::time_point end = Clock::now() + limit;
        bool answered = false;
        for (int spins = 1;; ++spins) {
            if (done()) {
                answered = true;
                break;
            }
            if (spins % kSpinsPerClockReading == 0 && Clock::now() >= end) break;
            platform::CpuRelax();
        }
        const std::chrono::nanoseconds next =
            answered ? std::min(limit * 2, kLongestSpin) : std::max(limit / 2, kShortestSpin);
        limit_.store(next.count(), std::memory_order_relaxed);
        return answered;
    }

private:
    std::atomic<std::chrono::nanoseconds::rep> limit_{kLongestSpin.count()};
};

SpinLimit guiSpin;
SpinLimit workerSpin;

}  // namespace

bool ProgressSlot::Put(int64_t totalSize, const std::vector<int64_t>& readeds,
                       const std::function<void()>& wakeGui) {
    totalSize_ = totalSize;
    readeds_ = &readeds;
    next_ = 0;
    nearlyDone_.store(readeds.size() <= kWakeAhead);
    State expected = State::Empty;
    if (readeds.empty() || !state_.compare_exchange_strong(expected, State::Full)) {
        return expected != State::Closed;
    }
    // Pairs with Drain's last look at the slot after it clears draining_: either the GUI
    // thread sees these calls, or this thread sees that nobody drains and wakes it.
    if (!draining_.load()) wakeGui();
    return true;
}

bool ProgressSlot::AwaitDelivery() {
    while (!nearlyDone_.load()) nearlyDone_.wait(false);
    workerSpin.SpinUntil(
        [this] { return state_.load() == State::Empty || state_.load() == State::Closed; });
    for (;;) {
        State state = state_.load();
        if (state == State::Empty) return true;
        if (state == State::Closed) return false;
        state_.wait(state);
    }
}

ProgressSlot::DrainEnd ProgressSlot::Drain(
    const std::function<void(int64_t totalSize, int64_t readed)>& deliver,
    std::chrono::microseconds budget) {
    const Clock::time_point end = Clock::now() + budget;
    draining_.store(true);
    for (;;) {
        State expected = State::Full;
        if (!state_.compare_exchange_strong(expected, State::Delivering)) {
            // Delivering: this drain runs nested inside one of this slot's calls. Closed: the
            // transfer is over. Empty: the worker may be about to put in more calls.
            if (expected != State::Empty ||
                !guiSpin.SpinUntil([this] { return state_.load() != State::Empty; })) {
                break;
            }
            continue;
        }
        const int64_t readed = (*readeds_)[next_++];
        const size_t left = readeds_->size() - next_;
        const bool last = left == 0;
        if (left == kWakeAhead) WakeWorker();
        deliver(totalSize_, readed);
        expected = State::Delivering;
        // Fails only when the slot was closed during the call; Closed must stay.
        if (state_.compare_exchange_strong(expected, last ? State::Empty : State::Full) && last) {
            state_.notify_all();
        }
        // A drain nested inside the call may have cleared the flag on its way out.
        draining_.store(true);
        if (Clock::now() >= end) break;
    }
    draining_.store(false);
    return state_.load() == State::Full ? DrainEnd::CallWaiting : DrainEnd::Idle;
}

void ProgressSlot::DropWaitingCalls() {
    State expected = State::Full;
    if (state_.compare_exchange_strong(expected, State::Empty)) {
        WakeWorker();
        state_.notify_all();
    }
}

void ProgressSlot::Close() {
    state_.store(State::Closed);
    WakeWorker();
    state_.notify_all();
}

void ProgressSlot::WakeWorker() {
    nearlyDone_.store(true);
    nearlyDone_.notify_all();
}
