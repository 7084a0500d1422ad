#pragma once
// Device frames, host frames and bundle files as a test needs them, built on the product's own
// frame encoder and CRC, plus the little-endian fields tests lay out by hand. Not for malformed
// input: a test that needs a broken frame or bundle breaks the bytes these return.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Appends `value`'s low `width` bytes to `out`, least significant first (a std::string or a
// std::vector of bytes).
template <class Bytes> void put_le(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<typename Bytes::value_type>((value >> (8 * i)) & 0xFF));
    }
}

// Overwrites the `width` bytes of `out` from byte `at` with `value`, least significant first.
template <class Bytes> void set_le(Bytes& out, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out[at + static_cast<std::size_t>(i)] =
            static_cast<typename Bytes::value_type>((value >> (8 * i)) & 0xFF);
    }
}

// The `width`-byte little-endian field of `in` at byte `at`.
template <class Bytes> std::uint64_t get_le(const Bytes& in, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<std::uint8_t>(in[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

// The 32-bit little-endian field of `in` at byte `at`.
template <class Bytes> std::uint32_t le32_at(const Bytes& in, std::size_t at) {
    return static_cast<std::uint32_t>(get_le(in, at, 4));
}

// The CRC-32 of `bytes` as the frames and the bundle carry it.
std::uint32_t crc_of(const std::string& bytes);
std::uint32_t crc_of(const std::vector<std::uint8_t>& bytes);

// A whole frame from the device (start byte 0xF2) of `type` carrying `payload`.
std::string device_frame(std::uint8_t type, const std::string& payload);

// A whole frame from the host (start byte 0xF1) of `type` carrying `payload`.
std::vector<std::uint8_t> host_frame(std::uint8_t type, const std::vector<std::uint8_t>& payload);

struct image_spec {
    std::uint16_t variant;
    char bank;
    std::uint32_t tag;
    std::vector<std::uint8_t> bytes;
};

// A valid bundle file's bytes holding `images`, in order, one after the other after the table.
std::vector<std::uint8_t> bundle_bytes(const std::vector<image_spec>& images);

// Writes bundle_bytes(images) to `path`; throws when it cannot.
void write_bundle(const std::string& path, const std::vector<image_spec>& images);

// Deterministic pseudo-random bytes, every byte value included for lengths of 256 and more.
std::vector<std::uint8_t> test_image(std::size_t len, std::uint32_t seed);
