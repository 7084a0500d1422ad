#pragma once
// CRC-32/ISO-HDLC (reflected polynomial 0xEDB88320, initial value and final complement
// 0xFFFFFFFF), computed bit by bit with no table. Pure functions, no state.

#include <cstdint>

// The finished CRC-32 of `len` bytes at `data`; `data` is not read when `len` is 0.
std::uint32_t crc32(const std::uint8_t* data, std::uint32_t len);

// One step of the split form: the running value after `byte`. Start from 0xFFFFFFFF.
std::uint32_t crc32_update(std::uint32_t crc, std::uint8_t byte);

// The finished CRC of a running value: its bitwise complement.
std::uint32_t crc32_finalise(std::uint32_t crc);
