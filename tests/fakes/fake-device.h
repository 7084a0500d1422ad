#pragma once
// Test seam: a scripted serial port and a virtual clock, linked in place of the platform files.
// The port plays a script of device bytes, each available from a time on the virtual clock, and
// records every write and every reset. A read that waits advances the clock, so time-outs are
// tested exactly and instantly.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct serial_port;

namespace fake {

// Clears the script, the records and the hooks; the clock restarts at 1000 ms.
void reset();

// The handle serial_open returns; any non-null pointer the fake recognises.
serial_port* port();

// The virtual clock.
std::uint64_t now_ms();
void advance_ms(std::uint64_t ms);

// Device bytes that can be read from `at_ms` on (absolute virtual time). Bytes are read in the
// order they were queued; a byte queued for an earlier time than the one before it waits for it.
void device_sends_at(std::uint64_t at_ms, std::string_view bytes);
// The same, `delay_ms` after the current virtual time.
void device_sends(std::string_view bytes, std::uint64_t delay_ms = 0);
// From `delay_ms` after now, once the bytes queued before it are read, every read fails (-1),
// as after a hang-up.
void device_hangs_up(std::uint64_t delay_ms = 0);
// Bytes queued and not yet read.
std::size_t unread();

// Called after each write with the bytes written; it may queue device bytes (a responder).
void on_write(std::function<void(std::string_view written)> hook);
// Called at each serial_reset_to_cli, after the pending device bytes were discarded.
void on_reset(std::function<void()> hook);

// The results of the next writes, one per call, before writes succeed again: -1 fails the write,
// a count below the request writes only that many bytes.
void script_write_results(std::vector<int> results);

// Everything the host wrote, as one string and as the list of write calls.
std::string written();
const std::vector<std::string>& writes();
void clear_written();

int reset_count();
int open_count();
int close_count();
// serial_open returns null for this name.
void refuse_open(std::string name);
// Sleeps made with timer_sleep_ms, in order.
const std::vector<std::uint32_t>& sleeps();

} // namespace fake

// Scripted keyboard for the password prompt: key_input_read delivers these codes, then -1.
namespace fake_keys {
void set(std::vector<int> keys);
int begin_count();
int end_count();
} // namespace fake_keys
