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

// One direction of an emulated serial line: a byte can start once the previous one is through.
struct sim_pacer {
    std::uint64_t byte_us = 0; // 0: the line is not throttled
    std::uint64_t free_us = 0; // when the line can start its next byte
};

// A byte ready at `ready_us` is through the line at the returned time.
std::uint64_t sim_pacer_pass(sim_pacer& pacer, std::uint64_t ready_us);

// How many of `wanted` bytes may be handed over at `now_us` so that none is handed over more
// than `slack_us` before it starts on the line; the line is taken for them. All of them when
// the line is not throttled.
std::size_t sim_pacer_allow(sim_pacer& pacer, std::uint64_t now_us, std::uint64_t slack_us,
                            std::size_t wanted);
