#include "crc32.h"

namespace {

// CRC-32/ISO-HDLC polynomial, bit-reversed because bits are taken least significant first.
constexpr std::uint32_t CRC32_POLY_REFLECTED = 0xEDB88320u;

} // namespace

std::uint32_t crc32_update(std::uint32_t crc, std::uint8_t byte) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
        if ((crc & 1u) != 0) {
            crc = (crc >> 1) ^ CRC32_POLY_REFLECTED;
        } else {
            crc >>= 1;
        }
    }
    return crc;
}

std::uint32_t crc32_finalise(std::uint32_t crc) {
    return ~crc;
}

std::uint32_t crc32(const std::uint8_t* data, std::uint32_t len) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint32_t i = 0; i < len; ++i) {
        crc = crc32_update(crc, data[i]);
    }
    return crc32_finalise(crc);
}
