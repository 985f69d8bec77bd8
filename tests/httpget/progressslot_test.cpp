// The worker-to-GUI hand-off of the download component, hammered from both sides. The test
// thread plays the GUI thread: it drains only when woken, as the real one does, so a lost
// wake-up shows as a stall rather than being hidden by polling.
#include "net/httpget/progressslot.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Handoff {
public:
    // The worker's side: `runs` runs of 1 to 64 calls whose values count up from 1 across runs.
    // Stops early when the slot closes.
    void Work(int runs, unsigned seed) {
        std::mt19937 random(seed);
        std::vector<int64_t> readeds;
        for (int run = 0; run < runs; ++run) {
            readeds.resize(random() % 64 + 1);
            for (int64_t& readed : readeds) readed = ++sent_;
            if (!slot_.Put(run, readeds, [this] { WakeGui(); }) || !slot_.AwaitDelivery()) break;
        }
        workerDone_ = true;
        WakeGui();
    }

    // The GUI thread's side, until the worker has finished. `interfere` runs before each drain
    // and may drop calls or close the slot. False when no wake-up came for 5 s.
    bool Drain(const std::function<void(ProgressSlot&)>& interfere = {}) {
        bool callWaiting = false;
        while (!workerDone_ || callWaiting) {
            if (!callWaiting) {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!woken_.wait_for(lock, 5s, [&] { return wakeups_ > 0 || workerDone_; })) {
                    slot_.Close();  // releases the worker, so the test fails instead of hanging
                    return false;
                }
                wakeups_ = 0;
            }
            if (interfere) interfere(slot_);
            callWaiting = slot_.Drain(
                              [this](int64_t, int64_t readed) {
                                  ordered_ = ordered_ && readed > lastDelivered_;
                                  lastDelivered_ = readed;
                                  ++delivered_;
                              },
                              200us) == ProgressSlot::DrainEnd::CallWaiting;
        }
        return true;
    }

    int sent_ = 0;
    int delivered_ = 0;
    int64_t lastDelivered_ = 0;
    bool ordered_ = true;

private:
    void WakeGui() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++wakeups_;
        }
        woken_.notify_one();
    }

    ProgressSlot slot_;
    std::mutex mutex_;
    std::condition_variable woken_;
    int wakeups_ = 0;
    std::atomic<bool> workerDone_ = false;
};

TEST(ProgressSlot, EveryCallArrivesOnceAndInOrder) {
    Handoff handoff;
    std::thread worker([&] { handoff.Work(32000, 1); });
    const bool neverStalled = handoff.Drain();
    worker.join();
    EXPECT_TRUE(neverStalled) << "a wake-up was lost";
    EXPECT_GT(handoff.sent_, 1000000) << "a million hand-offs";
    EXPECT_EQ(handoff.delivered_, handoff.sent_);
    EXPECT_EQ(handoff.lastDelivered_, handoff.sent_);
    EXPECT_TRUE(handoff.ordered_);
}

// An abort drops the calls waiting at that moment and may close the slot at any time; the
// calls that do run stay in order, and neither side is left waiting.
TEST(ProgressSlot, DropsAndClosesAtRandomMomentsLeaveNobodyWaiting) {
    for (unsigned seed = 1; seed <= 8; ++seed) {
        Handoff handoff;
        std::mt19937 random(seed);
        const int closeAfter = int(random() % 1500);
        int drains = 0;
        std::thread worker([&] { handoff.Work(1000000, seed); });
        const bool neverStalled = handoff.Drain([&](ProgressSlot& slot) {
            if (random() % 8 == 0) slot.DropWaitingCalls();
            if (++drains == closeAfter) slot.Close();
        });
        if (drains < closeAfter) ADD_FAILURE() << "the worker ended before the close";
        worker.join();
        EXPECT_TRUE(neverStalled) << "seed " << seed;
        EXPECT_TRUE(handoff.ordered_) << "seed " << seed;
        EXPECT_LE(handoff.delivered_, handoff.sent_) << "seed " << seed;
    }
}

}  // namespace
