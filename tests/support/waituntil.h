// WaitUntil: lets the Qt event loop run until a condition holds, for tests.
//
//   ASSERT_TRUE(testsupport::WaitUntil([&] { return !get.Busy(); }));
//   EXPECT_FALSE(testsupport::WaitUntil([&] { return fired > 0; }, 150ms));  // nothing comes
//
// The wait sleeps in the event loop and wakes on events (socket notifiers, timers, queued
// calls) and on a short tick that lets it look at the clock, so it never spins. Call it on
// the thread whose events it should run, with an application object alive.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>

namespace testsupport {

// True as soon as `holds()` returns true; false when it still does not after `limit`.
// `holds` is asked first before any event runs, and again after each batch of events.
inline bool WaitUntil(const std::function<bool()>& holds,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    // processEvents() with a time limit does not sleep, so the tick bounds each sleep instead.
    QTimer tick;
    tick.start(20);
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace testsupport
