#pragma once
// The serial port of the one connected controller: open at 115200 8N1 made transparent,
// one-byte reads against a time-out, write-all, the DTR reset pulse, close. Prints nothing.
// Platform files: serial-posix.cpp, serial-win32.cpp.

#include <cstddef>
#include <cstdint>

struct serial_port; // opaque; holds the operating system's handle

// Opens the named port exclusively ("/dev/ttyACM0", "ttyACM0", "COM3"); null on any failure.
serial_port* serial_open(const char* name);

// Discards output the device has not taken, puts back the line settings found at open, closes
// the port and frees the handle, without waiting for the device; null does nothing.
void serial_close(serial_port* port);

// Reads up to `count` bytes, waiting at most `timeout_ms` for the first one.
// Returns the count read (1..count), 0 when nothing arrived in time, -1 on an error, a hang-up
// or a null handle.
int serial_read(serial_port* port, void* buffer, std::size_t count, std::uint32_t timeout_ms);

// Writes all `count` bytes within serial_write_bound_ms(count). Returns `count`, the count taken
// before a later failure or the bound, or -1 when nothing could be written (or the handle is
// null). 0 bytes returns 0 without a write.
int serial_write(serial_port* port, const void* bytes, std::size_t count);

// How long a write may wait for the driver beyond the bytes' own line time: as long as the wait
// for a chunk's answer, so a device that stops reading costs what a silent one costs.
inline constexpr std::uint32_t SERIAL_WRITE_TIMEOUT_MS = 2000;

// The whole time one serial_write of `count` bytes may take: SERIAL_WRITE_TIMEOUT_MS plus the
// bytes' line time at 115200 8N1 (10 bits a byte), rounded up to whole milliseconds.
constexpr std::uint64_t serial_write_bound_ms(std::size_t count) {
    return SERIAL_WRITE_TIMEOUT_MS + (std::uint64_t{count} * 10 * 1000 + 115200 - 1) / 115200;
}

// The pauses of the reset, in both platform files and the fake port: before the queues are
// discarded, while DTR is held low, and after it is raised (the wait for the boot prompt follows).
inline constexpr std::uint32_t SERIAL_RESET_SETTLE_MS = 200;
inline constexpr std::uint32_t SERIAL_RESET_PULSE_MS = 50;
inline constexpr std::uint32_t SERIAL_RESET_BOOT_MS = 150;

// Resets the connected controller: SERIAL_RESET_SETTLE_MS, discard both queues, DTR low for
// SERIAL_RESET_PULSE_MS, DTR high, SERIAL_RESET_BOOT_MS. Null does nothing.
void serial_reset_to_cli(serial_port* port);
