#pragma once
// The FTDI FT232R USB-UART bridge as kvup-sim models it: the meaning of the vendor requests that
// ftdi_sio sends, and the chip's rule for when received bytes go to the host. Plain functions over
// plain values, no USB/IP and no clock of their own; sim-usbip.cpp drives them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::uint16_t FT232R_VENDOR = 0x0403;
inline constexpr std::uint16_t FT232R_PRODUCT = 0x6001;
inline constexpr std::uint16_t FT232R_BCD_DEVICE = 0x0600;

// The vendor requests (bRequest) of the chip.
inline constexpr std::uint8_t FT232R_RESET = 0x00;
inline constexpr std::uint8_t FT232R_MODEM_CTRL = 0x01;
inline constexpr std::uint8_t FT232R_SET_FLOW_CTRL = 0x02;
inline constexpr std::uint8_t FT232R_SET_BAUD_RATE = 0x03;
inline constexpr std::uint8_t FT232R_SET_DATA = 0x04;
inline constexpr std::uint8_t FT232R_GET_MODEM_STATUS = 0x05;
inline constexpr std::uint8_t FT232R_SET_LATENCY_TIMER = 0x09;
inline constexpr std::uint8_t FT232R_GET_LATENCY_TIMER = 0x0A;
inline constexpr std::uint8_t FT232R_READ_EEPROM = 0x90;

// Full-speed bulk packets of 64 bytes, each IN packet led by the two modem-status bytes.
inline constexpr std::size_t FT232R_PACKET = 64;
inline constexpr std::size_t FT232R_STATUS_LEN = 2;
inline constexpr std::size_t FT232R_PACKET_DATA = FT232R_PACKET - FT232R_STATUS_LEN; // 62
inline constexpr std::size_t FT232R_TX_FIFO = 128; // host bytes waiting for the UART
inline constexpr std::size_t FT232R_RX_FIFO = 256; // device bytes waiting for the host
inline constexpr std::uint8_t FT232R_DEFAULT_LATENCY_MS = 16;
// What the chip runs at from power-up until the host sets it: 9600 baud (divisor 312.5).
inline constexpr std::uint16_t FT232R_DEFAULT_DIVISOR = 0x4138;
inline constexpr std::uint16_t FT232R_DEFAULT_DATA = 0x0008; // 8N1
// A DTR low at least this long resets the controller behind the bridge (its reset circuit);
// a shorter one does nothing.
inline constexpr std::uint64_t FT232R_DTR_RESET_US = 40'000;

// First status byte: bit 0 always set, then CTS (bit 4) and DSR (bit 5). Second: THRE and TEMT
// (bits 5 and 6) while nothing waits to be sent.
inline constexpr std::uint8_t FT232R_MODEM_CTS_DSR = 0x31;
inline constexpr std::uint8_t FT232R_LINE_TX_EMPTY = 0x60;

// The baud rate that SET_BAUD_RATE's wValue and wIndex choose: 3 MHz over the divisor, whose
// integer part is wValue's low 14 bits and whose eighths are coded in wValue bits 14-15 and wIndex
// bit 0; the divisors 0 and 1 mean 3 MHz and 2 MHz.
double ft232r_baud(std::uint16_t value, std::uint16_t index);

// One line about a vendor request as the chip took it, e.g. "FTDI SET_BAUD_RATE 0x001A 0x0000
// (115384.6 baud)".
std::string ft232r_request_text(std::uint8_t request, std::uint16_t value, std::uint16_t index);

// How many received bytes the next IN packet carries at `now_us`, or -1 when the chip answers
// NAK: a full packet's worth as soon as it is waiting, otherwise whatever waits (even nothing)
// once the latency timer, restarted at every packet sent, has run out.
int ft232r_packet_bytes(std::size_t waiting, std::uint64_t last_packet_us, std::uint8_t latency_ms,
                        std::uint64_t now_us);

// Nanoseconds one character takes on the line at `baud` with SET_DATA's `data` setting: start
// bit, data bits, parity bit if any, stop bits.
std::uint64_t ft232r_char_ns(double baud, std::uint16_t data);

// When the latency timer next runs out: `latency_ms` after the last packet (0 counts as 1 ms).
std::uint64_t ft232r_timer_due_us(std::uint64_t last_packet_us, std::uint8_t latency_ms);
