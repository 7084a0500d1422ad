#pragma once
// CRC-32/ISO-HDLC (reflected polynomial 0xEDB88320, initial value and final complement
// 0xFFFFFFFF), computed bit by bit with no table, and taken apart at a split point without
// reading the bytes again. Pure functions, no state.

#include <cstdint>

// The finished CRC-32 of `len` bytes at `data`; `data` is not read when `len` is 0.
std::uint32_t crc32(const std::uint8_t* data, std::uint32_t len);

// One step of the split form: the running value after `byte`. Start from 0xFFFFFFFF.
std::uint32_t crc32_update(std::uint32_t crc, std::uint8_t byte);

// The finished CRC of a running value: its bitwise complement.
std::uint32_t crc32_finalise(std::uint32_t crc);

// The finished CRC-32 of the last `suffix_len` bytes of a run, from the finished CRC-32 of the
// whole run and that of the bytes before them; no byte is read.
std::uint32_t crc32_suffix(std::uint32_t whole_crc, std::uint32_t prefix_crc,
                           std::uint64_t suffix_len);
