#pragma once
// Drives the controller's plain-text console: wait for expected byte strings, send command
// lines, and the whole installer-mode entry (reset, menu escape, password). Uses --verbose only
// to echo what the device sends.

#include <cstddef>
#include <cstdint>

struct serial_port;

// Waits until the newest bytes received end with one of `candidates` (NUL-terminated, tried in
// order), at most `timeout_ms`. Returns the index of the match, or -1 on time-out or read error.
int cli_drive_expect(serial_port* port, const char* const* candidates, int count,
                     std::uint32_t timeout_ms);

// The longest text one console line carries; the carriage return comes on top.
inline constexpr std::size_t CLI_DRIVE_LINE_MAX = 126;

// Sends `text` and one carriage return; false when the text has 127 characters or more (nothing
// is written) or the write was short. Prints nothing.
bool cli_drive_send_line(serial_port* port, const char* text);

// True when the installer password, `len` bytes at `password` (a NUL among them counts as a
// character), can leave as one console line: at most 126 characters, no CR, LF or NUL. Otherwise
// false after one ERROR line on stderr that says why and never shows the password. Reads no
// byte of a longer password, so a buffer holding only its front will do.
bool cli_drive_check_password(const char* password, std::size_t len);

// Resets the controller and takes its console into installer mode with `password`. True when
// the device says installer mode is on; false after one ERROR line on stderr.
bool cli_drive_enter_installer_mode(serial_port* port, const char* password);
