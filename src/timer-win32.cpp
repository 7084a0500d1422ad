#include "timer.h"

// WIN32_LEAN_AND_MEAN and NOMINMAX come from the build (CMakeLists.txt).
#include <windows.h>

std::uint64_t timer_now_ms() {
    return GetTickCount64();
}

void timer_sleep_ms(std::uint32_t ms) {
    // Sleep(INFINITE) never returns; the longest finite pause is one millisecond less, so the
    // last millisecond is slept apart.
    if (ms == INFINITE) {
        Sleep(INFINITE - 1);
        ms = 1;
    }
    Sleep(ms);
}
