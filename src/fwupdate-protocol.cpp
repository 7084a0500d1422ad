#include "fwupdate-protocol.h"

#include "byte-order.h"
#include "crc32.h"
#include "serial.h"
#include "timer.h"

#include <cstring>

namespace {

// Held in fwu_parser::state as an int so the record stays a plain struct for both ends of the
// link; only this file interprets it.
enum class parse_state : int { hunting, type, length_low, length_high, payload, crc };

constexpr std::size_t CRC_BYTES = 4;

void parser_enter(fwu_parser& parser, parse_state next) {
    parser.state = static_cast<int>(next);
}

// The covered bytes are not contiguous on receive (header fields in the parser, payload in the
// caller's buffer), hence the split form.
std::uint32_t parser_crc(const fwu_parser& parser) {
    std::uint32_t crc = 0xFFFFFFFFu;
    crc = crc32_update(crc, parser.type);
    crc = crc32_update(crc, static_cast<std::uint8_t>(parser.len & 0xFFu));
    crc = crc32_update(crc, static_cast<std::uint8_t>(parser.len >> 8));
    for (std::size_t i = 0; i < parser.len; ++i) {
        crc = crc32_update(crc, parser.payload[i]);
    }
    return crc32_finalise(crc);
}

} // namespace

std::size_t fwu_frame_encode(std::uint8_t sof, std::uint8_t type, const std::uint8_t* payload,
                             std::uint16_t len, std::uint8_t* out) {
    if (len > FWU_MAX_PAYLOAD) {
        return 0;
    }
    out[0] = sof;
    out[1] = type;
    out[2] = static_cast<std::uint8_t>(len & 0xFFu);
    out[3] = static_cast<std::uint8_t>(len >> 8);
    if (len != 0) {
        std::memcpy(out + 4, payload, len);
    }
    // The start byte stays outside the CRC so either direction checks the same covered bytes.
    put_le32(out + 4 + len, crc32(out + 1, static_cast<std::uint32_t>(len) + 3));
    return len + FWU_FRAME_OVERHEAD;
}

void fwu_parser_init(fwu_parser& parser, std::uint8_t sof, std::uint8_t* payload) {
    parser.sof = sof;
    parser.payload = payload;
    parser.type = 0;
    parser.len = 0;
    parser.index = 0;
    std::memset(parser.crc_bytes, 0, sizeof parser.crc_bytes);
    parser_enter(parser, parse_state::hunting);
}

fwu_feed_result fwu_parser_feed(fwu_parser& parser, std::uint8_t byte) {
    // Nothing consumed is ever looked at again: there is no escaping on the wire, so after a
    // dropped frame the hunt simply goes on from the next byte.
    switch (static_cast<parse_state>(parser.state)) {
    case parse_state::hunting:
        if (byte == parser.sof) {
            parser_enter(parser, parse_state::type);
        }
        return fwu_feed_result::more;
    case parse_state::type:
        parser.type = byte;
        parser_enter(parser, parse_state::length_low);
        return fwu_feed_result::more;
    case parse_state::length_low:
        parser.len = byte;
        parser_enter(parser, parse_state::length_high);
        return fwu_feed_result::more;
    case parse_state::length_high:
        parser.len = static_cast<std::uint16_t>(parser.len | byte << 8);
        parser.index = 0;
        if (parser.len > FWU_MAX_PAYLOAD) {
            // Its payload would overrun the caller's buffer.
            parser_enter(parser, parse_state::hunting);
            return fwu_feed_result::dropped;
        }
        parser_enter(parser, parser.len == 0 ? parse_state::crc : parse_state::payload);
        return fwu_feed_result::more;
    case parse_state::payload:
        parser.payload[parser.index] = byte;
        ++parser.index;
        if (parser.index == parser.len) {
            parser.index = 0;
            parser_enter(parser, parse_state::crc);
        }
        return fwu_feed_result::more;
    case parse_state::crc:
        parser.crc_bytes[parser.index] = byte;
        ++parser.index;
        if (parser.index < CRC_BYTES) {
            return fwu_feed_result::more;
        }
        parser.index = 0;
        parser_enter(parser, parse_state::hunting);
        return get_le32(parser.crc_bytes) == parser_crc(parser) ? fwu_feed_result::frame
                                                                : fwu_feed_result::dropped;
    }
    // A state value this file never stores: start over rather than index out of range.
    parser.index = 0;
    parser_enter(parser, parse_state::hunting);
    return fwu_feed_result::more;
}

std::size_t fwu_parser_bytes_left(const fwu_parser& parser) {
    switch (static_cast<parse_state>(parser.state)) {
    case parse_state::hunting:
        return 0;
    case parse_state::type:
        return 3 + FWU_MAX_PAYLOAD + CRC_BYTES;
    case parse_state::length_low:
        return 2 + FWU_MAX_PAYLOAD + CRC_BYTES;
    case parse_state::length_high:
        return 1 + FWU_MAX_PAYLOAD + CRC_BYTES;
    case parse_state::payload:
        return std::size_t{parser.len} - parser.index + CRC_BYTES;
    case parse_state::crc:
        return CRC_BYTES - parser.index;
    }
    return 0;
}

bool fwu_send_frame(serial_port* port, std::uint8_t type, const std::uint8_t* payload,
                    std::uint16_t len) {
    // A longer payload would overrun the frame buffer; refuse it before anything leaves.
    if (len > FWU_MAX_PAYLOAD) {
        return false;
    }
    std::uint8_t frame[FWU_MAX_FRAME];
    const std::size_t frame_len = fwu_frame_encode(FWU_SOF_HOST, type, payload, len, frame);
    // One write, so the frame leaves as one block.
    return serial_write(port, frame, frame_len) == static_cast<int>(frame_len);
}

bool fwu_recv_frame(serial_port* port, std::uint8_t* type, std::uint8_t* payload,
                    std::uint16_t* len, std::uint32_t timeout_ms) {
    const std::uint64_t deadline_ms = timer_now_ms() + timeout_ms;
    std::uint64_t end_ms = deadline_ms;
    // Bytes read after the deadline; with what the frame still lacks, what it lacked then. The
    // grace is set by that, and shrinks once a length read in it turns out shorter than assumed.
    bool in_grace = false;
    std::size_t read_in_grace = 0;
    fwu_parser parser;
    fwu_parser_init(parser, FWU_SOF_DEVICE, payload);
    for (;;) {
        const std::uint64_t now_ms = timer_now_ms();
        if (now_ms >= end_ms) {
            const std::size_t left = fwu_parser_bytes_left(parser);
            if (in_grace || left == 0) {
                return false;
            }
            // The deadline passed inside a frame that had begun: its answer is not cut, or the
            // next wait would hunt through its rest and the answer would be lost to both.
            in_grace = true;
            end_ms = deadline_ms + fwu_grace_ms(left);
            if (now_ms >= end_ms) {
                return false;
            }
        }
        // One byte per read, so nothing after the frame is taken from the port.
        std::uint8_t byte = 0;
        const int got = serial_read(port, &byte, 1, static_cast<std::uint32_t>(end_ms - now_ms));
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            continue;
        }
        const fwu_feed_result fed = fwu_parser_feed(parser, byte);
        if (fed == fwu_feed_result::frame) {
            *type = parser.type;
            *len = parser.len;
            return true;
        }
        if (in_grace) {
            // Past the deadline only the frame that had begun is awaited, not a new hunt.
            if (fed == fwu_feed_result::dropped) {
                return false;
            }
            ++read_in_grace;
            end_ms = deadline_ms + fwu_grace_ms(fwu_parser_bytes_left(parser) + read_in_grace);
        }
    }
}
