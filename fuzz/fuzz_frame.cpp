// fwu_recv_frame on arbitrary device byte streams, through the scripted port and the virtual
// clock, call after call until the stream is used up.
//
// Input: time-out (u16, ms), burst length, gap (ms), flags (bit 0: the port hangs up after the
// stream), then the device's bytes. The bytes arrive in bursts of `burst` bytes (all at once
// when 0), a burst every `gap` ms; after MAX_BURSTS bursts the rest comes at once, which keeps
// the count of empty waits, and so the time per input, small.

#include "fake-device.h"
#include "fuzz-support.h"
#include "fwupdate-protocol.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t MAX_BURSTS = 64;
constexpr std::uint8_t TYPE_SENTINEL = 0x5A;
constexpr std::uint16_t LEN_SENTINEL = 0xA5A5;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stderr();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const std::uint32_t timeout_ms = in.u16();
    const std::size_t burst = in.byte();
    const std::uint64_t gap_ms = in.byte();
    const bool hang_up = (in.byte() & 1) != 0;
    const std::string_view stream = in.rest();

    fake::reset();
    // When each byte of the stream can be read, on the virtual clock.
    std::vector<std::uint64_t> arrival_ms(stream.size(), fake::now_ms());
    std::uint64_t last_ms = 0;
    if (burst == 0) {
        fake::device_sends(stream);
    } else {
        for (std::size_t at = 0, n = 0; at < stream.size(); at += burst, ++n) {
            last_ms = gap_ms * n;
            const std::size_t count = n + 1 < MAX_BURSTS ? burst : std::string_view::npos;
            const std::string_view part = stream.substr(at, count);
            fake::device_sends(part, last_ms);
            std::fill_n(arrival_ms.begin() + static_cast<std::ptrdiff_t>(at), part.size(),
                        fake::now_ms() + last_ms);
            if (count == std::string_view::npos) {
                break;
            }
        }
    }
    if (hang_up) {
        fake::device_hangs_up(last_ms + gap_ms);
    }
    const std::size_t marker = hang_up ? 1 : 0; // the hang-up stays queued once reached

    // Exactly the caller's buffer size, so a byte stored past it is caught.
    const auto payload = std::make_unique<std::uint8_t[]>(FWU_MAX_PAYLOAD);
    std::uint8_t frame[FWU_MAX_FRAME];
    while (fake::unread() > marker) {
        const std::size_t consumed_before = stream.size() + marker - fake::unread();
        const std::uint64_t start_ms = fake::now_ms();
        std::uint8_t type = TYPE_SENTINEL;
        std::uint16_t len = LEN_SENTINEL;
        const bool got = fwu_recv_frame(fake::port(), &type, payload.get(), &len, timeout_ms);
        const std::uint64_t waited_ms = fake::now_ms() - start_ms;
        const std::size_t consumed = stream.size() + marker - fake::unread();

        // Past the deadline only to finish a frame that began by it.
        FUZZ_CHECK(waited_ms <= timeout_ms + FWU_MAX_GRACE_MS);
        if (!got) {
            FUZZ_CHECK(type == TYPE_SENTINEL && len == LEN_SENTINEL);
            const bool failed_read = hang_up && consumed == stream.size();
            // Only a failed read ends the wait before the deadline.
            FUZZ_CHECK(failed_read || waited_ms >= timeout_ms);
            if (failed_read || (timeout_ms == 0 && consumed == consumed_before)) {
                break;
            }
            continue;
        }
        FUZZ_CHECK(len <= FWU_MAX_PAYLOAD);
        FUZZ_CHECK(consumed > consumed_before);
        // The frame is exactly the last bytes read: it was in the stream, its CRC was right, and
        // nothing after it was taken from the port.
        const std::size_t frame_len =
            fwu_frame_encode(FWU_SOF_DEVICE, type, payload.get(), len, frame);
        FUZZ_CHECK(frame_len == len + FWU_FRAME_OVERHEAD);
        FUZZ_CHECK(frame_len <= consumed - consumed_before);
        FUZZ_CHECK(stream.substr(consumed - frame_len, frame_len) ==
                   std::string_view(reinterpret_cast<const char*>(frame), frame_len));
        // Its start byte came by the deadline, and the rest within the grace that the bytes
        // still to come at the deadline allowed.
        const std::size_t first = consumed - frame_len;
        const std::uint64_t deadline_ms = start_ms + timeout_ms;
        FUZZ_CHECK(arrival_ms[first] <= deadline_ms);
        std::size_t left_at_deadline = 0;
        for (std::size_t i = first; i < consumed; ++i) {
            left_at_deadline += arrival_ms[i] > deadline_ms ? 1 : 0;
        }
        FUZZ_CHECK(waited_ms <= timeout_ms + fwu_grace_ms(left_at_deadline));
    }
    FUZZ_CHECK(fake::written().empty());
    return 0;
}
