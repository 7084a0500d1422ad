#include "builders.h"

#include "crc32.h"
#include "fwupdate-protocol.h"

#include <fstream>
#include <stdexcept>

namespace {

std::vector<std::uint8_t> encode(std::uint8_t sof, std::uint8_t type, const std::uint8_t* payload,
                                 std::size_t len) {
    if (len > FWU_MAX_PAYLOAD) {
        throw std::length_error("a frame payload longer than the protocol allows");
    }
    std::vector<std::uint8_t> out(len + FWU_FRAME_OVERHEAD);
    out.resize(fwu_frame_encode(sof, type, payload, static_cast<std::uint16_t>(len), out.data()));
    return out;
}

} // namespace

std::uint32_t crc_of(const std::string& bytes) {
    return crc32(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                 static_cast<std::uint32_t>(bytes.size()));
}

std::uint32_t crc_of(const std::vector<std::uint8_t>& bytes) {
    return crc32(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

std::string device_frame(std::uint8_t type, const std::string& payload) {
    const auto frame =
        encode(FWU_SOF_DEVICE, type, reinterpret_cast<const std::uint8_t*>(payload.data()),
               payload.size());
    return {frame.begin(), frame.end()};
}

std::vector<std::uint8_t> host_frame(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
    return encode(FWU_SOF_HOST, type, payload.data(), payload.size());
}

std::vector<std::uint8_t> bundle_bytes(const std::vector<image_spec>& images) {
    std::vector<std::uint8_t> file{'K', 'V', 'F', 'W', 'B', 'N', 'D', 'L'};
    put_le(file, 1, 4);
    put_le(file, images.size(), 4);
    std::uint64_t offset = 16 + 32 * images.size();
    for (const auto& image : images) {
        put_le(file, image.variant, 2);
        file.push_back(static_cast<std::uint8_t>(image.bank));
        file.push_back(0);
        put_le(file, image.tag, 4);
        put_le(file, image.bytes.size(), 4);
        put_le(file, crc_of(image.bytes), 4);
        put_le(file, offset, 8);
        put_le(file, 0, 8);
        offset += image.bytes.size();
    }
    for (const auto& image : images) {
        file.insert(file.end(), image.bytes.begin(), image.bytes.end());
    }
    return file;
}

void write_bundle(const std::string& path, const std::vector<image_spec>& images) {
    const auto file = bundle_bytes(images);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<std::uint8_t> test_image(std::size_t len, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(len);
    for (std::size_t i = 0; i < len; ++i) {
        // An odd multiplier makes each 256-byte block a permutation of all byte values.
        bytes[i] = static_cast<std::uint8_t>((i % 256) * 167 + (i / 256) * 13 + seed * 29);
    }
    return bytes;
}
