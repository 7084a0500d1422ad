#include "timer.h"

#include "pty.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::steady_clock;

TEST(Timer, ClockNeverGoesBackwards) {
    std::uint64_t previous_ms = timer_now_ms();
    for (int i = 0; i < 10000; ++i) {
        const std::uint64_t now_ms = timer_now_ms();
        ASSERT_GE(now_ms, previous_ms);
        previous_ms = now_ms;
    }
}

TEST(Timer, SleepLastsAtLeastItsDurationOnBothClocks) {
    const auto start = steady_clock::now();
    const std::uint64_t start_ms = timer_now_ms();
    timer_sleep_ms(120);
    EXPECT_GE(elapsed_ms(start), 120);
    EXPECT_GE(timer_now_ms() - start_ms, 120u);
}

TEST(Timer, SignalDoesNotCutTheSleepShort) {
    const auto start = steady_clock::now();
    {
        interrupt_later interrupt(50);
        timer_sleep_ms(300);
    }
    EXPECT_GE(elapsed_ms(start), 300);
}

} // namespace
