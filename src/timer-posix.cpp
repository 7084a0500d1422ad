#include "timer.h"

#include <cerrno>
#include <ctime>

std::uint64_t timer_now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void timer_sleep_ms(std::uint32_t ms) {
    timespec left{static_cast<std::time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    timespec rest{};
    // A signal cuts nanosleep short; the rest of the pause is slept so it lasts at least `ms`.
    while (nanosleep(&left, &rest) != 0 && errno == EINTR) {
        left = rest;
    }
}
