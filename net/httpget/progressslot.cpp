#include "net/httpget/progressslot.h"

namespace {

// How long the GUI thread keeps looking at an empty slot before it goes back to its event
// loop. The worker refills the slot within a few microseconds while data is flowing, so this
// catches the next call without an event round trip, and a stalled transfer costs only this
// much processor time per wake-up.
constexpr std::chrono::microseconds kIdleSpin(50);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

bool ProgressSlot::Hand(int totalSize, int readed, const std::function<void()>& wakeGui) {
    totalSize_ = totalSize;
    readed_ = readed;
    State expected = State::Empty;
    if (!state_.compare_exchange_strong(expected, State::Full)) return false;
    // Pairs with Drain's last look at the slot after it clears draining_: either the GUI
    // thread sees this call, or this thread sees that nobody drains and wakes it.
    if (!draining_.load()) wakeGui();
    for (;;) {
        State state = state_.load();
        if (state == State::Empty) return true;
        if (state == State::Closed) return false;
        state_.wait(state);
    }
}

ProgressSlot::DrainEnd ProgressSlot::Drain(
    const std::function<void(int totalSize, int readed)>& deliver,
    std::chrono::microseconds budget) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::time_point lastCall = start;
    draining_.store(true);
    for (;;) {
        State expected = State::Full;
        if (state_.compare_exchange_strong(expected, State::Delivering)) {
            deliver(totalSize_, readed_);
            expected = State::Delivering;
            // Fails only when the slot was closed inside the call; Closed must stay.
            state_.compare_exchange_strong(expected, State::Empty);
            state_.notify_all();
            // A drain nested inside the call may have cleared the flag on its way out.
            draining_.store(true);
            lastCall = Clock::now();
            if (lastCall - start >= budget) break;
            continue;
        }
        // Delivering: this drain runs nested inside this slot's own call, which must return
        // before anything else can arrive.
        if (expected != State::Empty) break;
        if (Clock::now() - lastCall >= kIdleSpin) break;
        CpuRelax();
    }
    draining_.store(false);
    return state_.load() == State::Full ? DrainEnd::CallWaiting : DrainEnd::Idle;
}

void ProgressSlot::DropWaitingCall() {
    State expected = State::Full;
    if (state_.compare_exchange_strong(expected, State::Empty)) state_.notify_all();
}

void ProgressSlot::Close() {
    state_.store(State::Closed);
    state_.notify_all();
}
