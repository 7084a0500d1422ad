#pragma once
// Shows text that came from outside kvup (the device's listing and console, the command line's
// target) on the terminal without letting it drive the terminal. Does not change what is sent
// to the device: callers keep the raw bytes for that.

#include <cstddef>
#include <string>
#include <string_view>

// `text` with printable ASCII (0x20..0x7E) as it is and every other byte as \xNN (lower-case
// hex), so no byte of it can reach the terminal as a control code.
std::string escape_text(std::string_view text);

// escape_text of `text`, cut after at most `max_len` characters of the escaped form (never
// inside a \xNN) with "..." appended when anything was cut.
std::string escape_text_cut(std::string_view text, std::size_t max_len);
