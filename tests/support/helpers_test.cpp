// The helpers the GUI and network tests lean on: a wait that returns as soon as its condition
// holds and costs no processor time while it sleeps, and a click that refuses what a person
// could not click.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <ctime>
#include <functional>

#include "support/clicks.h"
#include "support/waituntil.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ClickAsAPerson;
using testsupport::WaitUntil;

double ProcessCpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

TEST(WaitUntil, ReturnsWhenAnEventMakesItHoldAndSleepsOtherwise) {
    bool done = false;
    QTimer::singleShot(50ms, [&] { done = true; });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitUntil([&] { return done; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    // A wait that spun would burn the whole 400 ms on the processor.
    const double cpuBefore = ProcessCpuSeconds();
    const auto idleStart = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitUntil([] { return false; }, 400ms));
    EXPECT_GE(std::chrono::steady_clock::now() - idleStart, 400ms);
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.1);
}

TEST(ClickAsAPerson, ClicksOnlyWhatAPersonCouldReach) {
    const struct {
        const char* situation;
        std::function<void(QWidget& panel, QPushButton& button, QWidget& cover)> arrange;
        bool clicked;
    } cases[] = {
        {"enabled and shown", [](QWidget&, QPushButton&, QWidget&) {}, true},
        {"disabled", [](QWidget&, QPushButton& button, QWidget&) { button.setEnabled(false); },
         false},
        {"on a disabled panel",
         [](QWidget& panel, QPushButton&, QWidget&) { panel.setEnabled(false); }, false},
        {"hidden", [](QWidget&, QPushButton& button, QWidget&) { button.hide(); }, false},
        {"on a hidden panel", [](QWidget& panel, QPushButton&, QWidget&) { panel.hide(); }, false},
        {"covered", [](QWidget&, QPushButton&, QWidget& cover) { cover.raise(); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        QWidget window;
        window.resize(300, 200);
        QWidget panel(&window);
        panel.setGeometry(0, 0, 300, 200);
        QPushButton button("OK", &panel);
        button.setGeometry(100, 100, 80, 25);
        QWidget cover(&window);  // beneath the panel until raised
        cover.setGeometry(90, 90, 100, 45);
        cover.lower();
        int clicks = 0;
        QObject::connect(&button, &QPushButton::clicked, [&] { ++clicks; });
        window.show();
        c.arrange(panel, button, cover);
        EXPECT_EQ(ClickAsAPerson(&button), c.clicked);
        EXPECT_EQ(clicks, c.clicked ? 1 : 0);
    }
}

}  // namespace
