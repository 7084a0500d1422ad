#pragma once
// A tiny host for the simulator tests: builds the host's frames (on the shared builders), splits
// device output into frames and text, and drives a sim_core on a virtual microsecond clock.

#include "builders.h"
#include "sim-core.h"
#include "sim.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace simtest {

using bytes = std::vector<std::uint8_t>;

struct received_frame {
    std::uint8_t type = 0;
    bytes payload;
};

// Device output split into good frames (0xF2, CRC checked) and the bytes around them.
struct device_output {
    std::vector<received_frame> frames;
    std::string text;
    std::size_t bad_frames = 0; // 0xF2-started frames with a wrong CRC or oversize length
};

using ::host_frame;
// A CHUNK frame for `index` carrying image bytes from index * 4096, 0xFF after the image end.
bytes chunk_frame(const bytes& image, std::uint32_t index);
bytes finalize_frame(std::uint32_t tag, std::uint32_t len, std::uint32_t crc, std::uint8_t bank);
bytes abort_frame();

device_output split_output(const bytes& out);

// Deterministic image content that differs per seed.
bytes make_image(std::size_t len, std::uint32_t seed);

// One simulator core and the host side of the conversation, on a virtual clock.
class host {
  public:
    explicit host(const sim_config& config);

    // Moves the clock forward and collects everything that became due.
    void advance_ms(std::uint64_t ms);
    // Runs the clock until nothing is queued, at most `limit_ms`.
    void settle(std::uint64_t limit_ms = 60'000);
    void send(const bytes& data);
    void send(std::string_view text);
    // Sends `line` and a CR, settles, and returns the text the device sent meanwhile.
    std::string line(std::string_view text);
    // Sends a frame, settles, and returns the device frames that came back.
    std::vector<received_frame> exchange(const bytes& frame);
    void reset();

    // Boots (already done at construction), enters installer mode, asserts it worked.
    void enter_installer(const std::string& password = "kelvane");
    // "fwupdate start" or "fwupdate relay SERIAL"; the READY frame, or none.
    std::vector<received_frame> start(std::string_view command);
    // Sends the whole image chunk by chunk; false on the first answer that is not an ACK.
    bool send_image(const bytes& image);
    // Start, image, finalize for the bank offered; the finalize answer's type (0 if none).
    std::uint8_t update(std::string_view command, const bytes& image, std::uint32_t tag = 7);

    sim_core core;
    std::uint64_t now_us = 0;
    bytes received; // everything the device sent since the last take()
    device_output take();
};

} // namespace simtest
