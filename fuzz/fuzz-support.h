#pragma once
// Shared pieces of the libFuzzer targets: quieting the modules' error lines, reading the control
// bytes at the front of an input, and failing loudly when an invariant does not hold.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

// Points the C stream `stderr` at /dev/null, so the modules' ERROR lines (one per rejected input)
// do not slow the run. libFuzzer took its own copy of the stream before this runs, and the
// sanitizers write to the descriptor, so their reports still arrive. KVUP_FUZZ_STDERR=1 keeps
// the messages, to watch a reproducer.
inline void quiet_stderr() {
    if (std::getenv("KVUP_FUZZ_STDERR") != nullptr) {
        return;
    }
    if (std::FILE* sink = std::fopen("/dev/null", "w")) {
        stderr = sink;
    }
}

// Aborts with a message on the real standard error, so libFuzzer saves the input as a crash.
[[noreturn]] inline void invariant_failed(const char* file, int line, const char* what) {
    // Straight to the descriptor: the `stderr` stream may point at /dev/null.
    ::dprintf(2, "%s:%d: invariant does not hold: %s\n", file, line, what);
    std::abort();
}

// The input, consumed from the front: control bytes first, the rest as data.
class input {
  public:
    input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    // The next byte, or 0 once the input is used up.
    std::uint8_t byte() {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }

    std::uint16_t u16() {
        const std::uint8_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }

    // Everything not consumed yet.
    std::string_view rest() const { return {reinterpret_cast<const char*>(data_), size_}; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

} // namespace fuzz

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::fuzz::invariant_failed(__FILE__, __LINE__, #condition);                              \
        }                                                                                          \
    } while (false)
