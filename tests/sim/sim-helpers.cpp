#include "sim-test-helpers.h"

#include "builders.h"
#include "crc32.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace simtest {

bytes chunk_frame(const bytes& image, std::uint32_t index) {
    bytes payload;
    put_le(payload, index, 4);
    const std::size_t offset = std::size_t{index} * 4096;
    for (std::size_t i = 0; i < 4096; ++i) {
        payload.push_back(offset + i < image.size() ? image[offset + i] : 0xFF);
    }
    return ::host_frame(0x01, payload);
}

bytes finalize_frame(std::uint32_t tag, std::uint32_t len, std::uint32_t crc, std::uint8_t bank) {
    bytes payload;
    put_le(payload, tag, 4);
    put_le(payload, len, 4);
    put_le(payload, crc, 4);
    payload.push_back(bank);
    return ::host_frame(0x02, payload);
}

bytes abort_frame() {
    return ::host_frame(0x03, {});
}

device_output split_output(const bytes& out) {
    device_output result;
    std::size_t i = 0;
    while (i < out.size()) {
        if (out[i] != 0xF2 || i + 4 > out.size()) {
            result.text += static_cast<char>(out[i]);
            ++i;
            continue;
        }
        const auto len = static_cast<std::size_t>(get_le(out, i + 2, 2));
        if (len > 4100) {
            ++result.bad_frames;
            i += 4; // the receiver hunts on after the length
            continue;
        }
        if (i + 8 + len > out.size()) {
            result.text += static_cast<char>(out[i]);
            ++i;
            continue;
        }
        const std::uint32_t want = crc32(out.data() + i + 1, static_cast<std::uint32_t>(len + 3));
        const std::uint32_t got = le32_at(out, i + 4 + len);
        if (want != got) {
            ++result.bad_frames;
            i += 8 + len;
            continue;
        }
        result.frames.push_back(
            {out[i + 1], bytes(out.begin() + static_cast<std::ptrdiff_t>(i + 4),
                               out.begin() + static_cast<std::ptrdiff_t>(i + 4 + len))});
        i += 8 + len;
    }
    return result;
}

bytes make_image(std::size_t len, std::uint32_t seed) {
    bytes image(len);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::uint8_t& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return image;
}

host::host(const sim_config& config) : core(config, 0) {
    settle();
}

void host::advance_ms(std::uint64_t ms) {
    const std::uint64_t until = now_us + ms * 1000;
    for (;;) {
        const bytes out = core.drain(now_us);
        received.insert(received.end(), out.begin(), out.end());
        const std::optional<std::uint64_t> due = core.next_due_us();
        if (!due || *due > until) {
            break;
        }
        now_us = std::max(now_us, *due);
    }
    now_us = until;
    const bytes out = core.drain(now_us);
    received.insert(received.end(), out.begin(), out.end());
}

void host::settle(std::uint64_t limit_ms) {
    const std::uint64_t until = now_us + limit_ms * 1000;
    for (;;) {
        const bytes out = core.drain(now_us);
        received.insert(received.end(), out.begin(), out.end());
        const std::optional<std::uint64_t> due = core.next_due_us();
        if (!due || *due > until) {
            return;
        }
        now_us = std::max(now_us, *due);
    }
}

void host::send(const bytes& data) {
    core.feed(data.data(), data.size(), now_us);
    settle();
}

void host::send(std::string_view text) {
    send(bytes(text.begin(), text.end()));
}

std::string host::line(std::string_view text) {
    take();
    send(std::string(text) + "\r");
    return take().text;
}

std::vector<received_frame> host::exchange(const bytes& frame) {
    take();
    send(frame);
    return take().frames;
}

void host::reset() {
    core.reset(now_us);
    settle();
}

void host::enter_installer(const std::string& password) {
    take();
    ASSERT_EQ(line("installer on"), "Installer password: ");
    ASSERT_EQ(line(password), std::string("Installer mode ON\r\n") + SIM_PROMPT);
}

std::vector<received_frame> host::start(std::string_view command) {
    take();
    send(std::string(command) + "\r");
    return take().frames;
}

bool host::send_image(const bytes& image) {
    const auto chunks = static_cast<std::uint32_t>((image.size() + 4095) / 4096);
    for (std::uint32_t i = 0; i < chunks; ++i) {
        const std::vector<received_frame> answer = exchange(chunk_frame(image, i));
        if (answer.size() != 1 || answer[0].type != 0x82) {
            return false;
        }
    }
    return true;
}

std::uint8_t host::update(std::string_view command, const bytes& image, std::uint32_t tag) {
    const std::vector<received_frame> ready = start(command);
    if (ready.size() != 1 || ready[0].type != 0x81 || ready[0].payload.size() != 7) {
        return 0;
    }
    if (!send_image(image)) {
        return 0;
    }
    const std::vector<received_frame> answer = exchange(finalize_frame(
        tag, static_cast<std::uint32_t>(image.size()), crc_of(image), ready[0].payload[0]));
    return answer.empty() ? 0 : answer[0].type;
}

device_output host::take() {
    device_output out = split_output(received);
    received.clear();
    return out;
}

} // namespace simtest
