#pragma once
// The monotonic millisecond clock and a sleep. Every wait in the program is a deadline on this
// clock. Platform files: timer-posix.cpp, timer-win32.cpp.

#include <cstdint>

// Milliseconds from a fixed, arbitrary start; never goes backwards.
std::uint64_t timer_now_ms();

// Blocks for at least `ms` milliseconds.
void timer_sleep_ms(std::uint32_t ms);
