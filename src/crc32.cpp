#include "crc32.h"

namespace {

// CRC-32/ISO-HDLC polynomial, bit-reversed because bits are taken least significant first.
constexpr std::uint32_t CRC32_POLY_REFLECTED = 0xEDB88320u;
// x^0 in the same bit-reversed form: the most significant bit holds the lowest power.
constexpr std::uint32_t CRC32_ONE = 0x80000000u;

// a * b modulo the polynomial, both bit-reversed.
std::uint32_t multiply_mod_poly(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t bit = CRC32_ONE; bit != 0; bit >>= 1) {
        if ((a & bit) != 0) {
            product ^= b;
        }
        b = (b & 1u) != 0 ? (b >> 1) ^ CRC32_POLY_REFLECTED : b >> 1;
    }
    return product;
}

// x^(8 * byte_count) modulo the polynomial, by squaring: the shift that `byte_count` more bytes
// give a CRC value.
std::uint32_t shift_for_bytes(std::uint64_t byte_count) {
    std::uint32_t result = CRC32_ONE;
    std::uint32_t square = 0x00800000u; // x^8: one byte
    while (byte_count != 0) {
        if ((byte_count & 1u) != 0) {
            result = multiply_mod_poly(result, square);
        }
        square = multiply_mod_poly(square, square);
        byte_count >>= 1;
    }
    return result;
}

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

// The CRC of a run is that of its prefix moved on by the suffix's length, plus that of the suffix
// (the initial value and the complement cancel out in this form), so the suffix's is the
// difference.
std::uint32_t crc32_suffix(std::uint32_t whole_crc, std::uint32_t prefix_crc,
                           std::uint64_t suffix_len) {
    return whole_crc ^ multiply_mod_poly(shift_for_bytes(suffix_len), prefix_crc);
}
