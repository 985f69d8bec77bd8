#include "platform/socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A download worker waits a moment for more of a body before it hands its progress to the GUI
// thread: the wait must end as soon as data or the end of the connection comes, and otherwise
// not before its limit.
TEST(WaitReadable, EndsWhenDataOrTheEndComesAndOtherwiseAtTheLimit) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const int reader = ends[0];
    const int writer = ends[1];

    Clock::time_point start = Clock::now();
    EXPECT_FALSE(platform::WaitReadable(reader, 20ms));
    EXPECT_GE(Clock::now() - start, 20ms);

    std::thread sender([&] {
        std::this_thread::sleep_for(10ms);
        EXPECT_EQ(::write(writer, "x", 1), 1);
    });
    start = Clock::now();
    EXPECT_TRUE(platform::WaitReadable(reader, 10s));
    EXPECT_LT(Clock::now() - start, 5s);
    sender.join();

    char byte;
    ASSERT_EQ(::read(reader, &byte, 1), 1);
    EXPECT_FALSE(platform::WaitReadable(reader, 0us)) << "nothing left to read";
    ::close(writer);
    EXPECT_TRUE(platform::WaitReadable(reader, 0us)) << "the end of the connection";
    ::close(reader);
}

}  // namespace
