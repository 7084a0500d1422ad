#include "sim-ft232r.h"

#include <cmath>
#include <cstdio>

namespace {

// The eighths of the divisor, by the 3-bit code the chip takes (ftdi_sio's table inverted).
constexpr std::uint8_t FT232R_EIGHTHS[8] = {0, 4, 2, 1, 3, 5, 6, 7};

const char* data_text(std::uint16_t value, char* text, std::size_t size) {
    const unsigned bits = value & 0xFF;
    const unsigned parity = (value >> 8) & 7;
    const unsigned stop = (value >> 11) & 3;
    std::snprintf(text, size, "%u%c%s%s", bits, parity < 5 ? "NOEMS"[parity] : '?',
                  stop == 0   ? "1"
                  : stop == 1 ? "1.5"
                  : stop == 2 ? "2"
                              : "?",
                  (value & 0x4000) != 0 ? ", break on" : "");
    return text;
}

const char* flow_text(std::uint16_t index) {
    switch (index >> 8) {
    case 0:
        return "none";
    case 1:
        return "RTS/CTS";
    case 2:
        return "DTR/DSR";
    case 4:
        return "XON/XOFF";
    default:
        return "?";
    }
}

} // namespace

double ft232r_baud(std::uint16_t value, std::uint16_t index) {
    const unsigned code = static_cast<unsigned>(value >> 14) | (index & 1u) << 2;
    const unsigned whole = value & 0x3FFFu;
    const double divisor = whole + FT232R_EIGHTHS[code] / 8.0;
    if (code == 0 && whole == 0) {
        return 3'000'000.0;
    }
    if (code == 0 && whole == 1) {
        return 2'000'000.0;
    }
    return 3'000'000.0 / divisor;
}

std::string ft232r_request_text(std::uint8_t request, std::uint16_t value, std::uint16_t index) {
    char text[128];
    char part[32];
    switch (request) {
    case FT232R_RESET:
        std::snprintf(text, sizeof text, "FTDI RESET %u (%s)", static_cast<unsigned>(value),
                      value == 0   ? "both queues"
                      : value == 1 ? "receive queue"
                                   : "send queue");
        break;
    case FT232R_MODEM_CTRL:
        std::snprintf(text, sizeof text, "FTDI MODEM_CTRL 0x%04X (DTR %s, RTS %s)", value,
                      (value & 0x100) == 0 ? "kept"
                      : (value & 1) != 0   ? "set"
                                           : "cleared",
                      (value & 0x200) == 0 ? "kept"
                      : (value & 2) != 0   ? "set"
                                           : "cleared");
        break;
    case FT232R_SET_FLOW_CTRL:
        std::snprintf(text, sizeof text, "FTDI SET_FLOW_CTRL 0x%04X (%s)", index, flow_text(index));
        break;
    case FT232R_SET_BAUD_RATE:
        std::snprintf(text, sizeof text, "FTDI SET_BAUD_RATE 0x%04X 0x%04X (%.1f baud)", value,
                      index, ft232r_baud(value, index));
        break;
    case FT232R_SET_DATA:
        std::snprintf(text, sizeof text, "FTDI SET_DATA 0x%04X (%s)", value,
                      data_text(value, part, sizeof part));
        break;
    case FT232R_GET_MODEM_STATUS:
        std::snprintf(text, sizeof text, "FTDI GET_MODEM_STATUS");
        break;
    case FT232R_SET_LATENCY_TIMER:
        std::snprintf(text, sizeof text, "FTDI SET_LATENCY_TIMER %u ms",
                      static_cast<unsigned>(value & 0xFFu));
        break;
    case FT232R_GET_LATENCY_TIMER:
        std::snprintf(text, sizeof text, "FTDI GET_LATENCY_TIMER");
        break;
    case FT232R_READ_EEPROM:
        std::snprintf(text, sizeof text, "FTDI READ_EEPROM word 0x%02X", index);
        break;
    default:
        std::snprintf(text, sizeof text, "FTDI request 0x%02X wValue 0x%04X wIndex 0x%04X", request,
                      value, index);
        break;
    }
    return text;
}

std::uint64_t ft232r_timer_due_us(std::uint64_t last_packet_us, std::uint8_t latency_ms) {
    return last_packet_us + std::uint64_t{latency_ms == 0 ? 1u : latency_ms} * 1000;
}

int ft232r_packet_bytes(std::size_t waiting, std::uint64_t last_packet_us, std::uint8_t latency_ms,
                        std::uint64_t now_us) {
    if (waiting >= FT232R_PACKET_DATA) {
        return static_cast<int>(FT232R_PACKET_DATA);
    }
    if (now_us >= ft232r_timer_due_us(last_packet_us, latency_ms)) {
        return static_cast<int>(waiting);
    }
    return -1;
}

std::uint64_t ft232r_char_ns(double baud, std::uint16_t data) {
    const unsigned bits = data & 0xFF;
    const unsigned parity = (data >> 8) & 7;
    const unsigned stop = (data >> 11) & 3;
    // In half bits, so that 1.5 stop bits count.
    const double half_bits = 2.0 + 2.0 * bits + (parity != 0 ? 2.0 : 0.0) +
                             (stop == 1   ? 3.0
                              : stop == 2 ? 4.0
                                          : 2.0);
    return static_cast<std::uint64_t>(std::llround(half_bits / 2.0 * 1e9 / baud));
}
