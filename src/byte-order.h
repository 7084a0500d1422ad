#pragma once
// Little-endian fields of the bundle file and the frame payloads, read and written byte by byte
// at any alignment, whatever the host's own byte order. Nothing else.

#include <cstdint>

inline std::uint16_t get_le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t get_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t get_le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(get_le32(p)) |
           (static_cast<std::uint64_t>(get_le32(p + 4)) << 32);
}

inline void put_le32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
