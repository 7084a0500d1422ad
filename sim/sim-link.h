#pragma once
// The link between the simulated devices and the host, as the pty shell sees it: what a
// packet-mode read from the pty master means, and the pacing of bytes at an emulated baud rate.
// Pure functions over plain records, so the shell's decisions are testable without a pty.

#include <cstddef>
#include <cstdint>

// What one packet-mode read from the pty master carried.
enum class sim_packet_kind : std::uint8_t {
    data,   // host bytes follow the leading 0
    reset,  // the host discarded its queues (the step before its DTR pulse)
    status, // another status change (flow control and the like): not a reset
    empty,  // nothing at all
};

// Classifies a read of `count` bytes from a master in packet mode.
sim_packet_kind sim_packet_classify(const std::uint8_t* bytes, std::size_t count);

// Microseconds one byte takes on an 8N1 line (10 bits) at `baud`, rounded up; 0 for baud 0.
std::uint64_t sim_byte_time_us(std::uint32_t baud);

// Nanoseconds one byte takes on an 8N1 line at `baud`, to the nearest; 0 for baud 0. The pacing
// counts in these, so that byte times of no whole microseconds (86.8 us at 115200) add up without
// drift.
std::uint64_t sim_byte_time_ns(std::uint32_t baud);

// One direction of an emulated serial line: a byte starts once the one before it is through, and
// the far end has it when its stop bit is through, one byte time later.
struct sim_pacer {
    std::uint64_t byte_ns = 0; // 0: the line is not throttled
    std::uint64_t free_ns = 0; // when the line can start its next byte
};

// A byte ready at `ready_us` is at the far end at the returned time (rounded up to a microsecond).
std::uint64_t sim_pacer_pass(sim_pacer& pacer, std::uint64_t ready_us);

// How many of `wanted` bytes, ready to go since `ready_us`, are at the far end by `now_us`: the
// ones to hand over now, never earlier. All of them when the line is not throttled.
std::size_t sim_pacer_through(const sim_pacer& pacer, std::uint64_t ready_us, std::uint64_t now_us,
                              std::size_t wanted);

// The line carried `count` bytes ready since `ready_us`, one after another.
void sim_pacer_take(sim_pacer& pacer, std::uint64_t ready_us, std::size_t count);

// When the next byte ready since `ready_us` will be at the far end (rounded up to a microsecond).
std::uint64_t sim_pacer_next_us(const sim_pacer& pacer, std::uint64_t ready_us);
